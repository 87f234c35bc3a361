#include "fleet/mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <functional>
#include <mutex>
#include <stdexcept>

namespace ecran::fleet {
namespace {

// The library is initialised once for the program.
struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

void initialiseLibrary() { static Library library; }

using SteadyClock = std::chrono::steady_clock;

// What a PUBLISH packet holds besides its payload: fixed header, topic,
// packet id and room for the broker's properties.
constexpr std::size_t kPacketOverhead = 5 + 2 + 2 + 1024;

QString failure(int rc, int error) {
    if (rc == MOSQ_ERR_ERRNO) return QString::fromLocal8Bit(std::strerror(error));
    if (rc == MOSQ_ERR_EAI) return QStringLiteral("the host name does not resolve");
    if (rc == MOSQ_ERR_KEEPALIVE) return QStringLiteral("the broker did not answer within the keep-alive time");
    if (rc == MOSQ_ERR_CONN_LOST) return QStringLiteral("the connection was lost");
    if (rc == MOSQ_ERR_TLS) return QStringLiteral("the TLS handshake failed (certificate, CA or host name)");
    return QString::fromUtf8(mosquitto_strerror(rc));
}

}  // namespace

struct MqttClient::Shared {
    mosquitto* mosq = nullptr;
    MqttOptions options;
    std::mutex mutex;
    std::condition_variable changed;
    MqttClient* receiver = nullptr;  // cleared (under the mutex) when the client goes
    bool stopping = false;
    bool finished = false;
    bool refused = false;  // the broker refused the last attempt (said already)
    int stopMid = -1;
    bool stopAcknowledged = false;
    std::atomic<bool> connected{false};
    std::atomic<std::uint32_t> brokerMaxPacket{0};  // announced in the CONNACK (MQTT 5); 0: none
    // Messages from the broker wait here for the window's thread, which
    // takes them in batches; a window far behind loses the oldest first.
    std::deque<MqttClient::Message> inbox;
    std::size_t inboxBytes = 0;
    bool waitingSaid = false;
    std::uint64_t dropped = 0;
    // Touched by the network thread only.
    int protocol = MQTT_PROTOCOL_V5;
    bool fallBack = false;              // the broker refused MQTT 5: 3.1.1 next
    bool takenOver = false;             // the broker said another client took the session
    std::optional<SteadyClock::time_point> connectedAt;
    std::map<int, std::vector<std::string>> subscribing;  // subscription mid: its topics
    std::map<int, std::string> publishing;                // publication mid: its topic (under the mutex)

    ~Shared() {
        if (mosq) mosquitto_destroy(mosq);
    }

    // Hands a signal to the window's thread, unless the client is gone.
    void post(const std::function<void(MqttClient*)>& emitter) {
        std::lock_guard lock(mutex);
        if (!receiver) return;
        MqttClient* r = receiver;
        QMetaObject::invokeMethod(r, [r, emitter] { emitter(r); }, Qt::QueuedConnection);
    }

    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds wait) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, wait, done);
    }

    bool isStopping() {
        std::lock_guard lock(mutex);
        return stopping;
    }

    void run();
    int connect();
    void take(const mosquitto_message* message);
    static void onConnect(mosquitto* mosq, void* self, int rc, int flags, const mosquitto_property*);
    static void onDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*);
    static void onPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*);
    static void onSubscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                            const mosquitto_property*);
};

