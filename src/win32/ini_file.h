#pragma once
// Reading and replacing whole INI files for the profile functions: where a
// file name leads, a bounded read, and an atomic rewrite under an advisory
// lock.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ecran::win32 {

// A profile file larger than this is not read (it is treated as unreadable):
// no setting of this program comes near it, and reading must stay bounded.
inline constexpr std::size_t kMaxProfileFileSize = 16u * 1024u * 1024u;

// How long a write waits for another process to let go of the file's lock.
// The display writes on its GUI thread: a process that holds the lock (any
// process that may read the file can take it) must not freeze the screen.
inline constexpr std::chrono::milliseconds kLockWait{40};

// Where a profile file name leads. A bare name (no "/") lives in this
// platform's Windows directory, configDirectory(); a name with a directory is
// used as given. The name is Windows-1252 text, as the profile functions'
// callers give it; the path is the file system's name for it (UTF-8), the
// way Windows maps an ANSI file name to the real one. An empty name leads
// nowhere (empty result), and so does a bare name when there is no
// configuration directory (empty path, inConfigDirectory set).
struct ProfilePath {
    std::string path;
    bool inConfigDirectory = false;  // a bare name: the directory is created on the first write
};
[[nodiscard]] ProfilePath resolveProfilePath(std::string_view fileName);

enum class LoadStatus { Loaded, Missing, Unreadable };

struct LoadedFile {
    LoadStatus status = LoadStatus::Missing;
    std::string bytes;  // the whole file when Loaded, else empty
};

// Reads the whole file; Unreadable (with lastProfileFailure() set) when it
// cannot be opened or read, is not a regular file, or is larger than
// kMaxProfileFileSize. Reads never change anything on disk.
[[nodiscard]] LoadedFile loadProfileFile(const std::string& path);

// An edit: from the current bytes (empty for a missing file) to the new
// bytes, or nothing when the file need not change.
using ProfileEdit = std::function<std::optional<std::string>(const std::string& current)>;

// Applies the edit to the file. An edit that changes nothing touches nothing
// on disk. A file its user may not write, or that has no write permission
// bit at all (the operator made it read-only), is never written, whoever
// runs: the update fails with ERROR_ACCESS_DENIED.
//
// Otherwise, holding an exclusive flock on the file itself (on its folder
// while the file does not exist yet), taken within kLockWait, it reads the
// file again, applies the edit to what it read, writes the result to a
// temporary file ".<name>.<pid>.<n>.tmp" in the same folder, fsyncs it,
// renames it over the file and fsyncs the folder, so that a reader or a crash
// sees either the old file or the new one, whole, and two processes editing
// the same file lose neither edit. Locking the file itself leaves no lock
// file beside it, and the lock is exactly as private as the file. Temporary
// files left by a process that was killed mid-write are removed on the way.
// A new file is created 0600 (it holds the last message); a replaced file
// keeps its mode and owner.
//
// False when any step fails, with lastProfileFailure() and the last error
// (GetLastError) set; the old file is then left as it was. A lock another
// process holds past kLockWait gives ERROR_SHARING_VIOLATION: the caller may
// try again later.
[[nodiscard]] bool updateProfileFile(const ProfilePath& target, const ProfileEdit& edit);

// Why the latest profile call of this thread failed, with the file concerned;
// empty when it did not fail.
[[nodiscard]] const std::string& lastProfileFailure() noexcept;
void clearProfileFailure() noexcept;
void setProfileFailure(std::string what);

}  // namespace ecran::win32
