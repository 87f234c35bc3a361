#include "win32/registry_handles.h"

namespace ecran::win32 {

std::optional<std::uint32_t> RegistryHandleTable::add(const OpenKey& key) {
    if (entries_.size() >= capacity_) return std::nullopt;
    // The table holds far fewer entries than there are values, so a free
    // value is always found within capacity_ + 1 steps.
    while (entries_.count(next_) != 0) next_ = next_ == kLastValue ? kFirstValue : next_ + 4;
    const std::uint32_t value = next_;
    next_ = next_ == kLastValue ? kFirstValue : next_ + 4;
    entries_.emplace(value, key);
    return value;
}

const OpenKey* RegistryHandleTable::find(std::uint32_t value) const {
    const auto it = entries_.find(value);
    return it == entries_.end() ? nullptr : &it->second;
}

bool RegistryHandleTable::remove(std::uint32_t value) {
    return entries_.erase(value) != 0;
}

}  // namespace ecran::win32
