// Schedules in Paris time with a clock moved by hand: their windows, and
// the scheduler's starts, ends, put-backs and restarts against a model of
// screens that take what is sent to them.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include "console/scheduler.h"
#include "support/sandbox.h"

namespace {

using namespace ecran::console;

const QTimeZone kParis("Europe/Paris");

Schedule schedule(const QByteArray& json) {
    const QJsonObject body = QJsonDocument::fromJson(json).object();
    auto r = readSchedule(body, {{"screen", "lobby"}}, "lobby", kParis);
    EXPECT_TRUE(r.schedule) << json.toStdString() << ": " << r.error.toStdString();
    return r.schedule.value_or(Schedule{});
}
QDateTime at(const char* iso) { return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate); }

TEST(Schedule, NextWindowInParisTime) {
    // Each row: what, the schedule (to lobby), now, the window's start and end (nullptr: none).
    const struct {
        const char* what;
        QByteArray json;
        const char *now, *start, *end;
    } rows[] = {
        {"one window, before it", R"({"text":"a","start":"2026-07-01T09:45","end":"2026-07-01T10:30"})",
         "2026-07-01T08:00:00+02:00", "2026-07-01T09:45:00+02:00", "2026-07-01T10:30:00+02:00"},
        {"one window, over", R"({"text":"a","start":"2026-07-01T09:45:00Z","end":"2026-07-01T10:30:00Z"})",
         "2026-07-01T10:30:00Z", nullptr, nullptr},
        {"no end: for good", R"({"text":"a","start":"2026-07-01T09:45:00+02:00"})",
         "2027-01-01T00:00:00Z", "2026-07-01T09:45:00+02:00", nullptr},
        {"daily 08:00 the day the clocks go forward", R"({"text":"a","start":"2026-03-27T00:00","repeat":{"days":["mon","tue","wed","thu","fri","sat","sun"],"from":"08:00","until":"09:00"}})",
         "2026-03-28T10:00:00+01:00", "2026-03-29T08:00:00+02:00", "2026-03-29T09:00:00+02:00"},
        {"daily 08:00 the day the clocks go back", R"({"text":"a","start":"2026-10-20T00:00","repeat":{"days":["sun","sat"],"from":"08:00","until":"09:00"}})",
         "2026-10-24T10:00:00+02:00", "2026-10-25T08:00:00+01:00", "2026-10-25T09:00:00+01:00"},
        {"over midnight, inside it the next morning", R"({"text":"a","start":"2026-03-01T00:00","repeat":{"days":["fri"],"from":"22:00","until":"06:00"}})",
         "2026-03-07T03:00:00+01:00", "2026-03-06T22:00:00+01:00", "2026-03-07T06:00:00+01:00"},
        {"over midnight, belongs to the day it starts", R"({"text":"a","start":"2026-03-01T00:00","repeat":{"days":["fri"],"from":"22:00","until":"06:00"}})",
         "2026-03-07T07:00:00+01:00", "2026-03-13T22:00:00+01:00", "2026-03-14T06:00:00+01:00"},
        {"from in the skipped hour: the first minute after it", R"({"text":"a","start":"2026-03-22T00:00","repeat":{"days":["sun"],"from":"02:30","until":"04:00"}})",
         "2026-03-28T12:00:00+01:00", "2026-03-29T03:00:00+02:00", "2026-03-29T04:00:00+02:00"},
        {"from in the repeated hour: its first occurrence", R"({"text":"a","start":"2026-10-20T00:00","repeat":{"days":["sun"],"from":"02:30","until":"05:00"}})",
         "2026-10-24T12:00:00+02:00", "2026-10-25T02:30:00+02:00", "2026-10-25T05:00:00+01:00"},
        {"a window cut by the schedule's start", R"({"text":"a","start":"2026-03-02T08:30","repeat":{"days":["mon"],"from":"08:00","until":"09:00"}})",
         "2026-03-02T08:40:00+01:00", "2026-03-02T08:30:00+01:00", "2026-03-02T09:00:00+01:00"},
        {"a window cut by the schedule's end", R"({"text":"a","start":"2026-03-02T00:00","end":"2026-03-02T08:15","repeat":{"days":["mon"],"from":"08:00","until":"09:00"}})",
         "2026-03-02T07:00:00+01:00", "2026-03-02T08:00:00+01:00", "2026-03-02T08:15:00+01:00"},
        {"no window before the end", R"({"text":"a","start":"2026-03-02T00:00","end":"2026-03-08T00:00","repeat":{"days":["mon"],"from":"08:00","until":"09:00"}})",
         "2026-03-02T10:00:00+01:00", nullptr, nullptr},
    };
    const auto iso = [](const std::optional<QDateTime>& t) { return t ? isoIn(*t, kParis).toStdString() : ""; };
    for (const auto& row : rows) {
        const auto w = nextWindow(schedule(row.json), at(row.now), kParis);
        EXPECT_EQ(w ? iso(w->start) : "", row.start ? row.start : "") << row.what;
        EXPECT_EQ(w ? iso(w->end) : "", row.end ? row.end : "") << row.what;
    }
}

