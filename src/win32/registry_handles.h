#pragma once
// The key handles open in this process: handle value -> key and rights.
//
// Handles live only in memory, never in the store: a process that leaks
// handles costs memory up to the table's bound, never disk, and a handle
// dies with its process. A handle names a key by its id; whether that key
// still exists is asked of the store at every use, so a key deleted by any
// process makes the handle answer ERROR_KEY_DELETED.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>

#include "win32/win_types.h"

namespace ecran::win32 {

struct OpenKey {
    std::int64_t keyId = 0;  // row id of the key in the store
    REGSAM rights = 0;       // granted rights, generic rights already mapped
};

class RegistryHandleTable {
public:
    // Handle values are multiples of 4 from 4 up to kLastValue: never 0,
    // never one of the predefined roots (0x80000000 and above).
    static constexpr std::uint32_t kFirstValue = 4;
    static constexpr std::uint32_t kLastValue = 0x7FFFFFFC;

    // `firstValue` (a multiple of 4 in range) is where handing out starts.
    explicit RegistryHandleTable(std::size_t capacity, std::uint32_t firstValue = kFirstValue)
        : capacity_(capacity), next_(firstValue) {}

    // A new handle for the key, or nothing when `capacity` handles are
    // already open. Values are handed out in increasing order, wrapping
    // around and skipping values in use, so that a closed handle's value is
    // not given again until about 500 million handles later.
    [[nodiscard]] std::optional<std::uint32_t> add(const OpenKey& key);

    // The key behind an open handle, or null.
    [[nodiscard]] const OpenKey* find(std::uint32_t value) const;

    // Closes a handle; false when it was not open.
    bool remove(std::uint32_t value);

    void clear() noexcept { entries_.clear(); }
    [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }

private:
    std::size_t capacity_;
    std::uint32_t next_;
    std::unordered_map<std::uint32_t, OpenKey> entries_;
};

}  // namespace ecran::win32
