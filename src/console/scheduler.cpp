#include "console/scheduler.h"

#include <QJsonDocument>

#include <algorithm>
#include <iostream>

#include "fleet/fleet_payload.h"
#include "text/colour_text.h"
#include "text/cp1252.h"

namespace ecran::console {
namespace {

QJsonObject parse(const std::string& json) { return QJsonDocument::fromJson(QByteArray::fromStdString(json)).object(); }
std::string jsonText(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString(); }
// A window's start as the database keeps it, to the millisecond in UTC.
std::string key(const QDateTime& t) { return t.toUTC().toString(Qt::ISODateWithMs).toStdString(); }

// What a screen's state says once it shows the value: the text as the
// screen's code page holds it, a colour as #RRGGBB. Nothing for a system
// colour, whose look is the screen's desktop's: it is learnt from the
// screen's state once it took it.
std::optional<QString> shownForm(const std::string& kind, const std::string& value) {
    if (kind == "color") {
        const auto c = text::readColour(value).colour;
        if (!c || (static_cast<std::uint32_t>(*c) & 0xFF000000u)) return std::nullopt;
        const auto bgr = static_cast<std::uint32_t>(*c);
        return QString::asprintf("#%02X%02X%02X", bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
    }
    const auto d = fleet::datagramFor(kind == "text" ? fleet::Command::Text : fleet::Command::Ticker, value);
    if (!d.datagram) return std::nullopt;
    return QString::fromStdString(text::toUtf8(kind == "text" ? *d.datagram : d.datagram->substr(2)));
}

}  // namespace

Scheduler::Scheduler(ConsoleStore& store, const ScreenModel& model, QTimeZone zone, Clock clock, Send send,
                     QObject* parent)
    : QObject(parent), store_(store), model_(model), zone_(std::move(zone)), clock_(std::move(clock)),
      send_(std::move(send)) {
    for (auto& row : store_.schedules()) {
        const QJsonObject body = parse(row.body);
        std::string target;
        const QString noTarget = readTarget(body.value("to"), target);
        auto reading = noTarget.isEmpty() ? readSchedule(body, body.value("to").toObject(), target, zone_)
                                          : ScheduleReading{std::nullopt, 400, noTarget};
        if (!reading.schedule) {
            std::cerr << "ecran-console: schedule " << row.id << " in " << store_.file()
                      << " cannot be read and is left out: " << reading.error.toStdString() << "\n";
            continue;
        }
        reading.schedule->id = row.id;
        reading.schedule->by = row.by;
        entries_[row.id] = Entry{std::move(*reading.schedule), std::move(row)};
    }
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &Scheduler::tick);
    connect(&model_, &ScreenModel::screenChanged, this, &Scheduler::screenChanged);
}

void Scheduler::start() {
    started_ = true;
    tick();
}

void Scheduler::tick() {
    if (!started_) return;
    const QDateTime now = clock_();
    std::optional<QDateTime> wake;
    const auto wakeAt = [&](const QDateTime& t) { wake = wake ? std::min(*wake, t) : t; };
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& e = it->second;
        if (e.row.removed) {
            // Removed while the broker was away: its window is put back, then it goes.
            if (e.row.applied && !finish(e)) {
                wakeAt(now.addSecs(10));
                ++it;
            } else {
                (void)store_.removeSchedule(e.row.id);
                it = entries_.erase(it);
            }
            continue;
        }
        ++it;
        const auto w = nextWindow(e.schedule, now, zone_);
        const bool holds = w && w->start <= now;
        bool retry = false;
        // The window put on the screens is over (or another one holds now).
        if (e.row.applied && !(holds && key(w->start) == *e.row.applied)) retry = !finish(e);
        if (holds && !e.row.applied && !retry) retry = !begin(e, *w, w->start.secsTo(now) > kLateSeconds);
        if (retry) wakeAt(now.addSecs(10));
        if (w && w->start > now) wakeAt(w->start);
        if (w && w->end) wakeAt(*w->end);
    }
    if (!wake) return timer_.stop();
    // At most an hour: a clock set by hand, or a machine that slept, is
    // caught up with within the hour.
    timer_.start(static_cast<int>(std::clamp<qint64>(now.msecsTo(*wake), 0, 3600 * 1000)));
}

