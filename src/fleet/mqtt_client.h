#pragma once
// The screen's connection to its broker, over libmosquitto. The library's
// network loop runs on a thread of its own: resolving the broker's name,
// connecting, TLS and a broker that stops answering never hold the window's
// thread, so the ticker keeps moving whatever the network does. What the
// loop learns reaches the window's thread as queued signals.

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ecran::fleet {

struct MqttOptions {
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string ca;  // CA file; empty: the system's CAs
    std::string username, password;
    std::string clientId;
    int keepalive = 10;
    std::string willTopic, willPayload;   // published by the broker when the screen vanishes
    std::vector<std::string> subscriptions;  // QoS 1, after every connect
    bool cleanSession = false;  // true for a watcher that needs no queued commands (the console)
    // The subscriptions carry a screen's commands: a retained message is no
    // command and is not taken, and with MQTT 5 the broker is told the
    // largest packet that holds the longest payload, and never sends a larger one.
    bool commands = false;
    std::size_t maxPayload = 65507;  // longer payloads are cut one byte past this, for their refusal
    // Messages waiting for the owner are bounded by count and by bytes: the
    // oldest go first. A screen's bound is a flood of commands; a console
    // needs room for every screen's retained picture at its connection.
    std::size_t maxWaiting = 4096;
    std::size_t maxWaitingBytes = 4u << 20;
};

// How the connection is retried: the delay doubles from 1 s to 10 s, and
// goes back to 1 s only after a connection that lasted (a broker that takes
// the connection and drops it at once is retried as slowly as one that is
// away); while another client takes this one's session (same client id),
// about once a minute. MQTT 3.1.1 does not say why the broker closed, nor
// does mosquitto 2.0 to MQTT 5 clients: connections closed soon after they
// were accepted, kShortLivedInARow in a row, are taken for a clone too.
struct Backoff {
    static constexpr std::chrono::seconds kFirst{1}, kMost{10}, kTakenOver{60}, kLasting{30}, kShortLived{5};
    static constexpr int kShortLivedInARow = 3;
    std::chrono::seconds delay = kFirst;
    int shortLived = 0;
    struct Next {
        std::chrono::seconds wait;
        bool takenOver;
    };
    // An attempt ended; `lasted`: how long its connection lasted, if it
    // connected; `takenOver`: the broker said another client took the session.
    Next next(std::optional<std::chrono::steady_clock::duration> lasted, bool takenOver);
};

class MqttClient : public QObject {
    Q_OBJECT

public:
    // The session is persistent unless the options say otherwise, so commands
    // sent while the screen was away wait for it at the broker.
    explicit MqttClient(MqttOptions options, QObject* parent = nullptr);
    ~MqttClient() override;

    // Starts connecting with MQTT 5, or 3.1.1 with a broker that speaks only
    // that; retries for ever (see Backoff).
    void start();

    // Publishes with QoS 1; false when not connected (nothing is queued) or
    // when the packet is larger than the broker takes, which `tooLarge`
    // then says in words (the broker's limit and the packet's size).
    bool publish(const std::string& topic, const std::string& payload, bool retain, std::string* tooLarge = nullptr);
    // Publishes with QoS 1 and returns the message id that acknowledged()
    // will carry, or a negative libmosquitto code (-MOSQ_ERR_NO_CONN when not
    // connected). Called on the client's thread, the id is known before the
    // queued acknowledgement can arrive.
    int publishTracked(const std::string& topic, const std::string& payload, bool retain);

    // Clean stop, bounded by `wait` for each of its steps: when connected,
    // publishes `payload` retained on `topic` and waits for the broker's
    // acknowledgement, then disconnects and ends the network thread.
    // Returns false when the broker did not acknowledge in time.
    bool stop(const std::string& topic, const std::string& payload, std::chrono::milliseconds wait);

    [[nodiscard]] bool connected() const noexcept;

    // One message from the broker, in the order it came.
    struct Message {
        QString topic;
        QByteArray payload;
    };
    // The messages waiting, oldest first, at most `most` of them; and how
    // many older ones were dropped because the window fell too far behind.
    [[nodiscard]] std::vector<Message> takeMessages(std::size_t most, std::uint64_t& dropped);

signals:
    void connectedToBroker();
    void connectionFailed(const QString& why);  // an attempt failed; another follows
    void connectionLost(const QString& why);
    // Messages wait for takeMessages; said once until they are taken.
    void messagesWaiting();
    // The broker answered the QoS 1 message of this id: it took it (refusal
    // empty) or, under MQTT 5, refused it (its reason in words).
    void acknowledged(int mid, const QString& refusal);
    // A command the broker delivered with the retain flag: not taken.
    void retainedIgnored(const QString& topic);
    // The broker refused a subscription or a publication (reason in words).
    void refused(const QString& topic, const QString& reason, bool subscription);
    // Another client with this client id took the session.
    void sessionTakenOver();
    // The broker speaks only MQTT 3.1.1: the client speaks it too from now on.
    void fellBackTo311();

private:
    struct Shared;

    MqttOptions options_;
    // What the network thread and the callbacks share with this object. The
    // thread holds it too, so a thread left to end with the process (stuck
    // resolving a name at stop) never touches a destroyed object.
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace ecran::fleet
