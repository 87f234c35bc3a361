// Who may write to the screen, over real loopback: [ecran] listen and allow
// read at start, senders bound to 127.0.0.2, 127.0.0.3 ... (Linux takes the
// whole 127/8 on lo) and ::1, refused datagrams neither shown nor stored.

#include <gtest/gtest.h>

#include <QTest>
#include <QUdpSocket>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "display/display_sandbox.h"
#include "display/form1.h"

namespace {

namespace fs = std::filesystem;
using ecran::display::Form1;
using ecran::display::StartupError;

class Senders : public ecran::test_support::DisplaySandbox {
protected:
    // "[ecran]" with port 0 and the two keys; a null value leaves its key out.
    void writeSettings(const char* listen, const char* allow) const {
        std::string text = "[ecran]\r\nport=0\r\n";
        if (listen) text += std::string("listen=") + listen + "\r\n";
        if (allow) text += std::string("allow=") + allow + "\r\n";
        writeIni(text);
    }

    // Waits until the display has taken (shown or dropped) `count` more datagrams.
    static void awaitTaken(const Form1& form, std::uint64_t before, std::uint64_t count) {
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return form.messagesReceived() + form.datagramsRefused() >= before + count; }, 5000));
    }
};

struct SenderRow {
    const char* name;
    const char* listen;  // null: no key
    const char* allow;   // null: no key
    const char* from;
    const char* to;
    bool shown;
    const char* listeningOn;  // what the start-up line says
};

void PrintTo(const SenderRow& row, std::ostream* os) { *os << row.name; }

class SenderTable : public Senders, public testing::WithParamInterface<SenderRow> {};

TEST_P(SenderTable, AllowedSendersAreShownAndStoredOthersAreDropped) {
    const SenderRow& row = GetParam();
    if ((std::string(row.from).find(':') != std::string::npos) && !hasIPv6()) GTEST_SKIP() << "no IPv6";
    writeSettings(row.listen, row.allow);
    const std::string before = iniBytes();
    Form1 form;
    form.Form_Load();
    EXPECT_EQ(form.listeningOn(), row.listeningOn);

    send(form, "from " + std::string(row.from), row.to, row.from);
    awaitTaken(form, 0, 1);
    if (row.shown) {
        EXPECT_EQ(form.messagesReceived(), 1u);
        EXPECT_EQ(form.Label1->caption(), "from " + std::string(row.from));
        EXPECT_EQ(stored(), "from " + std::string(row.from));
    } else {
        EXPECT_EQ(form.datagramsRefused(), 1u);
        EXPECT_EQ(form.messagesReceived(), 0u);
        EXPECT_EQ(form.Label1->caption(), "");
        EXPECT_EQ(iniBytes(), before);  // nothing stored, keys not seeded
    }
}

const char* const kMissing = nullptr;

INSTANTIATE_TEST_SUITE_P(
    Table, SenderTable,
    testing::Values(
        SenderRow{"BothMissing", kMissing, kMissing, "127.0.0.2", "127.0.0.1", true, "all interfaces"},
        SenderRow{"BothEmpty", "", "", "::1", "::1", true, "all interfaces"},
        SenderRow{"MappedSenderAllowed", kMissing, "127.0.0.2", "127.0.0.2", "127.0.0.1", true,
                  "all interfaces; allowed senders: 127.0.0.2"},
        SenderRow{"MappedSenderRefused", kMissing, "127.0.0.2", "127.0.0.3", "127.0.0.1", false,
                  "all interfaces; allowed senders: 127.0.0.2"},
        SenderRow{"PrefixAllows", kMissing, "fd00::/8, 127.0.0.0/30", "127.0.0.3", "127.0.0.1", true,
                  "all interfaces; allowed senders: fd00::/8, 127.0.0.0/30"},
        SenderRow{"PrefixRefuses", kMissing, "127.0.0.0/31", "127.0.0.3", "127.0.0.1", false,
                  "all interfaces; allowed senders: 127.0.0.0/31"},
        SenderRow{"RuleInMappedForm", kMissing, "::ffff:127.0.0.2", "127.0.0.2", "127.0.0.1", true,
                  "all interfaces; allowed senders: 127.0.0.2"},
        SenderRow{"IPv6Allowed", kMissing, "::1", "::1", "::1", true, "all interfaces; allowed senders: ::1"},
        SenderRow{"IPv6Refused", kMissing, "127.0.0.1", "::1", "::1", false,
                  "all interfaces; allowed senders: 127.0.0.1"},
        SenderRow{"IPv4OnlySocketAllowed", "0.0.0.0", "127.0.0.2", "127.0.0.2", "127.0.0.1", true,
                  "address 0.0.0.0; allowed senders: 127.0.0.2"},
        SenderRow{"IPv4OnlySocketRefused", "0.0.0.0", "127.0.0.2", "127.0.0.4", "127.0.0.1", false,
                  "address 0.0.0.0; allowed senders: 127.0.0.2"},
        SenderRow{"ListenOnIPv6Loopback", "::1", kMissing, "::1", "::1", true, "address ::1"},
        SenderRow{"ListenOnIPv4Loopback", "127.0.0.1", "", "127.0.0.5", "127.0.0.1", true, "address 127.0.0.1"}),
    [](const testing::TestParamInfo<SenderRow>& row) { return std::string(row.param.name); });

