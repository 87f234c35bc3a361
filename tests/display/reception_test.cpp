// Start-up, reception over real loopback datagrams, the stored last message
// and its replay, and unload.

#include <gtest/gtest.h>

#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "display/display_sandbox.h"
#include "display/form1.h"
#include "profile/profile_value.h"
#include "win32/cursor_api.h"
#include "win32/file_ops.h"
#include "win32/ini_file.h"

namespace {

namespace fs = std::filesystem;
using ecran::display::Form1;

const std::string kCommandByte = "\xFF";

// Each test gets its own configuration directory.
class Reception : public ecran::test_support::DisplaySandbox {
protected:
    // Sends and waits until the display has shown and stored the message.
    static void deliver(Form1& form, const std::string& message, const char* to = "127.0.0.1") {
        const auto before = form.messagesReceived();
        send(form, message, to);
        ASSERT_TRUE(QTest::qWaitFor([&] { return form.messagesReceived() > before; }, 5000));
    }

    static quint16 freePort() {
        QUdpSocket probe;
        probe.bind(QHostAddress::AnyIPv4, 0);
        return probe.localPort();
    }
};

TEST_F(Reception, FirstStartSeedsPortZeroBindsAFreePortAndShowsAnEmptyMessage) {
    Form1 form;
    form.Form_Load();
    EXPECT_EQ(iniBytes(), "[ecran]\r\nport=0\r\n");
    EXPECT_NE(form.boundPort(), 0);
    EXPECT_EQ(form.Label1->caption(), "");
    EXPECT_EQ(form.Label2->caption(), "Initialisation de l Ecran en cours");
}

TEST_F(Reception, ThePortIsTheNumberThatLeadsTheSetting) {
    const quint16 port = freePort();
    const std::string digits = std::to_string(port);
    std::string spaced;
    for (char c : digits) spaced += std::string(1, c) + " ";
    for (const std::string& text : {digits + "abc", spaced, " " + digits + ".4"}) {
        writeIni("[ecran]\r\nport=" + text + "\r\n");
        Form1 form;
        form.Form_Load();
        EXPECT_EQ(form.boundPort(), port) << text;
    }
}

TEST_F(Reception, StartUpRefusesAPortItCannotUseAndNamesTheFile) {
    QUdpSocket holder;
    ASSERT_TRUE(holder.bind(QHostAddress::Any, 0));
    const std::string inUse = std::to_string(holder.localPort());
    for (const std::string& text : {std::string("99999999999"), std::string("70000"), std::string("-1"), inUse}) {
        writeIni("[ecran]\r\nport=" + text + "\r\n");
        Form1 form;
        const std::string said = startUpRefusal(form);
        EXPECT_NE(said.find(iniPath().string()), std::string::npos) << text << ": " << said;
    }
}

// A settings file that is there but cannot be read stops the start, naming
// the file, rather than listening on a port the system picks.
TEST_F(Reception, StartUpStopsOnASettingsFileItCannotRead) {
    const std::vector<std::pair<const char*, std::function<void(const fs::path&)>>> unusable{
        {"a folder", [](const fs::path& p) { fs::create_directory(p); }},
        {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
        {"a link to /dev/zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
        {"a link to itself", [](const fs::path& p) { fs::create_symlink(p.filename(), p); }},
        {"over 16 MiB", [](const fs::path& p) {
             std::ofstream(p) << "[ecran]\r\nport=4445\r\n";
             fs::resize_file(p, ecran::win32::kMaxProfileFileSize + 1);
         }}};
    fs::create_directories(iniPath().parent_path());
    for (const auto& [what, make] : unusable) {
        SCOPED_TRACE(what);
        fs::remove_all(iniPath());
        make(iniPath());
        Form1 form;
        const std::string said = startUpRefusal(form);
        EXPECT_NE(said.find(iniPath().string()), std::string::npos) << said;
        EXPECT_EQ(form.boundPort(), 0);
    }
}

// The file is there but its user may not read it (root reads every file, so
// the refusal comes through the file-system seam).
TEST_F(Reception, StartUpStopsOnASettingsFileItsUserMayNotRead) {
    struct Refusing : ecran::win32::FileOps {
        std::string refused;
        int open(const char* path, int flags, mode_t mode) override {
            if (path == refused) {
                errno = EACCES;
                return -1;
            }
            return FileOps::open(path, flags, mode);
        }
    } ops;
    ops.refused = iniPath().string();
    writeIni("[ecran]\r\nport=0\r\n");
    const ecran::win32::ScopedFileOps use(ops);
    Form1 form;
    EXPECT_EQ(startUpRefusal(form),
              "the settings file cannot be read: cannot open '" + iniPath().string() + "': Permission denied");
}

// Another process holding the settings file's lock delays the store, never
// the screen: the message is shown at once and stored once the lock is free,
// the newest one winning.
TEST_F(Reception, AMessageStoredWhileTheFileIsLockedIsStoredOnceTheLockIsFree) {
    writeIni("[ecran]\r\nport=0\r\n");
    Form1 form;
    form.Form_Load();
    const int holder = ::open(iniPath().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    ::testing::internal::CaptureStderr();
    deliver(form, "un");
    deliver(form, "deux");
    EXPECT_EQ(form.Label1->caption(), "deux");
    EXPECT_EQ(stored(), "");
    QTest::qWait(300);  // retries come and fail while the lock is held
    EXPECT_EQ(stored(), "");
    ::close(holder);
    EXPECT_TRUE(QTest::qWaitFor([] { return stored() == "deux"; }, 5000));
    // Closing while the lock is held: a last try, and a word that it failed.
    const int again = ::open(iniPath().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(again, LOCK_EX), 0);
    deliver(form, "trois");
    form.close();
    ::close(again);
    EXPECT_EQ(stored(), "deux");
    const std::string said = ::testing::internal::GetCapturedStderr();
    const std::string line = "will be stored once the lock is free";
    EXPECT_NE(said.find(line), std::string::npos) << said;
    EXPECT_EQ(said.find(line), said.rfind(line)) << said;  // said once
    EXPECT_NE(said.find("ecran: closing with the last message not stored"), std::string::npos) << said;
}

TEST_F(Reception, AMessageShownBeforeItsTickIsStoredWhenTheWindowIsDestroyed) {
    auto form = std::make_unique<Form1>();
    form->Form_Load();
    send(*form, "destroyed");
    ASSERT_TRUE(form->W->waitForReadyRead(5000));
    form->W_DataArrival();                    // no tick has run since
    form.reset();
    EXPECT_EQ(stored(), "destroyed");
}

TEST_F(Reception, ALargeDatagramWaitsForTheTickThatIsDue) {
    Form1 form;
    form.Form_Load();
    form.Timer1->setInterval(20);  // a tick is always due within the room a large datagram needs
    for (const size_t size : {size_t{4095}, size_t{4096}, size_t{60000}}) {
        send(form, std::string(size, 'x'));
        ASSERT_TRUE(form.W->waitForReadyRead(5000));
        form.W_DataArrival();
        EXPECT_EQ(form.Label1->caption().size() == size, size < 4096) << size;
        EXPECT_TRUE(QTest::qWaitFor([&] { return form.Label1->caption().size() == size; }, 5000)) << size;
    }
}

TEST_F(Reception, EveryDatagramIsShownAndStoredExactlyAsItArrived) {
    Form1 form;
    form.Form_Load();

    deliver(form, "Salle 3 : r\xE9union \xE0 14 h");
    EXPECT_EQ(form.Label1->caption(), "Salle 3 : r\xE9union \xE0 14 h");
    EXPECT_EQ(stored(), "Salle 3 : r\xE9union \xE0 14 h");

    deliver(form, kCommandByte + "1Prochain d\xE9part");
    EXPECT_EQ(form.Label2->caption(), "Prochain d\xE9part");
    EXPECT_EQ(stored(), kCommandByte + "1Prochain d\xE9part");

    deliver(form, kCommandByte + "2255");
    EXPECT_EQ(form.label1ForeColorNumber(), 255);
    EXPECT_EQ(stored(), kCommandByte + "2255");

    deliver(form, kCommandByte + "2&H7F000000");  // refused colour: nothing changes, still stored
    EXPECT_EQ(form.label1ForeColorNumber(), 255);
    EXPECT_EQ(stored(), kCommandByte + "2&H7F000000");

    if (hasIPv6()) {
        deliver(form, "over IPv6", "::1");
        EXPECT_EQ(stored(), "over IPv6");
    }

    deliver(form, "");
    EXPECT_EQ(form.Label1->caption(), "");
    EXPECT_EQ(stored(), "");
    EXPECT_NE(iniBytes().find("[historique]\r\ninfos=\r\n"), std::string::npos);
}

TEST_F(Reception, AWholeLargeDatagramIsShownAndComesBackCutAfterARestart) {
    std::string big;
    for (int i = 0; i < 60000; ++i) big += static_cast<char>('a' + i % 26);
    {
        Form1 form;
        form.Form_Load();
        deliver(form, big);
        EXPECT_EQ(form.Label1->caption(), big);
    }
    Form1 again;
    again.Form_Load();
    EXPECT_EQ(again.Label1->caption(), big.substr(0, 589));
}

struct ReplayRow {
    const char* name;
    std::string last;  // empty: nothing stored
    std::string label1;
    std::string label2;
    std::int32_t color;
};

class Replay : public Reception, public testing::WithParamInterface<ReplayRow> {};

TEST_P(Replay, ARestartShowsWhatWasShownBefore) {
    const ReplayRow& row = GetParam();
    if (!row.last.empty()) {
        Form1 first;
        first.Form_Load();
        deliver(first, row.last);
    }
    Form1 form;
    form.Form_Load();
    EXPECT_EQ(form.Label1->caption(), row.label1);
    EXPECT_EQ(form.Label2->caption(), row.label2);
    EXPECT_EQ(form.label1ForeColorNumber(), row.color);
}

const std::string kDesignTicker = "Initialisation de l Ecran en cours";

INSTANTIATE_TEST_SUITE_P(
    Table, Replay,
    testing::Values(ReplayRow{"Plain", "bonjour", "bonjour", kDesignTicker, 0},
                    ReplayRow{"Ticker", kCommandByte + "1d\xE9" "filant", "D\xE9marrage", "d\xE9" "filant", 0},
                    ReplayRow{"Colour", kCommandByte + "2&HFF", "D\xE9marrage", kDesignTicker, 255},
                    ReplayRow{"RefusedColourStillStarts", kCommandByte + "2&H7F000000", "D\xE9marrage", kDesignTicker, 0},
                    ReplayRow{"Nothing", "", "", kDesignTicker, 0},
                    ReplayRow{"AwkwardBytes", "  two\r\nlines \"quoted\" ", "  two\r\nlines \"quoted\" ",
                              kDesignTicker, 0},
                    ReplayRow{"Injection", "x\r\n[ecran]\r\nport=1", "x\r\n[ecran]\r\nport=1", kDesignTicker, 0}),
    [](const testing::TestParamInfo<ReplayRow>& row) { return std::string(row.param.name); });

TEST_F(Reception, AFloodIsDrainedInBatchesAndTheLastDatagramIsStored) {
    Form1 form;
    form.Form_Load();
    constexpr int kCount = 3000;
    QUdpSocket out;
    for (int i = 1; i <= kCount; ++i) {
        const QByteArray payload = QByteArray::number(i);
        out.writeDatagram(payload, QHostAddress::LocalHost, form.boundPort());
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.messagesReceived() == kCount; }, 20000))
        << form.messagesReceived();
    EXPECT_EQ(form.Label1->caption(), std::to_string(kCount));
    EXPECT_EQ(stored(), std::to_string(kCount));
}

TEST_F(Reception, TheCloseButtonUnloadsAndShowsTheCursorOnce) {
    const int before = ShowCursor(FALSE) + 1;
    (void)ShowCursor(TRUE);
    Form1 form;
    form.Form_Load();
    form.show();
    form.Command1->click();
    EXPECT_TRUE(form.unloaded());
    EXPECT_FALSE(form.isVisible());
    const int after = ShowCursor(FALSE) + 1;
    (void)ShowCursor(TRUE);
    EXPECT_EQ(after, before + 1);
}

}  // namespace
