#pragma once
// The schedules at work: at each window's start the message is sent (what
// each target screen showed before is kept in the database first), at its
// end what was there before is put back on each screen that still shows
// the scheduled value. A newer message always wins. The clock is given, so
// that time can be moved by hand; a timer wakes the scheduler at the next
// start or end.

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QTimeZone>
#include <QTimer>

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "console/console_store.h"
#include "console/schedule.h"
#include "console/screen_model.h"

namespace ecran::console {

class Scheduler : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<QDateTime()>;
    // A message to send as the API sends one.
    struct Outgoing {
        std::string target;  // a screen's name, "group/G" or "all"
        QJsonObject to;
        std::string kind, value, by;
    };
    // False when the message could not be handed to the broker now (no
    // connection): the scheduler tries again later.
    using Send = std::function<bool(const Outgoing&)>;

    // Start or end later than this after its time is a catch-up (a restart,
    // a broker that was away): the start is then sent only to screens that
    // do not show the value already.
    static constexpr qint64 kLateSeconds = 60;
    // The most schedules kept: each one is looked at on every start and end.
    static constexpr std::size_t kMost = 1000;

    // Reads the schedules from the database; nothing is sent before start().
    Scheduler(ConsoleStore& store, const ScreenModel& model, QTimeZone zone, Clock clock, Send send,
              QObject* parent = nullptr);

    // Once the screens' states are known: acts on what is due now, then on time.
    void start();
    // Acts on every start and end due by now; the timer calls it.
    void tick();

    [[nodiscard]] const QTimeZone& zone() const noexcept { return zone_; }
    // Stores a new schedule (its window acted on at once when it holds now); its JSON.
    [[nodiscard]] QJsonObject add(Schedule s);
    // Removes a schedule, ending a window it has running; false for none.
    [[nodiscard]] bool remove(std::int64_t id);
    [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
    // Every schedule with its next window, oldest first.
    [[nodiscard]] QJsonArray list() const;

signals:
    // A schedule was made, removed, or its window started or ended: what
    // the list says of it (its next window) changed.
    void changed(std::int64_t id);

private:
    struct Entry {
        Schedule schedule;
        StoredSchedule row;
    };
    [[nodiscard]] QJsonObject json(const Entry& e) const;
    [[nodiscard]] bool begin(Entry& e, const Window& w, bool late);
    [[nodiscard]] bool finish(Entry& e);
    void screenChanged(const QString& name);

    ConsoleStore& store_;
    const ScreenModel& model_;
    QTimeZone zone_;
    Clock clock_;
    Send send_;
    std::map<std::int64_t, Entry> entries_;
    QTimer timer_;
    bool started_ = false;
};

}  // namespace ecran::console