bool Scheduler::begin(Entry& e, const Window& w, bool late) {
    const Schedule& s = e.schedule;
    const QString field = QString::fromStdString(s.kind);
    const auto expected = shownForm(s.kind, s.value);
    std::vector<std::string> targets;
    if (s.target == "all") {
        for (const auto& [name, screen] : model_.screens()) targets.push_back(name);
    } else if (s.target.rfind("group/", 0) == 0) {
        targets = model_.namesInGroup(s.target.substr(6));
    } else {
        targets.push_back(s.target);
    }
    QJsonObject before, shown;
    bool allShow = true;
    for (const auto& name : targets) {
        const Screen* screen = model_.find(name);
        if (!screen || !screen->state) continue;
        const QString now = screen->state->value(field).toString();
        before[QString::fromStdString(name)] = now;
        if (expected) shown[QString::fromStdString(name)] = *expected;
        allShow = allShow && expected && now == *expected;
    }
    // Late, to screens that all show it already: nothing to send.
    if (!(late && allShow && !before.isEmpty())) {
        if (!send_({s.target, s.to, s.kind, s.value, "schedule " + std::to_string(s.id) + " (" + s.by + ")"})) return false;
    }
    e.row.applied = key(w.start);
    e.row.before = jsonText(before);
    e.row.shown = jsonText(shown);
    store_.setApplied(e.row);
    emit changed(s.id);
    return true;
}

bool Scheduler::finish(Entry& e) {
    const Schedule& s = e.schedule;
    const QString field = QString::fromStdString(s.kind);
    const QJsonObject before = parse(e.row.before), shown = parse(e.row.shown);
    for (auto it = before.begin(); it != before.end(); ++it) {
        const Screen* screen = model_.find(it.key().toStdString());
        if (!screen || !screen->state || !shown.contains(it.key())) continue;
        const QJsonValue now = screen->state->value(field);
        // A newer message changed it: that one stays.
        if (now != shown.value(it.key()) || it.value() == now) continue;
        const std::string name = it.key().toStdString();
        if (!send_({name, {{"screen", it.key()}}, s.kind, it.value().toString().toStdString(),
                    "schedule " + std::to_string(s.id) + " (" + s.by + "), put back"})) {
            return false;
        }
    }
    e.row.applied.reset();
    e.row.before = e.row.shown = "{}";
    store_.setApplied(e.row);
    emit changed(s.id);
    return true;
}

void Scheduler::screenChanged(const QString& name) {
    // A system colour shows as the screen's desktop has it: what the screen
    // shows for it is the first other colour it reports after the start.
    const Screen* screen = model_.find(name.toStdString());
    if (!screen || !screen->state) return;
    for (auto& [id, e] : entries_) {
        if (!e.row.applied || e.schedule.kind != "color" || shownForm(e.schedule.kind, e.schedule.value)) continue;
        QJsonObject before = parse(e.row.before), shown = parse(e.row.shown);
        const QJsonValue now = screen->state->value("color");
        if (!before.contains(name) || shown.contains(name) || now == before.value(name)) continue;
        shown[name] = now;
        e.row.shown = jsonText(shown);
        store_.setApplied(e.row);
    }
}

QJsonObject Scheduler::add(Schedule s) {
    s.id = store_.addSchedule(jsonText(scheduleJson(s, zone_)), s.by);
    const std::int64_t id = s.id;
    StoredSchedule row;
    row.id = id;
    row.by = s.by;
    entries_[id] = Entry{std::move(s), std::move(row)};
    emit changed(id);
    tick();
    return json(entries_.at(id));
}

bool Scheduler::remove(std::int64_t id) {
    const auto it = entries_.find(id);
    if (it == entries_.end() || it->second.row.removed) return false;
    // Removed while its window runs: the window ends now. Without an end,
    // the message stays as it would have.
    const Schedule& s = it->second.schedule;
    if (it->second.row.applied && (s.end || s.repeat) && !finish(it->second)) {
        it->second.row.removed = true;  // put back once the broker is there
        store_.setApplied(it->second.row);
        emit changed(id);
        tick();
        return true;
    }
    (void)store_.removeSchedule(id);
    entries_.erase(it);
    emit changed(id);
    tick();
    return true;
}

QJsonObject Scheduler::json(const Entry& e) const {
    QJsonObject o = scheduleJson(e.schedule, zone_);
    o["id"] = static_cast<qint64>(e.schedule.id);
    o["by"] = QString::fromStdString(e.schedule.by);
    const auto w = nextWindow(e.schedule, clock_(), zone_);
    o["next"] = w ? QJsonValue(QJsonObject{{"start", isoIn(w->start, zone_)},
                                           {"end", w->end ? QJsonValue(isoIn(*w->end, zone_)) : QJsonValue()}})
                  : QJsonValue();
    return o;
}

QJsonArray Scheduler::list() const {
    QJsonArray out;
    for (const auto& [id, e] : entries_) {
        if (!e.row.removed) out.append(json(e));
    }
    return out;
}

}  // namespace ecran::console
