#pragma once
// The datagrams the display understands, built from text typed in UTF-8.
//
//   plain message:   the text itself, in Windows-1252
//   ticker command:  0xFF "1" then the ticker text
//   colour command:  0xFF "2" then the colour number as decimal text

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ecran::sender {

// The largest payload one UDP datagram over IPv4 can carry.
inline constexpr std::size_t kMaxDatagram = 65507;

// The display reads its stored last message back cut to this many
// characters, so a longer message is shown whole but comes back cut after a
// restart.
inline constexpr std::size_t kStoredMessageLimit = 589;

enum class Kind { Plain, Ticker, Colour };

// UTF-8 text as Windows-1252. A character the code page cannot hold is an
// error naming it (U+20AC style and the character itself) unless `replace`
// is set, which writes "?" in its place. Malformed UTF-8 is an error.
[[nodiscard]] std::string toWindows1252(std::string_view utf8, bool replace);

// The datagram for a plain message or a ticker command from UTF-8 text.
// Throws UsageError when the text cannot be encoded, when the datagram would
// exceed kMaxDatagram, or when a plain message would begin with the command
// marker (the display would take it for a command and not show it).
[[nodiscard]] std::string textDatagram(Kind kind, std::string_view utf8, bool replace);

// The colour command for a colour number.
[[nodiscard]] std::string colourDatagram(std::int32_t colour);

// Warnings for the operator about a datagram that will be sent all the same
// (a message that a restart of the display would cut).
[[nodiscard]] std::vector<std::string> datagramWarnings(std::string_view datagram);

}  // namespace ecran::sender
