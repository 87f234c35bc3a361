// Topics, command payloads, the JSON state and the discovery configs, as
// bytes in and bytes out.

#include "fleet/fleet_payload.h"
#include "fleet/mqtt_client.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>

namespace {

using namespace ecran::fleet;
using namespace std::chrono_literals;

const TopicScheme kScheme{"ecran", "hall-1.a", {"floor0", "lobby"}};

TEST(CommandOf, TakesOwnGroupAndAllTopicsOnly) {
    const std::pair<const char*, std::optional<Command>> rows[] = {
        {"ecran/hall-1.a/message", Command::Message}, {"ecran/hall-1.a/text", Command::Text},
        {"ecran/group/floor0/ticker", Command::Ticker}, {"ecran/group/lobby/color", Command::Colour},
        {"ecran/all/text", Command::Text},
        // Another screen, another group, our own publications, near misses.
        {"ecran/hall-2/text", std::nullopt}, {"ecran/group/floor1/text", std::nullopt},
        {"ecran/hall-1.a/state", std::nullopt}, {"ecran/hall-1.a/status", std::nullopt},
        {"ecran/group/text", std::nullopt}, {"ecran/hall-1.a/text/x", std::nullopt},
        {"other/all/text", std::nullopt}, {"ecranx/all/text", std::nullopt}, {"ecran/all/colour", std::nullopt},
        {"", std::nullopt}, {"ecran/", std::nullopt}};
    for (const auto& [topic, expected] : rows) EXPECT_EQ(commandOf(kScheme, topic), expected) << topic;
    // Every topic subscribed to is one the screen takes.
    const auto topics = commandTopics(kScheme);
    EXPECT_EQ(topics.size(), 16u);
    for (const auto& t : topics) EXPECT_TRUE(commandOf(kScheme, t)) << t;
}

struct Row {
    Command command;
    std::string payload;
    std::optional<std::string> datagram;
    std::string note;  // a part of the note; empty: no note
};

class DatagramFor : public testing::TestWithParam<Row> {};

TEST_P(DatagramFor, IsTheDatagramTheDisplayWouldReceive) {
    const auto& r = GetParam();
    const auto result = datagramFor(r.command, r.payload);
    EXPECT_EQ(result.datagram, r.datagram);
    if (r.note.empty()) {
        EXPECT_EQ(result.note, "");
    } else {
        EXPECT_NE(result.note.find(r.note), std::string::npos) << result.note;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DatagramFor,
    testing::Values(
        // Raw bytes go through untouched, the command marker and NULs included.
        Row{Command::Message, "\xFF" "1D\xE9part", "\xFF" "1D\xE9part", ""},
        Row{Command::Message, std::string("a\0b", 3), std::string("a\0b", 3), ""},
        Row{Command::Message, "", "", ""},
        // UTF-8 text in Windows-1252; the euro sign lives at 0x80.
        Row{Command::Text, "R\xC3\xA9union 5 \xE2\x82\xAC", "R\xE9union 5 \x80", ""},
        Row{Command::Ticker, "D\xC3\xA9part", "\xFF" "1D\xE9part", ""},
        Row{Command::Ticker, "", "\xFF" "1", ""},
        // What the code page lacks becomes "?", named on stderr.
        Row{Command::Text, "a\xE4\xB8\xAD" "b\xF0\x9F\x98\x80", "a?b?", "U+4E2D \"\xE4\xB8\xAD\", U+1F600"},
        Row{Command::Ticker, "\xC2\x85", "\xFF" "1?", "U+0085:"},
        Row{Command::Text, "\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD", "??????",
            "(6 characters in all)"},
        // Refused: bad UTF-8, the marker first in a main text, oversize payloads.
        Row{Command::Text, "ab\xFF", std::nullopt, "not UTF-8"},
        Row{Command::Text, "\xED\xA0\x80", std::nullopt, "not UTF-8"},  // a surrogate
        Row{Command::Text, "\xC0\xAF", std::nullopt, "not UTF-8"},      // overlong "/"
        Row{Command::Text, "\xC3\xBF" "1x", std::nullopt, "command marker"},
        Row{Command::Message, std::string(kMaxPayload + 1, 'a'), std::nullopt, "65508 bytes"},
        Row{Command::Message, std::string(kMaxPayload, 'a'), std::string(kMaxPayload, 'a'), ""},
        // Colours in every form the sender takes; blanks around are dropped.
        Row{Command::Colour, "red", "\xFF" "2255", ""}, Row{Command::Colour, " #F80\n", "\xFF" "235071", ""},
        Row{Command::Colour, "&H8000000F", "\xFF" "2-2147483633", ""},
        Row{Command::Colour, "16711680", "\xFF" "216711680", ""},
        Row{Command::Colour, "rde", std::nullopt, "unknown colour 'rde'"},
        Row{Command::Colour, "&H80000030", std::nullopt, "system colour 48"},
        Row{Command::Colour, std::string(65, 'a'), std::nullopt, "65 bytes"},
        Row{Command::Colour, "r\xFF", std::nullopt, "not UTF-8"}));

TEST(JsonString, EscapesWhatJsonRequiresAndControlsOfBothRanges) {
    const std::pair<std::string, std::string> rows[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
        {std::string("\0\x01\x1F\x7F", 4), "\"\\u0000\\u0001\\u001f\\u007f\""},
        {"\xC2\x80\xC2\x9F\xC2\xA0", "\"\\u0080\\u009f\xC2\xA0\""},  // C1 escaped, NBSP kept
        {"\xE2\x80\xA8\xE2\x82\xAC", "\"\\u2028\xE2\x82\xAC\""},
        {"a\xFF" "b\xC3", "\"a\\ufffdb\\ufffd\""},  // malformed bytes never reach the JSON
    };
    for (const auto& [in, out] : rows) EXPECT_EQ(jsonString(in), out);
}

TEST(StateJson, HoldsTheScreenInUtf8) {
    ScreenState s;
    s.text = "R\xE9union \x80\n\x81";  // Windows-1252, with a line break and an undefined byte
    s.ticker = "\"D\xE9part\"";
    s.rgb = 0x4682B4;
    s.updated = std::chrono::system_clock::time_point(1764576000250ms);
    s.source = "mqtt ecran/all/text";
    s.version = "0.2.0";
    s.groups = {"hall", "floor-0"};
    const std::string json = stateJson(s);
    EXPECT_EQ(json,
              "{\"text\":\"R\xC3\xA9union \xE2\x82\xAC\\n\\u0081\",\"ticker\":\"\\\"D\xC3\xA9part\\\"\","
              "\"color\":\"#4682B4\",\"updated\":\"2025-12-01T08:00:00.250Z\",\"source\":\"mqtt ecran/all/text\","
              "\"version\":\"0.2.0\",\"groups\":[\"hall\",\"floor-0\"]}");
    s.refused = {"ecran/hall-1.a/status"};
    s.snapshot = s.updated + 1500ms;
    EXPECT_EQ(stateJson(s), json.substr(0, json.size() - 1) +
                                ",\"snapshot\":\"2025-12-01T08:00:01.750Z\",\"refused\":[\"ecran/hall-1.a/status\"]}");
    QJsonParseError error{};
    const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    EXPECT_EQ(doc.object().value("text").toString(), QString::fromUtf8("R\xC3\xA9union \xE2\x82\xAC\n\xC2\x81"));
}

TEST(DiscoveryConfigs, DescribeTwoTextEntitiesAndTheSnapshotOfOneDevice) {
    const auto configs = discoveryConfigs(kScheme, "homeassistant", "0.2.0", true);
    ASSERT_EQ(configs.size(), 3u);
    EXPECT_EQ(configs[0].topic, "homeassistant/text/hall-1_da/message/config");
    EXPECT_EQ(configs[1].topic, "homeassistant/text/hall-1_da/ticker/config");
    EXPECT_EQ(configs[2].topic, "homeassistant/image/hall-1_da/snapshot/config");
    const std::string device = configs[0].payload.substr(configs[0].payload.find(",\"device\":"));
    EXPECT_EQ(configs[2].payload,
              "{\"name\":\"Snapshot\",\"unique_id\":\"ecran__hall-1_da__snapshot\",\"image_topic\":"
              "\"ecran/hall-1.a/snapshot\",\"content_type\":\"image/jpeg\",\"availability_topic\":"
              "\"ecran/hall-1.a/status\",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"" +
                  device);
    // Without snapshots, the image entity's config is cleared.
    EXPECT_EQ(discoveryConfigs(kScheme, "homeassistant", "0.2.0", false)[2].payload, "");
    // The bytes peers read, members in this order.
    EXPECT_EQ(configs[0].payload,
              "{\"name\":\"Message\",\"unique_id\":\"ecran__hall-1_da__message\",\"command_topic\":\"ecran/hall-1.a/text\","
              "\"state_topic\":\"ecran/hall-1.a/state\",\"value_template\":\"{{ value_json.text[:255] }}\","
              "\"availability_topic\":\"ecran/hall-1.a/status\",\"payload_available\":\"online\","
              "\"payload_not_available\":\"offline\",\"max\":255,\"mode\":\"text\",\"qos\":1,\"device\":{"
              "\"identifiers\":[\"ecran-hall-1.a\"],\"name\":\"hall-1.a\",\"model\":\"ecran\",\"sw_version\":\"0.2.0\"}}");
    // The ticker's config is the message's with the ticker's names; both are JSON.
    std::string ticker = configs[0].payload;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"Message", "Ticker"},
                                   {"_message\"", "_ticker\""}, {"/text\"", "/ticker\""}, {"json.text", "json.ticker"}}) {
        ticker.replace(ticker.find(from), from.size(), to);
    }
    EXPECT_EQ(configs[1].payload, ticker);
    for (const auto& c : configs) EXPECT_FALSE(QJsonDocument::fromJson(QByteArray::fromStdString(c.payload)).isNull());
}

