// ecran-send --broker against a real mosquitto started by the test: one
// broker with three listeners on free loopback ports (anonymous; password
// file and ACL; TLS with a CA made by openssl here). A subscriber receives
// what the sender publishes; exit status and messages are checked.

#include <gtest/gtest.h>
#include <mosquitto.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ecran-send/broker.h"
#include "ecran-send/sender.h"
#include "mqtt_harness.h"
#include "run_sender.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The access rules of the README's fleet example: the sender may publish to
// every screen; a screen logs in with its own name, reads its own topics,
// its groups' and all screens', and writes only its own status and state.
constexpr const char* kAcl = R"(user sender
topic write ecran/#

pattern read ecran/%u/+
pattern write ecran/%u/status
pattern write ecran/%u/state

user hall
topic read ecran/group/lobby/+
topic read ecran/all/+
)";

// One mosquitto for the whole suite with three listeners: anonymous, with
// logins and the ACL, with TLS (the harness's CA).
class Broker {
public:
    mqtt_test::Broker broker;
    int anonymous = broker.port(), login = 0, tls = 0;
    mqtt_test::BoundSocket never;  // nothing listens here

    Broker() {
        const fs::path& dir = broker.dir();
        const std::string d = dir.string();
        const std::string certificates = mqtt_test::makeCertificates(dir);
        if (certificates.empty() || !run("mosquitto_passwd -c -b " + d + "/passwd sender sender-pw") ||
            !run("mosquitto_passwd -b " + d + "/passwd hall hall-pw")) {
            return;
        }
        std::ofstream(dir / "acl") << kAcl;
        std::ofstream(dir / "sender.pw") << "sender-pw\nthe second line is not read\n";
        std::ofstream(dir / "hall.pw") << "hall-pw\n";
        std::ofstream(dir / "wrong.pw") << "not-the-password\r\n";
        login = broker.addListener("allow_anonymous false\npassword_file " + d + "/passwd\nacl_file " + d + "/acl\n");
        tls = broker.addListener("allow_anonymous true\n" + certificates);
        ready_ = broker.start();
    }

    // Stops the broker and starts it again on the same ports: every client
    // loses its connection.
    void restart() { ready_ = broker.restart(); }
    [[nodiscard]] bool ready() const { return ready_; }

    // A row's argument with the listeners' URLs, ports and the folder in
    // place of their stand-ins: {ANONYMOUS}, {LOGIN}, {TLS}, {...PORT}, {DIR}.
    [[nodiscard]] std::string resolve(std::string s) const {
        const std::pair<std::string, std::string> stand[] = {
            {"{ANONYMOUS}", "mqtt://127.0.0.1:" + std::to_string(anonymous)},
            {"{LOGIN}", "mqtt://127.0.0.1:" + std::to_string(login)},
            {"{TLS}", "mqtts://localhost:" + std::to_string(tls)},
            {"{ANONYMOUSPORT}", std::to_string(anonymous)},
            {"{TLSPORT}", std::to_string(tls)},
            {"{CLOSEDPORT}", std::to_string(never.port)},
            {"{DIR}", broker.dir().string()}};
        for (const auto& [from, to] : stand) {
            for (auto at = s.find(from); at != npos; at = s.find(from)) s.replace(at, from.size(), to);
        }
        return s;
    }

private:
    static bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
    bool ready_ = false;
};

struct BrokerCase {
    const char* name;
    Args args;  // with stand-ins, see Broker::resolve
    std::string input;
    const char* topic;  // subscribed before the send; empty: no subscriber
    std::vector<std::string> received;
    int code = kExitSent;
    const char* mentions = "";  // on stderr; when empty, stderr stays empty
    const char* user = "";      // the subscriber's login (on the login listener)
};

class BrokerSend : public testing::TestWithParam<BrokerCase> {
protected:
    static void SetUpTestSuite() { broker_ = std::make_unique<Broker>(); }
    static void TearDownTestSuite() { broker_.reset(); }
    static std::unique_ptr<Broker> broker_;
};
std::unique_ptr<Broker> BrokerSend::broker_;

