#include "win32/registry_database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "win32/registry_api.h"
#include "win32/registry_names.h"

namespace ecran::win32 {

namespace {

// SQLite's application id marks the file as this program's registry store:
// the four letters "ecrg" (0x65637267), as "file" and similar tools show it.
constexpr int kApplicationId = ('e' << 24) | ('c' << 16) | ('r' << 8) | 'g';
constexpr int kSchemaVersion = 1;
std::atomic<int> busyTimeoutMs{static_cast<int>(kRegistryStoreBusyTimeout.count())};

constexpr const char* kRootNames[kStoredRootCount] = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_CURRENT_CONFIG",
};

constexpr const char* kSchema = R"sql(
CREATE TABLE keys(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER REFERENCES keys(id),
    name BLOB NOT NULL,
    upper BLOB NOT NULL,
    class BLOB NOT NULL DEFAULT x'',
    UNIQUE(parent, upper)
) STRICT;
CREATE TABLE vals(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    key_id INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
    name BLOB NOT NULL,
    upper BLOB NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    UNIQUE(key_id, upper)
) STRICT;
CREATE INDEX vals_order ON vals(key_id, id);
)sql";

// A failure of SQLite inside a member, with SQLite's message taken at once
// (the rollback that follows replaces it); turned into a Windows code by
// guarded() once the transaction has been rolled back.
struct SqliteFailure {
    int rc;
    std::string message;
};

[[noreturn]] void fail(sqlite3* db, int rc) {
    const char* message = db != nullptr && sqlite3_errcode(db) != SQLITE_OK ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    throw SqliteFailure{rc, message};
}

void execOrFail(sqlite3* db, const char* sql) {
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) fail(db, rc);
}

}  // namespace

