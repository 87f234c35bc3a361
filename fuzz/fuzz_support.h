#pragma once
// What every fuzz target shares: a failed invariant aborts with a line that
// says which, and the input bytes are cut into the fields an operation
// needs. Built with clang's libFuzzer for fuzzing, and with any compiler for
// the replay of the kept inputs in the test suite.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// A broken invariant is a crash for libFuzzer: it keeps the input that led
// to it. The line names the invariant so the report says what went wrong.
#define FUZZ_CHECK(condition)                                                                        \
    do {                                                                                             \
        if (!(condition)) {                                                                          \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);  \
            std::abort();                                                                            \
        }                                                                                            \
    } while (false)

namespace ecran::fuzz {

// Reads fields from the front of the input; past its end every field is
// empty or zero, so any bytes make a valid sequence of operations.
class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size)
        : bytes_(reinterpret_cast<const char*>(data), size) {}

    [[nodiscard]] bool empty() const noexcept { return bytes_.empty(); }

    [[nodiscard]] std::uint8_t byte() noexcept {
        if (bytes_.empty()) return 0;
        const auto b = static_cast<std::uint8_t>(bytes_.front());
        bytes_.remove_prefix(1);
        return b;
    }

    [[nodiscard]] std::uint16_t word() noexcept {
        const std::uint16_t high = byte();
        return static_cast<std::uint16_t>(high << 8 | byte());
    }

    // A field whose length is given by the byte before it (0-255).
    [[nodiscard]] std::string shortText() { return take(byte()); }

    // A field whose length is given by the two bytes before it (0-65535).
    [[nodiscard]] std::string longText() { return take(word()); }

    // Everything that is left.
    [[nodiscard]] std::string rest() { return take(bytes_.size()); }

private:
    std::string take(std::size_t n) {
        const std::string_view field = bytes_.substr(0, n);
        bytes_.remove_prefix(field.size());
        return std::string(field);
    }

    std::string_view bytes_;
};

}  // namespace ecran::fuzz
