#pragma once
// What the registry functions keep for the whole process: the store
// connection, opened on first use, and the table of open handles, both
// behind one lock so that threads may call the functions at once.

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "win32/registry_api.h"
#include "win32/registry_database.h"
#include "win32/registry_handles.h"
#include "win32/registry_store.h"

namespace ecran::win32 {

// What a handle value stands for before the handle table is asked: Windows
// recognises the predefined roots by the low 32 bits of the value alone.
enum class HandleKind {
    Null,
    ClassesRoot,
    CurrentUser,
    LocalMachine,
    Users,
    PerformanceData,
    CurrentConfig,
    DynData,
    OtherPredefined,  // 0x80000007 and above: no key here
    Opened,           // a value from the handle table, if open
};
[[nodiscard]] HandleKind handleKind(HKEY key) noexcept;

// The predefined roots that hold stored keys.
[[nodiscard]] bool isStoredRoot(HandleKind kind) noexcept;

// The rights a handle gets for `requested`: generic rights and
// MAXIMUM_ALLOWED become the key rights Windows maps them to.
[[nodiscard]] REGSAM grantedRights(REGSAM requested) noexcept;

// The key behind a handle: its id in the store and the handle's rights.
struct ResolvedKey {
    KeyId id = 0;
    REGSAM rights = 0;
};

class RegistrySession {
public:
    static RegistrySession& instance();

    // Held for the whole of every registry call.
    [[nodiscard]] std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }

    // The store, opened on first use at registryStorePath() (its folder
    // created when missing). A failure is retried at the next call.
    //
    // fork() closes the store in the parent just before the child is made
    // (both reopen it at their next call; open handles stay valid in both):
    // a SQLite connection, and SQLite's per-process record of the file's
    // locks, must never be carried into a child, where using them would let
    // one process delete the log the other still writes to. A child made
    // without the fork handlers (a raw clone) finds the inherited connection
    // and gets ERROR_CANTOPEN rather than a corrupted store.
    //
    // The store is closed when the process exits (std::exit, or a return
    // from main; not _exit or a signal), in a forked child too, since each
    // side opened its own connection.
    [[nodiscard]] LONG database(RegistryDatabase*& out);

    [[nodiscard]] RegistryHandleTable& handles() noexcept { return handles_; }

    // The key behind `key` (a stored root or an open handle) and the store:
    // ERROR_INVALID_HANDLE for NULL, closed or unknown values and for
    // HKEY_PERFORMANCE_DATA and HKEY_DYN_DATA; the store's code when it
    // cannot be opened.
    [[nodiscard]] LONG resolve(HKEY key, ResolvedKey& out, RegistryDatabase*& db);

    // A new handle to the key: ERROR_NO_SYSTEM_RESOURCES when the table is full.
    [[nodiscard]] LONG addHandle(KeyId key, REGSAM rights, HKEY& out);

    // Closes the store and forgets every handle.
    void close() noexcept;

private:
    RegistrySession();
    static void beforeFork();
    static void afterFork();
    static void atExit();
    // Closes the store, keeping the handles.
    void closeDatabase() noexcept;

    std::mutex mutex_;
    std::unique_ptr<RegistryDatabase> database_;
    pid_t databasePid_ = 0;
    std::string lastFailedPath_;
    RegistryHandleTable handles_;
};

// Runs a call on an open key: the process lock held, the handle resolved to
// its key and store, and the right the call needs (0: none) checked. An
// invalid or deleted handle, or a missing right, answers with its code
// before the body runs. The body gets (session, key, database).
template <class Body>
LSTATUS onOpenKey(HKEY hKey, REGSAM needed, Body&& body) {
    RegistrySession& session = RegistrySession::instance();
    const auto lock = session.lock();
    ResolvedKey key;
    RegistryDatabase* db = nullptr;
    const LONG code = session.resolve(hKey, key, db);
    if (code != ERROR_SUCCESS) return code;
    if (needed != 0 && (key.rights & needed) == 0) return ERROR_ACCESS_DENIED;
    return body(session, key, *db);
}

}  // namespace ecran::win32
