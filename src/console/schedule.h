#pragma once
// A planned message: what to send, to whom, and when. Its times are read
// in the console's time zone, and its windows (when the message should be
// showing) are worked out from them; nothing here sends or waits.

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QTime>
#include <QTimeZone>

#include <cstdint>
#include <optional>
#include <string>

namespace ecran::console {

// Every listed day from `from` to `until`, local time; `until` before `from`
// runs over midnight, and the window belongs to the day it starts.
struct Repeat {
    unsigned days = 0;  // bit 0 Monday ... bit 6 Sunday
    QTime from, until;
};

struct Schedule {
    std::int64_t id = 0;
    QJsonObject to;       // as a message's "to"
    std::string target;   // a screen's name, "group/G" or "all"
    std::string kind;     // "text", "ticker" or "color"
    std::string value;    // UTF-8
    QDateTime start;
    std::optional<QDateTime> end;  // none: the message stays, nothing is put back
    std::optional<Repeat> repeat;
    std::string by;       // the name of the token that made it
};

// When the message should be showing; no end: for good.
struct Window {
    QDateTime start;
    std::optional<QDateTime> end;
    bool operator==(const Window&) const = default;
};

// The instant a local date and time stand for in `zone`: a time the clocks
// skip (spring forward) is the first minute after the gap, a time they pass
// twice (autumn) its first occurrence.
[[nodiscard]] QDateTime localInstant(QDate date, QTime time, const QTimeZone& zone);

// "2026-03-29T08:00:00+02:00", or with seconds' fractions dropped; the
// offset is the zone's at that instant, or "Z" (UTC) when the zone's offset
// then had seconds (its local mean time of old), which ISO-8601 cannot write.
[[nodiscard]] QString isoIn(const QDateTime& t, const QTimeZone& zone);

// The target of a message or a schedule ("to"): a screen's name, "group/G"
// or "all" in `target`; why not, when it is none.
[[nodiscard]] QString readTarget(const QJsonValue& value, std::string& target);

// A schedule from its JSON (the fields besides "to", which the caller has
// read into `to` and `target`), or why not: the field concerned in `error`.
struct ScheduleReading {
    std::optional<Schedule> schedule;
    int status = 0;  // when refused: 400 for a body that is no schedule, 422 for a value that cannot be used
    QString error;
};
[[nodiscard]] ScheduleReading readSchedule(const QJsonObject& body, const QJsonObject& to, const std::string& target,
                                           const QTimeZone& zone);

// The schedule as the API shows it and the database keeps it (without
// id, by or its next window): times written with their offset.
[[nodiscard]] QJsonObject scheduleJson(const Schedule& s, const QTimeZone& zone);

// The window that holds `t` (start <= t < end), else the first that starts
// after `t`; nothing when no window is left.
[[nodiscard]] std::optional<Window> nextWindow(const Schedule& s, const QDateTime& t, const QTimeZone& zone);

}  // namespace ecran::console