// Pairs that shared topics and ids once get their own; names of letters,
// digits and "-" under the default prefix keep theirs. Over generated pairs
// the ids hold only what Home Assistant takes and never meet.
TEST(DiscoveryConfigs, DistinctPrefixAndNamePairsGetDistinctTopicsAndIds) {
    const struct {
        const char *prefix, *name, *topic, *id;
    } rows[] = {
        {"ecran", "kiosk-3", "homeassistant/text/kiosk-3/message/config", "ecran_kiosk-3_message"},
        {"ecran", "hall.1", "homeassistant/text/hall_d1/message/config", "ecran__hall_d1__message"},
        {"ecran", "hall_1", "homeassistant/text/hall_u1/message/config", "ecran__hall_u1__message"},
        {"fleetA", "kiosk", "homeassistant/text/kiosk/fleetA__message/config", "fleetA_kiosk_message"},
        {"fleetB", "kiosk", "homeassistant/text/kiosk/fleetB__message/config", "fleetB_kiosk_message"},
        {"a_b", "c", "homeassistant/text/c/a_ub__message/config", "a_ub__c__message"},
        {"a", "b_c", "homeassistant/text/b_uc/a__message/config", "a__b_uc__message"},
    };
    for (const auto& r : rows) {
        const auto c = discoveryConfigs({r.prefix, r.name, {}}, "homeassistant", "1", true);
        EXPECT_EQ(c[0].topic, r.topic);
        EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(c[0].payload)).object().value("unique_id"), r.id);
    }
    std::map<std::string, std::string> seen;  // each topic and unique id: the pair it came from
    std::minstd_rand random(7);
    for (int k = 0; k < 600; ++k) {
        std::string part[2];
        for (auto& p : part) {
            for (auto n = 1 + random() % 4; n > 0; --n) p += "ab-_."[random() % 5];
        }
        const std::string pair = part[0] + " " + part[1];
        // The topic past "homeassistant/text/", and the unique id.
        const auto topic = discoveryConfigs({part[0], part[1], {}}, "homeassistant", "1", true)[0].topic.substr(19);
        for (const auto& key : {topic, discoveryUniqueId(part[0], part[1], "message")}) {
            const auto [at, fresh] = seen.emplace(key, pair);
            EXPECT_TRUE(fresh || at->second == pair) << key << " of " << pair << " and " << at->second;
            EXPECT_EQ(key.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-/"),
                      std::string::npos) << key;
        }
    }
    EXPECT_GT(seen.size(), 800u);  // the pairs drawn were mostly different
}