MqttClient::MqttClient(MqttOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)), shared_(std::make_shared<Shared>()) {
    initialiseLibrary();
    Shared& s = *shared_;
    s.options = options_;
    s.receiver = this;
    // MQTT 5 where the broker speaks it, 3.1.1 otherwise: a screen learns of
    // retained commands and tells the largest packet it takes, and both a
    // screen and the console learn why the broker refused a publication.
    s.protocol = MQTT_PROTOCOL_V5;
    s.mosq = mosquitto_new(options_.clientId.c_str(), options_.cleanSession, &s);
    if (!s.mosq) throw std::runtime_error("cannot create the MQTT client (out of memory)");
    // The window's thread publishes while the network thread runs the loop.
    (void)mosquitto_threaded_set(s.mosq, true);
    // States and acknowledgements are small: send them at once.
    (void)mosquitto_int_option(s.mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(s.mosq, &Shared::onConnect);
    mosquitto_disconnect_v5_callback_set(s.mosq, &Shared::onDisconnect);
    mosquitto_message_v5_callback_set(s.mosq, &Shared::onMessage);
    mosquitto_publish_v5_callback_set(s.mosq, &Shared::onPublish);
    mosquitto_subscribe_v5_callback_set(s.mosq, &Shared::onSubscribe);
    if (!options_.username.empty()) {
        (void)mosquitto_username_pw_set(s.mosq, options_.username.c_str(),
                                        options_.password.empty() ? nullptr : options_.password.c_str());
    }
    if (options_.tls) {
        const int rc = options_.ca.empty()
                           ? mosquitto_int_option(s.mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                           : mosquitto_tls_set(s.mosq, options_.ca.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            throw std::runtime_error("cannot set up TLS: " + std::string(mosquitto_strerror(rc)));
        }
    }
    if (!options_.willTopic.empty()) {
        (void)mosquitto_will_set(s.mosq, options_.willTopic.c_str(), static_cast<int>(options_.willPayload.size()),
                                 options_.willPayload.data(), 1, true);
    }
}

MqttClient::~MqttClient() {
    if (thread_.joinable()) (void)stop({}, {}, std::chrono::milliseconds(500));
    std::lock_guard lock(shared_->mutex);
    shared_->receiver = nullptr;
}

bool MqttClient::connected() const noexcept { return shared_->connected; }

void MqttClient::start() {
    thread_ = std::thread([shared = shared_] { shared->run(); });
}

Backoff::Next Backoff::next(std::optional<SteadyClock::duration> lasted, bool takenOver) {
    if (lasted) {
        shortLived = *lasted < kShortLived ? shortLived + 1 : 0;
        takenOver = takenOver || shortLived >= kShortLivedInARow;
    }
    if (takenOver) return {delay = kTakenOver, true};
    if (lasted && *lasted >= kLasting) delay = kFirst;
    const auto wait = std::min(delay, kMost);
    delay = std::min(wait * 2, kMost);
    return {wait, false};
}

// Resolves the name and connects: this thread's only long waits, and the
// window never waits on them. With MQTT 5 the CONNECT tells the broker the
// largest packet taken, which only the blocking connect can carry (the
// library's keep-alive check ends a connection that gets no answer).
int MqttClient::Shared::connect() {
    (void)mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, protocol);
    mosquitto_property* properties = nullptr;
    if (protocol == MQTT_PROTOCOL_V5 && !options.cleanSession) {
        // MQTT 5 ends a session with its connection unless told otherwise:
        // the session outlives it, as MQTT 3.1.1's does, so that commands
        // sent while the screen is away wait for it.
        (void)mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 0xFFFFFFFFu);
    }
    if (protocol == MQTT_PROTOCOL_V5 && options.commands) {
        std::size_t longest = 0;
        for (const auto& t : options.subscriptions) longest = std::max(longest, t.size());
        (void)mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                           static_cast<std::uint32_t>(options.maxPayload + longest + kPacketOverhead));
    }
    // The library keeps the properties for its own reconnects; none is kept
    // for 3.1.1, which has no properties.
    const int rc = mosquitto_connect_bind_v5(mosq, options.host.c_str(), options.port, options.keepalive, nullptr,
                                             properties);
    mosquitto_property_free_all(&properties);
    return rc;
}

void MqttClient::Shared::run() {
    Backoff backoff;
    while (!isStopping()) {
        {
            std::lock_guard lock(mutex);
            refused = false;
        }
        fallBack = takenOver = false;
        connectedAt.reset();
        int rc = connect();
        int error = errno;
        bool reached = false;
        while (rc == MOSQ_ERR_SUCCESS && !isStopping()) {
            rc = mosquitto_loop(mosq, 100, 1);
            error = errno;
            reached = reached || connected;
        }
        if (isStopping()) break;
        if (fallBack) {
            protocol = MQTT_PROTOCOL_V311;
            post([](MqttClient* c) { emit c->fellBackTo311(); });
            continue;  // at once, in the protocol the broker speaks
        }
        bool saidAlready = false;
        {
            std::lock_guard lock(mutex);
            saidAlready = refused;
        }
        // A refusal was said by the connect callback, a lost connection by
        // the disconnect callback; a connection that never came is said here.
        if (!reached && !saidAlready) {
            const QString why = failure(rc, error);
            post([why](MqttClient* c) { emit c->connectionFailed(why); });
        }
        std::optional<SteadyClock::duration> lasted;
        if (connectedAt) lasted = SteadyClock::now() - *connectedAt;
        const auto [wait, clone] = backoff.next(lasted, takenOver);
        if (clone) post([](MqttClient* c) { emit c->sessionTakenOver(); });
        std::unique_lock lock(mutex);
        changed.wait_for(lock, wait, [this] { return stopping; });
    }
    std::lock_guard lock(mutex);
    finished = true;
    changed.notify_all();
}

