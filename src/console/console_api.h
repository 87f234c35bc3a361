#pragma once
// The console's HTTP API and its page: routes, who may use them (tokens,
// session cookies, the origin of a change, a limit on failed sign-ins), the
// messages sent through the broker and their history, and the event stream
// that tells every open page what changed.

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "console/console_store.h"
#include "console/http_adapter.h"
#include "console/scheduler.h"
#include "console/screen_model.h"

namespace ecran::fleet {
class MqttClient;
}

namespace ecran::console {

struct ApiLimits {
    std::chrono::milliseconds acknowledgement{10000};  // the broker's time to take a message
    std::size_t streams = 100;                         // open event streams
    qint64 streamUnread = 1 << 20;                     // bytes a stream's peer may leave unread
    std::chrono::milliseconds keepAlive{15000};        // comment lines on idle streams
    int signInFailures = 10;                           // in a minute, from one address
};

// The largest request body taken: 64 KiB, and room for the envelope of a
// text as long as a screen takes (65,507 bytes), so that such a text can be
// sent to any target and a longer one is told why (422) rather than 413.
inline constexpr qsizetype kMaxBody = 64 * 1024 + 1024;

// Headers every response carries.
[[nodiscard]] std::vector<std::pair<QByteArray, QByteArray>> securityHeaders();

class ConsoleApi : public QObject {
    Q_OBJECT

public:
    ConsoleApi(ScreenModel& model, ConsoleStore& store, fleet::MqttClient& client, std::string prefix, bool https,
               ApiLimits limits = {}, QObject* parent = nullptr);
    ~ConsoleApi() override;

    void handle(const HttpRequest& request, const HttpReply& reply);
    [[nodiscard]] std::size_t streamCount() const;

    // Sends a message as POST /api/v1/messages does, and records it in the
    // history. `answer` is called once, with the status the route answers
    // and the entry recorded (none when the message was refused before it
    // was sent): at once, or when the broker has answered. Returns the status
    // when answered at once, 0 while the broker is asked.
    using Answer = std::function<void(int status, const HistoryEntry* entry, const QString& why)>;
    int deliver(const Scheduler::Outgoing& message, Answer answer);
    // The schedules' routes answer 503 without it.
    // The schedules' routes, and `event: schedule` {"id"} on the stream when one changes.
    void setScheduler(Scheduler* scheduler);

private:
    struct Caller {
        std::int64_t tokenId = 0;
        std::string name;
        bool cookie = false;
    };
    struct Pending {
        Answer answer;
        HistoryEntry entry;
        QTimer* timer = nullptr;
    };
    struct Stream {
        QPointer<HttpStream> stream;
        std::int64_t tokenId = 0;
    };

    [[nodiscard]] std::optional<Caller> caller(const HttpRequest& request);
    [[nodiscard]] bool sameOrigin(const HttpRequest& request) const;
    void signIn(const HttpRequest& request, const HttpReply& reply);
    void signOut(const HttpRequest& request, const HttpReply& reply);
    void postMessage(const HttpRequest& request, const HttpReply& reply, const Caller& who);
    void listMessages(const HttpRequest& request, const HttpReply& reply);
    void schedules(const HttpRequest& request, const HttpReply& reply, const Caller& who);
    void openStream(const HttpReply& reply, const Caller& who);
    void sendSnapshot(const HttpRequest& request, const HttpReply& reply, const std::string& name);
    // Answers a pending message; `why` (for a message not sent) goes in "error".
    void finish(int mid, const std::string& result, int status, const QString& why = {});
    void record(HistoryEntry& entry);
    void broadcast(const QByteArray& event, const QByteArray& data);
    void dropRevoked();

    ScreenModel& model_;
    ConsoleStore& store_;
    fleet::MqttClient& client_;
    std::string prefix_;
    bool https_;
    ApiLimits limits_;
    std::map<std::string, std::int64_t> sessions_;  // cookie value: token id
    std::map<QString, std::deque<std::chrono::steady_clock::time_point>> failures_;
    std::map<int, Pending> pending_;
    std::vector<Stream> streams_;
    std::uint64_t eventId_ = 0;
    QTimer keepAlive_, revoked_;
    Scheduler* scheduler_ = nullptr;
};

}  // namespace ecran::console
