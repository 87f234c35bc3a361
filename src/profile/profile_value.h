#pragma once
// Reading and writing one named text setting, in an INI file or, for file
// names that begin with "$", in the registry.

#include <cstddef>
#include <cstdint>
#include <string>

namespace ecran::profile {

// The modes of ProfileValue. Every value other than 0 and 2 reads.
inline constexpr std::int16_t kWriteMode = 0;
inline constexpr std::int16_t kReadMode = 1;
inline constexpr std::int16_t kReadAndSeedMode = 2;

// The longest value a read gives back: a longer stored value comes back cut
// to this many characters.
inline constexpr std::size_t kLongestReadValue = 589;

// section, key, value (the default for a read, the new value for a write),
// file name, mode. Never fails towards the caller: it runs in
// continue-on-error mode and records failures in the last-error record.
[[nodiscard]] std::string ProfileValue(std::string section, std::string key, std::string value,
                                       std::string fileName, std::int16_t mode);

}  // namespace ecran::profile
