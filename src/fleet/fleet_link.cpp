#include "fleet/fleet_link.h"

#include <QElapsedTimer>

#include <algorithm>
#include <iostream>
#include <utility>
#include <vector>

#include "display/colors.h"
#include "display/form1.h"
#include "display/window_snapshot.h"
#include "errors/error.h"
#include "errors/report.h"
#include "fleet/mqtt_client.h"

namespace ecran::fleet {
namespace {

constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";
// Each step of a clean stop (the broker's acknowledgement, the disconnect)
// waits at most this long.
constexpr std::chrono::milliseconds kStopWait(1000);
// Commands handled in one turn of the window's loop: taken a few at a time
// until the turn has lasted as long as a batch of datagrams may, so that
// paints, ticks and datagrams run between turns whatever the commands hold.
constexpr std::size_t kChunkCommands = 16;
constexpr std::chrono::milliseconds kBatchTime(20);
// A snapshot is taken at least this often while only the ticker moves (or
// at the snapshot key's pace, if slower). One larger than the bound is not
// sent: the tuned broker takes packets of 1 MiB, topic included, and a
// 480-pixel JPEG of the window is about ten kilobytes.
constexpr std::chrono::seconds kSnapshotIdle(60);
constexpr qsizetype kMaxSnapshotBytes = 1000000;

MqttOptions optionsOf(const FleetConfig& c, const TopicScheme& scheme) {
    MqttOptions o;
    o.host = c.host;
    o.port = c.port;
    o.tls = c.tls;
    o.ca = c.ca;
    o.username = c.username;
    o.password = c.password;
    o.clientId = c.clientId();
    o.keepalive = c.keepalive;
    o.willTopic = statusTopic(scheme);
    o.willPayload = kOffline;
    o.subscriptions = commandTopics(scheme);
    o.commands = true;
    return o;
}

}  // namespace

FleetLink::FleetLink(display::Form1& form, FleetConfig config, std::string version, QObject* parent)
    : QObject(parent),
      form_(form),
      config_(std::move(config)),
      scheme_{config_.prefix, config_.name, config_.groups},
      version_(std::move(version)),
      client_(std::make_unique<MqttClient>(optionsOf(config_, scheme_))),
      pending_(new QTimer(this)),
      updated_(std::chrono::system_clock::now()) {
    pending_->setSingleShot(true);
    connect(pending_, &QTimer::timeout, this, &FleetLink::publishState);
    more_ = new QTimer(this);
    more_->setSingleShot(true);
    more_->setInterval(0);
    connect(more_, &QTimer::timeout, this, &FleetLink::takeCommands);
    connect(client_.get(), &MqttClient::messagesWaiting, this, &FleetLink::takeCommands);
    connect(client_.get(), &MqttClient::connectedToBroker, this, &FleetLink::connected);
    connect(client_.get(), &MqttClient::connectionFailed, this, [this](const QString& why) {
        errors::reports().report("mqtt connect " + why.toStdString(),
                                 "ecran: cannot connect to the MQTT broker " + config_.broker + ": " +
                                     why.toStdString() + "; trying again (every 10 s at most)");
    });
    connect(client_.get(), &MqttClient::connectionLost, this, [this](const QString& why) {
        errors::reports().report("mqtt lost " + why.toStdString(),
                                 "ecran: lost the MQTT broker " + config_.broker + " (" + why.toStdString() +
                                     "); reconnecting, UDP messages are still shown");
    });
    connect(client_.get(), &MqttClient::retainedIgnored, this, [](const QString& topic) {
        const std::string t = topic.toStdString();
        errors::reports().report("mqtt retained " + t,
                                 "ecran: MQTT " + t + ": a retained command was ignored (a command is an event; the "
                                 "broker would give it again at every connection); clear it with: mosquitto_pub -r "
                                 "-n -t '" + t + "'");
    });
    connect(client_.get(), &MqttClient::refused, this, &FleetLink::refused);
    connect(client_.get(), &MqttClient::sessionTakenOver, this, [this] {
        errors::reports().report("mqtt taken over",
                                 "ecran: another screen uses the name " + config_.name + " on the MQTT broker " +
                                     config_.broker + " (client id " + config_.clientId() +
                                     ") and took this screen's session; each screen needs its own [mqtt] name; "
                                     "trying again about once a minute");
    });
    connect(client_.get(), &MqttClient::fellBackTo311, this, [this] {
        errors::reports().report("mqtt 3.1.1", "ecran: the MQTT broker " + config_.broker +
                                                   " speaks only MQTT 3.1.1: connecting with it; such a broker "
                                                   "cannot say when its ACL refuses a publication");
    });
    connect(&form_, &display::Form1::messageApplied, this, &FleetLink::messageApplied);

    snapshotPacer_ = StatePacer(config_.snapshot);
    snapshotDue_ = new QTimer(this);
    snapshotDue_->setSingleShot(true);
    connect(snapshotDue_, &QTimer::timeout, this, &FleetLink::takeSnapshot);
    snapshotIdle_ = new QTimer(this);
    snapshotIdle_->setSingleShot(true);
    snapshotIdle_->setInterval(std::max(std::chrono::milliseconds(kSnapshotIdle),
                                        std::chrono::milliseconds(config_.snapshot)));
    connect(snapshotIdle_, &QTimer::timeout, this, &FleetLink::snapshotChanged);
    if (config_.snapshot.count() > 0) {
        snapshot_ = std::make_unique<display::WindowSnapshot>(form_);
        connect(snapshot_.get(), &display::WindowSnapshot::taken, this, &FleetLink::snapshotTaken);
    }
}

std::uint64_t FleetLink::Dropped::lastMinute(std::chrono::steady_clock::time_point now) {
    std::erase_if(recent, [now](const auto& r) { return now - r.first > std::chrono::minutes(1); });
    std::uint64_t n = 0;
    for (const auto& r : recent) n += r.second;
    return n;
}

FleetLink::~FleetLink() { stop(); }

void FleetLink::start() {
    std::cerr << "ecran: connecting to the MQTT broker " << config_.broker << " as " << config_.clientId()
              << "; commands on " << config_.prefix << "/" << config_.name << "/..., " << config_.prefix
              << "/all/...";
    for (const auto& g : config_.groups) std::cerr << ", " << config_.prefix << "/group/" << g << "/...";
    if (snapshot_) {
        std::cerr << "; snapshots on " << snapshotTopic(scheme_) << ", at most one every " << config_.snapshot.count()
                  << " s";
    }
    if (!config_.discovery.empty()) {
        std::cerr << "; Home Assistant discovery on " << config_.discovery << "/text/" << discoveryNode(config_.name)
                  << "/+/config";
        if (snapshot_) {
            std::cerr << " and " << config_.discovery << "/image/" << discoveryNode(config_.name) << "/+/config";
        }
    }
    std::cerr << "\n";
    client_->start();
}

void FleetLink::stop() {
    if (!client_) return;
    pending_->stop();
    snapshotDue_->stop();
    snapshotIdle_->stop();
    if (client_->connected()) publishState();
    if (!client_->stop(statusTopic(scheme_), kOffline, kStopWait)) {
        std::cerr << "ecran: the MQTT broker " << config_.broker
                  << " did not acknowledge \"offline\" in time; it will say so itself after the keep-alive\n";
    }
    client_.reset();
}

void FleetLink::takeCommands() {
    QElapsedTimer clock;
    clock.start();
    // Each takes the window's road; only the turn's last is stored, as for a
    // batch of datagrams, since each stored message replaces the one before.
    std::optional<std::pair<std::string, QString>> last;
    std::size_t taken = 0;
    do {
        std::uint64_t dropped = 0;
        const auto chunk = client_->takeMessages(kChunkCommands, dropped);
        taken = chunk.size();
        if (dropped > 0) {
            const auto now = std::chrono::steady_clock::now();
            dropped_->total += dropped;
            dropped_->recent.emplace_back(now, dropped);
            errors::reports().report("mqtt dropped", [counts = dropped_](std::uint64_t) {
                return "ecran: MQTT commands came faster than the screen could take them: the oldest waiting were "
                       "dropped, " +
                       std::to_string(counts->total) + " commands in all, " +
                       std::to_string(counts->lastMinute(std::chrono::steady_clock::now())) + " in the last minute";
            });
        }
        for (const auto& m : chunk) {
            auto d = datagramOf(m.topic, m.payload);
            if (!d) continue;
            if (last) form_.arrive(last->first, last->second, false);
            last.emplace(std::move(*d), QStringLiteral("mqtt ") + m.topic);
        }
    } while (taken == kChunkCommands && clock.elapsed() < kBatchTime.count());
    if (last) form_.arrive(last->first, last->second, true);
    // A zero timer, like the socket's: paints and ticks run between turns.
    if (taken == kChunkCommands) more_->start();
}

std::optional<std::string> FleetLink::datagramOf(const QString& topic, const QByteArray& payload) {
    ++commandsReceived_;
    const std::string topicText = topic.toStdString();
    const auto command = commandOf(scheme_, topicText);
    if (!command) return std::nullopt;
    auto result =
        datagramFor(*command, std::string_view(payload.constData(), static_cast<std::size_t>(payload.size())));
    if (!result.note.empty()) {
        // One kind a topic and reason, so a stream of odd payloads is said
        // once a minute, each reason named, and the limiter's table stays small.
        errors::reports().report("mqtt " + topicText + " " + result.kind,
                                 "ecran: MQTT " + topicText + ": " + result.note);
    }
    return std::move(result.datagram);
}

void FleetLink::refused(const QString& topic, const QString& why, bool subscription) {
    const std::string t = topic.toStdString();
    const bool ownState = !subscription && t == stateTopic(scheme_);
    errors::reports().report(std::string(subscription ? "mqtt subscribe " : "mqtt publish ") + t,
                             "ecran: the MQTT broker " + config_.broker + " refused " +
                                 (subscription ? "the subscription to " : "the publication to ") + t + ": " +
                                 why.toStdString() + " (check its ACL for the user " +
                                 (config_.username.empty() ? std::string("without a login") : config_.username) +
                                 ")" + (ownState ? "; the fleet cannot see this screen's state" : ""));
    // The state lists what was refused, unless the refusal is its own.
    if (ownState || std::find(refused_.begin(), refused_.end(), t) != refused_.end() || refused_.size() >= 64) return;
    refused_.push_back(t);
    stateChanged();
}

void FleetLink::messageApplied(const QString& source) {
    source_ = source.toStdString();
    updated_ = std::chrono::system_clock::now();
    stateChanged();
    snapshotChanged();
}

void FleetLink::stateChanged() {
    const auto wait = pacer_.changed(StatePacer::Clock::now());
    if (!wait) return;  // a paced publication is already due and will carry this change
    if (*wait == StatePacer::Clock::duration::zero()) {
        publishState();
    } else {
        pending_->start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*wait).count()));
    }
}

