#include "win32/registry_session.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "win32/config_dir.h"
#include "win32/registry_store.h"

namespace ecran::win32 {

HandleKind handleKind(HKEY key) noexcept {
    const auto value = reinterpret_cast<std::uintptr_t>(key);
    if (value == 0) return HandleKind::Null;
    const auto low = static_cast<std::uint32_t>(value);
    if ((low & 0x80000000u) == 0) return HandleKind::Opened;
    switch (low) {
        case 0x80000000u: return HandleKind::ClassesRoot;
        case 0x80000001u: return HandleKind::CurrentUser;
        case 0x80000002u: return HandleKind::LocalMachine;
        case 0x80000003u: return HandleKind::Users;
        case 0x80000004u: return HandleKind::PerformanceData;
        case 0x80000005u: return HandleKind::CurrentConfig;
        case 0x80000006u: return HandleKind::DynData;
        default: return HandleKind::OtherPredefined;
    }
}

bool isStoredRoot(HandleKind kind) noexcept {
    switch (kind) {
        case HandleKind::ClassesRoot:
        case HandleKind::CurrentUser:
        case HandleKind::LocalMachine:
        case HandleKind::Users:
        case HandleKind::CurrentConfig: return true;
        default: return false;
    }
}

REGSAM grantedRights(REGSAM requested) noexcept {
    REGSAM rights = requested;
    if (requested & GENERIC_READ) rights |= KEY_READ;
    if (requested & GENERIC_WRITE) rights |= KEY_WRITE;
    if (requested & GENERIC_EXECUTE) rights |= KEY_EXECUTE;
    if (requested & (GENERIC_ALL | MAXIMUM_ALLOWED)) rights |= KEY_ALL_ACCESS;
    return rights & ~static_cast<REGSAM>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

namespace {

StoredRoot storedRoot(HandleKind kind) {
    switch (kind) {
        case HandleKind::ClassesRoot: return StoredRoot::ClassesRoot;
        case HandleKind::CurrentUser: return StoredRoot::CurrentUser;
        case HandleKind::LocalMachine: return StoredRoot::LocalMachine;
        case HandleKind::Users: return StoredRoot::Users;
        default: return StoredRoot::CurrentConfig;
    }
}

}  // namespace

RegistrySession& RegistrySession::instance() {
    // Never destroyed: registry calls made while the process exits (from
    // other static destructors) still find it.
    static RegistrySession* session = new RegistrySession();
    return *session;
}

RegistrySession::RegistrySession() : handles_(kMaxOpenRegistryHandles) {
    pthread_atfork(&RegistrySession::beforeFork, &RegistrySession::afterFork, &RegistrySession::afterFork);
    std::atexit(&RegistrySession::atExit);
}

void RegistrySession::atExit() {
    // Closing the connection lets SQLite copy the log into registry.db when
    // this is the last process using the store; left open, every change
    // made here would stay in registry.db-wal after the process is gone.
    // Handles stay valid: a registry call made later in the exit (from a
    // static destructor) opens the store again.
    RegistrySession& session = instance();
    const auto lock = session.lock();
    session.closeDatabase();
}

void RegistrySession::closeDatabase() noexcept {
    // A connection inherited without the fork handlers belongs to the parent:
    // it is let go without closing it.
    if (database_ && databasePid_ != ::getpid()) (void)database_.release();
    database_.reset();
}

void RegistrySession::beforeFork() {
    RegistrySession& session = instance();
    session.mutex_.lock();  // no call is half done when the process is copied
    if (session.databasePid_ == ::getpid()) session.database_.reset();
}

void RegistrySession::afterFork() {
    instance().mutex_.unlock();
}

LONG RegistrySession::database(RegistryDatabase*& out) {
    if (database_ && databasePid_ != ::getpid()) {
        storeFailed(ERROR_CANTOPEN, database_->path(), "open in the process this one was copied from",
                    "not used here", true);
        return ERROR_CANTOPEN;
    }
    if (!database_) {
        const std::string path = registryStorePath();
        if (path.empty()) {
            storeFailed(ERROR_CANTOPEN, "registry.db", "no configuration directory", noConfigDirectoryReason(), false);
            return ERROR_CANTOPEN;
        }
        const bool quiet = path == lastFailedPath_;
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        if (ec) {
            storeFailed(ERROR_CANTOPEN, path, "cannot create its folder", ec.message(), !quiet);
            lastFailedPath_ = path;
            return ERROR_CANTOPEN;
        }
        const LONG code = RegistryDatabase::open(path, quiet, database_);
        if (code != ERROR_SUCCESS) {
            lastFailedPath_ = path;
            return code;
        }
        lastFailedPath_.clear();
        databasePid_ = ::getpid();
    }
    out = database_.get();
    return ERROR_SUCCESS;
}

LONG RegistrySession::resolve(HKEY key, ResolvedKey& out, RegistryDatabase*& db) {
    const HandleKind kind = handleKind(key);
    if (isStoredRoot(kind)) {
        const LONG code = database(db);
        if (code != ERROR_SUCCESS) return code;
        out = ResolvedKey{db->root(storedRoot(kind)), KEY_ALL_ACCESS};
        return ERROR_SUCCESS;
    }
    if (kind != HandleKind::Opened) return ERROR_INVALID_HANDLE;
    const auto value = reinterpret_cast<std::uintptr_t>(key);
    if (value > RegistryHandleTable::kLastValue) return ERROR_INVALID_HANDLE;
    const OpenKey* open = handles_.find(static_cast<std::uint32_t>(value));
    if (open == nullptr) return ERROR_INVALID_HANDLE;
    const LONG code = database(db);
    if (code != ERROR_SUCCESS) return code;
    out = ResolvedKey{open->keyId, open->rights};
    return ERROR_SUCCESS;
}

LONG RegistrySession::addHandle(KeyId key, REGSAM rights, HKEY& out) {
    const auto value = handles_.add(OpenKey{key, rights});
    if (!value) return ERROR_NO_SYSTEM_RESOURCES;
    out = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(*value));
    return ERROR_SUCCESS;
}

void RegistrySession::close() noexcept {
    closeDatabase();
    handles_.clear();
    lastFailedPath_.clear();
}

}  // namespace ecran::win32
