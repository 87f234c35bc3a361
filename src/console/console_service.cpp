#include "console/console_service.h"

#include <QHostAddress>
#include <QRandomGenerator>
#include <QTimer>

#include <iostream>

namespace ecran::console {

ConsoleService::ConsoleService(const ConsoleConfig& config, QObject* parent)
    : QObject(parent), config_(config), store_(config.data), model_(config.mqtt.prefix) {
    fleet::MqttOptions o;
    o.host = config.mqtt.host;
    o.port = config.mqtt.port;
    o.tls = config.mqtt.tls;
    o.ca = config.mqtt.ca;
    o.username = config.mqtt.username;
    o.password = config.mqtt.password;
    // Several consoles may watch one fleet: each has an id of its own and
    // a clean session, since it needs nothing queued while it was away.
    o.clientId = config.mqtt.prefix + "-console-" +
                 QByteArray::number(QRandomGenerator::system()->generate64(), 16).toStdString();
    o.keepalive = config.mqtt.keepalive;
    o.subscriptions = model_.subscriptions();
    o.cleanSession = true;
    // Pictures are larger than any command: taken whole up to their bound.
    o.maxPayload = static_cast<std::size_t>(ScreenModel::kMaxSnapshot);
    // At its connection the broker sends every screen's retained status,
    // state and picture at once: a fleet of thousands with pictures of tens
    // of kilobytes must fit, or older states would be dropped.
    o.maxWaiting = 1u << 16;
    o.maxWaitingBytes = 256u << 20;
    client_ = std::make_unique<fleet::MqttClient>(o, this);
    connect(client_.get(), &fleet::MqttClient::messagesWaiting, this, &ConsoleService::takeMessages);
    connect(client_.get(), &fleet::MqttClient::connectedToBroker, this, [this] {
        std::cerr << "ecran-console: connected to the MQTT broker " << config_.mqtt.broker << "\n";
    });
    connect(client_.get(), &fleet::MqttClient::connectionFailed, this, [this](const QString& why) {
        std::cerr << "ecran-console: cannot reach the MQTT broker " << config_.mqtt.broker << ": "
                  << why.toStdString() << "; trying again\n";
    });
    connect(client_.get(), &fleet::MqttClient::connectionLost, this, [this](const QString& why) {
        std::cerr << "ecran-console: lost the MQTT broker " << config_.mqtt.broker << ": " << why.toStdString()
                  << "; reconnecting\n";
    });
    api_ = std::make_unique<ConsoleApi>(model_, store_, *client_, config.mqtt.prefix, config.https());
    // Schedules run in the machine's time zone (TZ sets another).
    const auto send = [this](const Scheduler::Outgoing& m) {
        const int status = api_->deliver(m, [by = m.by](int code, const HistoryEntry*, const QString& why) {
            if (code >= 300 && code != 503) {
                std::cerr << "ecran-console: " << by << ": the message was not sent: " << why.toStdString() << "\n";
            }
        });
        return status != 503;  // no broker: tried again once it is back
    };
    scheduler_ = std::make_unique<Scheduler>(store_, model_, QTimeZone::systemTimeZone(),
                                             [] { return QDateTime::currentDateTimeUtc(); }, send);
    api_->setScheduler(scheduler_.get());
    // The screens' retained states come right after the subscription: the
    // schedules start once they are in, so what a screen showed is known.
    connect(client_.get(), &fleet::MqttClient::connectedToBroker, this, [this] {
        QTimer::singleShot(2000, scheduler_.get(), &Scheduler::start);
    });
    http_ = std::make_unique<HttpAdapter>([this](const HttpRequest& r, const HttpReply& reply) { api_->handle(r, reply); },
                                          securityHeaders(), kMaxBody,
                                          R"({"error":"the body is larger than 65 KiB"})");
}

ConsoleService::~ConsoleService() {
    http_.reset();
    scheduler_.reset();
    api_.reset();
    if (client_) (void)client_->stop({}, {}, std::chrono::milliseconds(1000));
}

bool ConsoleService::start() {
    if (config_.https()) {
        try {
            http_->useTls(config_.cert, config_.key);
        } catch (const std::exception& e) {
            std::cerr << "ecran-console: [http] cert or key in " << config_.file << ": " << e.what() << "\n";
            return false;
        }
    }
    const quint16 port = http_->listen(QHostAddress(QString::fromStdString(config_.listenHost)), config_.port);
    const std::string host = config_.listenHost.find(':') == std::string::npos ? config_.listenHost
                                                                                : "[" + config_.listenHost + "]";
    if (port == 0) {
        std::cerr << "ecran-console: cannot listen on " << host << ":" << config_.port
                  << " ([http] listen in " << config_.file << "): the address is not this machine's or the port is taken\n";
        return false;
    }
    std::cerr << "ecran-console: listening on " << (config_.https() ? "https://" : "http://") << host << ":" << port
              << "/\n";
    std::cerr << "ecran-console: connecting to the MQTT broker " << config_.mqtt.broker << "\n";
    client_->start();
    return true;
}

void ConsoleService::takeMessages() {
    std::uint64_t dropped = 0;
    for (const auto& m : client_->takeMessages(4096, dropped)) (void)model_.apply(m.topic, m.payload);
    if (dropped > 0) std::cerr << "ecran-console: " << dropped << " broker messages dropped (too far behind)\n";
    // More may be waiting: the client says so again.
}

}  // namespace ecran::console
