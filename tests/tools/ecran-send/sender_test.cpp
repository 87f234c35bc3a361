// ecran-send end to end: arguments, standard input and the display's settings
// in; datagrams out over loopback, exit status and messages checked.

#include "ecran-send/sender.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "run_sender.h"
#include "support/sandbox.h"

namespace {

// A UDP socket on a numeric address and a free port, receiving what is sent.
class UdpReceiver {
public:
    explicit UdpReceiver(const char* address = "127.0.0.1") {
        addrinfo hints{}, *ai = nullptr;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = AI_NUMERICHOST;
        if (getaddrinfo(address, "0", &hints, &ai) != 0) return;
        fd_ = socket(ai->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int big = 1 << 20;  // room for a whole 65,507-byte datagram
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in6 bound{};  // the port lies where it does in a sockaddr_in
        socklen_t len = sizeof bound;
        ok_ = bind(fd_, ai->ai_addr, ai->ai_addrlen) == 0 &&
              getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len) == 0;
        freeaddrinfo(ai);
        port_ = std::to_string(ntohs(bound.sin6_port));
    }
    ~UdpReceiver() {
        if (fd_ >= 0) close(fd_);
    }
    UdpReceiver(const UdpReceiver&) = delete;

    [[nodiscard]] bool ok() const { return ok_; }
    [[nodiscard]] const std::string& port() const { return port_; }

