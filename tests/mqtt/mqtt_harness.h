#pragma once
// The MQTT side of the tests, written once for every test executable: a
// private broker (mosquitto, or aedes from tests/interop for a second
// implementation that speaks only MQTT 3.1.1) in a temporary folder on free
// loopback ports, started and stopped by the test, never the system's
// service; certificates made with openssl; and a peer, a plain MQTT client
// that publishes and watches what arrives.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/sandbox.h"

struct mosquitto;

namespace mqtt_test {

enum class BrokerKind { Mosquitto, Aedes };
[[nodiscard]] const char* nameOf(BrokerKind kind);

// The broker program, or empty when it is not installed.
std::string mosquittoProgram();
// Node.js, and a script of tests/interop (MQTT.js's publish.mjs...).
std::string nodeProgram();
std::string interopScript(const std::string& name);
// The broker ACL the fleet's documentation gives (its first block after
// "**The ACL**"), so that the tests run what operators copy.
std::string documentedAcl();
// Why a broker of this kind cannot run here (for a skip), or empty.
[[nodiscard]] std::string missing(BrokerKind kind);

// A TCP socket bound to a free loopback port; listening, it accepts
// connections into its backlog and never answers them.
struct BoundSocket {
    int fd = -1;
    int port = 0;
    BoundSocket();
    ~BoundSocket();
    BoundSocket(const BoundSocket&) = delete;
    BoundSocket& operator=(const BoundSocket&) = delete;
};

class Broker {
public:
    // `extra` is added to the first listener's settings (TLS files, a
    // password file...); aedes takes none.
    explicit Broker(std::string extra = {}, BrokerKind kind = BrokerKind::Mosquitto);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Another mosquitto listener on a free port with settings of its own
    // (each listener then keeps its own logins and rules); its port.
    int addListener(std::string settings);
    // Starts on the same ports each time; false (with the log) when it does not come up.
    [[nodiscard]] bool start();
    void stop();
    [[nodiscard]] bool restart() {
        stop();
        return start();
    }
    [[nodiscard]] int port() const noexcept { return port_; }
    [[nodiscard]] const std::filesystem::path& dir() const noexcept { return dir_.path(); }
    [[nodiscard]] std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    [[nodiscard]] std::string log() const;

private:
    ecran::test_support::TempDir dir_{"ecran-broker"};
    std::string extra_;
    BrokerKind kind_;
    int port_ = 0;
    std::vector<std::pair<int, std::string>> listeners_;
    pid_t pid_ = -1;
};

// In `dir`: ca.crt/ca.key, a server certificate (server.crt, server.key)
// for localhost and 127.0.0.1 signed by it, and another CA (other.crt) that
// signed nothing. The mosquitto settings that serve them, or empty when
// openssl failed.
std::string makeCertificates(const std::filesystem::path& dir);

struct PeerOptions {
    std::string username, password, ca;
    int protocol = 0;  // MQTT_PROTOCOL_V311 or V5; 0: the library's default
};

class Peer {
public:
    struct Message {
        std::string topic, payload;
        bool retained;
    };
    Peer(int port, const std::vector<std::string>& subscriptions, PeerOptions options = {});
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    [[nodiscard]] bool connected() const;
    // Every subscription acknowledged, within 5 s.
    [[nodiscard]] bool waitSubscribed();
    // Publishes and, when asked, waits (up to 5 s) for the broker's acknowledgement.
    bool publish(const std::string& topic, const std::string& payload, int qos = 1, bool wait = true,
                 bool retain = false);
    [[nodiscard]] std::vector<Message> messages() const;
    [[nodiscard]] std::optional<std::string> last(const std::string& topic) const;
    [[nodiscard]] std::size_t count(const std::string& topic) const;
    // The payloads that arrived: waits (up to 5 s) for `count`, then a moment for any more.
    [[nodiscard]] std::vector<std::string> payloads(std::size_t count);

private:
    // Changes the peer's record under its lock and wakes whoever waits on it.
    template <class Change>
    static void update(void* self, Change change);
    mosquitto* mosq_ = nullptr;
    std::vector<std::string> subscriptions_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false;
    std::size_t subscribed_ = 0;
    std::vector<Message> messages_;
    std::vector<int> acknowledged_;
};

// Stderr of this process goes to a file while it lives, so a test reads
// what the display said.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    [[nodiscard]] std::string text() const;

private:
    ecran::test_support::TempDir dir_{"ecran-stderr"};
    std::filesystem::path file_ = dir_.path() / "stderr";
    int saved_ = -1;
};

// Runs a command through the shell; its exit status.
int shell(const std::string& command);

}  // namespace mqtt_test
