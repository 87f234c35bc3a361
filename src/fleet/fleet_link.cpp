#include "fleet/fleet_link.h"

#include <iostream>
#include <utility>
#include <vector>

#include "display/colors.h"
#include "display/form1.h"
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
// Commands handled in one turn of the window's loop.
constexpr std::size_t kBatchCommands = 512;

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
    connect(&form_, &display::Form1::messageApplied, this, &FleetLink::messageApplied);
}

FleetLink::~FleetLink() { stop(); }

void FleetLink::start() {
    std::cerr << "ecran: connecting to the MQTT broker " << config_.broker << " as " << config_.clientId()
              << "; commands on " << config_.prefix << "/" << config_.name << "/..., " << config_.prefix
              << "/all/...";
    for (const auto& g : config_.groups) std::cerr << ", " << config_.prefix << "/group/" << g << "/...";
    std::cerr << "\n";
    client_->start();
}

void FleetLink::stop() {
    if (!client_) return;
    pending_->stop();
    if (client_->connected()) publishState();
    if (!client_->stop(statusTopic(scheme_), kOffline, kStopWait)) {
        std::cerr << "ecran: the MQTT broker " << config_.broker
                  << " did not acknowledge \"offline\" in time; it will say so itself after the keep-alive\n";
    }
    client_.reset();
}

void FleetLink::takeCommands() {
    std::uint64_t dropped = 0;
    const auto batch = client_->takeMessages(kBatchCommands, dropped);
    if (dropped > 0) {
        errors::reports().report("mqtt dropped", "ecran: MQTT commands came faster than the screen could take them: " +
                                                     std::to_string(dropped) + " of the oldest waiting were dropped");
    }
    std::vector<std::pair<std::string, QString>> datagrams;
    for (const auto& m : batch) {
        if (auto d = datagramOf(m.topic, m.payload)) datagrams.emplace_back(std::move(*d), QStringLiteral("mqtt ") + m.topic);
    }
    // Each takes the window's road; only the batch's last is stored, as for
    // a batch of datagrams, since each stored message replaces the one before.
    for (std::size_t k = 0; k < datagrams.size(); ++k) {
        form_.arrive(datagrams[k].first, datagrams[k].second, k + 1 == datagrams.size());
    }
    // A zero timer, like the socket's: paints and ticks run between batches.
    if (batch.size() == kBatchCommands) more_->start();
}

std::optional<std::string> FleetLink::datagramOf(const QString& topic, const QByteArray& payload) {
    ++commandsReceived_;
    const std::string topicText = topic.toStdString();
    const auto command = commandOf(scheme_, topicText);
    if (!command) return std::nullopt;
    auto result =
        datagramFor(*command, std::string_view(payload.constData(), static_cast<std::size_t>(payload.size())));
    if (!result.note.empty()) {
        // One kind a topic and outcome, so a stream of odd payloads is said
        // once a minute and the limiter's table stays small.
        errors::reports().report("mqtt " + topicText + (result.datagram ? " replaced" : " refused"),
                                 "ecran: MQTT " + topicText + ": " + result.note);
    }
    return std::move(result.datagram);
}

void FleetLink::messageApplied(const QString& source) {
    source_ = source.toStdString();
    updated_ = std::chrono::system_clock::now();
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
    return stateJson(s);
}

void FleetLink::publishState() {
    pacer_.published(StatePacer::Clock::now());
    (void)client_->publish(stateTopic(scheme_), stateNow(), true);
}

void FleetLink::connected() {
    errors::reports().report("mqtt connected", "ecran: connected to the MQTT broker " + config_.broker);
    (void)client_->publish(statusTopic(scheme_), kOnline, true);
    if (!config_.discovery.empty()) {
        for (const auto& d : discoveryConfigs(scheme_, config_.discovery, version_)) {
            (void)client_->publish(d.topic, d.payload, true);
        }
    }
    pending_->stop();
    publishState();
}

}  // namespace ecran::fleet
