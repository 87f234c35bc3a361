#pragma once

#include <chrono>
#include <optional>

namespace ecran::fleet {

// Paces the state publications under a flood: at most one a `gap`, and the
// last change is always published, at the end of the gap it fell into.
class StatePacer {
public:
    using Clock = std::chrono::steady_clock;
    explicit StatePacer(Clock::duration gap = std::chrono::milliseconds(100)) : gap_(gap) {}
    // A change at `now`: zero to publish at once, else how long to wait
    // before publishing (a publication is then already due; nothing more to do).
    [[nodiscard]] std::optional<Clock::duration> changed(Clock::time_point now);
    // The waited-for publication happens at `now`.
    void published(Clock::time_point now);

private:
    Clock::duration gap_;
    std::optional<Clock::time_point> last_;
    bool due_ = false;
};

}  // namespace ecran::fleet
