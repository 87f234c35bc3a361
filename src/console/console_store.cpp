#include "console/console_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <QCryptographicHash>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "fleet/fleet_payload.h"

namespace ecran::console {
namespace {

// One prepared statement, finalised when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            throw StoreError(std::string("database: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement& bind(int i, const std::string& s) {
        sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int i, std::int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    // True while a row is there; throws on failure (a busy database included,
    // once the busy timeout has passed).
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw StoreError(std::string("database: ") + sqlite3_errmsg(db_));
    }
    std::string text(int col) {
        const auto* p = sqlite3_column_text(stmt_, col);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }
    bool isNull(int col) { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    std::int64_t integer(int col) { return sqlite3_column_int64(stmt_, col); }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

std::string hashOf(const std::string& secret) {
    return QCryptographicHash::hash(QByteArray::fromStdString(secret), QCryptographicHash::Sha256).toHex().toStdString();
}

std::string randomToken() {
    unsigned char bytes[32];
    std::ifstream random("/dev/urandom", std::ios::binary);
    if (!random.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
        throw StoreError("cannot read /dev/urandom for a new token");
    }
    return QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes).toHex().toStdString();
}

}  // namespace

std::string nowIso() { return fleet::isoUtc(std::chrono::system_clock::now()); }

bool isTokenName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char ch : name) {
        const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                        ch == '-' || ch == '_' || ch == '.' || ch == '@';
        if (!ok) return false;
    }
    return true;
}

ConsoleStore::ConsoleStore(const std::string& folder, std::int64_t historyMost)
    : file_(folder + "/console.db"), historyMost_(historyMost) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder)) {
        const mode_t old = ::umask(077);
        std::filesystem::create_directories(folder, ec);
        ::umask(old);
        if (ec) throw StoreError("cannot create the data folder " + folder + ": " + ec.message());
    }
    const mode_t old = ::umask(077);  // the hashes and the history are the console's alone
    const int rc = sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    ::umask(old);
    if (rc != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open the database " + file_ + ": " + why);
    }
    sqlite3_busy_timeout(db_, 2000);
    try {
        exec("PRAGMA journal_mode=WAL");
        exec("CREATE TABLE IF NOT EXISTS tokens(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT UNIQUE NOT NULL,"
             " hash TEXT UNIQUE NOT NULL, created TEXT NOT NULL, last_used TEXT)");
        exec("CREATE TABLE IF NOT EXISTS history(id INTEGER PRIMARY KEY AUTOINCREMENT, at TEXT NOT NULL,"
             " by TEXT NOT NULL, target TEXT NOT NULL, kind TEXT NOT NULL, value TEXT NOT NULL,"
             " result TEXT NOT NULL, warnings TEXT NOT NULL)");
        exec("CREATE TABLE IF NOT EXISTS schedules(id INTEGER PRIMARY KEY AUTOINCREMENT, body TEXT NOT NULL,"
             " by TEXT NOT NULL, applied TEXT, before TEXT NOT NULL DEFAULT '{}', shown TEXT NOT NULL DEFAULT '{}',"
             " removed INTEGER NOT NULL DEFAULT 0)");
    } catch (const StoreError& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot use the database " + file_ + ": " + e.what());
    }
}

ConsoleStore::~ConsoleStore() { sqlite3_close(db_); }

void ConsoleStore::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : "unknown error";
        sqlite3_free(error);
        throw StoreError(why);
    }
}

std::string ConsoleStore::addToken(const std::string& name) {
    if (!isTokenName(name)) {
        throw StoreError("the token name \"" + name + "\" may hold only letters, digits, \"-\", \"_\", \".\" and \"@\" (1 to 64)");
    }
    const std::string secret = randomToken();
    Statement s(db_, "INSERT OR IGNORE INTO tokens(name, hash, created) VALUES(?, ?, ?)");
    s.bind(1, name).bind(2, hashOf(secret)).bind(3, nowIso()).step();
    if (sqlite3_changes(db_) == 0) throw StoreError("a token named \"" + name + "\" exists already in " + file_);
    return secret;
}

std::vector<TokenInfo> ConsoleStore::tokens() {
    std::vector<TokenInfo> out;
    Statement s(db_, "SELECT id, name, created, last_used FROM tokens ORDER BY name");
    while (s.step()) {
        TokenInfo t{s.integer(0), s.text(1), s.text(2), std::nullopt};
        if (!s.isNull(3)) t.lastUsed = s.text(3);
        out.push_back(std::move(t));
    }
    return out;
}

