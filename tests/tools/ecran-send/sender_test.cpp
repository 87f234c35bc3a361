// ecran-send end to end: arguments and standard input in, datagrams out over
// loopback, exit status and messages checked.

#include "ecran-send/sender.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "ecran-send/errors.h"
#include "udp_receiver.h"

namespace {

using ecran::sender::kExitSendFailure;
using ecran::sender::kExitSent;
using ecran::sender::kExitUsage;
using Args = std::vector<std::string>;

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome runSender(const Args& args, const std::string& input = {}, const std::string& storedPort = "0") {
    std::istringstream in(input);
    std::ostringstream out, err;
    ecran::sender::Environment env{in, out, err, [storedPort] { return storedPort; },
                                   [] { return std::string("/settings/QUOLVEtavrin.ini"); }};
    const int code = ecran::sender::run(args, env);
    return {code, out.str(), err.str()};
}

std::vector<std::string> drain(UdpReceiver& r) {
    std::vector<std::string> all;
    while (auto d = r.next()) all.push_back(*d);
    return all;
}

struct Case {
    const char* name;
    Args args;
    std::string input;
    std::vector<std::string> expected;
};

class SendOverLoopback : public testing::TestWithParam<Case> {};

TEST_P(SendOverLoopback, DeliversExactlyTheseDatagrams) {
    UdpReceiver receiver;
    ASSERT_TRUE(receiver.ok());
    Args args = {"--port", receiver.portText()};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());

    const auto result = runSender(args, GetParam().input);