void MqttClient::Shared::onConnect(mosquitto* mosq, void* self, int rc, int, const mosquitto_property* properties) {
    auto* s = static_cast<Shared*>(self);
    if (rc != 0) {
        // A broker of MQTT 3.1.1 answers MQTT 5 with "unacceptable protocol
        // version", which the library hands on as MQTT 5's code.
        if (s->protocol == MQTT_PROTOCOL_V5 &&
            (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == CONNACK_REFUSED_PROTOCOL_VERSION)) {
            s->fallBack = true;
            (void)mosquitto_disconnect(mosq);
            return;
        }
        {
            std::lock_guard lock(s->mutex);
            s->refused = true;
        }
        const QString why = QStringLiteral("the broker refused the connection: %1")
                                .arg(QString::fromUtf8(s->protocol == MQTT_PROTOCOL_V5 ? mosquitto_reason_string(rc)
                                                                                      : mosquitto_connack_string(rc)));
        s->post([why](MqttClient* c) { emit c->connectionFailed(why); });
        return;
    }
    s->connectedAt = SteadyClock::now();
    std::uint32_t most = 0;
    s->brokerMaxPacket = mosquitto_property_read_int32(properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, &most, false) ? most : 0;
    // Subscribing again after every connect: a broker that lost the session
    // (restarted without persistence) still sends this screen its commands.
    // MQTT 5 keeps the retain flag of live messages as published, so a
    // retained command is known for what it is whenever it comes.
    std::vector<char*> topics;
    for (auto& t : s->options.subscriptions) topics.push_back(t.data());
    const int options =
        s->protocol == MQTT_PROTOCOL_V5 && s->options.commands ? MQTT_SUB_OPT_RETAIN_AS_PUBLISHED : 0;
    int mid = 0;
    if (mosquitto_subscribe_multiple(mosq, &mid, static_cast<int>(topics.size()), topics.data(), 1, options,
                                     nullptr) == MOSQ_ERR_SUCCESS) {
        s->subscribing[mid] = s->options.subscriptions;
    }
    s->connected = true;
    s->post([](MqttClient* c) { emit c->connectedToBroker(); });
}

void MqttClient::Shared::onDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    auto* s = static_cast<Shared*>(self);
    if (s->protocol == MQTT_PROTOCOL_V5 && rc == MQTT_RC_SESSION_TAKEN_OVER) s->takenOver = true;
    const int error = errno;
    const bool was = s->connected.exchange(false);
    {
        std::lock_guard lock(s->mutex);
        s->changed.notify_all();
    }
    if (was && rc != 0) {
        // Past 0x80, the reason code of the broker's DISCONNECT (MQTT 5).
        const QString why = rc >= 0x80 ? QString::fromUtf8(mosquitto_reason_string(rc)) : failure(rc, error);
        s->post([why](MqttClient* c) { emit c->connectionLost(why); });
    }
}

void MqttClient::Shared::onMessage(mosquitto*, void* self, const mosquitto_message* message,
                                   const mosquitto_property*) {
    auto* s = static_cast<Shared*>(self);
    // Commands are events: one the broker kept (retained) would come back at
    // every subscription, over newer ones. The empty message that clears it
    // is not worth a word.
    if (message->retain && s->options.commands) {
        if (message->payloadlen > 0) {
            const QString topic = QString::fromUtf8(message->topic);
            s->post([topic](MqttClient* c) { emit c->retainedIgnored(topic); });
        }
        return;
    }
    s->take(message);
}

void MqttClient::Shared::take(const mosquitto_message* message) {
    const QString topic = QString::fromUtf8(message->topic);
    const auto size = static_cast<qsizetype>(std::max(message->payloadlen, 0));
    // A payload larger than any datagram is not copied whole: one byte past
    // the limit is enough for its refusal.
    QByteArray payload(static_cast<const char*>(message->payload),
                       std::min<qsizetype>(size, static_cast<qsizetype>(options.maxPayload) + 1));
    bool say = false;
    {
        std::lock_guard lock(mutex);
        const auto bytes = static_cast<std::size_t>(payload.size());
        while (!inbox.empty() && (inbox.size() >= options.maxWaiting || inboxBytes + bytes > options.maxWaitingBytes)) {
            inboxBytes -= static_cast<std::size_t>(inbox.front().payload.size());
            inbox.pop_front();
            ++dropped;
        }
        inboxBytes += bytes;
        inbox.push_back({topic, std::move(payload)});
        say = !waitingSaid;
        waitingSaid = true;
    }
    if (say) post([](MqttClient* c) { emit c->messagesWaiting(); });
}

void MqttClient::Shared::onSubscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                                     const mosquitto_property*) {
    auto* s = static_cast<Shared*>(self);
    const auto it = s->subscribing.find(mid);
    if (it == s->subscribing.end()) return;
    const std::vector<std::string> topics = std::move(it->second);
    s->subscribing.erase(it);
    for (int k = 0; k < count && k < static_cast<int>(topics.size()); ++k) {
        if (granted[k] < 0x80) continue;
        const QString topic = QString::fromStdString(topics[static_cast<std::size_t>(k)]);
        // MQTT 3.1.1 has one failure code and no reason.
        const QString reason = s->protocol == MQTT_PROTOCOL_V5 ? QString::fromUtf8(mosquitto_reason_string(granted[k]))
                                                              : QStringLiteral("refused (MQTT 3.1.1 gives no reason)");
        s->post([topic, reason](MqttClient* c) { emit c->refused(topic, reason, true); });
    }
}