bool ConsoleStore::revokeToken(const std::string& name) {
    Statement s(db_, "DELETE FROM tokens WHERE name = ?");
    s.bind(1, name).step();
    return sqlite3_changes(db_) > 0;
}

std::optional<TokenInfo> ConsoleStore::useToken(const std::string& secret) {
    if (secret.empty() || secret.size() > 256) return std::nullopt;
    Statement s(db_, "SELECT id, name, created, last_used FROM tokens WHERE hash = ?");
    s.bind(1, hashOf(secret));
    if (!s.step()) return std::nullopt;
    TokenInfo t{s.integer(0), s.text(1), s.text(2), std::nullopt};
    if (!s.isNull(3)) t.lastUsed = s.text(3);
    // Each write is a committed transaction, flushed to disk, and a script
    // may ask many times a second: the time of use is kept to the minute.
    const auto now = std::chrono::system_clock::now();
    if (!t.lastUsed || *t.lastUsed < fleet::isoUtc(now - std::chrono::minutes(1))) {
        t.lastUsed = fleet::isoUtc(now);
        Statement u(db_, "UPDATE tokens SET last_used = ? WHERE id = ?");
        u.bind(1, *t.lastUsed).bind(2, t.id).step();
    }
    return t;
}

std::optional<std::string> ConsoleStore::tokenName(std::int64_t id) {
    Statement s(db_, "SELECT name FROM tokens WHERE id = ?");
    s.bind(1, id);
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

void ConsoleStore::addHistory(HistoryEntry& e) {
    e.at = nowIso();
    Statement s(db_, "INSERT INTO history(at, by, target, kind, value, result, warnings) VALUES(?,?,?,?,?,?,?)");
    s.bind(1, e.at).bind(2, e.by).bind(3, e.to).bind(4, e.kind).bind(5, e.value).bind(6, e.result).bind(7, e.warnings);
    s.step();
    e.id = sqlite3_last_insert_rowid(db_);
    const std::string oldest =
        fleet::isoUtc(std::chrono::system_clock::now() - std::chrono::hours(24) * kHistoryDays);
    Statement trim(db_, "DELETE FROM history WHERE id <= ? OR at < ?");
    trim.bind(1, e.id - historyMost_).bind(2, oldest).step();
}

std::vector<HistoryEntry> ConsoleStore::history(int limit, std::optional<std::int64_t> before) {
    std::vector<HistoryEntry> out;
    Statement s(db_,
                "SELECT id, at, by, target, kind, value, result, warnings FROM history WHERE id < ? ORDER BY id DESC "
                "LIMIT ?");
    s.bind(1, before.value_or(INT64_MAX)).bind(2, static_cast<std::int64_t>(limit));
    while (s.step()) {
        out.push_back({s.integer(0), s.text(1), s.text(2), s.text(3), s.text(4), s.text(5), s.text(6), s.text(7)});
    }
    return out;
}

std::int64_t ConsoleStore::addSchedule(const std::string& body, const std::string& by) {
    Statement s(db_, "INSERT INTO schedules(body, by) VALUES(?, ?)");
    s.bind(1, body).bind(2, by).step();
    return sqlite3_last_insert_rowid(db_);
}

std::vector<StoredSchedule> ConsoleStore::schedules() {
    std::vector<StoredSchedule> out;
    Statement s(db_, "SELECT id, body, by, applied, before, shown, removed FROM schedules ORDER BY id");
    while (s.step()) {
        StoredSchedule row{s.integer(0), s.text(1), s.text(2), std::nullopt, s.text(4), s.text(5)};
        if (!s.isNull(3)) row.applied = s.text(3);
        row.removed = s.integer(6) != 0;
        out.push_back(std::move(row));
    }
    return out;
}

bool ConsoleStore::removeSchedule(std::int64_t id) {
    Statement s(db_, "DELETE FROM schedules WHERE id = ?");
    s.bind(1, id).step();
    return sqlite3_changes(db_) > 0;
}

void ConsoleStore::setApplied(const StoredSchedule& row) {
    Statement s(db_, "UPDATE schedules SET applied = ?, before = ?, shown = ?, removed = ? WHERE id = ?");
    if (row.applied) s.bind(1, *row.applied);
    s.bind(2, row.before).bind(3, row.shown).bind(4, std::int64_t{row.removed}).bind(5, row.id).step();
}

}  // namespace ecran::console
