#pragma once
// The JSON a screen publishes: its state, and the writer every fleet
// document is made with (discovery configs included). The members keep the
// order they are written in and controls of both ranges are escaped; Qt's
// JSON classes sort the keys and leave DEL, C1 and U+2028 as they are, so
// they would change the bytes peers already read.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ecran::fleet {

// A JSON string literal of UTF-8 text: quotes, backslashes, the controls
// below 0x20, DEL and the C1 controls U+0080-U+009F escaped; malformed bytes
// become U+FFFD, so the result is always valid JSON.
[[nodiscard]] std::string jsonString(std::string_view utf8);
// "2026-03-01T08:15:00.250Z"
[[nodiscard]] std::string isoUtc(std::chrono::system_clock::time_point t);

// A JSON object written member by member.
class JsonObject {
public:
    JsonObject& text(std::string_view key, std::string_view utf8);  // a string member
    JsonObject& raw(std::string_view key, std::string_view json);   // a member already in JSON
    [[nodiscard]] std::string str() const { return out_ + "}"; }

private:
    std::string out_ = "{";
};

// What the screen shows, for its JSON state.
struct ScreenState {
    std::string text;        // main message, Windows-1252
    std::string ticker;      // ticker text, Windows-1252
    std::uint32_t rgb = 0;   // the main message's colour, 0xRRGGBB
    std::chrono::system_clock::time_point updated;
    std::string source;      // UTF-8: "udp 192.0.2.7:5000", "mqtt ecran/all/text"
    std::string version;
    std::vector<std::string> groups;  // the screen's [mqtt] groups
    // Topics the broker refused to this connection (MQTT 5 says so; a 3.1.1
    // broker cannot): written only when there are some.
    std::vector<std::string> refused;
    // When the last snapshot published was taken; none: no snapshot yet.
    std::optional<std::chrono::system_clock::time_point> snapshot;
};

// {"text":...,"ticker":...,"color":"#RRGGBB","updated":...,"source":...,"version":...,"groups":[...]},
// then "snapshot":"..." once one was published and "refused":[...] when the
// broker refused topics
[[nodiscard]] std::string stateJson(const ScreenState& state);

}  // namespace ecran::fleet
