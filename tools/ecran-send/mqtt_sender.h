#pragma once
// Publishes messages to an MQTT broker with QoS 1 and waits, for each one,
// until the broker has acknowledged it. libmosquitto, driven from this
// thread; every wait is bounded.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ecran-send/broker.h"
#include "ecran-send/sink.h"

struct mosquitto;

namespace ecran::sender {

struct BrokerLogin {
    std::optional<std::string> username;
    std::optional<std::string> password;
    std::optional<std::string> caFile;  // for mqtts://; without it the system's CAs
};

class MqttSender : public MessageSink {
public:
    // How long the broker has to answer a connection or a publish.
    static constexpr std::chrono::seconds kDefaultTimeout{10};

    // Connects to the broker and waits for its answer. Throws SendError when
    // it cannot connect, refuses the login, fails TLS or does not answer
    // within `timeout`. `warn` receives notes for the operator (a message
    // that no screen subscribes to).
    MqttSender(const BrokerUrl& url, const BrokerLogin& login, std::string topic, std::chrono::milliseconds timeout,
               std::function<void(const std::string&)> warn);
    ~MqttSender() override;
    MqttSender(const MqttSender&) = delete;
    MqttSender& operator=(const MqttSender&) = delete;

    // Publishes one message to the topic and returns once the broker has
    // acknowledged it. Reconnects first if the broker dropped an idle
    // connection (a long pause between lines). Throws SendError.
    void send(std::string_view message) override;

    // What the library's callbacks report; declared here so that they can
    // name it.
    struct State;

private:
    void connect();
    void waitFor(const std::function<bool()>& done, const std::string& what);
    [[nodiscard]] std::string failure(int rc, int savedErrno) const;

    BrokerUrl url_;
    std::string topic_;
    std::chrono::milliseconds timeout_;
    std::function<void(const std::string&)> warn_;
    bool warned_ = false;  // the note about no subscriber is said once
    bool v5_ = true;       // MQTT 5 until the broker says it speaks only 3.1.1
    std::unique_ptr<State> state_;
    std::unique_ptr<mosquitto, void (*)(mosquitto*)> client_;
};

}  // namespace ecran::sender
