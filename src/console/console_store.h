#pragma once
// The console's database (SQLite, one file in its data folder): the named
// tokens, kept as hashes only, the history of the messages sent and the
// schedules. Every change is a committed transaction; several processes may
// open it (the service and the token commands).

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace ecran::console {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TokenInfo {
    std::int64_t id = 0;
    std::string name;
    std::string created;                 // ISO-8601 UTC
    std::optional<std::string> lastUsed; // ISO-8601 UTC
};

// One message sent, as the history and the API show it. `to` and `warnings`
// are JSON texts.
struct HistoryEntry {
    std::int64_t id = 0;
    std::string at, by, to, kind, value, result;
    std::string warnings = "[]";
};

// A schedule as the database keeps it: its JSON, who made it, and the
// window it has put on the screens (the ISO start of that window, with what
// each target screen showed before it and what it shows for it, both JSON
// objects of screen: value), so that an end after a restart puts back.
struct StoredSchedule {
    std::int64_t id = 0;
    std::string body, by;
    std::optional<std::string> applied;
    std::string before = "{}", shown = "{}";
    // Removed while its window ran and the broker was away: kept, out of
    // the list, until that window is put back.
    bool removed = false;
};

// How much history is kept: the newest entries within this many days, and
// at most this many.
inline constexpr int kHistoryDays = 90;
inline constexpr std::int64_t kHistoryMost = 100000;

// True for a token name: 1 to 64 letters, digits, "-", "_", "." and "@".
[[nodiscard]] bool isTokenName(const std::string& name);

class ConsoleStore {
public:
    // Opens (creating when missing) console.db in `folder`, created private
    // to its user when missing. Throws StoreError naming the file.
    explicit ConsoleStore(const std::string& folder, std::int64_t historyMost = kHistoryMost);
    ~ConsoleStore();
    ConsoleStore(const ConsoleStore&) = delete;
    ConsoleStore& operator=(const ConsoleStore&) = delete;

    [[nodiscard]] const std::string& file() const noexcept { return file_; }

    // A new random token (256 bits, 64 hexadecimal digits) under `name`;
    // only its hash is stored. Throws StoreError when the name is taken.
    [[nodiscard]] std::string addToken(const std::string& name);
    [[nodiscard]] std::vector<TokenInfo> tokens();
    // False when no token has that name.
    [[nodiscard]] bool revokeToken(const std::string& name);
    // The token a secret belongs to (and notes its use, to the minute);
    // nothing for none.
    [[nodiscard]] std::optional<TokenInfo> useToken(const std::string& secret);
    // The token's name while it exists: a revoked token's sessions end here.
    [[nodiscard]] std::optional<std::string> tokenName(std::int64_t id);

    // Records an entry (its id and time filled in) and trims the history.
    void addHistory(HistoryEntry& entry);
    // Newest first, `limit` of them, older than `before` when given.
    [[nodiscard]] std::vector<HistoryEntry> history(int limit, std::optional<std::int64_t> before);

    // Schedules, oldest first; removeSchedule is false when there is none.
    [[nodiscard]] std::int64_t addSchedule(const std::string& body, const std::string& by);
    [[nodiscard]] std::vector<StoredSchedule> schedules();
    [[nodiscard]] bool removeSchedule(std::int64_t id);
    void setApplied(const StoredSchedule& s);

private:
    void exec(const char* sql);
    std::string file_;
    std::int64_t historyMost_;
    sqlite3* db_ = nullptr;
};

// The current time as the store writes it: "2026-03-01T08:15:00.250Z".
[[nodiscard]] std::string nowIso();

}  // namespace ecran::console