std::string FleetLink::stateNow() const {
    ScreenState s;
    s.text = form_.Label1->caption();
    s.ticker = form_.Label2->caption();
    try {
        s.rgb = display::colorFromNumber(form_.label1ForeColorNumber(), form_.palette()).rgb() & 0xFFFFFFu;
    } catch (const errors::Error&) {
        s.rgb = 0;  // the window holds only colours it took; kept for safety
    }
    s.updated = updated_;
    s.source = source_;
    s.version = version_;
    s.groups = config_.groups;
    s.refused = refused_;
    s.snapshot = snapshotAt_;
    return stateJson(s);
}

void FleetLink::publishState() {
    if (!client_) return;  // stopped: a message the window takes while it closes is not published
    pacer_.published(StatePacer::Clock::now());
    (void)publish(stateTopic(scheme_), stateNow());
}

bool FleetLink::publish(const std::string& topic, const std::string& payload) {
    std::string tooLarge;
    if (client_->publish(topic, payload, true, &tooLarge)) return true;
    if (!tooLarge.empty()) {
        errors::reports().report("mqtt too large " + topic,
                                 "ecran: not published to " + topic + " on the MQTT broker " + config_.broker + ": " +
                                     tooLarge + (topic == stateTopic(scheme_) ? "; the fleet cannot see this "
                                                                                "screen's state until it is smaller"
                                                                              : ""));
    }
    return false;
}