// One prepared statement, reset after every use.
class RegistryDatabase::Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        const int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
        if (rc != SQLITE_OK) fail(db, rc);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value) {
        check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    Statement& bind(int index, std::string_view bytes) {
        // A zero-length blob still binds as a blob (not NULL): the data
        // pointer must not be null.
        static const char kEmpty = 0;
        check(sqlite3_bind_blob64(stmt_, index, bytes.empty() ? &kEmpty : bytes.data(), bytes.size(),
                                  SQLITE_TRANSIENT));
        return *this;
    }

    // True for a row, false when done.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        fail(db_, rc);
    }
    void run() {
        while (step()) {
        }
    }

    [[nodiscard]] std::int64_t integer(int column) { return sqlite3_column_int64(stmt_, column); }
    [[nodiscard]] bool isNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    [[nodiscard]] std::string blob(int column) {
        const void* p = sqlite3_column_blob(stmt_, column);
        const int n = sqlite3_column_bytes(stmt_, column);
        if (p == nullptr || n <= 0) {
            if (sqlite3_errcode(db_) == SQLITE_NOMEM) fail(db_, SQLITE_NOMEM);
            return {};
        }
        return std::string(static_cast<const char*>(p), static_cast<std::size_t>(n));
    }

    void reset() noexcept {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

private:
    void check(int rc) {
        if (rc != SQLITE_OK) fail(db_, rc);
    }

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN (IMMEDIATE for writes) ... COMMIT; rolled back unless committed.
class RegistryDatabase::Transaction {
public:
    Transaction(RegistryDatabase& owner, Access access) : owner_(owner), access_(access) {
        exec(access == Access::Write ? "BEGIN IMMEDIATE" : "BEGIN");
    }
    ~Transaction() {
        if (!done_) sqlite3_exec(owner_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit() {
        exec("COMMIT");
        done_ = true;
        if (access_ == Access::Write) ++owner_.ownCommits_;
    }

private:
    void exec(const char* sql) { execOrFail(owner_.db_, sql); }

    RegistryDatabase& owner_;
    Access access_;
    bool done_ = false;
};

namespace {

// Resets a statement when the scope ends, whatever happens, so that a
// prepared statement kept for the next call holds no read lock meanwhile.
template <class S>
class ResetOnExit {
public:
    explicit ResetOnExit(S& s) : s_(s) {}
    ~ResetOnExit() { s_.reset(); }
    ResetOnExit(const ResetOnExit&) = delete;
    ResetOnExit& operator=(const ResetOnExit&) = delete;

private:
    S& s_;
};

void printStoreError(const std::string& path, const char* what, const char* detail) {
    std::fprintf(stderr, "ecran: registry store %s: %s: %s\n", path.c_str(), what, detail);
}

std::mutex failureMutex;
RegistryStoreFailure lastFailure;

}  // namespace

void storeFailed(LONG code, const std::string& path, const std::string& what, const std::string& detail,
                 bool print) {
    if (print) printStoreError(path, what.c_str(), detail.c_str());
    try {
        const std::lock_guard<std::mutex> lock(failureMutex);
        lastFailure = RegistryStoreFailure{code, path, what + ": " + detail};
    } catch (const std::bad_alloc&) {
        // The code still reaches the caller; only its description is lost.
    }
}

RegistryStoreFailure lastRegistryStoreFailure() {
    const std::lock_guard<std::mutex> lock(failureMutex);
    return lastFailure;
}

void clearRegistryStoreFailure() noexcept {
    const std::lock_guard<std::mutex> lock(failureMutex);
    lastFailure.code = ERROR_SUCCESS;
    lastFailure.path.clear();
    lastFailure.what.clear();
}

void setRegistryStoreBusyTimeout(std::chrono::milliseconds timeout) noexcept {
    busyTimeoutMs = static_cast<int>(timeout.count());
}

RegistryDatabase::RegistryDatabase(sqlite3* db, std::string path, bool quiet, bool readOnly)
    : db_(db), path_(std::move(path)), quiet_(quiet), readOnly_(readOnly) {}

RegistryDatabase::~RegistryDatabase() {
    statements_.clear();
    sqlite3_close(db_);
}

RegistryDatabase::Statement& RegistryDatabase::statement(const char* sql) {
    auto it = statements_.find(sql);
    if (it == statements_.end()) it = statements_.emplace(sql, std::make_unique<Statement>(db_, sql)).first;
    return *it->second;
}

LONG RegistryDatabase::open(const std::string& path, bool quiet, std::unique_ptr<RegistryDatabase>& out) {
    out.reset();
    // The store holds the user's settings: created readable by the user
    // alone (SQLite gives its log files the same permissions).
    bool readOnly = false;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        // A store its user may only read (its mode, a read-only mount) is
        // opened for reading: every read works, every change answers
        // ERROR_ACCESS_DENIED, and the file is left as it is.
        const int denied = errno;
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) readOnly = true;
        else errno = denied;
    }
    if (fd < 0) {
        storeFailed(ERROR_CANTOPEN, path, "cannot create or open the file", std::strerror(errno), !quiet);
        return ERROR_CANTOPEN;
    }
    ::close(fd);

    sqlite3* db = nullptr;
    const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        storeFailed(ERROR_CANTOPEN, path, "cannot open the database", db ? sqlite3_errmsg(db) : sqlite3_errstr(rc),
                    !quiet);
        sqlite3_close(db);
        return ERROR_CANTOPEN;
    }
    std::unique_ptr<RegistryDatabase> store(new RegistryDatabase(db, path, quiet, readOnly));
    const LONG code = store->initialise();
    if (code != ERROR_SUCCESS) return code;
    store->quiet_ = false;
    out = std::move(store);
    return ERROR_SUCCESS;
}

namespace {

struct StoreIdentity {
    std::int64_t applicationId = 0;
    std::int64_t version = 0;
    std::int64_t objects = 0;

    [[nodiscard]] bool empty() const { return applicationId == 0 && version == 0 && objects == 0; }
    [[nodiscard]] bool ours() const { return applicationId == kApplicationId && version == kSchemaVersion; }
};

}  // namespace

KeyId RegistryDatabase::findRoot(int index) {
    Statement find(db_, "SELECT id FROM keys WHERE parent IS NULL AND upper=?1");
    ResetOnExit reset(find);
    find.bind(1, std::string_view(kRootNames[index]));
    return find.step() ? find.integer(0) : 0;
}

