#include "win32/file_ops.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

namespace ecran::win32 {

namespace {

FileOps& posixOps() noexcept {
    static FileOps ops;
    return ops;
}

FileOps* installedOps = nullptr;

}  // namespace

FileOps::~FileOps() = default;

int FileOps::open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t FileOps::read(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }
ssize_t FileOps::write(int fd, const void* buffer, std::size_t size) { return ::write(fd, buffer, size); }
int FileOps::fsync(int fd) { return ::fsync(fd); }
int FileOps::close(int fd) { return ::close(fd); }
int FileOps::fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int FileOps::lstat(const char* path, struct stat* st) { return ::lstat(path, st); }
int FileOps::access(const char* path, int mode) { return ::faccessat(AT_FDCWD, path, mode, AT_EACCESS); }
int FileOps::fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int FileOps::fchown(int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); }
int FileOps::flock(int fd, int operation) { return ::flock(fd, operation); }
int FileOps::rename(const char* from, const char* to) { return std::rename(from, to); }
int FileOps::unlink(const char* path) { return ::unlink(path); }

FileOps& fileOps() noexcept { return installedOps ? *installedOps : posixOps(); }

ScopedFileOps::ScopedFileOps(FileOps& ops) noexcept : previous_(installedOps) { installedOps = &ops; }

ScopedFileOps::~ScopedFileOps() { installedOps = previous_; }

}  // namespace ecran::win32
