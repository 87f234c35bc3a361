#include "fleet/mqtt_client.h"

#include <mosquitto.h>

#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
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

// Messages kept for a window that has fallen behind.
constexpr std::size_t kMaxWaiting = 4096;

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
    // Messages from the broker wait here for the window's thread, which
    // takes them in batches; a window far behind loses the oldest first.
    std::deque<MqttClient::Message> inbox;
    bool waitingSaid = false;
    std::uint64_t dropped = 0;

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
    static void onConnect(mosquitto* mosq, void* self, int rc);
    static void onDisconnect(mosquitto*, void* self, int rc);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void onPublish(mosquitto*, void* self, int mid);
};

MqttClient::MqttClient(MqttOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)), shared_(std::make_shared<Shared>()) {
    initialiseLibrary();
    Shared& s = *shared_;
    s.options = options_;
    s.receiver = this;
    s.mosq = mosquitto_new(options_.clientId.c_str(), options_.cleanSession, &s);
    if (!s.mosq) throw std::runtime_error("cannot create the MQTT client (out of memory)");
    // The window's thread publishes while the network thread runs the loop.
    (void)mosquitto_threaded_set(s.mosq, true);
    // States and acknowledgements are small: send them at once.
    (void)mosquitto_int_option(s.mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(s.mosq, &Shared::onConnect);
    mosquitto_disconnect_callback_set(s.mosq, &Shared::onDisconnect);
    mosquitto_message_callback_set(s.mosq, &Shared::onMessage);
    mosquitto_publish_callback_set(s.mosq, &Shared::onPublish);
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

void MqttClient::Shared::run() {
    int delay = 1;
    while (!isStopping()) {
        {
            std::lock_guard lock(mutex);
            refused = false;
        }
        // Resolves the name and starts a non-blocking connect: this thread's
        // only long wait, and the window never waits on it. The library's
        // keep-alive check ends a connect that gets no answer.
        int rc = mosquitto_connect_async(mosq, options.host.c_str(), options.port, options.keepalive);
        int error = errno;
        bool reached = false;
        while (rc == MOSQ_ERR_SUCCESS && !isStopping()) {
            rc = mosquitto_loop(mosq, 100, 1);
            error = errno;
            reached = reached || connected;
        }
        if (isStopping()) break;
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
        if (reached) delay = 1;
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(delay), [this] { return stopping; });
        delay = std::min(delay * 2, 10);
    }
    std::lock_guard lock(mutex);
    finished = true;
    changed.notify_all();
}

void MqttClient::Shared::onConnect(mosquitto* mosq, void* self, int rc) {
    auto* s = static_cast<Shared*>(self);
    if (rc != 0) {
        {
            std::lock_guard lock(s->mutex);
            s->refused = true;
        }
        const QString why = QStringLiteral("the broker refused the connection: %1")
                                .arg(QString::fromUtf8(mosquitto_connack_string(rc)));
        s->post([why](MqttClient* c) { emit c->connectionFailed(why); });
        return;
    }
    // Subscribing again after every connect: a broker that lost the session
    // (restarted without persistence) still sends this screen its commands.
    std::vector<char*> topics;
    for (auto& t : s->options.subscriptions) topics.push_back(t.data());
    (void)mosquitto_subscribe_multiple(mosq, nullptr, static_cast<int>(topics.size()), topics.data(), 1, 0, nullptr);
    s->connected = true;
    s->post([](MqttClient* c) { emit c->connectedToBroker(); });
}

void MqttClient::Shared::onDisconnect(mosquitto*, void* self, int rc) {
    auto* s = static_cast<Shared*>(self);
    const int error = errno;
    const bool was = s->connected.exchange(false);
    {
        std::lock_guard lock(s->mutex);
        s->changed.notify_all();
    }
    if (was && rc != 0) {
        const QString why = failure(rc, error);
        s->post([why](MqttClient* c) { emit c->connectionLost(why); });
    }
}

void MqttClient::Shared::onMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* s = static_cast<Shared*>(self);
    const QString topic = QString::fromUtf8(message->topic);
    const auto size = static_cast<qsizetype>(std::max(message->payloadlen, 0));
    // A payload larger than any datagram is not copied whole: one byte past
    // the limit is enough for its refusal.
    QByteArray payload(static_cast<const char*>(message->payload), std::min<qsizetype>(size, 65508));
    bool say = false;
    {
        std::lock_guard lock(s->mutex);
        if (s->inbox.size() >= kMaxWaiting) {
            s->inbox.pop_front();
            ++s->dropped;
        }
        s->inbox.push_back({topic, std::move(payload)});
        say = !s->waitingSaid;
        s->waitingSaid = true;
    }
    if (say) s->post([](MqttClient* c) { emit c->messagesWaiting(); });
}

void MqttClient::Shared::onPublish(mosquitto*, void* self, int mid) {
    auto* s = static_cast<Shared*>(self);
    {
        std::lock_guard lock(s->mutex);
        if (mid == s->stopMid) {
            s->stopAcknowledged = true;
            s->changed.notify_all();
            return;
        }
    }
    s->post([mid](MqttClient* c) { emit c->acknowledged(mid); });
}

std::vector<MqttClient::Message> MqttClient::takeMessages(std::size_t most, std::uint64_t& dropped) {
    std::vector<Message> taken;
    std::lock_guard lock(shared_->mutex);
    while (!shared_->inbox.empty() && taken.size() < most) {
        taken.push_back(std::move(shared_->inbox.front()));
        shared_->inbox.pop_front();
    }
    dropped = shared_->dropped;
    shared_->dropped = 0;
    // More left: the caller comes back; none: the next message says so.
    shared_->waitingSaid = !shared_->inbox.empty();
    return taken;
}

bool MqttClient::publish(const std::string& topic, const std::string& payload, bool retain) {
    if (!shared_->connected) return false;
    return mosquitto_publish(shared_->mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, retain) == MOSQ_ERR_SUCCESS;
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
