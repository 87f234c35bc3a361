#pragma once
// The file-system calls of the INI profile functions, behind one seam.
//
// Every call that can fail on a real disk (open, read, write, fsync, rename,
// flock...) goes through the current FileOps object. The default object makes
// the plain POSIX calls; a test installs a subclass that fails a chosen call
// with a chosen errno (disk full, permission denied, interrupted call) and
// checks what the profile functions leave behind.
//
// The members keep the POSIX contract: -1 with errno set on failure.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace ecran::win32 {

class FileOps {
public:
    FileOps() = default;
    FileOps(const FileOps&) = delete;
    FileOps& operator=(const FileOps&) = delete;
    virtual ~FileOps();

    [[nodiscard]] virtual int open(const char* path, int flags, mode_t mode);
    [[nodiscard]] virtual ssize_t read(int fd, void* buffer, std::size_t size);
    [[nodiscard]] virtual ssize_t write(int fd, const void* buffer, std::size_t size);
    [[nodiscard]] virtual int fsync(int fd);
    virtual int close(int fd);
    [[nodiscard]] virtual int fstat(int fd, struct stat* st);
    [[nodiscard]] virtual int lstat(const char* path, struct stat* st);
    // access(2) with the effective user and group (faccessat, AT_EACCESS).
    [[nodiscard]] virtual int access(const char* path, int mode);
    [[nodiscard]] virtual int fchmod(int fd, mode_t mode);
    [[nodiscard]] virtual int fchown(int fd, uid_t owner, gid_t group);
    [[nodiscard]] virtual int flock(int fd, int operation);
    [[nodiscard]] virtual int rename(const char* from, const char* to);
    virtual int unlink(const char* path);
};

// The object the profile functions use now (the plain POSIX one by default).
[[nodiscard]] FileOps& fileOps() noexcept;

// Installs `ops` for the lifetime of this object, then restores the previous
// one. For tests; not thread-safe.
class ScopedFileOps {
public:
    explicit ScopedFileOps(FileOps& ops) noexcept;
    ScopedFileOps(const ScopedFileOps&) = delete;
    ScopedFileOps& operator=(const ScopedFileOps&) = delete;
    ~ScopedFileOps();

private:
    FileOps* previous_;
};

}  // namespace ecran::win32