    // Every datagram queued: loopback delivers during the sender's sendto(),
    // so what was sent is here when the sender returns.
    std::vector<std::string> all() {
        std::vector<std::string> got;
        std::string buffer(70000, '\0');
        for (ssize_t n; (n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT)) >= 0;) {
            got.emplace_back(buffer.data(), static_cast<size_t>(n));
        }
        return got;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    std::string port_;
};

struct Case {
    const char* name;
    Args args;  // PORT stands for the receiver's port
    std::string input;
    std::vector<std::string> sent;
    int code = kExitSent;
    const char* mentions = "";  // on stderr; when empty, a send leaves stderr empty
    const char* stored = "0";   // the display's port setting; PORT for the receiver's
    const char* listen = "127.0.0.1";
};

class Send : public testing::TestWithParam<Case> {};

TEST_P(Send, DeliversExactlyTheseDatagramsAndSaysWhatWentWrong) {
    const Case& c = GetParam();
    UdpReceiver receiver(c.listen);
    if (!receiver.ok() && std::string(c.listen) == "::1") GTEST_SKIP() << "no IPv6 loopback on this machine";
    ASSERT_TRUE(receiver.ok());
    const auto withPort = [&](std::string s) {
        if (const auto at = s.find("PORT"); at != npos) s.replace(at, 4, receiver.port());
        return s;
    };
    Args args;
    for (const auto& a : c.args) args.push_back(withPort(a));

    const auto result = runSender(args, c.input, withPort(c.stored));

    EXPECT_EQ(result.code, c.code) << result.err;
    EXPECT_TRUE(*c.mentions ? result.err.find(c.mentions) != npos : result.err.empty()) << result.err;
    EXPECT_TRUE(c.code == kExitSent || result.err.rfind("ecran-send: ", 0) == 0) << result.err;
    EXPECT_EQ(receiver.all(), c.sent);
}

const std::string k589(589, 'x'), k590(590, 'x'), kWhole(65507, 'x');

INSTANTIATE_TEST_SUITE_P(
    Table, Send,
    testing::Values(
        // UTF-8 in, Windows-1252 out; "--" ends the options; options may follow the message.
        Case{"Plain", {"--port", "PORT", "Salle 3 : réunion à 14 h"}, "", {"Salle 3 : r\xE9union \xE0 14 h"}},
        Case{"Empty", {"--port=PORT", ""}, "", {""}},
        Case{"Dash", {"--port=PORT", "-"}, "", {"-"}},
        Case{"AfterDoubleDash", {"--port=PORT", "--", "--ticker"}, "", {"--ticker"}},
        Case{"TickerAfterIt", {"--port=PORT", "Départ 17:45", "--ticker"}, "", {"\xFF" "1D\xE9part 17:45"}},
        Case{"Replace", {"--port=PORT", "--replace", "a中b"}, "", {"a?b"}},
        Case{"Colour", {"--port=PORT", "--colour=#F80"}, "", {"\xFF" "235071"}},
        // The display reads the number signed; a system colour is sent with a note, a number the display
        // refuses (no system colour past 24, any other set highest byte) is not sent at all.
        Case{"SystemColour", {"--port=PORT", "--color", "&H8000000F"}, "", {"\xFF" "2-2147483633"}, kExitSent,
             "system colour 15"},
        Case{"NoSuchSystemColour", {"--port=PORT", "--color", "&H80000030"}, "", {}, kExitUsage,
             "would be system colour 48"},
        Case{"HighByte", {"--port=PORT", "--color", "-1"}, "", {}, kExitUsage, "non-zero highest byte"},
        // All of standard input is one message; a byte-order mark and one final line break go.
        Case{"Stdin", {"--port=PORT", "--stdin"}, "\xEF\xBB\xBF" "5 €\nFin\r\n\r\n", {"5 \x80\nFin\r\n"}},
        Case{"StdinEmpty", {"--port=PORT", "--stdin"}, "", {""}},
        // One datagram a line; an empty line is an empty message; no line after the last break.
        Case{"Lines", {"--port=PORT", "--stdin", "--lines", "--ticker"}, "\xEF\xBB\xBF" "un\r\n\ndeux é\ntrois",
             {"\xFF" "1un", "\xFF" "1", "\xFF" "1deux \xE9", "\xFF" "1trois"}},
        Case{"LinesNone", {"--port=PORT", "--stdin", "--lines"}, "", {}},
        // Past 589 characters a restart of the display cuts the message: sent, with a warning.
        Case{"Keeps589", {"--port=PORT", k589}, "", {k589}},
        Case{"Warns590", {"--port=PORT", k590}, "", {k590}, kExitSent, "warning: the message is 590 characters"},
        Case{"WholeDatagram", {"--port=PORT", kWhole}, "", {kWhole}, kExitSent, "589"},
        Case{"Ipv6", {"--host", "::1", "--port=PORT", "Caf\xC3\xA9"}, "", {"Caf\xE9"}, kExitSent, "", "0", "::1"},
        Case{"Ipv6Brackets", {"--host", "[::1]", "--port=PORT", "a"}, "", {"a"}, kExitSent, "", "0", "::1"},
        Case{"Broadcast", {"--broadcast", "--host", "127.255.255.255", "--port=PORT", "--color", "blue"}, "",
             {"\xFF" "216711680"}, kExitSent, "", "0", "0.0.0.0"},
        // Without --port: the display's setting, read as the display reads it (the leading number).
        Case{"StoredPort", {"Bonjour"}, "", {"Bonjour"}, kExitSent, "", " PORTabc"},
        Case{"StoredZero", {"a"}, "", {}, kExitUsage, "/settings/QUOLVEtavrin.ini is 0 or missing", "0"},
        Case{"StoredTooBig", {"a"}, "", {}, kExitUsage, "'70000'", "70000"},
        Case{"StoredNegative", {"a"}, "", {}, kExitUsage, "'-5'", "-5"},
        Case{"StoredOverflows", {"a"}, "", {}, kExitUsage, "out of range", "99999999999"},
        // Failures; lines go as they are read, so those before a bad one have left.
        Case{"BadColour", {"--port=PORT", "--color", "rde"}, "", {}, kExitUsage, "'rde'"},
        Case{"StdinTooLong", {"--port=PORT", "--stdin"}, std::string(3 * 65507 + 6, 'a'), {}, kExitUsage, "65507"},
        Case{"BadLine", {"--port=PORT", "--stdin", "--lines"}, "un\ndeux 中\ntrois\n", {"un"}, kExitUsage,
             "line 2: "},
        Case{"UnknownHost", {"--host", "no-such-host.invalid", "--port=PORT", "a"}, "", {}, kExitSendFailure,
             "no-such-host.invalid"},
        Case{"BroadcastNeedsTheOption", {"--host", "127.255.255.255", "--port=PORT", "a"}, "", {}, kExitSendFailure,
             "--broadcast"},
        Case{"BroadcastIsIpv4", {"--broadcast", "--host", "::1", "--port=PORT", "a"}, "", {}, kExitSendFailure,
             "IPv4"},
        // Bad command lines, named, with a pointer to --help.
        Case{"UnknownOption", {"--bogus", "a"}, "", {}, kExitUsage, "'--bogus'\nTry 'ecran-send --help'"},
        Case{"NoMessage", {"--ticker"}, "", {}, kExitUsage, "no message"},
        Case{"TwoMessages", {"a", "b"}, "", {}, kExitUsage, "one argument"},
        Case{"NoColour", {"--color"}, "", {}, kExitUsage, "needs a value"},
        Case{"PortZero", {"--port", "0", "a"}, "", {}, kExitUsage, "'0'"},
        Case{"PortTooBig", {"--port", "65536", "a"}, "", {}, kExitUsage, "'65536'"},
        Case{"PortNotANumber", {"--port", "44a", "a"}, "", {}, kExitUsage, "'44a'"},
        Case{"PortEmpty", {"--port=", "a"}, "", {}, kExitUsage, "''"},
        Case{"HostEmpty", {"--host=", "a"}, "", {}, kExitUsage, "--host"},
        Case{"ColourAndTicker", {"--color", "red", "--ticker"}, "", {}, kExitUsage, "give one"},
        Case{"ColourAndMessage", {"--color", "red", "a"}, "", {}, kExitUsage, "no message"},
        Case{"ColourAndStdin", {"--color", "red", "--stdin"}, "", {}, kExitUsage, "no message"},
        Case{"LinesWithoutStdin", {"--lines", "a"}, "", {}, kExitUsage, "--stdin"},
        Case{"StdinAndMessage", {"--stdin", "a"}, "", {}, kExitUsage, "either"}),
    [](const auto& param) { return std::string(param.param.name); });

// The display's own settings file under XDG_CONFIG_HOME: read, never created.
TEST(PortFromSettings, ComesFromTheDisplaysFile) {
    const ecran::test_support::ConfigHome home;
    const auto ini = home.path() / "ecran" / "QUOLVEtavrin.ini";

    EXPECT_NE(runSender({"a"}, "", std::nullopt).err.find(ini.string()), npos);  // a missing file is named
    EXPECT_FALSE(std::filesystem::exists(ini));                                   // and not created

    UdpReceiver receiver;
    std::filesystem::create_directories(ini.parent_path());
    std::ofstream(ini) << "[ecran]\r\nport=" << receiver.port() << "\r\n";
    EXPECT_EQ(runSender({"Bonjour"}, "", std::nullopt).code, kExitSent);
    EXPECT_EQ(receiver.all(), std::vector<std::string>{"Bonjour"});
}

TEST(Help, GoesToStandardOutputWithEveryOptionAndTheExitStatuses) {
    const auto help = runSender({"--help"});
    EXPECT_EQ(help.code, kExitSent);
    EXPECT_EQ(help.err, "");
    for (const char* part : {"Usage: ecran-send", "--ticker", "--color", "--stdin", "--lines", "--replace", "--host",
                             "--port", "--broadcast", "--broker", "--screen", "--group", "--all", "--prefix",
                             "--username", "--password-file", "--ca", "10 s", "Exit status"}) {
        EXPECT_NE(help.out.find(part), npos) << part;
    }
    EXPECT_EQ(runSender({"--version"}).out.rfind("ecran-send ", 0), 0u);
}

}  // namespace
