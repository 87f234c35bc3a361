#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "errors/error.h"

namespace {

using namespace ecran::errors;

TEST(ContinueOnError, ClearsOnEntryRecordsAFailingStepAndRunsTheNext) {
    lastError().record(Error(99, "Old.Source", "old"));
    ContinueOnError mode;
    EXPECT_TRUE(lastError().isClear());

    std::string trace;
    const bool first = mode.step([&] {
        trace += "a";
        throw Error(2, "RegistryKey.Get Value", "missing");
        trace += "never";
    });
    const bool second = mode.step([&] { trace += "b"; });

    EXPECT_FALSE(first);
    EXPECT_TRUE(second);
    EXPECT_EQ(trace, "ab");
    EXPECT_EQ(lastError().number, 2);
    EXPECT_EQ(lastError().source, "RegistryKey.Get Value");
    EXPECT_EQ(lastError().description, "missing");
}

TEST(ContinueOnError, ALaterFailureReplacesTheRecordAndOverflowIsErrorSix) {
    ContinueOnError mode;
    (void)mode.step([] { throw Error(2, "A", "first"); });
    (void)mode.step([] { throw std::overflow_error("too big"); });
    EXPECT_EQ(lastError().number, 6);
    EXPECT_EQ(lastError().description, "Overflow");
}

}  // namespace
