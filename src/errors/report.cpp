#include "errors/report.h"

#include <cstdio>
#include <utility>

namespace ecran::errors {

ReportLimiter::ReportLimiter(Sink sink, Clock clock, std::chrono::steady_clock::duration interval)
    : sink_(sink ? std::move(sink) : Sink([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); })),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      interval_(interval) {}

void ReportLimiter::report(const std::string& kind, const Describe& describe) {
    const auto now = clock_();
    auto [it, fresh] = kinds_.try_emplace(kind);
    Kind& k = it->second;
    k.describe = describe;
    ++k.pending;
    if (fresh || now - k.saidAt >= interval_) say(k, now);
}

void ReportLimiter::report(const std::string& kind, const std::string& line) {
    report(kind, [line](std::uint64_t count) {
        return count == 1 ? line : line + " (" + std::to_string(count) + " more times in the last minute)";
    });
}

void ReportLimiter::flush() {
    const auto now = clock_();
    for (auto& [name, k] : kinds_) {
        if (k.pending > 0 && now - k.saidAt >= interval_) say(k, now);
    }
}

void ReportLimiter::flushAll() {
    const auto now = clock_();
    for (auto& [name, k] : kinds_) {
        if (k.pending > 0) say(k, now);
    }
}

void ReportLimiter::say(Kind& k, std::chrono::steady_clock::time_point now) {
    sink_(k.describe(k.pending));
    k.pending = 0;
    k.saidAt = now;
}

ReportLimiter& reports() {
    static ReportLimiter limiter;
    return limiter;
}

}  // namespace ecran::errors
