#include "registry/registry_value.h"

#include <array>
#include <charconv>
#include <cmath>
#include <type_traits>

#include "errors/error.h"

namespace ecran::registry {
namespace {

template <typename Number>
std::string shortestText(Number n) {
    // Large enough for the longest shortest-form double ("-1.2345678901234567e-308").
    std::array<char, 64> buffer{};
    const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), n);
    if (ec != std::errc{}) throw errors::overflowError();
    return std::string(buffer.data(), end);
}

template <typename Floating>
std::string floatingText(Floating f) {
    if (!std::isfinite(f)) throw errors::Error(kTypeMismatch, errors::kProgramSource, "Type mismatch");
    return shortestText(f);
}

}  // namespace

std::string RegistryValue::text() const {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return v;
            } else if constexpr (std::is_same_v<T, bool>) {
                return v ? "True" : "False";
            } else if constexpr (std::is_floating_point_v<T>) {
                return floatingText(v);
            } else {
                return shortestText(v);
            }
        },
        v_);
}

}  // namespace ecran::registry
