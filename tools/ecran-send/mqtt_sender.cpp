#include "ecran-send/mqtt_sender.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ecran-send/errors.h"

namespace ecran::sender {

// What the library's callbacks report, read by the waits.
struct MqttSender::State {
    bool connected = false;
    std::optional<int> connack;  // the broker's answer to the last connection
    int publishedMid = -1;       // the last message the broker acknowledged
    int publishReason = 0;
    std::string lastError;       // the library's last error line (TLS details)
};

namespace {

using Clock = std::chrono::steady_clock;

// Between two lines read with --lines the connection may sit idle this long
// before the broker drops it; send() connects again then.
constexpr int kKeepAliveSeconds = 60;

std::string duration(std::chrono::milliseconds d) {
    return d.count() % 1000 == 0 ? std::to_string(d.count() / 1000) + " s" : std::to_string(d.count()) + " ms";
}

MqttSender::State& stateOf(void* obj) { return *static_cast<MqttSender::State*>(obj); }

void onConnect(mosquitto*, void* obj, int rc, int, const mosquitto_property*) {
    stateOf(obj).connack = rc;
    stateOf(obj).connected = rc == 0;
}

void onDisconnect(mosquitto*, void* obj, int, const mosquitto_property*) { stateOf(obj).connected = false; }

void onPublish(mosquitto*, void* obj, int mid, int reason, const mosquitto_property*) {
    stateOf(obj).publishedMid = mid;
    stateOf(obj).publishReason = reason;
}

void onLog(mosquitto*, void* obj, int level, const char* line) {
    if (level == MOSQ_LOG_ERR && line) stateOf(obj).lastError = line;
}

// The library once per process; its cleanup frees OpenSSL's tables at exit.
void initLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        mosquitto_lib_init();
        std::atexit([] { mosquitto_lib_cleanup(); });
    });
}

mosquitto* newClient(MqttSender::State* state) {
    initLibrary();
    // No client id: the library makes a random one, and the session is
    // clean, so nothing of this sender lingers on the broker.
    mosquitto* m = mosquitto_new(nullptr, true, state);
    if (!m) throw SendError(std::string("cannot create an MQTT client: ") + std::strerror(errno));
    return m;
}

}  // namespace

MqttSender::MqttSender(const BrokerUrl& url, const BrokerLogin& login, std::string topic,
                       std::chrono::milliseconds timeout, std::function<void(const std::string&)> warn)
    : url_(url),
      topic_(std::move(topic)),
      timeout_(timeout),
      warn_(std::move(warn)),
      state_(std::make_unique<State>()),
      client_(newClient(state_.get()), mosquitto_destroy) {
    mosquitto* m = client_.get();
    // MQTT 5 so that the acknowledgement says whether the broker took the
    // message (a broker's ACL refuses it with a reason code) and whether any
    // screen subscribes to the topic.
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(m, onConnect);
    mosquitto_disconnect_v5_callback_set(m, onDisconnect);
    mosquitto_publish_v5_callback_set(m, onPublish);
    mosquitto_log_callback_set(m, onLog);
    if (login.username) {
        const char* password = login.password ? login.password->c_str() : nullptr;
        if (mosquitto_username_pw_set(m, login.username->c_str(), password) != MOSQ_ERR_SUCCESS) {
            throw SendError("cannot use the user name '" + *login.username + "'");
        }
    }
    if (url.tls) {
        const int rc = login.caFile ? mosquitto_tls_set(m, login.caFile->c_str(), nullptr, nullptr, nullptr, nullptr)
                                    : mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            throw SendError("cannot set up TLS" + (login.caFile ? " with the CA file " + *login.caFile : "") + ": " +
                            mosquitto_strerror(rc));
        }
    }
    connect();
}

