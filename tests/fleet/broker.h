#pragma once
// A private mosquitto for the tests: its own configuration file in a
// temporary folder, a free loopback port, started and stopped by the test
// (never the system's service). And a peer: a plain MQTT client that
// publishes commands and watches what a screen publishes.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace fleet_test {

// The broker program, or empty when it is not installed.
std::string mosquittoProgram();

class Broker {
public:
    // `extra` is added to the configuration (TLS files, a password file...).
    explicit Broker(std::string extra = {});
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Starts on the same port each time; false (with the log) when it does not come up.
    [[nodiscard]] bool start();
    void stop();
    [[nodiscard]] int port() const noexcept { return port_; }
    [[nodiscard]] const std::filesystem::path& dir() const noexcept { return dir_; }
    [[nodiscard]] std::string log() const;

private:
    std::filesystem::path dir_;
    std::string extra_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// A free TCP port on the loopback address.
int freePort();

struct PeerOptions {
    std::string username, password, ca;
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
    // Publishes and, when asked, waits (up to 5 s) for the broker's acknowledgement.
    bool publish(const std::string& topic, const std::string& payload, int qos = 1, bool wait = true);
    [[nodiscard]] std::vector<Message> messages() const;
    [[nodiscard]] std::optional<std::string> last(const std::string& topic) const;
    [[nodiscard]] std::size_t count(const std::string& topic) const;

private:
    static void onConnect(mosquitto*, void* self, int rc);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* m);
    static void onPublish(mosquitto*, void* self, int mid);
    mosquitto* mosq_ = nullptr;
    std::vector<std::string> subscriptions_;
    mutable std::mutex mutex_;
    bool connected_ = false;
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
    std::filesystem::path file_;
    int saved_ = -1;
};

// Runs a command through the shell; its exit status.
int shell(const std::string& command);

}  // namespace fleet_test
