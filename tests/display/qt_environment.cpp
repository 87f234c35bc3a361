// One QApplication for every test of the window and the fleet link, on the offscreen platform, with a
// temporary configuration directory so that nothing touches a real home.

#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "display/fonts.h"

namespace {

class QtEnvironment : public testing::Environment {
public:
    void SetUp() override {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        char pattern[] = "/tmp/ecran-display-test-XXXXXX";
        const char* dir = ::mkdtemp(pattern);
        ASSERT_NE(dir, nullptr);
        configHome_ = dir;
        ::setenv("XDG_CONFIG_HOME", dir, 1);
        app_ = std::make_unique<QApplication>(argc_, argv_);
        ecran::display::installFontStandIn();
    }
    void TearDown() override {
        app_.reset();
        std::error_code ec;
        std::filesystem::remove_all(configHome_, ec);
    }

private:
    int argc_ = 1;
    char name_[16] = "display_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
    std::filesystem::path configHome_;
};

const auto* const environment = testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