// Changes at these milliseconds, gap 100: publish at once, wait, or nothing
// (a publication is due already).
TEST(StatePacer, PublishesAtMostOnceAGapAndAlwaysTheLastChange) {
    StatePacer pacer;
    const StatePacer::Clock::time_point t0{};
    const auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
    EXPECT_EQ(pacer.changed(at(1000)), StatePacer::Clock::duration::zero());
    EXPECT_EQ(pacer.changed(at(1030)), std::chrono::milliseconds(70));
    EXPECT_EQ(pacer.changed(at(1050)), std::nullopt);  // carried by the one due at 1100
    pacer.published(at(1100));
    EXPECT_EQ(pacer.changed(at(1150)), std::chrono::milliseconds(50));
    pacer.published(at(1200));
    EXPECT_EQ(pacer.changed(at(1400)), StatePacer::Clock::duration::zero());
}

// Attempts in a row, each "LASTED>WAIT": how long its connection lasted in
// seconds ("-": it never connected; "T" after it: the broker said the
// session was taken), the wait before the next, "!" when a clone is said.
TEST(Backoff, DoublesToTenSecondsResetsOnlyAfterALastingConnectionAndWaitsAMinuteForAClone) {
    const std::pair<const char*, const char*> rows[] = {
        {"broker away", "->1 ->2 ->4 ->8 ->10 ->10"},
        {"a CONNACK resets nothing", "->1 ->2 10>4 ->8"},
        {"a lasting connection resets", "->1 ->2 30>1 ->2"},
        {"closed at once, three in a row", "0.1>1 0.2>2 0.1>60! 0.1>60! 31>1"},
        {"a longer one breaks the row", "0.1>1 0.1>2 6>4 0.1>8"},
        {"the broker says taken over", "2T>60! ->10 45>1"},
    };
    for (const auto& [what, attempts] : rows) {
        Backoff backoff;
        std::istringstream in(attempts);
        for (std::string a; in >> a;) {
            std::optional<std::chrono::steady_clock::duration> lasted;
            if (a[0] != '-') lasted = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(std::stod(a)));
            const auto next = backoff.next(lasted, a.find('T') != std::string::npos);
            EXPECT_EQ(next.wait.count(), std::stoi(a.substr(a.find('>') + 1))) << what << ": " << a;
            EXPECT_EQ(next.takenOver, a.back() == '!') << what << ": " << a;
        }
    }
}

}  // namespace
