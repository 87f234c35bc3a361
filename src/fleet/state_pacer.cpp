#include "fleet/state_pacer.h"

namespace ecran::fleet {

std::optional<StatePacer::Clock::duration> StatePacer::changed(Clock::time_point now) {
    if (due_) return std::nullopt;
    if (!last_ || now - *last_ >= gap_) {
        last_ = now;
        return Clock::duration::zero();
    }
    due_ = true;
    return *last_ + gap_ - now;
}

void StatePacer::published(Clock::time_point now) {
    due_ = false;
    last_ = now;
}

}  // namespace ecran::fleet
