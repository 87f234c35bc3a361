// What the console takes from outside: the first byte picks the parser.
//
// Broker messages (a sequence of topic and payload) on the screen model: a
// refused message changes nothing, an accepted one says so; a picture alone
// never makes a screen; every screen's JSON and the list are valid objects
// that say what the model holds; a picture held is a JPEG no larger than
// the limit, with the SHA-256 of its bytes as its tag and a readable time.
//
// A schedule's JSON from a client, then two instants: the reading is a
// schedule or a refusal (400 or 422) that names the field; a schedule
// written as the database keeps it reads back as the same schedule; its
// window at `now` holds or follows `now`, starts before it ends, stays
// inside the schedule and at its times of day in the zone, and as `now`
// moves on the window stays the same until it ends and never goes back.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QTimeZone>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "console/schedule.h"
#include "console/screen_model.h"
#include "fuzz_support.h"

namespace {

using namespace ecran::console;
using ecran::fuzz::InputReader;

QJsonObject parsedObject(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError);
    FUZZ_CHECK(doc.isObject());
    return doc.object();
}

QByteArray compact(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

// ---- the screen model ----

std::string pick(InputReader& in, std::initializer_list<const char*> choices) {
    const std::uint8_t b = in.byte();
    if (b % (choices.size() + 1) == choices.size()) return in.shortText();
    return *(choices.begin() + b % (choices.size() + 1));
}

QByteArray payloadFor(InputReader& in, bool& bigUsed) {
    switch (in.byte() % 6) {
    case 0: return QByteArray::fromStdString(pick(in, {"online", "offline", "", "unknown"}));
    case 1: return QByteArray("\xFF\xD8\xFF", 3) + QByteArray::fromStdString(in.shortText());
    case 2: {
        // A state with groups and the time of its last picture.
        QJsonArray groups;
        for (int n = in.byte() % 4; n > 0; --n) groups.append(QString::fromStdString(pick(in, {"rdc", "b.2"})));
        if (in.byte() & 1) groups.append(7);
        return compact({{"text", "Bonjour"},
                        {"groups", groups},
                        {"snapshot", QString::fromStdString(pick(in, {"2026-03-29T01:00:00.250Z", "2027-01-01T00:00:00Z",
                                                                      "2025-10-26T02:30:00+02:00", "9999-12-31T23:59:59Z",
                                                                      "0001-01-01T00:30:00+01:00"}))}});
    }
    case 3:
        // At the limit on picture size or one byte past it; once an input,
        // since the tag is worked out over all of it.
        if (!bigUsed) {
            bigUsed = true;
            QByteArray big(ScreenModel::kMaxSnapshot + (in.byte() & 1), 'j');
            big.replace(0, 3, "\xFF\xD8\xFF");
            return big;
        }
        [[fallthrough]];
    default: return QByteArray::fromStdString(in.longText());
    }
}

void checkScreen(const Screen& s) {
    FUZZ_CHECK(s.status == "online" || s.status == "offline" || s.status == "unknown");
    FUZZ_CHECK(s.json == compact(screenJson(s)));
    const QJsonObject o = parsedObject(s.json);
    FUZZ_CHECK(o.value("name").toString().toStdString() == s.name);
    if (s.state) {
        std::size_t strings = 0;
        for (const auto& g : s.state->value("groups").toArray()) {
            if (!g.isString()) continue;
            FUZZ_CHECK(strings < s.groups.size() && s.groups[strings] == g.toString().toStdString());
            ++strings;
        }
        FUZZ_CHECK(strings == s.groups.size());
    }
    if (s.snapshot) {
        const Snapshot& p = *s.snapshot;
        FUZZ_CHECK(p.jpeg.startsWith("\xFF\xD8\xFF") && p.jpeg.size() <= ScreenModel::kMaxSnapshot);
        FUZZ_CHECK(p.etag == '"' + QCryptographicHash::hash(p.jpeg, QCryptographicHash::Sha256).toHex() + '"');
        FUZZ_CHECK(QDateTime::fromString(QString::fromStdString(p.at), Qt::ISODateWithMs).isValid());
        FUZZ_CHECK(o.value("snapshot").toObject().value("etag").toString().toLatin1() == p.etag);
    } else {
        FUZZ_CHECK(o.value("snapshot").isNull());
    }
}

void fuzzScreenModel(InputReader& in) {
    ScreenModel model("ecran");
    int emitted = 0;
    QObject::connect(&model, &ScreenModel::screenChanged, [&] { ++emitted; });
    QObject::connect(&model, &ScreenModel::snapshotChanged, [&] { ++emitted; });
    bool bigUsed = false;
    for (int op = 0; op < 64 && !in.empty(); ++op) {
        const std::string name = pick(in, {"hall-1", "b.2", "all", "group", "Hall 1"});
        const std::string level = pick(in, {"status", "state", "snapshot"});
        const QString topic = QString::fromStdString(pick(in, {"ecran", "other"}) + "/" + name + "/" + level);
        const QByteArray payload = payloadFor(in, bigUsed);

        const QByteArray before = model.listJson();
        const bool existed = model.find(name) != nullptr;
        const int signalsBefore = emitted;
        const bool taken = model.apply(topic, payload);

        if (taken) {
            FUZZ_CHECK(emitted > signalsBefore);
        } else {
            FUZZ_CHECK(emitted == signalsBefore);
            FUZZ_CHECK(model.listJson() == before);
        }
        if (level == "snapshot" && !existed) FUZZ_CHECK(!taken && model.find(name) == nullptr);
        if (taken && level == "snapshot" && !payload.isEmpty()) {
            const Screen* s = model.find(name);
            FUZZ_CHECK(s && s->snapshot && s->snapshot->jpeg == payload);
        }
    }
    const QJsonArray list = parsedObject(model.listJson()).value("screens").toArray();
    FUZZ_CHECK(static_cast<std::size_t>(list.size()) == model.screens().size());
    qsizetype i = 0;
    for (const auto& [name, screen] : model.screens()) {
        FUZZ_CHECK(screen.name == name);
        checkScreen(screen);
        FUZZ_CHECK(list.at(i++).toObject() == parsedObject(screen.json));
    }
}

// ---- schedules ----

// An ISO-8601 time, often in a month of clock changes, mostly well formed,
// sometimes a little off, or any text.
QString timeText(InputReader& in) {
    const std::uint8_t form = in.byte();
    if (form % 8 == 7) return QString::fromStdString(in.shortText());
    char text[64];
    // The years of a few seasons, or the first and the last ISO-8601 writes.
    static constexpr int kYears[] = {2024, 2025, 2026, 2027, 2028, 2029, 1, 9999};
    const int year = kYears[in.byte() % 8], month = form & 8 ? (form & 16 ? 3 : 10) : 1 + in.byte() % 13;
    const int day = 1 + in.byte() % 31, hour = in.byte() % 25, minute = in.byte() % 61;
    int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d", year, month, day, hour, minute);
    if (form & 32) {
        const int second = in.byte() % 60, millis = in.byte() % 1000;
        n += std::snprintf(text + n, sizeof text - n, ":%02d.%03d", second, millis);
    }
    static constexpr const char* kSuffixes[] = {"", "", "Z", "+02:00", "-05:30", "+0100", "+18:00", "+19:00"};
    std::snprintf(text + n, sizeof text - n, "%s", kSuffixes[(form >> 6) | (form & 1) << 2]);
    return QString::fromLatin1(text);
}

QString clockText(InputReader& in) {
    const std::uint8_t b = in.byte();
    if (b == 255) return QString::fromStdString(in.shortText());
    char text[16];
    const int hour = in.byte() % 25, minute = b % 4 == 0 ? 0 : in.byte() % 60;
    std::snprintf(text, sizeof text, "%02d:%02d", hour, minute);
    return QString::fromLatin1(text);
}

QJsonObject scheduleBody(InputReader& in) {
    const std::uint8_t shape = in.byte();
    if (shape % 8 == 0) {
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(in.longText()));
        return doc.object();
    }
    static constexpr const char* kKinds[] = {"text", "ticker", "color", "colour"};
    QJsonObject body{{kKinds[shape >> 6], QString::fromStdString(in.shortText())}, {"start", timeText(in)}};
    if (shape & 8) body["end"] = timeText(in);
    if (shape & 16) {
        static constexpr const char* kDays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun", "Mon"};
        QJsonArray days;
        for (std::uint8_t bits = in.byte(), d = 0; d < 8; ++d) {
            if (bits & 1u << d) days.append(kDays[d]);
        }
        body["repeat"] = QJsonObject{{"days", days}, {"from", clockText(in)}, {"until", clockText(in)}};
    }
    if (shape & 32) body["text"] = "twice";
    return body;
}