TEST_P(BrokerSend, PublishesTheDatagramBytesAndExitsZeroOnlyWhenAcknowledged) {
    const BrokerCase& c = GetParam();
    ASSERT_TRUE(broker_->ready()) << "mosquitto, mosquitto_passwd or openssl missing (scripts/install-deps.sh)";
    Args args;
    for (const auto& a : c.args) args.push_back(broker_->resolve(a));
    std::unique_ptr<mqtt_test::Peer> subscriber;
    if (*c.topic) {
        const std::string user = c.user;
        subscriber = std::make_unique<mqtt_test::Peer>(
            user.empty() ? broker_->anonymous : broker_->login, std::vector<std::string>{c.topic},
            mqtt_test::PeerOptions{user, user.empty() ? "" : user + "-pw", {}, MQTT_PROTOCOL_V311});
        ASSERT_TRUE(subscriber->waitSubscribed());
    }

    const auto result = runSender(args, c.input);

    EXPECT_EQ(result.code, c.code) << result.err;
    EXPECT_TRUE(*c.mentions ? result.err.find(c.mentions) != npos : result.err.empty()) << result.err;
    if (subscriber) {
        EXPECT_EQ(subscriber->payloads(c.received.size()), c.received);
    }
}

// Rows that no subscriber hears, where only the exit status and what is said
// count: refused before anything is sent, or sent and failed.
BrokerCase refused(const char* name, Args args, const char* mentions) {
    return {name, std::move(args), "", "", {}, kExitUsage, mentions};
}
BrokerCase failed(const char* name, Args args, const char* mentions) {
    return {name, std::move(args), "", "", {}, kExitSendFailure, mentions};
}

