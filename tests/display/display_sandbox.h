#pragma once
// A throw-away configuration directory for tests of the window, with the
// settings file's path, its bytes, and the stored last message.

#include <gtest/gtest.h>

#include <QUdpSocket>

#include <filesystem>
#include <string>

#include "display/form1.h"
#include "profile/profile_value.h"
#include "registry/registry_sandbox.h"

namespace ecran::test_support {

class DisplaySandbox : public RegistrySandbox {
protected:
    [[nodiscard]] std::filesystem::path iniPath() const { return configFile("QUOLVEtavrin.ini"); }
    [[nodiscard]] std::string iniBytes() const { return readFile(iniPath()).value_or(""); }
    void writeIni(const std::string& bytes) const { putConfigFile("QUOLVEtavrin.ini", bytes); }

    // [historique] infos as the display reads it back at start.
    static std::string stored() {
        return profile::ProfileValue("historique", "infos", "", "QUOLVEtavrin.ini", profile::kReadMode);
    }

    // Sends one datagram to the display's port at `to`, from a socket bound
    // to `from` when one is given.
    static void send(const display::Form1& form, const std::string& message, const char* to = "127.0.0.1",
                     const char* from = nullptr) {
        QUdpSocket out;
        if (from) {
            ASSERT_TRUE(out.bind(QHostAddress(QString::fromLatin1(from)), 0)) << from;
        }
        ASSERT_EQ(out.writeDatagram(message.data(), static_cast<qint64>(message.size()),
                                    QHostAddress(QString::fromLatin1(to)), form.boundPort()),
                  static_cast<qint64>(message.size()));
    }

    static bool hasIPv6() {
        QUdpSocket probe;
        return probe.bind(QHostAddress::LocalHostIPv6, 0);
    }

    // Form_Load must stop: what it said, or "" and a failure if it started.
    static std::string startUpRefusal(display::Form1& form) {
        try {
            form.Form_Load();
        } catch (const display::StartupError& e) {
            return e.what();
        }
        ADD_FAILURE() << "started on port " << form.boundPort();
        return "";
    }
};

}  // namespace ecran::test_support