bool namesAField(const QString& error) {
    for (const char* field : {"text", "ticker", "color", "start", "end", "repeat", "unknown field"}) {
        if (error.contains(QLatin1String(field))) return true;
    }
    return false;
}

bool sameSchedule(const Schedule& a, const Schedule& b) {
    const auto repeat = [](const std::optional<Repeat>& r) {
        return r ? std::optional(std::tuple(r->days, r->from, r->until)) : std::nullopt;
    };
    return a.to == b.to && a.target == b.target && a.kind == b.kind && a.value == b.value && a.start == b.start &&
           a.end == b.end && repeat(a.repeat) == repeat(b.repeat);
}

// A time written in the zone reads back as the same instant.
void checkInstant(const QDateTime& t, const QTimeZone& zone) {
    FUZZ_CHECK(t.isValid());
    const QDateTime back = QDateTime::fromString(isoIn(t, zone), Qt::ISODate);
    FUZZ_CHECK(back.isValid() && back == t);
}

void checkWindow(const Schedule& s, const Window& w, const QDateTime& now, const QTimeZone& zone) {
    checkInstant(w.start, zone);
    if (w.end) {
        checkInstant(*w.end, zone);
        FUZZ_CHECK(w.start < *w.end);
        FUZZ_CHECK(*w.end > now);  // it holds `now` or follows it
    }
    FUZZ_CHECK(w.start >= s.start);
    FUZZ_CHECK(!s.end || (w.end && *w.end <= *s.end));
    if (!s.repeat) return;
    FUZZ_CHECK(w.end.has_value());
    // Each end is the schedule's own or a time of day of the repeat, on a
    // listed day for the start.
    const QDate startDay = w.start.toTimeZone(zone).date();
    if (w.start != s.start) {
        FUZZ_CHECK(w.start == localInstant(startDay, s.repeat->from, zone));
        FUZZ_CHECK(s.repeat->days & 1u << (startDay.dayOfWeek() - 1));
    }
    if (w.end != s.end) FUZZ_CHECK(*w.end == localInstant(w.end->toTimeZone(zone).date(), s.repeat->until, zone));
}