// The address that listen names is the only one bound: another program can
// take the same port on another address.
TEST_F(Senders, ListenBindsThatAddressAlone) {
    struct Row {
        const char* listen;
        const char* other;
        bool otherBinds;
    };
    for (const Row& row : {Row{nullptr, "127.0.0.2", false}, Row{"127.0.0.1", "127.0.0.2", true},
                           Row{"::1", "127.0.0.1", true}, Row{"0.0.0.0", "::1", true},
                           Row{"::", "0.0.0.0", true}}) {
        if ((std::string(row.other) + (row.listen ? row.listen : "")).find(':') != std::string::npos && !hasIPv6())
            continue;
        writeSettings(row.listen, nullptr);
        Form1 form;
        form.Form_Load();
        QUdpSocket other;
        EXPECT_EQ(other.bind(QHostAddress(QString::fromLatin1(row.other)), form.boundPort()), row.otherBinds)
            << (row.listen ? row.listen : "(no listen)") << " then " << row.other;
    }
}

// A refused datagram that follows an allowed one in the same batch is not
// the batch's last message: the file keeps what the screen shows.
TEST_F(Senders, ARefusedDatagramIsNotTheBatchsLastMessage) {
    writeSettings(nullptr, "127.0.0.2");
    Form1 form;
    form.Form_Load();
    for (int round = 0; round < 3; ++round) {
        const auto before = form.messagesReceived() + form.datagramsRefused();
        send(form, "shown " + std::to_string(round), "127.0.0.1", "127.0.0.2");
        send(form, "intruder", "127.0.0.1", "127.0.0.6");
        awaitTaken(form, before, 2);
        EXPECT_EQ(form.Label1->caption(), "shown " + std::to_string(round));
        EXPECT_EQ(stored(), "shown " + std::to_string(round));
    }
    EXPECT_EQ(form.datagramsRefused(), 3u);
}

// Values the display could misread stop start-up (every refused entry is
// also run through the real binary): a list long enough to have been cut,
// and a file that cannot be read, which might hold a list.
TEST_F(Senders, StartUpStopsWhereAListMayHaveBeenMisread) {
    std::string longList;
    while (longList.size() < 600) longList += "10.0.0.1, ";
    writeSettings(nullptr, longList.c_str());
    const std::string before = iniBytes();
    {
        Form1 form;
        const std::string said = startUpRefusal(form);
        EXPECT_NE(said.find(iniPath().string() + " ([ecran] allow) is 589 characters or longer"), std::string::npos)
            << said;
        EXPECT_EQ(form.boundPort(), 0);
        EXPECT_EQ(iniBytes(), before);
    }
    fs::remove(iniPath());
    fs::create_directories(iniPath());  // a folder where the file should be
    Form1 form;
    EXPECT_THROW(form.Form_Load(), StartupError);
    EXPECT_EQ(form.boundPort(), 0);
}

}  // namespace