bool RegistryDatabase::findRoots() {
    for (int i = 0; i < kStoredRootCount; ++i) {
        roots_[i] = findRoot(i);
        if (roots_[i] == 0) return false;
    }
    return true;
}

LONG RegistryDatabase::initialise() {
    busyTimeoutMs_ = busyTimeoutMs.load();
    sqlite3_busy_timeout(db_, busyTimeoutMs_);
    const auto identity = [&] {
        Statement q(db_, "SELECT (SELECT application_id FROM pragma_application_id),"
                         " (SELECT user_version FROM pragma_user_version),"
                         " (SELECT count(*) FROM sqlite_schema)");
        ResetOnExit reset(q);
        StoreIdentity id;
        if (q.step()) id = StoreIdentity{q.integer(0), q.integer(1), q.integer(2)};
        return id;
    };
    const auto refuse = [&]() -> LONG {
        storeFailed(ERROR_BADDB, path_, "not a registry store of this version",
                    "left untouched; move it away to start a new store", !quiet_);
        return ERROR_BADDB;
    };

    // A store that is already set up is only read: opening it takes no
    // write lock, so it neither waits for another process's change nor
    // needs a file it may write.
    bool ready = false;
    LONG code = guarded(Access::Read, [&]() -> LONG {
        execOrFail(db_, "PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON");
        Transaction tx(*this, Access::Read);
        const StoreIdentity before = identity();
        if (!before.empty() && !before.ours()) return refuse();
        ready = before.ours() && findRoots();
        tx.commit();
        return ERROR_SUCCESS;
    });
    if (code != ERROR_SUCCESS || ready) return code;
    if (readOnly_) {
        storeFailed(ERROR_BADDB, path_, "read-only and not yet a registry store",
                    "make the file writable so that the store can be set up", !quiet_);
        return ERROR_BADDB;
    }

    return guarded(Access::Write, [&]() -> LONG {
        {
            Statement journal(db_, "PRAGMA journal_mode=WAL");
            ResetOnExit reset(journal);
            if (!journal.step() || journal.blob(0) != "wal") {
                // A file system without shared memory for the log: the
                // rollback journal with synchronous=FULL is just as safe.
                if (!quiet_) printStoreError(path_, "write-ahead log unavailable", "using a rollback journal");
            }
        }

        // Created under the write lock: two processes starting together
        // create the tables and roots once.
        Transaction tx(*this, Access::Write);
        const StoreIdentity now = identity();
        if (now.empty()) {
            execOrFail(db_, kSchema);
            const std::string pragmas = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                                        "; PRAGMA user_version=" + std::to_string(kSchemaVersion);
            execOrFail(db_, pragmas.c_str());
        } else if (!now.ours()) {
            return refuse();
        }

        for (int i = 0; i < kStoredRootCount; ++i) {
            roots_[i] = findRoot(i);
            if (roots_[i] != 0) continue;
            Statement insert(db_, "INSERT INTO keys(parent, name, upper) VALUES(NULL, ?1, ?1)");
            ResetOnExit reset(insert);
            insert.bind(1, std::string_view(kRootNames[i])).run();
            roots_[i] = sqlite3_last_insert_rowid(db_);
        }
        tx.commit();
        return ERROR_SUCCESS;
    });
}