void MqttClient::Shared::onPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
    auto* s = static_cast<Shared*>(self);
    std::lock_guard lock(s->mutex);
    // Only MQTT 5 says so: a PUBACK of MQTT 3.1.1 carries no reason.
    const QString refusal = reason >= 0x80 ? QString::fromUtf8(mosquitto_reason_string(reason)) : QString();
    const auto it = s->publishing.find(mid);
    if (it != s->publishing.end()) {
        if (!refusal.isEmpty() && s->receiver) {
            MqttClient* r = s->receiver;
            const QString topic = QString::fromStdString(it->second);
            QMetaObject::invokeMethod(r, [r, topic, refusal] { emit r->refused(topic, refusal, false); },
                                      Qt::QueuedConnection);
        }
        s->publishing.erase(it);
    }
    if (mid == s->stopMid) {
        s->stopAcknowledged = true;
        s->changed.notify_all();
        return;
    }
    if (s->receiver) {
        MqttClient* r = s->receiver;
        QMetaObject::invokeMethod(r, [r, mid, refusal] { emit r->acknowledged(mid, refusal); }, Qt::QueuedConnection);
    }
}

std::vector<MqttClient::Message> MqttClient::takeMessages(std::size_t most, std::uint64_t& dropped) {
    std::vector<Message> taken;
    std::lock_guard lock(shared_->mutex);
    while (!shared_->inbox.empty() && taken.size() < most) {
        taken.push_back(std::move(shared_->inbox.front()));
        shared_->inbox.pop_front();
    }
    for (const auto& m : taken) shared_->inboxBytes -= static_cast<std::size_t>(m.payload.size());
    dropped = shared_->dropped;
    shared_->dropped = 0;
    // More left: the caller comes back; none: the next message says so.
    shared_->waitingSaid = !shared_->inbox.empty();
    return taken;
}

bool MqttClient::publish(const std::string& topic, const std::string& payload, bool retain, std::string* tooLarge) {
    if (!shared_->connected) return false;
    // Under the lock, so that the acknowledgement finds the topic recorded.
    std::lock_guard lock(shared_->mutex);
    int mid = 0;
    const int rc = mosquitto_publish(shared_->mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), 1, retain);
    if (rc == MOSQ_ERR_OVERSIZE_PACKET && tooLarge) {
        *tooLarge = "the broker takes packets of at most " + std::to_string(shared_->brokerMaxPacket.load()) +
                    " bytes (its max_packet_size), and this one holds " + std::to_string(payload.size()) +
                    " bytes of payload";
    }
    if (rc != MOSQ_ERR_SUCCESS) return false;
    // A topic the broker refuses is said once; the table stays small.
    if (shared_->publishing.size() < 256) shared_->publishing[mid] = topic;
    return true;
}

int MqttClient::publishTracked(const std::string& topic, const std::string& payload, bool retain) {
    if (!shared_->connected) return -MOSQ_ERR_NO_CONN;
    int mid = 0;
    const int rc = mosquitto_publish(shared_->mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), 1, retain);
    return rc == MOSQ_ERR_SUCCESS ? mid : -rc;
}

bool MqttClient::stop(const std::string& topic, const std::string& payload, std::chrono::milliseconds wait) {
    if (!thread_.joinable()) return true;
    Shared& s = *shared_;
    bool acknowledged = true;
    if (s.connected && !topic.empty()) {
        int mid = -1;
        std::unique_lock lock(s.mutex);
        s.stopAcknowledged = false;
        // The id is known only once publish returns: the lock is held so its
        // acknowledgement cannot be handled before it is recorded.
        if (mosquitto_publish(s.mosq, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                              true) == MOSQ_ERR_SUCCESS) {
            s.stopMid = mid;
            acknowledged = s.changed.wait_for(lock, wait, [&s] { return s.stopAcknowledged; });
        } else {
            acknowledged = false;
        }
    }
    if (s.connected) {
        (void)mosquitto_disconnect(s.mosq);
        (void)s.waitFor([&s] { return !s.connected; }, wait);
    }
    {
        std::lock_guard lock(s.mutex);
        s.stopping = true;
        s.changed.notify_all();
    }
    if (s.waitFor([&s] { return s.finished; }, wait + std::chrono::milliseconds(200))) {
        thread_.join();
    } else {
        // The thread is still inside a library call that does not end soon
        // (resolving a name): the program is stopping, so it is left to end
        // with the process, holding what it uses, rather than hold the stop.
        thread_.detach();
    }
    return acknowledged;
}

}  // namespace ecran::fleet
