// Signals from outside close the window through its unload, as its close
// button does.

#include <gtest/gtest.h>

#include <QTest>

#include <csignal>
#include <cstring>
#include <string>

#include "display/close_signals.h"
#include "display/form1.h"

namespace {

class CloseSignalTable : public testing::TestWithParam<int> {};

TEST_P(CloseSignalTable, UnloadsTheWindow) {
    ecran::display::Form1 form;
    form.show();
    {
        ecran::display::CloseSignals closeSignals(&form);
        ASSERT_EQ(::raise(GetParam()), 0);
        (void)QTest::qWaitFor([&] { return form.unloaded(); }, 5000);
    }
    EXPECT_TRUE(form.unloaded());
    EXPECT_FALSE(form.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Signals, CloseSignalTable, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& row) { return std::string(::sigabbrev_np(row.param)); });

}  // namespace
