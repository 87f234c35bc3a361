#include "win32/ini_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "text/cp1252.h"
#include "win32/config_dir.h"
#include "win32/error_api.h"
#include "win32/file_ops.h"

namespace ecran::win32 {

namespace {

thread_local std::string failure;

std::string reason(int error) { return std::generic_category().message(error); }

// The Windows code for a failed file-system call.
DWORD windowsCode(int error, DWORD otherwise) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return otherwise;
    }
}

bool fail(DWORD code, std::string what) {
    SetLastError(code);
    setProfileFailure(std::move(what));
    return false;
}

// A failed write step: the reason and the Windows code both come from errno.
bool failWrite(const std::string& what, int error) {
    return fail(windowsCode(error, ERROR_WRITE_FAULT), what + ": " + reason(error));
}

void failRead(const std::string& what, int error) {
    SetLastError(windowsCode(error, ERROR_READ_FAULT));
    setProfileFailure(what + ": " + reason(error));
}

// Repeats a call that an interrupting signal cut short.
template <typename Call>
auto retryInterrupted(Call call) {
    for (;;) {
        auto result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}

// Closes a descriptor when the scope ends.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) fileOps().close(fd_);
    }
    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd) noexcept {
        if (fd_ >= 0) fileOps().close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Opens a file to read it or to lock it. O_NONBLOCK: a FIFO in place of the
// file must not hang the program.
int openToRead(const std::string& path) {
    return retryInterrupted(
        [&] { return fileOps().open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0); });
}

int openFolder(const std::string& dir) {
    return retryInterrupted([&] { return fileOps().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0); });
}