// A database, screens "lobby" and "hall" in group "ground" that show what
// they are sent, and a clock set by hand.
class SchedulerTest : public testing::Test {
protected:
    SchedulerTest() : store_(dir_.path().string()), model_("ecran") {
        show("lobby", "text", "Bonjour");
        show("hall", "text", "Accueil");
    }
    void show(const std::string& name, const std::string& field, const std::string& value) {
        QJsonObject& s = states_[name];
        if (s.isEmpty()) s = {{"text", ""}, {"ticker", ""}, {"color", "#000000"}, {"groups", QJsonArray{"ground"}}};
        s[QString::fromStdString(field)] = QString::fromStdString(value);
        (void)model_.apply(QString::fromStdString("ecran/" + name + "/state"), QJsonDocument(s).toJson());
    }
    std::string shows(const std::string& name, const char* field) { return states_[name].value(field).toString().toStdString(); }
    std::unique_ptr<Scheduler> scheduler() {
        auto s = std::make_unique<Scheduler>(store_, model_, kParis, [this] { return now_; }, [this](const Scheduler::Outgoing& m) {
            if (!up_) return false;  // no broker
            sent_.push_back(m);
            // A system colour is drawn as the screen's desktop has it: the test says how.
            for (const char* name : {"lobby", "hall"}) {
                if ((m.target == name || m.target == "group/ground") && m.value.rfind("&H8", 0)) show(name, m.kind, m.value);
            }
            return true;
        });
        s->start();
        return s;
    }
    void add(Scheduler& s, const QByteArray& json, const std::string& to = "lobby") {
        auto r = readSchedule(QJsonDocument::fromJson(json).object(), {{"screen", QString::fromStdString(to)}}, to, kParis);
        r.schedule->by = "desk";
        (void)s.add(std::move(*r.schedule));
    }
    void moveTo(Scheduler& s, const char* iso) {
        now_ = at(iso);
        s.tick();
    }

    ecran::test_support::TempDir dir_;
    ConsoleStore store_;
    ScreenModel model_;
    QDateTime now_ = at("2026-03-02T07:00:00+01:00");
    std::map<std::string, QJsonObject> states_;
    std::vector<Scheduler::Outgoing> sent_;
    bool up_ = true;
};

constexpr const char* kMorning = R"("start":"2026-03-02T00:00","end":"2026-03-09T00:00","repeat":{"days":["mon","tue"],"from":"08:00","until":"09:00"}})";

TEST_F(SchedulerTest, TheEndPutsBackTextTickerAndColour) {
    show("lobby", "ticker", "Infos");
    show("lobby", "color", "#FFFFFF");
    auto s = scheduler();
    for (const char* kind : {"text", "ticker", "color"}) add(*s, "{\"" + QByteArray(kind) + "\":\"#FF0000\"," + kMorning);
    moveTo(*s, "2026-03-02T07:59:59+01:00");
    EXPECT_TRUE(sent_.empty());
    moveTo(*s, "2026-03-02T08:00:00+01:00");
    ASSERT_EQ(sent_.size(), 3u);
    EXPECT_EQ(sent_[0].by, "schedule 1 (desk)");
    EXPECT_EQ(shows("lobby", "text") + shows("lobby", "ticker") + shows("lobby", "color"), "#FF0000#FF0000#FF0000");
    moveTo(*s, "2026-03-02T09:00:00+01:00");
    ASSERT_EQ(sent_.size(), 6u);
    EXPECT_EQ(sent_[3].by, "schedule 1 (desk), put back");
    EXPECT_EQ(shows("lobby", "text") + shows("lobby", "ticker") + shows("lobby", "color"), "BonjourInfos#FFFFFF");
    // The next day's window starts again.
    moveTo(*s, "2026-03-03T08:30:00+01:00");
    EXPECT_EQ(sent_.size(), 9u);
}