void FleetLink::connected() {
    errors::reports().report("mqtt connected", "ecran: connected to the MQTT broker " + config_.broker);
    refused_.clear();  // the broker says again what it refuses to this connection
    (void)publish(statusTopic(scheme_), kOnline);
    if (!config_.discovery.empty()) {
        for (const auto& d : discoveryConfigs(scheme_, config_.discovery, version_, snapshot_ != nullptr)) {
            (void)publish(d.topic, d.payload);
        }
    }
    // Without snapshots, a picture left from a run that had them would pass
    // for what the screen shows: it is cleared.
    if (!snapshot_) (void)publish(snapshotTopic(scheme_), {});
    pending_->stop();
    publishState();
    snapshotChanged();
}

void FleetLink::snapshotChanged() {
    if (!snapshot_ || !client_ || !client_->connected() || snapshotDue_->isActive()) return;
    const auto wait = snapshotPacer_.changed(StatePacer::Clock::now());
    if (!wait) return;  // one is due already and will show this change
    // Even at once, after the loop's turn: the rest of a batch of messages
    // is in the picture.
    snapshotDue_->start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*wait).count()));
}

void FleetLink::takeSnapshot() {
    snapshotPacer_.published(StatePacer::Clock::now());
    snapshotIdle_->start();
    // Disconnected meanwhile: the first one after the reconnection follows.
    if (client_ && client_->connected()) snapshot_->take();
}

void FleetLink::snapshotTaken(const QByteArray& jpeg, qint64 drawnAt) {
    if (jpeg.isEmpty()) {
        errors::reports().report("snapshot encode",
                                 "ecran: the window's snapshot could not be encoded as JPEG (Qt's JPEG image plugin "
                                 "is missing?); no snapshot is published");
        return;
    }
    if (jpeg.size() > kMaxSnapshotBytes) {
        errors::reports().report("snapshot size", "ecran: a snapshot of " + std::to_string(jpeg.size()) +
                                                      " bytes is over " + std::to_string(kMaxSnapshotBytes) +
                                                      " bytes and was not published to " + snapshotTopic(scheme_));
        return;
    }
    // Not connected: dropped, never queued; the reconnection takes a new one.
    if (!client_ || !publish(snapshotTopic(scheme_), jpeg.toStdString())) return;
    // Published before the state that names it.
    snapshotAt_ = std::chrono::system_clock::time_point(std::chrono::milliseconds(drawnAt));
    stateChanged();
}

}  // namespace ecran::fleet
