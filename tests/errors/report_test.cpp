#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "errors/report.h"

namespace {

using namespace std::chrono_literals;
using ecran::errors::ReportLimiter;

struct Harness {
    std::vector<std::string> lines;
    std::chrono::steady_clock::time_point now{};
    ReportLimiter limiter{[this](const std::string& l) { lines.push_back(l); }, [this] { return now; }};
};

// Time steps and calls, and the lines said after each: a kind is said once,
// its repeats are summarised no more than once a minute, kinds are apart.
TEST(ReportLimiter, SaysOnceThenSummarisesAtMostOnceAMinutePerKind) {
    Harness h;
    h.limiter.report("nul", "stored text before the NUL");
    h.limiter.report("nul", "stored text before the NUL");
    h.limiter.report("nul", "stored text before the NUL");
    h.limiter.report("lock", "lock busy");
    EXPECT_EQ(h.lines, (std::vector<std::string>{"stored text before the NUL", "lock busy"}));

    h.now += 59s;
    h.limiter.flush();
    EXPECT_EQ(h.lines.size(), 2u);  // not a minute yet

    h.now += 1s;
    h.limiter.flush();  // the two repeats of "nul"; "lock" has none pending
    ASSERT_EQ(h.lines.size(), 3u);
    EXPECT_EQ(h.lines[2], "stored text before the NUL (2 more times in the last minute)");

    h.now += 10s;
    h.limiter.report("nul", "stored text before the NUL");  // said 10 s ago: counted
    EXPECT_EQ(h.lines.size(), 3u);
    h.now += 60s;
    h.limiter.report("nul", "stored text before the NUL");  // a minute on: said with the count
    ASSERT_EQ(h.lines.size(), 4u);
    EXPECT_EQ(h.lines[3], "stored text before the NUL (2 more times in the last minute)");
}

TEST(ReportLimiter, CountedDescriptionsAndFlushAllAtTheEnd) {
    Harness h;
    const auto drops = [](std::uint64_t n) { return "dropped " + std::to_string(n) + " datagrams"; };
    for (int i = 0; i < 5; ++i) h.limiter.report("drop 192.0.2.7", drops);
    h.limiter.flushAll();
    h.limiter.flushAll();  // nothing pending: nothing said
    EXPECT_EQ(h.lines, (std::vector<std::string>{"dropped 1 datagrams", "dropped 4 datagrams"}));
}

}  // namespace
