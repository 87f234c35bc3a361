#pragma once
// The registry store: one SQLite database, registry.db in the configuration
// directory, shared by every process of the user.
//
// Layout (PRAGMA application_id 0x65637267, PRAGMA user_version 1):
//
//   keys  id      INTEGER PRIMARY KEY AUTOINCREMENT
//         parent  INTEGER REFERENCES keys(id), NULL for the five stored roots
//         name    BLOB, the key name as first spelt (Windows-1252 bytes)
//         upper   BLOB, nameLookupKey(name): look-up and sort order
//         class   BLOB, the class given when the key was created
//         UNIQUE(parent, upper)           -- also the sub key order
//
//   vals  id      INTEGER PRIMARY KEY AUTOINCREMENT -- creation order
//         key_id  INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE
//         name    BLOB, the value name as first spelt ("" for the default value)
//         upper   BLOB, nameLookupKey(name)
//         type    INTEGER, the REG_* type as given
//         data    BLOB, exactly the bytes given
//         UNIQUE(key_id, upper), INDEX vals_order(key_id, id)
//
// The roots are rows named HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,
// HKEY_LOCAL_MACHINE, HKEY_USERS and HKEY_CURRENT_CONFIG. AUTOINCREMENT keeps
// ids from ever being reused, so a handle to a deleted key can never reach a
// key created later under the same name, in any process.
//
// Durability: write-ahead log with synchronous=FULL. Every change is one
// BEGIN IMMEDIATE ... COMMIT transaction, and COMMIT returns only once the
// log is on disk, so a process killed at any point (or a power cut) leaves
// a whole database holding every change whose call returned. The log keeps
// readers and writers of different processes from blocking each other, and
// a commit costs one fsync of the log instead of the journal and database
// fsyncs of the rollback journal. Writers of several processes queue on the
// write lock (busy timeout 10 s), so none is lost; readers never wait for
// a writer, and opening a store that is already set up only reads it.
//
// The store is registry.db together with registry.db-wal (changes not yet
// copied into registry.db) and registry.db-shm (the log's index). The last
// connection to close copies the log into registry.db and removes both, so
// registry.db alone is the whole store once no process has it open (the
// functions close it when their process exits).
//
// A store file its user may only read is opened read-only: reads work,
// every change answers ERROR_ACCESS_DENIED and the file stays as it is.
//
// Every member returns a Windows code. Failures of the database itself are
// reported on stderr with the file's path, kept for lastRegistryStoreFailure()
// and turned into ERROR_DISK_FULL, ERROR_NOT_ENOUGH_MEMORY, ERROR_BADDB,
// ERROR_ACCESS_DENIED, ERROR_CANTREAD or ERROR_CANTWRITE.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "win32/registry_store.h"
#include "win32/win_types.h"

struct sqlite3;
struct sqlite3_stmt;

namespace ecran::win32 {

using KeyId = std::int64_t;

// The roots that hold stored keys, in the order of their row names.
enum class StoredRoot { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };
inline constexpr int kStoredRootCount = 5;

struct StoredValue {
    std::string name;
    DWORD type = 0;
    std::string data;
};

struct NewValue {
    std::string_view name;
    DWORD type = 0;
    std::string_view data;
};

// A failure of the store itself: written on stderr (when `print`) as
// "ecran: registry store PATH: WHAT: DETAIL" and kept as the process's
// lastRegistryStoreFailure().
void storeFailed(LONG code, const std::string& path, const std::string& what, const std::string& detail,
                 bool print);

class RegistryDatabase {
public:
    // Opens (creating when missing) the store at `path`, whose folder must
    // exist. ERROR_CANTOPEN when the file cannot be created or opened,
    // ERROR_BADDB when it is not a registry store of this version. Failures
    // are written on stderr unless `quiet` (a caller retrying the same file).
    [[nodiscard]] static LONG open(const std::string& path, bool quiet, std::unique_ptr<RegistryDatabase>& out);

    ~RegistryDatabase();
    RegistryDatabase(const RegistryDatabase&) = delete;
    RegistryDatabase& operator=(const RegistryDatabase&) = delete;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] bool readOnly() const noexcept { return readOnly_; }
    [[nodiscard]] KeyId root(StoredRoot r) const noexcept { return roots_[static_cast<int>(r)]; }