template <class F>
LONG RegistryDatabase::guarded(Access access, F&& body) {
    if (access == Access::Write && readOnly_) {
        // Said once per opening of the store; every refused change is
        // recorded for callers that ask what became of it.
        storeFailed(ERROR_ACCESS_DENIED, path_, "cannot write", "the file may only be read; changes are refused",
                    !quiet_ && !refusalSaid_);
        refusalSaid_ = true;
        return ERROR_ACCESS_DENIED;
    }
    try {
        return body();
    } catch (const SqliteFailure& failure) {
        return report(failure.rc, access, failure.message);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG RegistryDatabase::report(int rc, Access access, const std::string& message) {
    const int primary = rc & 0xFF;
    const bool unusable = primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
    const char* what = unusable ? "not a usable registry store (left untouched)"
                                : access == Access::Write ? "cannot write" : "cannot read";
    std::string detail = message;
    if (primary == SQLITE_BUSY) {
        const int ms = busyTimeoutMs_;
        detail = "another process kept it locked for " +
                 (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms") + " (" +
                 message + ")";
    }
    const LONG code = windowsCode(primary, access);
    storeFailed(code, path_, what, detail, !quiet_);
    return code;
}

LONG RegistryDatabase::windowsCode(int primary, Access access) {
    switch (primary) {
        case SQLITE_FULL: return ERROR_DISK_FULL;
        case SQLITE_NOMEM:
        case SQLITE_TOOBIG: return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: return ERROR_BADDB;
        case SQLITE_CANTOPEN: return ERROR_CANTOPEN;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
        default: return access == Access::Write ? ERROR_CANTWRITE : ERROR_CANTREAD;
    }
}

bool RegistryDatabase::exists(KeyId key, bool* isRoot) {
    Statement& q = statement("SELECT parent IS NULL FROM keys WHERE id=?1");
    ResetOnExit reset(q);
    q.bind(1, key);
    if (!q.step()) return false;
    if (isRoot) *isRoot = q.integer(0) != 0;
    return true;
}

KeyId RegistryDatabase::findChild(KeyId parent, std::string_view upper) {
    Statement& q = statement("SELECT id FROM keys WHERE parent=?1 AND upper=?2");
    ResetOnExit reset(q);
    q.bind(1, parent).bind(2, upper);
    return q.step() ? q.integer(0) : 0;
}

KeyId RegistryDatabase::findPath(KeyId base, const std::vector<std::string>& names) {
    KeyId current = base;
    for (const std::string& name : names) {
        current = findChild(current, nameLookupKey(name));
        if (current == 0) break;
    }
    return current;
}

std::size_t RegistryDatabase::depthOf(KeyId key) {
    Statement& q = statement("SELECT parent FROM keys WHERE id=?1");
    std::size_t depth = 0;
    for (;;) {
        ResetOnExit reset(q);
        q.bind(1, key);
        if (!q.step() || q.isNull(0)) return depth;
        key = q.integer(0);
        ++depth;
    }
}

LONG RegistryDatabase::checkKey(KeyId key) {
    return guarded(Access::Read, [&]() -> LONG {
        Transaction tx(*this, Access::Read);
        const bool found = exists(key);
        tx.commit();
        return found ? ERROR_SUCCESS : ERROR_KEY_DELETED;
    });
}

LONG RegistryDatabase::openKey(KeyId base, const std::vector<std::string>& names, KeyId& out) {
    return guarded(Access::Read, [&]() -> LONG {
        Transaction tx(*this, Access::Read);
        if (!exists(base)) return ERROR_KEY_DELETED;
        const KeyId current = findPath(base, names);
        if (current == 0) return ERROR_FILE_NOT_FOUND;
        tx.commit();
        out = current;
        return ERROR_SUCCESS;
    });
}

LONG RegistryDatabase::createPath(KeyId base, const std::vector<std::string>& names, std::string_view keyClass,
                                  KeyId& out, DWORD& disposition) {
    if (!exists(base)) return ERROR_KEY_DELETED;
    KeyId current = base;
    bool createdLast = false;
    std::size_t baseDepth = 0;
    bool baseDepthKnown = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string upper = nameLookupKey(names[i]);
        KeyId child = findChild(current, upper);
        createdLast = child == 0;
        if (child == 0) {
            if (!baseDepthKnown) {
                baseDepth = depthOf(base);
                baseDepthKnown = true;
            }
            if (baseDepth + i + 1 > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
            Statement& insert = statement("INSERT INTO keys(parent, name, upper, class) VALUES(?1, ?2, ?3, ?4)");
            ResetOnExit reset(insert);
            insert.bind(1, current).bind(2, names[i]).bind(3, upper);
            insert.bind(4, i + 1 == names.size() ? keyClass : std::string_view()).run();
            child = sqlite3_last_insert_rowid(db_);
        }
        current = child;
    }
    out = current;
    disposition = createdLast ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG RegistryDatabase::createKey(KeyId base, const std::vector<std::string>& names, std::string_view keyClass,
                                 KeyId& out, DWORD& disposition) {
    if (readOnly_) {
        // Nothing needs writing to "create" a key that exists: it is opened.
        const LONG code = openKey(base, names, out);
        if (code != ERROR_FILE_NOT_FOUND) {
            if (code == ERROR_SUCCESS) disposition = REG_OPENED_EXISTING_KEY;
            return code;
        }
    }
    return guarded(Access::Write, [&]() -> LONG {
        Transaction tx(*this, Access::Write);
        const LONG code = createPath(base, names, keyClass, out, disposition);
        if (code != ERROR_SUCCESS) return code;
        tx.commit();
        return ERROR_SUCCESS;
    });
}

LONG RegistryDatabase::createKeys(KeyId base, const std::vector<std::vector<std::string>>& paths) {
    return guarded(Access::Write, [&]() -> LONG {
        Transaction tx(*this, Access::Write);
        for (const auto& names : paths) {
            KeyId ignoredKey = 0;
            DWORD ignoredDisposition = 0;
            const LONG code = createPath(base, names, {}, ignoredKey, ignoredDisposition);
            if (code != ERROR_SUCCESS) return code;
        }
        tx.commit();
        return ERROR_SUCCESS;
    });
}

LONG RegistryDatabase::deleteKey(KeyId base, const std::vector<std::string>& names) {
    return guarded(Access::Write, [&]() -> LONG {
        Transaction tx(*this, Access::Write);
        if (!exists(base)) return ERROR_KEY_DELETED;
        const KeyId target = findPath(base, names);
        if (target == 0) return ERROR_FILE_NOT_FOUND;
        bool isRoot = false;
        if (!exists(target, &isRoot) || isRoot) return ERROR_ACCESS_DENIED;
        {
            Statement& q = statement("SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
            ResetOnExit reset(q);
            q.bind(1, target);
            if (q.step()) return ERROR_ACCESS_DENIED;
        }
        {
            Statement& q = statement("DELETE FROM vals WHERE key_id=?1");
            ResetOnExit reset(q);
            q.bind(1, target).run();
        }
        {
            Statement& q = statement("DELETE FROM keys WHERE id=?1");
            ResetOnExit reset(q);
            q.bind(1, target).run();
        }
        tx.commit();
        return ERROR_SUCCESS;
    });
}

LONG RegistryDatabase::queryValue(KeyId key, std::string_view name, StoredValue& out) {
    return guarded(Access::Read, [&]() -> LONG {
        Transaction tx(*this, Access::Read);
        if (!exists(key)) return ERROR_KEY_DELETED;
        Statement& q = statement("SELECT name, type, data FROM vals WHERE key_id=?1 AND upper=?2");
        ResetOnExit reset(q);
        q.bind(1, key).bind(2, nameLookupKey(name));
        if (!q.step()) return ERROR_FILE_NOT_FOUND;
        out.name = q.blob(0);
        out.type = static_cast<DWORD>(q.integer(1));
        out.data = q.blob(2);
        tx.commit();
        return ERROR_SUCCESS;
    });
}

void RegistryDatabase::upsertValue(KeyId key, const NewValue& value) {
    // An existing value keeps its first spelling and its place in the
    // creation order; only its type and data change.
    Statement& q = statement(
        "INSERT INTO vals(key_id, name, upper, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
        " ON CONFLICT(key_id, upper) DO UPDATE SET type=excluded.type, data=excluded.data");
    ResetOnExit reset(q);
    q.bind(1, key).bind(2, value.name).bind(3, nameLookupKey(value.name));
    q.bind(4, static_cast<std::int64_t>(value.type)).bind(5, value.data).run();
}

LONG RegistryDatabase::setValues(KeyId key, const std::vector<NewValue>& values) {
    return guarded(Access::Write, [&]() -> LONG {
        Transaction tx(*this, Access::Write);
        if (!exists(key)) return ERROR_KEY_DELETED;
        for (const NewValue& value : values) upsertValue(key, value);
        tx.commit();
        return ERROR_SUCCESS;
    });
}

LONG RegistryDatabase::deleteValue(KeyId key, std::string_view name) {
    return guarded(Access::Write, [&]() -> LONG {
        Transaction tx(*this, Access::Write);
        if (!exists(key)) return ERROR_KEY_DELETED;
        {
            Statement& q = statement("DELETE FROM vals WHERE key_id=?1 AND upper=?2");
            ResetOnExit reset(q);
            q.bind(1, key).bind(2, nameLookupKey(name)).run();
        }
        if (sqlite3_changes(db_) == 0) return ERROR_FILE_NOT_FOUND;
        tx.commit();
        return ERROR_SUCCESS;
    });
}

void RegistryDatabase::forgetCursorsIfChanged() {
    Statement& q = statement("PRAGMA data_version");
    ResetOnExit reset(q);
    const std::int64_t dataVersion = q.step() ? q.integer(0) : -1;
    if (dataVersion != cursorsDataVersion_ || ownCommits_ != cursorsOwnCommits_ || valueCursors_.size() > 64 ||
        keyCursors_.size() > 64) {
        valueCursors_.clear();
        keyCursors_.clear();
        cursorsDataVersion_ = dataVersion;
        cursorsOwnCommits_ = ownCommits_;
    }
}

LONG RegistryDatabase::enumValue(KeyId key, DWORD index, StoredValue& out) {
    return guarded(Access::Read, [&]() -> LONG {
        Transaction tx(*this, Access::Read);
        if (!exists(key)) return ERROR_KEY_DELETED;
        forgetCursorsIfChanged();
        const auto cursor = valueCursors_.find(key);
        const bool next = cursor != valueCursors_.end() && cursor->second.index + 1 == index;
        Statement& q = next ? statement("SELECT id, name, type, data FROM vals WHERE key_id=?1 AND id>?2"
                                        " ORDER BY id LIMIT 1")
                            : statement("SELECT id, name, type, data FROM vals WHERE key_id=?1"
                                        " ORDER BY id LIMIT 1 OFFSET ?2");
        ResetOnExit reset(q);
        q.bind(1, key).bind(2, next ? cursor->second.rowId : static_cast<std::int64_t>(index));
        if (!q.step()) return ERROR_NO_MORE_ITEMS;
        valueCursors_[key] = ValueCursor{index, q.integer(0)};
        out.name = q.blob(1);
        out.type = static_cast<DWORD>(q.integer(2));
        out.data = q.blob(3);
        tx.commit();
        return ERROR_SUCCESS;
    });
}

LONG RegistryDatabase::enumKey(KeyId key, DWORD index, std::string& name) {
    return guarded(Access::Read, [&]() -> LONG {
        Transaction tx(*this, Access::Read);
        if (!exists(key)) return ERROR_KEY_DELETED;
        forgetCursorsIfChanged();
        const auto cursor = keyCursors_.find(key);
        const bool next = cursor != keyCursors_.end() && cursor->second.index + 1 == index;
        Statement& q = next ? statement("SELECT name, upper FROM keys WHERE parent=?1 AND upper>?2"
                                        " ORDER BY upper LIMIT 1")
                            : statement("SELECT name, upper FROM keys WHERE parent=?1"
                                        " ORDER BY upper LIMIT 1 OFFSET ?2");
        ResetOnExit reset(q);
        q.bind(1, key);
        if (next) {
            q.bind(2, std::string_view(cursor->second.upper));
        } else {
            q.bind(2, static_cast<std::int64_t>(index));
        }
        if (!q.step()) return ERROR_NO_MORE_ITEMS;
        name = q.blob(0);
        keyCursors_[key] = KeyCursor{index, q.blob(1)};
        tx.commit();
        return ERROR_SUCCESS;
    });
}

}  // namespace ecran::win32