INSTANTIATE_TEST_SUITE_P(
    Table, BrokerSend,
    testing::Values(
        // The bytes ecran-send would send by UDP, to the target's message topic.
        BrokerCase{"PlainToScreen", {"--broker", "{ANONYMOUS}", "--screen", "hall", "Salle 3 : réunion"}, "",
                   "ecran/hall/message", {"Salle 3 : r\xE9union"}},
        BrokerCase{"TickerToGroupUnderPrefix",
                   {"--broker={ANONYMOUS}", "--prefix", "site-a", "--group", "lobby", "--ticker", "Départ"}, "",
                   "site-a/group/lobby/message", {"\xFF" "1D\xE9part"}},
        BrokerCase{"ColourToAll", {"--broker", "{ANONYMOUS}/", "--all", "--color", "red"}, "", "ecran/all/message",
                   {"\xFF" "2255"}},
        BrokerCase{"EveryLineItsOwnPublish", {"--broker", "{ANONYMOUS}", "--all", "--stdin", "--lines"},
                   "un\n\ndeux \xE2\x82\xAC", "ecran/all/message", {"un", "", "deux \x80"}},
        // Taken by the broker, but no screen listens: said, and still a success.
        BrokerCase{"NoScreenSubscribes", {"--broker", "{ANONYMOUS}", "--screen", "nobody", "a"}, "", "", {}, kExitSent,
                   "warning: no screen subscribes to ecran/nobody/message"},
        // Logins, and the ACL that lets a screen read only its own topics.
        BrokerCase{"Login",
                   {"--broker", "{LOGIN}", "--username", "sender", "--password-file", "{DIR}/sender.pw", "--screen",
                    "hall", "a"}, "", "ecran/hall/message", {"a"}, kExitSent, "", "hall"},
        BrokerCase{"ScreenReadsItsGroup",
                   {"--broker", "{LOGIN}", "--username", "sender", "--password-file", "{DIR}/sender.pw", "--group",
                    "lobby", "b"}, "", "ecran/group/lobby/message", {"b"}, kExitSent, "", "hall"},
        BrokerCase{"ScreenCannotReadAnother",
                   {"--broker", "{LOGIN}", "--username", "sender", "--password-file", "{DIR}/sender.pw", "--screen",
                    "kitchen", "c"}, "", "ecran/kitchen/message", {}, kExitSent, "", "hall"},
        BrokerCase{"ScreenCannotSend",
                   {"--broker", "{LOGIN}", "--username", "hall", "--password-file", "{DIR}/hall.pw", "--screen", "hall",
                    "d"}, "", "ecran/hall/message", {}, kExitSendFailure, "refused the message to ecran/hall/message: ",
                   "hall"},
        failed("WrongPassword",
               {"--broker", "{LOGIN}", "--username", "sender", "--password-file", "{DIR}/wrong.pw", "--all", "e"},
               "refused the connection: "),
        failed("NoLogin", {"--broker", "{LOGIN}", "--all", "f"}, "refused the connection: "),
        refused("NoPasswordFile",
                {"--broker", "{LOGIN}", "--username", "sender", "--password-file", "{DIR}/none", "--all", "g"},
                "cannot read the password file"),
        // TLS: the CA made above; the system's CAs do not know it; plain and TLS crossed.
        BrokerCase{"Tls", {"--broker", "{TLS}", "--ca", "{DIR}/ca.crt", "--screen", "hall", "h"}, "",
                   "ecran/hall/message", {"h"}},
        failed("TlsUnknownCa", {"--broker", "{TLS}", "--screen", "hall", "i"}, "TLS failed"),
        failed("TlsToPlainListener",
               {"--broker", "mqtts://127.0.0.1:{ANONYMOUSPORT}", "--ca", "{DIR}/ca.crt", "--all", "j"}, "TLS failed"),
        failed("PlainToTlsListener", {"--broker", "mqtt://localhost:{TLSPORT}", "--all", "k"}, "mqtts://"),
        failed("NoBroker", {"--broker", "mqtt://127.0.0.1:{CLOSEDPORT}", "--all", "l"}, "Connection refused"),
        // The command line, refused before anything is sent.
        refused("NoTarget", {"--broker", "{ANONYMOUS}", "m"}, "--screen NAME, --group NAME or --all"),
        refused("TwoTargets", {"--broker", "{ANONYMOUS}", "--all", "--screen", "hall", "m"}, "one target"),
        refused("TargetWithoutBroker", {"--screen", "hall", "m"}, "--screen goes with --broker"),
        refused("LoginWithoutBroker", {"--port", "9", "--username", "u", "m"}, "--username goes with --broker"),
        refused("HostWithBroker", {"--broker", "{ANONYMOUS}", "--all", "--host", "h", "m"}, "--host is for UDP"),
        refused("ScreenCalledAll", {"--broker", "{ANONYMOUS}", "--screen", "all", "m"}, "--all"),
        refused("NameWithSlash", {"--broker", "{ANONYMOUS}", "--group", "a/b", "m"}, "letters, digits"),
        refused("PrefixOfTwoLevels", {"--broker", "{ANONYMOUS}", "--all", "--prefix", "e/#", "m"}, "--prefix 'e/#'"),
        refused("PasswordOnCommandLine", {"--broker", "{LOGIN}", "--all", "--password", "x", "m"}, "--password-file"),
        refused("PasswordWithoutUser", {"--broker", "{LOGIN}", "--all", "--password-file", "{DIR}/sender.pw", "m"},
                "goes with --username"),
        refused("CaWithoutTls", {"--broker", "{ANONYMOUS}", "--all", "--ca", "{DIR}/ca.crt", "m"}, "mqtts://")),
    [](const auto& param) { return std::string(param.param.name); });

// A broker that never answers the connection, and one that accepts it but
// never acknowledges the message: each wait is bounded and named.
TEST(BrokerSendTimeout, SaysWhatItWaitedFor) {
    for (const bool connack : {false, true}) {
        mqtt_test::BoundSocket fake;
        ASSERT_EQ(listen(fake.fd, 4), 0);
        std::thread broker([&] {
            if (!connack) return;
            const int peer = accept(fake.fd, nullptr, nullptr);
            char buffer[512];
            (void)recv(peer, buffer, sizeof buffer, 0);     // CONNECT
            const char accepted[] = {0x20, 0x03, 0, 0, 0};  // CONNACK, MQTT 5, success, no properties
            (void)send(peer, accepted, sizeof accepted, MSG_NOSIGNAL);
            while (recv(peer, buffer, sizeof buffer, 0) > 0) {
            }
            close(peer);
        });
        const auto url = "mqtt://127.0.0.1:" + std::to_string(fake.port);
        const auto start = std::chrono::steady_clock::now();
        const auto result = runSender({"--broker", url, "--all", "a"}, "", 300ms);
        EXPECT_EQ(result.code, kExitSendFailure);
        EXPECT_NE(result.err.find(connack ? "no answer within 300 ms while waiting for the broker to acknowledge"
                                          : "no answer within 300 ms while connecting"),
                  npos)
            << result.err;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        shutdown(fake.fd, SHUT_RDWR);
        broker.join();
    }
}

