#include "console/schedule.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <algorithm>
#include <array>

#include "fleet/fleet_config.h"
#include "fleet/fleet_payload.h"

namespace ecran::console {
namespace {

constexpr std::array<const char*, 7> kDays{"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

QDateTime utc(qint64 secs) { return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC); }

// "2026-03-01T08:00", seconds and their fractions optional, then "Z", an
// offset or nothing (the console's local time).
std::optional<QDateTime> readTime(const QString& text, const QTimeZone& zone) {
    static const QRegularExpression iso(
        R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2})(?::(\d{2})(?:\.\d{1,9})?)?(Z|([+-])(\d{2}):?(\d{2}))?$)");
    const auto m = iso.match(text);
    if (!m.hasMatch()) return std::nullopt;
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!date.isValid() || !time.isValid()) return std::nullopt;
    if (m.captured(7).isEmpty()) return localInstant(date, time, zone);
    int offset = 0;
    if (m.captured(7) != QLatin1String("Z")) {
        const int hours = m.captured(9).toInt(), minutes = m.captured(10).toInt();
        if (hours > 18 || minutes > 59) return std::nullopt;
        offset = (hours * 60 + minutes) * 60 * (m.captured(8) == QLatin1String("-") ? -1 : 1);
    }
    return QDateTime(date, time, Qt::UTC).addSecs(-offset);
}

std::optional<QTime> readClock(const QJsonValue& v) {
    static const QRegularExpression hhmm(R"(^([01]\d|2[0-3]):([0-5]\d)$)");
    const auto m = hhmm.match(v.toString());
    if (!v.isString() || !m.hasMatch()) return std::nullopt;
    return QTime(m.captured(1).toInt(), m.captured(2).toInt());
}

ScheduleReading refuse(int status, const QString& why) { return {std::nullopt, status, why}; }

// A schedule is kept with its times written in the zone (or in UTC, see
// isoIn), and read back from them at the next start. ISO-8601 writes years
// 1 to 9999 only: a time outside them would be kept empty and lost.
bool writableYear(QDate date) { return date.year() >= 1 && date.year() <= 9999; }
std::optional<ScheduleReading> unwritable(const char* field, const QDateTime& t, const QTimeZone& zone) {
    if (writableYear(t.toTimeZone(zone).date()) && writableYear(t.toUTC().date())) return std::nullopt;
    return refuse(422, "\"" + QLatin1String(field) + "\" is outside the years 1 to 9999, in UTC or in the console's time zone");
}

}  // namespace

QString readTarget(const QJsonValue& value, std::string& target) {
    const QJsonObject to = value.toObject();
    if (to.size() == 1 && to.value("screen").isString()) {
        target = to.value("screen").toString().toStdString();
        if (!fleet::isTopicName(target) || target == "all" || target == "group") return "\"screen\" is not a screen's name";
    } else if (to.size() == 1 && to.value("group").isString()) {
        target = to.value("group").toString().toStdString();
        if (!fleet::isTopicName(target)) return "\"group\" is not a group's name";
        target = "group/" + target;
    } else if (to.size() == 1 && to.value("all") == QJsonValue(true)) {
        target = "all";
    } else {
        return "\"to\" is not {\"screen\": S}, {\"group\": G} or {\"all\": true}";
    }
    return {};
}

QDateTime localInstant(QDate date, QTime time, const QTimeZone& zone) {
    const qint64 naive = QDateTime(date, time, Qt::UTC).toSecsSinceEpoch();
    // The zone's offsets a day either side: any change of the clocks near
    // this time lies between them.
    const int before = zone.offsetFromUtc(utc(naive - 86400)), after = zone.offsetFromUtc(utc(naive + 86400));
    std::optional<qint64> first;
    for (const int offset : {before, after}) {
        const qint64 u = naive - offset;
        if (zone.offsetFromUtc(utc(u)) == offset && (!first || u < *first)) first = u;
    }
    if (first) return utc(*first);
    // Skipped: the clocks jump from before the time to after it. The change
    // happens between the two readings; it is found to the second.
    qint64 lo = naive - after, hi = naive - before;  // lo reads `before`, hi `after`
    while (hi - lo > 1) {
        const qint64 mid = lo + (hi - lo) / 2;
        (zone.offsetFromUtc(utc(mid)) == before ? lo : hi) = mid;
    }
    return utc(hi);
}

QString isoIn(const QDateTime& t, const QTimeZone& zone) {
    const QDateTime local = t.toTimeZone(zone);
    // An offset is written in whole minutes; one with seconds (a zone's
    // local mean time of old) would move the time: UTC says it exactly.
    if (local.offsetFromUtc() % 60 != 0) return t.toUTC().toString(Qt::ISODate);
    return local.toString(Qt::ISODate);
}

