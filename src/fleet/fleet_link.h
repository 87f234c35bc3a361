#pragma once
// The link between one screen and its fleet's broker. Commands from the
// broker take the window's own arrival road (the same as a datagram's); each
// message the window takes is published back as the screen's state, with
// its status (online/offline), snapshots of the window and, when asked, Home
// Assistant discovery.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fleet/fleet_config.h"
#include "fleet/fleet_payload.h"

namespace ecran::display {
class Form1;
class WindowSnapshot;
}

namespace ecran::fleet {

class MqttClient;

class FleetLink : public QObject {
    Q_OBJECT

public:
    FleetLink(display::Form1& form, FleetConfig config, std::string version, QObject* parent = nullptr);
    ~FleetLink() override;

    // Says on stderr where it connects, and starts connecting.
    void start();
    // Clean stop: "offline" on the status topic, then disconnect; bounded.
    void stop();

    // The JSON state of the screen as it is now.
    [[nodiscard]] std::string stateNow() const;
    // How many commands arrived from the broker (taken, refused or ignored).
    [[nodiscard]] std::uint64_t commandsReceived() const noexcept { return commandsReceived_; }

private:
    void takeCommands();
    // The datagram a command stands for; nothing when it is not for this
    // screen or refused (said on stderr).
    std::optional<std::string> datagramOf(const QString& topic, const QByteArray& payload);
    void messageApplied(const QString& source);
    // The state changed: published now or at the pacer's next turn.
    void stateChanged();
    void refused(const QString& topic, const QString& why, bool subscription);
    void connected();
    void publishState();
    // Publishes retained; a packet larger than the broker takes is said,
    // naming the topic, instead of vanishing. False when not published.
    bool publish(const std::string& topic, const std::string& payload);
    // The window changed (or only its ticker moved for a while): a snapshot
    // now, or at the end of the quiet time; none while disconnected.
    void snapshotChanged();
    void takeSnapshot();
    void snapshotTaken(const QByteArray& jpeg, qint64 drawnAt);

    display::Form1& form_;
    FleetConfig config_;
    TopicScheme scheme_;
    std::string version_;
    std::unique_ptr<MqttClient> client_;
    StatePacer pacer_;
    QTimer* pending_;  // the paced state publication
    QTimer* more_;     // takes the next batch of commands after the loop's turn
    std::string source_ = "stored";
    std::chrono::system_clock::time_point updated_;
    std::uint64_t commandsReceived_ = 0;
    std::vector<std::string> refused_;  // by the broker, since the last connection
    // Commands dropped because the screen fell behind: in all, and when.
    struct Dropped {
        std::uint64_t total = 0;
        std::vector<std::pair<std::chrono::steady_clock::time_point, std::uint64_t>> recent;
        [[nodiscard]] std::uint64_t lastMinute(std::chrono::steady_clock::time_point now);
    };
    std::shared_ptr<Dropped> dropped_ = std::make_shared<Dropped>();
    // Snapshots: none when [mqtt] snapshot is 0.
    std::unique_ptr<display::WindowSnapshot> snapshot_;
    StatePacer snapshotPacer_;
    QTimer* snapshotDue_;   // the snapshot of a change inside the quiet time
    QTimer* snapshotIdle_;  // one a minute while only the ticker moves
    std::optional<std::chrono::system_clock::time_point> snapshotAt_;  // the last one published
};

}  // namespace ecran::fleet