// Standard input whose second line comes after the broker restarted, as
// after a pause long enough for a broker to drop an idle connection.
class RestartBetweenLines : public std::streambuf {
public:
    explicit RestartBetweenLines(Broker& broker) : broker_(broker) {}

protected:
    int_type underflow() override {
        if (part_ == 2) return traits_type::eof();
        if (part_++ == 1) broker_.restart();
        std::string& line = part_ == 1 ? first_ : second_;
        setg(line.data(), line.data(), line.data() + line.size());
        return traits_type::to_int_type(line[0]);
    }

private:
    Broker& broker_;
    std::string first_ = "un\n", second_ = "deux\n";
    int part_ = 0;
};

TEST_F(BrokerSend, LinesGoOnAfterTheBrokerDroppedTheConnection) {
    ASSERT_TRUE(broker_->ready());
    RestartBetweenLines input(*broker_);
    std::istream in(&input);
    const auto result = runSender({"--broker", broker_->resolve("{ANONYMOUS}"), "--all", "--stdin", "--lines"}, in);
    EXPECT_EQ(result.code, kExitSent) << result.err;
    // No one listens: the broker says so, for both lines; said once.
    EXPECT_EQ(result.err, "ecran-send: warning: no screen subscribes to ecran/all/message at the moment (is the name "
                          "right?); the broker took it\n");
    EXPECT_TRUE(broker_->ready());
}

// A broker of MQTT 3.1.1 only (aedes): ecran-send falls back to it and says
// what such a broker cannot tell; mosquitto is spoken to in MQTT 5.
TEST(BrokerSendProtocol, FallsBackTo311WhereTheBrokerSpeaksOnlyThat) {
    for (const auto kind : {mqtt_test::BrokerKind::Mosquitto, mqtt_test::BrokerKind::Aedes}) {
        SCOPED_TRACE(mqtt_test::nameOf(kind));
        if (!mqtt_test::missing(kind).empty()) GTEST_SKIP() << mqtt_test::missing(kind);
        mqtt_test::Broker broker({}, kind);
        ASSERT_TRUE(broker.start()) << broker.log();
        mqtt_test::Peer screen(broker.port(), {"ecran/hall/message"});
        ASSERT_TRUE(screen.waitSubscribed());
        const auto result = runSender({"--broker", broker.url(), "--screen", "hall", "vieux"}, "");
        EXPECT_EQ(result.code, kExitSent) << result.err;
        EXPECT_EQ(result.err.find("speaks only MQTT 3.1.1") != npos, kind == mqtt_test::BrokerKind::Aedes)
            << result.err;
        EXPECT_EQ(screen.payloads(1), std::vector<std::string>{"vieux"});
    }
}

struct UrlCase {
    const char* text;
    bool tls;
    const char* host;
    int port;  // 0: refused
};

TEST(BrokerUrl, ReadsSchemeHostAndPort) {
    const UrlCase cases[] = {
        {"mqtt://broker.example", false, "broker.example", 1883},
        {"MQTTS://broker.example", true, "broker.example", 8883},
        {"mqtt://10.0.0.2:1884/", false, "10.0.0.2", 1884},
        {"mqtts://[::1]:8884", true, "::1", 8884},
        {"mqtts://[fd00::2]", true, "fd00::2", 8883},
        {"http://broker", false, "", 0},
        {"mqtt://", false, "", 0},
        {"mqtt://h:", false, "", 0},
        {"mqtt://h:0", false, "", 0},
        {"mqtt://h:65536", false, "", 0},
        {"mqtt://fd00::2", false, "", 0},
        {"mqtt://[::1", false, "", 0},
        {"mqtt://user:pw@h", false, "", 0},
        {"mqtt://h/topic", false, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.port == 0) {
            EXPECT_THROW((void)ecran::sender::parseBrokerUrl(c.text), ecran::sender::ArgumentError);
            continue;
        }
        const auto url = ecran::sender::parseBrokerUrl(c.text);
        EXPECT_EQ(url.tls, c.tls);
        EXPECT_EQ(url.host, c.host);
        EXPECT_EQ(url.port, c.port);
    }
}

}  // namespace
