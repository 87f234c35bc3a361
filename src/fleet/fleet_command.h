#pragma once
// A command's payload turned into the datagram the display would receive,
// as a pure function of bytes: every rule is tested (and fuzzed) on its own.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "fleet/fleet_topics.h"

namespace ecran::fleet {

// The largest command payload taken: what one datagram can carry.
inline constexpr std::size_t kMaxPayload = 65507;

// A command turned into the display's datagram, or refused.
struct CommandDatagram {
    std::optional<std::string> datagram;  // nothing when refused
    std::string note;                     // for stderr when not empty: what was refused or replaced
    std::string kind;                     // the note's reason in a word or two ("too large"), one a reason
};

// The datagram a command stands for: a message is its payload unchanged;
// text and ticker are UTF-8 made Windows-1252, a character the code page
// lacks becoming "?" (the note names them); a colour is 0xFF "2" and the
// colour number. Refused (nothing changes on the screen): a payload larger
// than a datagram, text that is not UTF-8, a main text that would begin with
// the command marker, a colour that is none.
[[nodiscard]] CommandDatagram datagramFor(Command command, std::string_view payload);

}  // namespace ecran::fleet