    EXPECT_EQ(result.code, kExitSent) << result.err;
    EXPECT_EQ(drain(receiver), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SendOverLoopback,
    testing::Values(
        Case{"Plain", {"Salle 3 : réunion à 14 h"}, "", {"Salle 3 : r\xE9union \xE0 14 h"}},
        Case{"Empty", {""}, "", {""}},
        Case{"Ticker", {"--ticker", "Prochain départ 17:45"}, "", {"\xFF" "1Prochain d\xE9part 17:45"}},
        Case{"ColourName", {"--color", "red"}, "", {"\xFF" "2255"}},
        Case{"ColourHash", {"--color", "#FF8800"}, "", {"\xFF" "235071"}},
        // All of standard input is one message; one final line break goes.
        Case{"Stdin", {"--stdin"}, "Prix : 5 €\nFin\n", {"Prix : 5 \x80\nFin"}},
        Case{"StdinCrLfAndByteOrderMark", {"--stdin"}, "\xEF\xBB\xBF" "Caf\xC3\xA9\r\n", {"Caf\xE9"}},
        Case{"StdinKeepsASecondLineBreak", {"--stdin"}, "a\n\n", {"a\n"}},
        Case{"StdinEmpty", {"--stdin"}, "", {""}},
        Case{"StdinTicker", {"--ticker", "--stdin"}, "D\xC3\xA9part\n", {"\xFF" "1D\xE9part"}},
        // One datagram a line; an empty line is an empty message; no line after the last break.
        Case{"Lines", {"--stdin", "--lines"}, "un\r\n\ndeux é\ntrois", {"un", "", "deux \xE9", "trois"}},
        Case{"LinesTicker", {"--stdin", "--lines", "--ticker"}, "a\nb\n", {"\xFF" "1a", "\xFF" "1b"}},
        Case{"LinesNone", {"--stdin", "--lines"}, "", {}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(SendOverLoopback, FillsOneWholeDatagramAndWarnsItWillBeCutAfterARestart) {
    UdpReceiver receiver;
    ASSERT_TRUE(receiver.ok());
    const std::string message(65507, 'x');
    const auto result = runSender({"--port", receiver.portText(), message});
    EXPECT_EQ(result.code, kExitSent);
    EXPECT_NE(result.err.find("warning"), std::string::npos);
    EXPECT_NE(result.err.find("589"), std::string::npos);
    EXPECT_EQ(receiver.next(), message);
}

TEST(SendOverLoopback, ShortMessagesGoWithoutWarning) {
    UdpReceiver receiver;
    ASSERT_TRUE(receiver.ok());
    const auto result = runSender({"--port", receiver.portText(), std::string(589, 'x')});
    EXPECT_EQ(result.code, kExitSent);
    EXPECT_EQ(result.err, "");
}

struct Failure {
    const char* name;
    Args args;
    std::string input;
    int code;
    const char* mentions;
    std::vector<std::string> sentBefore;  // what still left before the failure
};

class SendFails : public testing::TestWithParam<Failure> {};

TEST_P(SendFails, WithItsExitStatusAndMessage) {
    UdpReceiver receiver;
    ASSERT_TRUE(receiver.ok());
    Args args = {"--port", receiver.portText()};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());

    const auto result = runSender(args, GetParam().input);

    EXPECT_EQ(result.code, GetParam().code);
    EXPECT_NE(result.err.find(GetParam().mentions), std::string::npos) << result.err;
    EXPECT_EQ(result.err.rfind("ecran-send: ", 0), 0u) << result.err;
    EXPECT_EQ(drain(receiver), GetParam().sentBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SendFails,
    testing::Values(
        Failure{"Unmappable", {"Réunion 中"}, "", kExitUsage, "U+4E2D \"中\"", {}},
        Failure{"BadColour", {"--color", "rde"}, "", kExitUsage, "'rde'", {}},
        Failure{"BadOption", {"--colr", "red"}, "", kExitUsage, "--help", {}},
        Failure{"NotUtf8OnStdin", {"--stdin"}, "Caf\xE9\n", kExitUsage, "UTF-8", {}},
        Failure{"StdinTooLong", {"--stdin"}, std::string(3 * 65507 + 6, 'a'), kExitUsage, "65507", {}},
        // Lines go as they are read: those before the bad one have left.
        Failure{"BadLine", {"--stdin", "--lines"}, "un\ndeux 中\ntrois\n", kExitUsage, "line 2: ", {"un"}},
        Failure{"UnknownHost", {"--host", "no-such-host.invalid", "a"}, "", kExitSendFailure,
                "no-such-host.invalid", {}},
        Failure{"BroadcastAddressWithoutBroadcast", {"--host", "127.255.255.255", "a"}, "", kExitSendFailure,
                "--broadcast", {}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(SendOverLoopback, ReachesAnIpv6Host) {
    UdpReceiver receiver("::1");
    if (!receiver.ok()) GTEST_SKIP() << "no IPv6 loopback on this machine";
    for (const char* host : {"::1", "[::1]"}) {
        const auto result = runSender({"--host", host, "--port", receiver.portText(), "Caf\xC3\xA9"});
        EXPECT_EQ(result.code, kExitSent) << result.err;
        EXPECT_EQ(receiver.next(), "Caf\xE9") << host;
    }
}

TEST(SendOverLoopback, BroadcastReachesAListenerOnEveryAddress) {
    UdpReceiver receiver("0.0.0.0");
    ASSERT_TRUE(receiver.ok());
    const auto result =
        runSender({"--broadcast", "--host", "127.255.255.255", "--port", receiver.portText(), "--color", "blue"});
    EXPECT_EQ(result.code, kExitSent) << result.err;
    EXPECT_EQ(receiver.next(), "\xFF" "216711680");
}

TEST(SendOverLoopback, BroadcastRefusesAnIpv6Host) {
    const auto result = runSender({"--broadcast", "--host", "::1", "--port", "4445", "a"});
    EXPECT_EQ(result.code, kExitSendFailure);
    EXPECT_NE(result.err.find("IPv4"), std::string::npos) << result.err;
}

// Without --port the port comes from the display's settings, read as the
// display reads it: the number that leads the text.
struct StoredPort {
    std::string stored;
    int code;
    const char* mentions;
};

class PortFromSettings : public testing::TestWithParam<StoredPort> {};

TEST_P(PortFromSettings, IsUsedOrRefusedWithTheFileNamed) {
    UdpReceiver receiver;
    ASSERT_TRUE(receiver.ok());
    std::string stored = GetParam().stored;
    if (const auto at = stored.find("PORT"); at != std::string::npos) stored.replace(at, 4, receiver.portText());

    const auto result = runSender({"Bonjour"}, "", stored);

    EXPECT_EQ(result.code, GetParam().code) << result.err;
    EXPECT_NE(result.err.find(GetParam().mentions), std::string::npos) << result.err;
    EXPECT_EQ(drain(receiver), GetParam().code == kExitSent ? std::vector<std::string>{"Bonjour"}
                                                            : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Table, PortFromSettings,
    testing::Values(StoredPort{"PORT", kExitSent, ""}, StoredPort{"PORTabc", kExitSent, ""},
                    StoredPort{" PORT ", kExitSent, ""},
                    StoredPort{"0", kExitUsage, "/settings/QUOLVEtavrin.ini is 0 or missing"},
                    StoredPort{"", kExitUsage, "--port"}, StoredPort{"abc", kExitUsage, "--port"},
                    StoredPort{"70000", kExitUsage, "'70000'"}, StoredPort{"-5", kExitUsage, "'-5'"},
                    StoredPort{"99999999999", kExitUsage, "out of range"}));

TEST(Help, GoesToStandardOutputWithTheExitStatuses) {
    const auto result = runSender({"--help"});
    EXPECT_EQ(result.code, kExitSent);
    EXPECT_EQ(result.err, "");
    for (const char* part : {"Usage: ecran-send", "--ticker", "--color", "--stdin", "--lines", "--replace", "--host",
                             "--port", "--broadcast", "Exit status"}) {
        EXPECT_NE(result.out.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(runSender({"--version"}).out.rfind("ecran-send ", 0), 0u);
}

}  // namespace