MqttSender::~MqttSender() {
    if (state_->connected) {
        // A clean goodbye; the packet leaves at once, nothing waits for it.
        mosquitto_disconnect_v5(client_.get(), MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    }
}

std::string MqttSender::failure(int rc, int savedErrno) const {
    const std::string where = "broker " + url_.text() + ": ";
    switch (rc) {
        case MOSQ_ERR_ERRNO:
            return where + (state_->connack ? "connection failed: " : "cannot connect: ") + std::strerror(savedErrno);
        case MOSQ_ERR_EAI:
            return where + "cannot resolve the host '" + url_.host + "'";
        case MOSQ_ERR_TLS:
        case MOSQ_ERR_TLS_HANDSHAKE:
            return where + "TLS failed" + (state_->lastError.empty() ? "" : ": " + state_->lastError) +
                   " (does the broker speak TLS on this port, and is its certificate signed by the CA of --ca, or by "
                   "one of the system's CAs without it, and made out to '" +
                   url_.host + "'?)";
        case MOSQ_ERR_CONN_LOST:
            return where + "the broker closed the connection" +
                   (state_->lastError.empty() ? "" : ": " + state_->lastError) +
                   (url_.tls || state_->connack ? "" : " (does it expect TLS, mqtts://?)");
        default:
            return where + mosquitto_strerror(rc) + (state_->lastError.empty() ? "" : " (" + state_->lastError + ")");
    }
}

// Runs the network until done() holds; a failure or the end of the time
// allowed throws SendError.
void MqttSender::waitFor(const std::function<bool()>& done, const std::string& what) {
    const auto deadline = Clock::now() + timeout_;
    while (!done()) {
        if (state_->connack && *state_->connack != 0) {
            const int reason = *state_->connack;
            const bool login = reason == MQTT_RC_BAD_USERNAME_OR_PASSWORD || reason == MQTT_RC_NOT_AUTHORIZED;
            throw SendError("broker " + url_.text() + " refused the connection: " + mosquitto_reason_string(reason) +
                            (login ? " (check --username and the first line of --password-file)" : ""));
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            throw SendError("broker " + url_.text() + ": no answer within " + duration(timeout_) + " while " +
                            what);
        }
        errno = 0;
        const int rc = mosquitto_loop(client_.get(), static_cast<int>(std::min<long>(left.count(), 100)), 1);
        const int saved = errno;
        if (rc != MOSQ_ERR_SUCCESS && !(state_->connack && *state_->connack != 0)) throw SendError(failure(rc, saved));
    }
}

void MqttSender::connect() {
    for (;;) {
        state_->connack.reset();
        state_->lastError.clear();
        // Asynchronous so that a host that never answers is bounded by the
        // timeout too, not by the system's TCP connect time of minutes.
        errno = 0;
        const int rc = mosquitto_connect_async(client_.get(), url_.host.c_str(), url_.port, kKeepAliveSeconds);
        if (rc != MOSQ_ERR_SUCCESS) throw SendError(failure(rc, errno));
        try {
            waitFor([this] { return state_->connected; }, "connecting");
            return;
        } catch (const SendError&) {
            // A broker of MQTT 3.1.1 answers MQTT 5 with "unacceptable
            // protocol version": it is spoken to in its own protocol.
            const bool older = state_->connack && (*state_->connack == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION ||
                                                   *state_->connack == CONNACK_REFUSED_PROTOCOL_VERSION);
            if (!v5_ || !older) throw;
        }
        v5_ = false;
        mosquitto_int_option(client_.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        if (warn_) {
            warn_("broker " + url_.text() + " speaks only MQTT 3.1.1: sending with it; such a broker cannot say "
                  "whether its ACL refused a message, nor whether any screen subscribes");
        }
    }
}

void MqttSender::send(std::string_view message) {
    // A connection that sat idle (between lines read with --lines) may have
    // been dropped by the broker: find out, and connect again.
    if (state_->connected && mosquitto_loop(client_.get(), 0, 1) != MOSQ_ERR_SUCCESS) state_->connected = false;
    if (!state_->connected) connect();

    int mid = 0;
    const int rc = mosquitto_publish_v5(client_.get(), &mid, topic_.c_str(), static_cast<int>(message.size()),
                                        message.data(), 1, false, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        throw SendError("broker " + url_.text() + ": cannot publish to " + topic_ + ": " + mosquitto_strerror(rc));
    }
    waitFor([&] { return state_->publishedMid == mid; }, "waiting for the broker to acknowledge the message");
    const int reason = state_->publishReason;
    if (reason == MQTT_RC_NO_MATCHING_SUBSCRIBERS) {
        if (warn_ && !warned_) {
            warn_("no screen subscribes to " + topic_ + " at the moment (is the name right?); the broker took it");
        }
        warned_ = true;
    } else if (reason >= 0x80) {
        throw SendError("broker " + url_.text() + " refused the message to " + topic_ + ": " +
                        mosquitto_reason_string(reason));
    }
}

}  // namespace ecran::sender
