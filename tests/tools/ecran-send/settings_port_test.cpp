// The sender reads the display's port from the display's own settings file,
// and only reads it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ecran-send/display_port.h"
#include "ecran-send/sender.h"
#include "udp_receiver.h"

namespace {

namespace fs = std::filesystem;

class SettingsPort : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ecran-send-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home_ = pattern;
        setenv("XDG_CONFIG_HOME", home_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(home_);
    }
    fs::path settings() const { return home_ / "ecran" / "QUOLVEtavrin.ini"; }

    int send(const std::string& message, std::string& err) {
        std::istringstream in;
        std::ostringstream out, errors;
        ecran::sender::Environment env{in, out, errors, ecran::sender::storedPortText,
                                       ecran::sender::settingsFilePath};
        const int code = ecran::sender::run({message}, env);
        err = errors.str();
        return code;
    }

    fs::path home_;
};

TEST_F(SettingsPort, SendsToThePortTheDisplayListensOn) {
    UdpReceiver receiver;
    ASSERT_TRUE(receiver.ok());
    fs::create_directories(settings().parent_path());
    std::ofstream(settings()) << "[ecran]\r\nport=" << receiver.port() << "\r\n";

    std::string err;
    EXPECT_EQ(send("Bonjour", err), 0) << err;
    EXPECT_EQ(receiver.next(), "Bonjour");
}

TEST_F(SettingsPort, MissingFileIsNamedAndNotCreated) {
    std::string err;
    EXPECT_EQ(send("Bonjour", err), 2);
    EXPECT_NE(err.find(settings().string()), std::string::npos) << err;
    EXPECT_NE(err.find("--port"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(settings()));
}

}  // namespace
