// One QApplication for every test of the window and the fleet link, on the offscreen platform, with a
// temporary configuration directory so that nothing touches a real home.

#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <memory>
#include <optional>

#include "display/fonts.h"
#include "support/sandbox.h"

namespace {

class QtEnvironment : public testing::Environment {
public:
    void SetUp() override {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        configHome_.emplace("ecran-display-test");
        app_ = std::make_unique<QApplication>(argc_, argv_);
        ecran::display::installFontStandIn();
    }
    void TearDown() override {
        app_.reset();
        configHome_.reset();
    }

private:
    int argc_ = 1;
    char name_[16] = "display_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
    std::optional<ecran::test_support::ConfigHome> configHome_;
};

const auto* const environment = testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
