#pragma once
// Reports on stderr that may repeat (a datagram stream holding NULs, a
// locked settings file, a sender outside the allowed list): each kind is
// said at once the first time, then the repeats are counted and summarised
// at most once an interval (a minute), so an unattended display never fills
// its log with one line per datagram.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace ecran::errors {

class ReportLimiter {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Sink = std::function<void(const std::string& line)>;
    // The line for `count` occurrences of one kind since it was last said.
    using Describe = std::function<std::string(std::uint64_t count)>;

    // Lines go to `sink` (stderr by default, with a newline added).
    explicit ReportLimiter(Sink sink = {}, Clock clock = {},
                           std::chrono::steady_clock::duration interval = std::chrono::minutes(1));

    // One occurrence of `kind`. Said at once when the kind was not said in
    // the last interval; else counted for a later summary.
    void report(const std::string& kind, const Describe& describe);
    // The same with a fixed line; its summary reads
    // "<line> (N more times in the last minute)".
    void report(const std::string& kind, const std::string& line);

    // Says the summary of every kind whose interval has passed with repeats
    // not yet said. Call it now and then (and at the end).
    void flush();
    // Says every pending summary now, whatever the interval (at exit).
    void flushAll();

private:
    struct Kind {
        std::chrono::steady_clock::time_point saidAt;
        std::uint64_t pending = 0;
        Describe describe;
    };
    void say(Kind& kind, std::chrono::steady_clock::time_point now);

    Sink sink_;
    Clock clock_;
    std::chrono::steady_clock::duration interval_;
    std::map<std::string, Kind> kinds_;
};

// The program's one limiter, writing to stderr (used by the GUI thread only).
[[nodiscard]] ReportLimiter& reports();

}  // namespace ecran::errors