TEST_F(SchedulerTest, ASystemColourIsPutBackOnceTheScreenSaidHowItLooks) {
    auto s = scheduler();
    add(*s, QByteArray(R"({"color":"&H80000005",)") + kMorning);
    moveTo(*s, "2026-03-02T08:00:00+01:00");
    show("lobby", "color", "#FFFFFF");
    moveTo(*s, "2026-03-02T09:00:00+01:00");
    EXPECT_EQ(shows("lobby", "color"), "#000000");
}

TEST_F(SchedulerTest, ANewerMessageWinsOverThePutBack) {
    auto s = scheduler();
    add(*s, QByteArray(R"({"text":"Réunion",)") + kMorning, "group/ground");
    moveTo(*s, "2026-03-02T08:00:00+01:00");
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(sent_[0].target, "group/ground");
    show("lobby", "text", "Newer");
    moveTo(*s, "2026-03-02T09:00:00+01:00");
    ASSERT_EQ(sent_.size(), 2u);
    EXPECT_EQ(sent_[1].target, "hall");  // that screen alone
    EXPECT_EQ(shows("hall", "text"), "Accueil");
    EXPECT_EQ(shows("lobby", "text"), "Newer");
}

TEST_F(SchedulerTest, ARestartInsideAWindowKeepsItAndStillPutsBack) {
    {
        auto s = scheduler();
        add(*s, QByteArray(R"({"text":"Réunion",)") + kMorning);
        moveTo(*s, "2026-03-02T08:00:00+01:00");
    }
    ASSERT_EQ(sent_.size(), 1u);
    now_ = at("2026-03-02T08:30:00+01:00");
    auto again = scheduler();
    EXPECT_EQ(sent_.size(), 1u) << "sent again";
    EXPECT_EQ(again->list()[0].toObject()["next"].toObject()["end"].toString(), "2026-03-02T09:00:00+01:00");
    moveTo(*again, "2026-03-02T09:00:00+01:00");
    ASSERT_EQ(sent_.size(), 2u);
    EXPECT_EQ(shows("lobby", "text"), "Bonjour");
}

TEST_F(SchedulerTest, AfterADownTimeSendsOnlyWhatShouldShowNow) {
    {
        auto s = scheduler();
        add(*s, QByteArray(R"({"text":"Réunion",)") + kMorning);
    }
    // Down through Monday's window: nothing late, nothing put back.
    now_ = at("2026-03-02T10:00:00+01:00");
    auto s = scheduler();
    EXPECT_TRUE(sent_.empty());
    // Started inside Tuesday's window: sent now, and put back at its end.
    s.reset();
    now_ = at("2026-03-03T08:20:00+01:00");
    s = scheduler();
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(shows("lobby", "text"), "Réunion");
    moveTo(*s, "2026-03-03T09:00:00+01:00");
    EXPECT_EQ(shows("lobby", "text"), "Bonjour");
    // Removed while a window runs: that window ends.
    moveTo(*s, "2026-03-03T08:30:00+01:00");  // (the clock set back by hand)
    EXPECT_EQ(shows("lobby", "text"), "Réunion");
    EXPECT_TRUE(s->remove(1));
    EXPECT_EQ(shows("lobby", "text"), "Bonjour");
    EXPECT_FALSE(s->remove(1));
    EXPECT_TRUE(store_.schedules().empty());
}

TEST_F(SchedulerTest, RemovedWhileTheBrokerIsAwayItsWindowIsPutBackOnceItIsThere) {
    auto s = scheduler();
    add(*s, QByteArray(R"({"text":"Réunion",)") + kMorning);
    moveTo(*s, "2026-03-02T08:00:00+01:00");
    up_ = false;
    EXPECT_TRUE(s->remove(1));
    EXPECT_TRUE(s->list().isEmpty());
    EXPECT_FALSE(s->remove(1));
    s.reset();  // and restarted before the broker is back
    up_ = true;
    s = scheduler();
    EXPECT_EQ(shows("lobby", "text"), "Bonjour");
    EXPECT_TRUE(store_.schedules().empty());
}

}  // namespace
