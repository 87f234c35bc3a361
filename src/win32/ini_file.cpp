#include "win32/ini_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "win32/config_dir.h"
#include "win32/file_ops.h"

namespace ecran::win32 {

namespace {

thread_local std::string failure;

std::string reason(int error) { return std::generic_category().message(error); }

bool fail(std::string what) {
    setProfileFailure(std::move(what));
    return false;
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

private:
    int fd_;
};

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
        fd = retryInterrupted([&] {
            return fileOps().open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        });
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return fail("cannot create a temporary file in '" + dir + "': " + reason(errno));
    Descriptor out(fd);

    auto abandon = [&](const std::string& what) {
        const int error = errno;
        fileOps().close(out.release());
        fileOps().unlink(temp.c_str());
        return fail(what + ": " + reason(error));
    };

    if (keepMode) {
        // Best effort: a file system without permissions (vfat) refuses these.
        (void)fileOps().fchmod(out.get(), old.st_mode & 07777);
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid())
            (void)fileOps().fchown(out.get(), old.st_uid, old.st_gid);
    }
    if (!writeAll(out.get(), bytes)) return abandon("cannot write '" + temp + "'");
    if (retryInterrupted([&] { return fileOps().fsync(out.get()); }) != 0)
        return abandon("cannot flush '" + temp + "' to disk");
    if (fileOps().close(out.release()) != 0) {
        const int error = errno;
        fileOps().unlink(temp.c_str());
        return fail("cannot write '" + temp + "': " + reason(error));
    }
    if (fileOps().rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        fileOps().unlink(temp.c_str());
        return fail("cannot replace '" + path + "': " + reason(error));
    }

    // The rename itself lives in the folder: without this a power cut could
    // bring the old file back.
    Descriptor folder(retryInterrupted(
        [&] { return fileOps().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0); }));
    if (folder.get() < 0 || retryInterrupted([&] { return fileOps().fsync(folder.get()); }) != 0)
        return fail("'" + path + "' was replaced but its folder '" + dir +
                    "' could not be flushed to disk: " + reason(errno));
    return true;
}

}  // namespace

const std::string& lastProfileFailure() noexcept { return failure; }

void clearProfileFailure() noexcept { failure.clear(); }

void setProfileFailure(std::string what) { failure = std::move(what); }

ProfilePath resolveProfilePath(std::string_view fileName) {
    if (fileName.empty()) return {};
    if (fileName.find('/') != std::string_view::npos) return {std::string(fileName), false};
    return {configDirectory() + "/" + std::string(fileName), true};
}

LoadedFile loadProfileFile(const std::string& path) {
    LoadedFile result;
    // O_NONBLOCK: a FIFO in place of the file must not hang the program.
    Descriptor in(retryInterrupted([&] {
        return fileOps().open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
    }));
    if (in.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return result;
        result.status = LoadStatus::Unreadable;
        setProfileFailure("cannot open '" + path + "': " + reason(errno));
        return result;
    }
    struct stat st {};
    if (fileOps().fstat(in.get(), &st) != 0) {
        result.status = LoadStatus::Unreadable;
        setProfileFailure("cannot read '" + path + "': " + reason(errno));
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.status = LoadStatus::Unreadable;
        setProfileFailure("'" + path + "' is not a regular file");
        return result;
    }
    auto tooLarge = [&] {
        result.status = LoadStatus::Unreadable;
        result.bytes.clear();
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
            setProfileFailure("cannot read '" + path + "': " + reason(errno));
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
    if (target.path.empty()) return fail("no profile file name");
    const std::string path = followLink(target.path);
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return fail("'" + path + "' names a folder, not a file");

    // A look without the lock first: an edit that changes nothing (the same
    // value written again, a key already gone) creates no lock file and no
    // folder, and rewrites nothing.
    {
        const LoadedFile current = loadProfileFile(path);
        if (current.status == LoadStatus::Unreadable) return false;
        if (!edit(current.bytes)) return true;
    }

    if (target.inConfigDirectory && !ensureConfigDirectory())
        return fail("cannot create the folder '" + dir + "'");

    const std::string lockPath = dir + "/." + name + ".lock";
    Descriptor lock(retryInterrupted([&] {
        return fileOps().open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    }));
    if (lock.get() < 0) return fail("cannot open the lock file '" + lockPath + "': " + reason(errno));
    if (retryInterrupted([&] { return fileOps().flock(lock.get(), LOCK_EX); }) != 0)
        return fail("cannot lock '" + lockPath + "': " + reason(errno));

    // Under the lock: read again, so that a change another process made
    // since the first look is kept.
    const LoadedFile current = loadProfileFile(path);
    if (current.status == LoadStatus::Unreadable) return false;
    const auto next = edit(current.bytes);
    if (!next) return true;
    return replaceFile(path, dir, name, *next, current.status == LoadStatus::Loaded);
}

}  // namespace ecran::win32