void fuzzSchedule(InputReader& in) {
    static const QTimeZone zone("Europe/Paris");
    FUZZ_CHECK(zone.isValid());
    const QJsonObject to{{"screen", "hall-1"}};
    const QJsonObject body = scheduleBody(in);
    // `now` within six years from 2024, and a later instant up to half a year on.
    const QDateTime base(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    const std::uint32_t high = in.word(), at = high << 16 | in.word();
    const QDateTime now = base.addSecs(at % (6 * 366 * 86400));
    const qint64 step = in.word();
    const QDateTime later = now.addSecs(step << 8 | in.byte());

    const ScheduleReading reading = readSchedule(body, to, "hall-1", zone);
    if (!reading.schedule) {
        FUZZ_CHECK(reading.status == 400 || reading.status == 422);
        FUZZ_CHECK(namesAField(reading.error));
        return;
    }
    FUZZ_CHECK(reading.status == 0 && reading.error.isEmpty());
    const Schedule& s = *reading.schedule;
    FUZZ_CHECK(s.kind == "text" || s.kind == "ticker" || s.kind == "color");
    FUZZ_CHECK(s.start.isValid() && (!s.end || *s.end > s.start));
    FUZZ_CHECK(!s.repeat || (s.repeat->days != 0 && s.repeat->days < 128 && s.repeat->from != s.repeat->until));

    // As the database keeps it, and as it is read at the next start.
    const QJsonObject kept = parsedObject(compact(scheduleJson(s, zone)));
    const ScheduleReading again = readSchedule(kept, kept.value("to").toObject(), "hall-1", zone);
    FUZZ_CHECK(again.schedule && sameSchedule(s, *again.schedule));

    const auto w = nextWindow(s, now, zone);
    const auto w2 = nextWindow(s, later, zone);
    if (w) checkWindow(s, *w, now, zone);
    if (w2) checkWindow(s, *w2, later, zone);
    if (!w) {
        FUZZ_CHECK(!w2);  // nothing left stays so
    } else if (!w->end || *w->end > later) {
        FUZZ_CHECK(w2 == w);  // the first window not over at `later` is still this one
    } else {
        FUZZ_CHECK(!w2 || w2->start >= *w->end);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputReader in(data, size);
    if (in.byte() & 1) {
        fuzzSchedule(in);
    } else {
        fuzzScreenModel(in);
    }
    return 0;
}