// The file a symbolic link leads to, so that a rewrite replaces the target
// and keeps the link; the path itself otherwise.
std::string followLink(const std::string& path) {
    struct stat st {};
    if (fileOps().lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return path;
    return resolved;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = retryInterrupted([&] { return fileOps().write(fd, bytes.data(), bytes.size()); });
        if (n < 0) return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Writes the bytes to a new file in `dir` and renames it over `path`.
bool replaceFile(const std::string& path, const std::string& dir, const std::string& name,
                 std::string_view bytes, bool exists) {
    struct stat old {};
    const bool keepMode = exists && fileOps().lstat(path.c_str(), &old) == 0;

    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir + "/." + name + "." + std::to_string(::getpid()) + "." + std::to_string(++counter) + ".tmp";
        // 0600: a new file holds the last message shown, which is nobody
        // else's to read. A replaced file gets its old mode back below.
        fd = retryInterrupted([&] {
            return fileOps().open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        });
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return failWrite("cannot create a temporary file in '" + dir + "'", errno);
    Descriptor out(fd);

    // The temporary file goes, and the error that stopped the write is
    // reported. Messages name the file being replaced, not the temporary
    // one: a repeated failure then reads the same every time.
    auto abandon = [&](const std::string& what) {
        const int error = errno;
        out.reset(-1);
        fileOps().unlink(temp.c_str());
        return failWrite(what, error);
    };

    if (keepMode) {
        // Best effort: a file system without permissions (vfat) refuses these.
        (void)fileOps().fchmod(out.get(), old.st_mode & 07777);
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid())
            (void)fileOps().fchown(out.get(), old.st_uid, old.st_gid);
    }
    if (!writeAll(out.get(), bytes)) return abandon("cannot write the new copy of '" + path + "'");
    if (retryInterrupted([&] { return fileOps().fsync(out.get()); }) != 0)
        return abandon("cannot flush the new copy of '" + path + "' to disk");
    if (fileOps().close(out.release()) != 0) return abandon("cannot write the new copy of '" + path + "'");
    if (fileOps().rename(temp.c_str(), path.c_str()) != 0) return abandon("cannot replace '" + path + "'");

    // The rename itself lives in the folder: without this a power cut could
    // bring the old file back.
    Descriptor folder(openFolder(dir));
    if (folder.get() < 0 || retryInterrupted([&] { return fileOps().fsync(folder.get()); }) != 0)
        return failWrite("'" + path + "' was replaced but its folder '" + dir + "' could not be flushed to disk",
                         errno);
    return true;
}

// A file the operator made read-only, or that this user may not write, is
// not replaced, as Windows refuses to write such a file. A rename needs only
// the folder's permission, so without this check a read-only file would be
// replaced all the same. No write bit at all counts even for root: it is how
// an operator says "leave this file as it is".
bool checkWritable(const std::string& path) {
    struct stat st {};
    if (fileOps().lstat(path.c_str(), &st) != 0) return true;  // gone since: it will be created
    if ((st.st_mode & 0222) == 0)
        return fail(ERROR_ACCESS_DENIED, "'" + path + "' is read-only; it is not written");
    if (fileOps().access(path.c_str(), W_OK) != 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
        return fail(ERROR_ACCESS_DENIED, "'" + path + "' may not be written by this user: " + reason(errno));
    return true;
}

// Takes the exclusive lock that writers of `path` share: the lock of the
// file itself, or of its folder while the file does not exist. A writer
// replaces the file by rename, so a lock taken on a file that has been
// replaced since is let go and taken again on the new file. The whole wait
// is bounded by kLockWait.
enum class Locked { Yes, Busy, Failed };

Locked lockForWriting(const std::string& path, const std::string& dir, Descriptor& held) {
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    for (;;) {
        // Read-only is enough for flock: anyone who may read the file shares
        // its lock, and nothing is created to hold it.
        bool onFolder = false;
        Descriptor fd(openToRead(path));
        if (fd.get() < 0) {
            if (errno != ENOENT) {
                failWrite("cannot open '" + path + "' to lock it", errno);
                return Locked::Failed;
            }
            onFolder = true;
            Descriptor folder(openFolder(dir));
            if (folder.get() < 0) {
                failWrite("cannot open the folder '" + dir + "' to create '" + path + "' in it", errno);
                return Locked::Failed;
            }
            fd.reset(folder.release());
        }

        while (retryInterrupted([&] { return fileOps().flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
            if (errno != EWOULDBLOCK) {
                failWrite("cannot lock '" + (onFolder ? dir : path) + "'", errno);
                return Locked::Failed;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                fail(ERROR_SHARING_VIOLATION, "cannot write '" + path + "': another process holds its lock (waited " +
                                                  std::to_string(kLockWait.count()) + " ms)");
                return Locked::Busy;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }

        // Still the file at the path (or still no file)? Else another writer
        // replaced or created it while this one waited: lock that one.
        bool current = false;
        struct stat now {};
        if (onFolder) {
            // Opened as the first look opened it, so that a dangling link
            // counts as no file here too.
            const Descriptor probe(openToRead(path));
            current = probe.get() < 0 && errno == ENOENT;
        } else {
            struct stat locked {};
            current = fileOps().fstat(fd.get(), &locked) == 0 && fileOps().lstat(path.c_str(), &now) == 0 &&
                      locked.st_dev == now.st_dev && locked.st_ino == now.st_ino;
        }
        if (current) {
            held.reset(fd.release());
            return Locked::Yes;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            fail(ERROR_SHARING_VIOLATION, "cannot write '" + path + "': other processes keep replacing it");
            return Locked::Busy;
        }
    }
}

// Removes the temporary files ".<name>.<pid>.<n>.tmp" that a process killed
// between creating and renaming one left in `dir`. Only files of a process
// that no longer runs are removed; the caller holds the file's lock, so no
// live writer of this file has one in progress anyway.
void removeStaleTemporaryFiles(const std::string& dir, const std::string& name) {
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(dir.c_str()), ::closedir);
    if (!folder) return;
    const std::string prefix = "." + name + ".";
    while (const dirent* entry = ::readdir(folder.get())) {
        const std::string_view n = entry->d_name;
        if (!n.starts_with(prefix) || !n.ends_with(".tmp")) continue;
        const std::string_view middle = n.substr(prefix.size(), n.size() - prefix.size() - 4);
        const std::size_t dot = middle.find('.');
        const auto digits = [](std::string_view t) {
            return !t.empty() && t.size() <= 10 && t.find_first_not_of("0123456789") == std::string_view::npos;
        };
        if (dot == std::string_view::npos || !digits(middle.substr(0, dot)) || !digits(middle.substr(dot + 1)))
            continue;
        const long pid = std::strtol(std::string(middle.substr(0, dot)).c_str(), nullptr, 10);
        if (pid <= 0 || pid > INT_MAX || pid == ::getpid()) continue;
        // ESRCH: no such process. EPERM means it runs under another user.
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        fileOps().unlink((dir + "/" + std::string(n)).c_str());
    }
}

}  // namespace

const std::string& lastProfileFailure() noexcept { return failure; }

void clearProfileFailure() noexcept { failure.clear(); }

void setProfileFailure(std::string what) { failure = std::move(what); }

ProfilePath resolveProfilePath(std::string_view fileName) {
    if (fileName.empty()) return {};
    const std::string onDisk = text::toUtf8(fileName);
    if (fileName.find('/') != std::string_view::npos) return {onDisk, false};
    // Without a configuration directory a bare name names no file (never one
    // at the root of the file system).
    const std::string dir = configDirectory();
    if (dir.empty()) return {{}, true};
    return {dir + "/" + onDisk, true};
}

LoadedFile loadProfileFile(const std::string& path) {
    LoadedFile result;
    Descriptor in(openToRead(path));
    if (in.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return result;
        result.status = LoadStatus::Unreadable;
        failRead("cannot open '" + path + "'", errno);
        return result;
    }
    struct stat st {};
    if (fileOps().fstat(in.get(), &st) != 0) {
        result.status = LoadStatus::Unreadable;
        failRead("cannot read '" + path + "'", errno);
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.status = LoadStatus::Unreadable;
        SetLastError(ERROR_ACCESS_DENIED);
        setProfileFailure("'" + path + "' is " + (S_ISDIR(st.st_mode) ? "a folder" : "not a regular file"));
        return result;
    }
    auto tooLarge = [&] {
        result.status = LoadStatus::Unreadable;
        result.bytes.clear();
        SetLastError(ERROR_READ_FAULT);
        setProfileFailure("'" + path + "' is larger than " + std::to_string(kMaxProfileFileSize / (1024 * 1024)) +
                          " MiB; it is not read");
        return result;
    };
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxProfileFileSize) return tooLarge();

    // The size may change while reading: read to the end, never past the
    // bound.
    result.bytes.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == result.bytes.size()) {
            if (used > kMaxProfileFileSize) return tooLarge();
            result.bytes.resize(std::min(used * 2 + 4096, kMaxProfileFileSize + 1));
        }
        const ssize_t n = retryInterrupted(
            [&] { return fileOps().read(in.get(), result.bytes.data() + used, result.bytes.size() - used); });
        if (n < 0) {
            result.status = LoadStatus::Unreadable;
            result.bytes.clear();
            failRead("cannot read '" + path + "'", errno);
            return result;
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    if (used > kMaxProfileFileSize) return tooLarge();
    result.bytes.resize(used);
    result.status = LoadStatus::Loaded;
    return result;
}

bool updateProfileFile(const ProfilePath& target, const ProfileEdit& edit) {
    if (target.path.empty())
        return fail(ERROR_INVALID_PARAMETER, target.inConfigDirectory ? noConfigDirectoryReason() : "no profile file name");
    const std::string path = followLink(target.path);
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return fail(ERROR_INVALID_PARAMETER, "'" + path + "' names a folder, not a file");

    // A look without the lock first: an edit that changes nothing (the same
    // value written again, a key already gone) takes no lock, creates no
    // folder, and rewrites nothing.
    {
        const LoadedFile current = loadProfileFile(path);
        if (current.status == LoadStatus::Unreadable) return false;
        if (!edit(current.bytes)) return true;
        if (current.status == LoadStatus::Loaded && !checkWritable(path)) return false;
    }

    if (target.inConfigDirectory && !ensureConfigDirectory())
        return fail(ERROR_PATH_NOT_FOUND, "cannot create the folder '" + dir + "'");

    Descriptor lock;
    if (lockForWriting(path, dir, lock) != Locked::Yes) return false;

    // Under the lock: read again, so that a change another process made
    // since the first look is kept.
    const LoadedFile current = loadProfileFile(path);
    if (current.status == LoadStatus::Unreadable) return false;
    const auto next = edit(current.bytes);
    if (!next) return true;
    removeStaleTemporaryFiles(dir, name);
    return replaceFile(path, dir, name, *next, current.status == LoadStatus::Loaded);
}

}  // namespace ecran::win32