    // ERROR_SUCCESS when the key exists, ERROR_KEY_DELETED when not.
    [[nodiscard]] LONG checkKey(KeyId key);

    // The key `names` below `base`: ERROR_FILE_NOT_FOUND when missing.
    [[nodiscard]] LONG openKey(KeyId base, const std::vector<std::string>& names, KeyId& out);

    // Creates the missing keys of `names` below `base` (the last one with
    // `keyClass`) and gives the last one with REG_CREATED_NEW_KEY or
    // REG_OPENED_EXISTING_KEY.
    [[nodiscard]] LONG createKey(KeyId base, const std::vector<std::string>& names, std::string_view keyClass,
                                 KeyId& out, DWORD& disposition);

    // Creates every path in one transaction.
    [[nodiscard]] LONG createKeys(KeyId base, const std::vector<std::vector<std::string>>& paths);

    // Deletes the key `names` below `base` (the base itself when empty):
    // ERROR_FILE_NOT_FOUND, or ERROR_ACCESS_DENIED for a root or a key with
    // sub keys.
    [[nodiscard]] LONG deleteKey(KeyId base, const std::vector<std::string>& names);

    [[nodiscard]] LONG queryValue(KeyId key, std::string_view name, StoredValue& out);
    // Sets every value in one transaction.
    [[nodiscard]] LONG setValues(KeyId key, const std::vector<NewValue>& values);
    [[nodiscard]] LONG deleteValue(KeyId key, std::string_view name);

    // The value or sub key at `index` in enumeration order:
    // ERROR_NO_MORE_ITEMS past the end.
    [[nodiscard]] LONG enumValue(KeyId key, DWORD index, StoredValue& out);
    [[nodiscard]] LONG enumKey(KeyId key, DWORD index, std::string& name);

private:
    class Statement;
    class Transaction;
    enum class Access { Read, Write };

    RegistryDatabase(sqlite3* db, std::string path, bool quiet, bool readOnly);
    [[nodiscard]] LONG initialise();
    [[nodiscard]] KeyId findRoot(int index);  // 0 when the root is not stored yet
    [[nodiscard]] bool findRoots();
    [[nodiscard]] static LONG windowsCode(int primary, Access access);
    template <class F>
    [[nodiscard]] LONG guarded(Access access, F&& body);
    [[nodiscard]] LONG report(int rc, Access access, const std::string& message);

    [[nodiscard]] bool exists(KeyId key, bool* isRoot = nullptr);
    [[nodiscard]] KeyId findChild(KeyId parent, std::string_view upper);
    // The key `names` below `base` (the base itself when empty); 0 when missing.
    [[nodiscard]] KeyId findPath(KeyId base, const std::vector<std::string>& names);
    [[nodiscard]] std::size_t depthOf(KeyId key);
    [[nodiscard]] LONG createPath(KeyId base, const std::vector<std::string>& names, std::string_view keyClass,
                                  KeyId& out, DWORD& disposition);
    void upsertValue(KeyId key, const NewValue& value);
    void forgetCursorsIfChanged();

    sqlite3* db_;
    std::string path_;
    bool quiet_;
    bool readOnly_;             // the file may only be read: every change is refused
    bool refusalSaid_ = false;  // the refusal of a change has been written on stderr
    int busyTimeoutMs_ = 0;     // how long a change waits for another process's change
    KeyId roots_[kStoredRootCount] = {};
    std::unordered_map<const char*, std::unique_ptr<Statement>> statements_;  // by SQL literal
    Statement& statement(const char* sql);

    // Sequential enumeration (index i, then i + 1) continues from the last
    // item instead of counting from the start, so that walking a key with
    // n items costs n steps, not n * n / 2. Valid while nothing changed:
    // commits of this connection are counted, those of other connections
    // show in PRAGMA data_version.
    struct ValueCursor {
        DWORD index;
        std::int64_t rowId;
    };
    struct KeyCursor {
        DWORD index;
        std::string upper;
    };
    std::unordered_map<KeyId, ValueCursor> valueCursors_;
    std::unordered_map<KeyId, KeyCursor> keyCursors_;
    std::uint64_t ownCommits_ = 0;
    std::uint64_t cursorsOwnCommits_ = 0;
    std::int64_t cursorsDataVersion_ = -1;
};

}  // namespace ecran::win32
