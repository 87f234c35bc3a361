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
};

class MqttClient : public QObject {
    Q_OBJECT

public:
    // The session is persistent unless the options say otherwise, so commands
    // sent while the screen was away wait for it at the broker.
    explicit MqttClient(MqttOptions options, QObject* parent = nullptr);
    ~MqttClient() override;

    // Starts connecting; retries for ever with back-off from 1 to 10 s.
    void start();

    // Publishes with QoS 1; false when not connected (nothing is queued).
    bool publish(const std::string& topic, const std::string& payload, bool retain);
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
    // The broker acknowledged the QoS 1 message of this id.
    void acknowledged(int mid);

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
