#pragma once
// What travels over the broker, as pure functions of bytes: the topics of a
// screen, a command's payload turned into the datagram the display would
// receive, the JSON state a screen publishes, and the Home Assistant
// discovery configs. No network and no window here, so every rule is tested
// (and fuzzed) on its own.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ecran::fleet {

// The largest command payload taken: what one datagram can carry.
inline constexpr std::size_t kMaxPayload = 65507;

// The topics of one screen: P/S/..., P/group/G/..., P/all/...
struct TopicScheme {
    std::string prefix;
    std::string name;
    std::vector<std::string> groups;
};

enum class Command {
    Message,  // the bytes of a datagram, Windows-1252
    Text,     // UTF-8 text for the main message
    Ticker,   // UTF-8 text for the ticker
    Colour,   // a colour as ecran-send --color takes it
};

// Every command topic the screen subscribes to: its own, its groups', all.
[[nodiscard]] std::vector<std::string> commandTopics(const TopicScheme& scheme);
// The command a topic carries for this screen; nothing for another screen's
// or group's topic, or for one that is not a command.
[[nodiscard]] std::optional<Command> commandOf(const TopicScheme& scheme, std::string_view topic);

// The topic that carries `command` to `target`: a screen's name, "group/G"
// or "all" (P/S/text, P/group/G/text, P/all/text).
[[nodiscard]] std::string commandTopic(const std::string& prefix, const std::string& target, Command command);

[[nodiscard]] std::string statusTopic(const TopicScheme& scheme);  // P/S/status
[[nodiscard]] std::string stateTopic(const TopicScheme& scheme);   // P/S/state

// A command turned into the display's datagram, or refused.
struct CommandDatagram {
    std::optional<std::string> datagram;  // nothing when refused
    std::string note;                     // for stderr when not empty: what was refused or replaced
};

// The datagram a command stands for: a message is its payload unchanged;
// text and ticker are UTF-8 made Windows-1252, a character the code page
// lacks becoming "?" (the note names them); a colour is 0xFF "2" and the
// colour number. Refused (nothing changes on the screen): a payload larger
// than a datagram, text that is not UTF-8, a main text that would begin with
// the command marker, a colour that is none.
[[nodiscard]] CommandDatagram datagramFor(Command command, std::string_view payload);

// What the screen shows, for its JSON state.
struct ScreenState {
    std::string text;        // main message, Windows-1252
    std::string ticker;      // ticker text, Windows-1252
    std::uint32_t rgb = 0;   // the main message's colour, 0xRRGGBB
    std::chrono::system_clock::time_point updated;
    std::string source;      // UTF-8: "udp 192.0.2.7:5000", "mqtt ecran/all/text"
    std::string version;
    std::vector<std::string> groups;  // the screen's [mqtt] groups
};

// A JSON string literal of UTF-8 text: quotes, backslashes, the controls
// below 0x20, DEL and the C1 controls U+0080-U+009F escaped; malformed bytes
// become U+FFFD, so the result is always valid JSON.
[[nodiscard]] std::string jsonString(std::string_view utf8);
// "2026-03-01T08:15:00.250Z"
[[nodiscard]] std::string isoUtc(std::chrono::system_clock::time_point t);
// {"text":...,"ticker":...,"color":"#RRGGBB","updated":...,"source":...,"version":...,"groups":[...]}
[[nodiscard]] std::string stateJson(const ScreenState& state);

// One retained discovery config: where it goes and what it says.
struct DiscoveryConfig {
    std::string topic;
    std::string payload;
};
// The two Home Assistant text entities of a screen (main message, ticker),
// under the discovery prefix.
[[nodiscard]] std::vector<DiscoveryConfig> discoveryConfigs(const TopicScheme& scheme, const std::string& prefix,
                                                            const std::string& version);

// Paces the state publications under a flood: at most one a `gap`, and the
// last change is always published, at the end of the gap it fell into.
class StatePacer {
public:
    using Clock = std::chrono::steady_clock;
    explicit StatePacer(Clock::duration gap = std::chrono::milliseconds(100)) : gap_(gap) {}
    // A change at `now`: zero to publish at once, else how long to wait
    // before publishing (a publication is then already due; nothing more to do).
    [[nodiscard]] std::optional<Clock::duration> changed(Clock::time_point now);
    // The waited-for publication happens at `now`.
    void published(Clock::time_point now);

private:
    Clock::duration gap_;
    std::optional<Clock::time_point> last_;
    bool due_ = false;
};

}  // namespace ecran::fleet