ScheduleReading readSchedule(const QJsonObject& body, const QJsonObject& to, const std::string& target,
                             const QTimeZone& zone) {
    Schedule s;
    s.to = to;
    s.target = target;
    for (auto it = body.begin(); it != body.end(); ++it) {
        const QString key = it.key();
        if (key == "to" || key == "start" || key == "end" || key == "repeat") continue;
        if (key != "text" && key != "ticker" && key != "color") {
            return refuse(400, "unknown field \"" + key + "\": to, start, end, repeat, and one of text, ticker, color");
        }
        if (!s.kind.empty()) return refuse(400, "one schedule sends one of text, ticker or color, not several");
        if (!it.value().isString()) return refuse(400, "\"" + key + "\" is not a string");
        s.kind = key.toStdString();
        s.value = it.value().toString().toStdString();
    }
    if (s.kind.empty()) return refuse(400, "the schedule has none of text, ticker, color");
    const auto command = s.kind == "text" ? fleet::Command::Text
                         : s.kind == "ticker" ? fleet::Command::Ticker : fleet::Command::Colour;
    if (const auto d = fleet::datagramFor(command, s.value); !d.datagram) {
        return refuse(422, "\"" + QString::fromStdString(s.kind) + "\": " + QString::fromStdString(d.note));
    }

    const auto start = readTime(body.value("start").toString(), zone);
    if (!start) {
        return refuse(422, "\"start\" is not an ISO-8601 date and time such as 2026-03-01T08:00 or "
                           "2026-03-01T08:00:00+01:00 (without an offset: the console's time zone)");
    }
    if (auto refused = unwritable("start", *start, zone)) return std::move(*refused);
    s.start = *start;
    if (body.contains("end") && !body.value("end").isNull()) {
        const auto end = readTime(body.value("end").toString(), zone);
        if (!end) return refuse(422, "\"end\" is not an ISO-8601 date and time, as \"start\"");
        if (*end <= s.start) return refuse(422, "\"end\" is not after \"start\"");
        if (auto refused = unwritable("end", *end, zone)) return std::move(*refused);
        s.end = *end;
    }
    if (body.contains("repeat") && !body.value("repeat").isNull()) {
        if (!body.value("repeat").isObject()) {
            return refuse(422, "\"repeat\" is not {\"days\": [\"mon\", ...], \"from\": \"HH:MM\", \"until\": \"HH:MM\"}");
        }
        const QJsonObject r = body.value("repeat").toObject();
        for (auto it = r.begin(); it != r.end(); ++it) {
            if (it.key() != "days" && it.key() != "from" && it.key() != "until") {
                return refuse(422, "unknown field \"repeat." + it.key() + "\": days, from, until");
            }
        }
        Repeat repeat;
        if (!r.value("days").isArray()) return refuse(422, "\"repeat.days\" is not a list of days such as [\"mon\", \"tue\"]");
        for (const auto& day : r.value("days").toArray()) {
            const auto* found = std::find(kDays.begin(), kDays.end(), day.toString().toStdString());
            if (!day.isString() || found == kDays.end()) {
                return refuse(422, "\"repeat.days\" holds \"" + day.toVariant().toString() +
                                       "\", not one of mon, tue, wed, thu, fri, sat, sun");
            }
            repeat.days |= 1u << (found - kDays.begin());
        }
        if (repeat.days == 0) return refuse(422, "\"repeat.days\" is empty: name at least one day");
        const auto from = readClock(r.value("from")), until = readClock(r.value("until"));
        if (!from) return refuse(422, "\"repeat.from\" is not a time of day HH:MM (00:00 to 23:59)");
        if (!until) return refuse(422, "\"repeat.until\" is not a time of day HH:MM (00:00 to 23:59)");
        if (*from == *until) return refuse(422, "\"repeat.until\" is the same time as \"repeat.from\"");
        repeat.from = *from;
        repeat.until = *until;
        s.repeat = repeat;
    }
    return {std::move(s), 0, {}};
}

QJsonObject scheduleJson(const Schedule& s, const QTimeZone& zone) {
    QJsonObject o{{"to", s.to}, {QString::fromStdString(s.kind), QString::fromStdString(s.value)},
                  {"start", isoIn(s.start, zone)}};
    if (s.end) o["end"] = isoIn(*s.end, zone);
    if (s.repeat) {
        QJsonArray days;
        for (std::size_t d = 0; d < kDays.size(); ++d) {
            if (s.repeat->days & (1u << d)) days.append(kDays[d]);
        }
        o["repeat"] = QJsonObject{{"days", days},
                                  {"from", s.repeat->from.toString("HH:mm")},
                                  {"until", s.repeat->until.toString("HH:mm")}};
    }
    return o;
}

std::optional<Window> nextWindow(const Schedule& s, const QDateTime& t, const QTimeZone& zone) {
    if (!s.repeat) {
        if (s.end && t >= *s.end) return std::nullopt;
        return Window{s.start, s.end};
    }
    const Repeat& r = *s.repeat;
    // From the day before (a window over midnight may still run), for a
    // week and a day: every listed day comes round in that time.
    const QDate first = std::max(t, s.start).toTimeZone(zone).date().addDays(-1);
    for (int i = 0; i < 9; ++i) {
        const QDate day = first.addDays(i);
        if (!(r.days & (1u << (day.dayOfWeek() - 1)))) continue;
        // No window is left past the last day a time can be written.
        if (!writableYear(r.until < r.from ? day.addDays(1) : day)) return std::nullopt;
        const QDateTime from = localInstant(day, r.from, zone);
        const QDateTime until = localInstant(r.until < r.from ? day.addDays(1) : day, r.until, zone);
        if (s.end && from >= *s.end) return std::nullopt;
        const QDateTime start = std::max(from, s.start);
        const QDateTime end = s.end ? std::min(until, *s.end) : until;
        if (start < end && end > t) return Window{start, end};
    }
    return std::nullopt;
}

}  // namespace ecran::console
