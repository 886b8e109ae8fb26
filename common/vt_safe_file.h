/* File operations below the install root that follow no link and trust no file found there. */
#ifndef VT_SAFE_FILE_H
#define VT_SAFE_FILE_H

#include "vt_util.h"

#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

/* The daemon runs as root, while the engine's user may write below var/ of the install root:
 * any name there may be a link to a file elsewhere, or be swapped for a named pipe or another
 * file between a check and a use. Every file operation of the daemon and its tools below the
 * root therefore goes through these functions: each directory below the root is opened with
 * O_DIRECTORY|O_NOFOLLOW relative to its parent, files are opened relative to that descriptor
 * with O_NOFOLLOW|O_NONBLOCK and used only when fstat shows the expected type, and nothing is
 * checked by path and then used by path. The root itself and what lies above it belong to
 * root and are opened as given; so are paths outside the root (an operator's own file). */
namespace vt::safe {

/* What a name must be to be used. A character device is accepted only where the caller says
 * so (a log sent to /dev/null): only root can make one, so none is planted below the root. */
enum class Kind { Regular, Fifo, RegularOrDevice };

/* Whether a refusal is logged (once an hour for the same path and reason) or only returned:
 * the log file's own opening must not log. */
enum class Report { Log, Quiet };

/* A directory opened safely and the last part of the path within it. */
struct Location {
    Fd dir;
    std::string name;  /* the last part of the path, without any slash */
    std::string path;  /* the whole path, for log lines */
    explicit operator bool() const { return static_cast<bool>(dir) && !name.empty(); }
};

/* Opens the directory path (read-only, close-on-exec), no component below the root followed
 * through a link. An invalid Fd on failure, with errno set: ELOOP for a link, ENOTDIR for
 * something that is not a directory (both refusals, logged unless quiet); any other error
 * (a missing directory, say) is only returned. */
Fd open_dir(const std::string &path, Report report = Report::Log);

/* Opens the directory holding path (as open_dir does) and splits off its last part. The
 * result is false when the directory cannot be opened or the path ends in a slash. */
Location locate(const std::string &path, Report report = Report::Log);

/* Opens name relative to dir with flags plus O_NOFOLLOW, O_NONBLOCK and O_CLOEXEC (mode is
 * used with O_CREAT) and returns the descriptor only when it is of the given kind; a regular
 * file opened for writing must also have no second name (a hard link would let the write
 * land in another file), and a regular file loses O_NONBLOCK again. An invalid Fd on failure, errno set: ELOOP for a link, EINVAL
 * for the wrong kind (a directory, or a pipe where a file belongs) or a second name (refusals, logged under path unless quiet); any other
 * error as open gives it (ENOENT, or ENXIO for a pipe nobody reads, which is no refusal). */
Fd open_at(int dir, const std::string &name, int flags, mode_t mode, Kind kind, const std::string &path,
           Report report = Report::Log);

/* locate, then open_at. */
Fd open_file(const std::string &path, int flags, mode_t mode = 0, Kind kind = Kind::Regular,
             Report report = Report::Log);

/* The status of name in dir, a link not followed. False (errno set) when there is none. */
bool stat_at(int dir, const std::string &name, struct stat &st);

/* Removes name from dir; with expected, only while name still is that file (same device
 * and inode), so that a file put there meanwhile is left alone. False with errno set. */
bool remove_at(int dir, const std::string &name, const struct stat *expected = nullptr);

struct Entry {
    std::string name;
    struct stat st;  /* of the entry itself, links not followed */
};

/* Every entry of the open directory dir but "." and "..", unsorted. Entries removed while
 * the directory is read are left out. Empty (errno set) when it cannot be read. */
std::vector<Entry> list(int dir);

/* Takes away from the open file fd every permission bit outside allowed, when the file is
 * this process's own (a file left wider by an earlier version, or by a wider umask). False
 * when it is not its own or the change failed. */
bool narrow_mode(int fd, mode_t allowed);

/* Takes an exclusive flock on fd within about a second. Any user who may open the file can
 * hold such a lock, so waiting is bounded: past the deadline the caller goes on without the
 * lock, which is logged once per path; until the lock is had again for that path, later
 * calls try once and do not wait. True when the lock is held. */
bool lock_briefly(int fd, const std::string &path);

/* Logs "ERROR refused <path>: <why>" (at most once an hour for the same line), or writes
 * it to standard error when the log itself cannot be written. */
void refuse(const std::string &path, const std::string &why);

/* "a symbolic link", "a named pipe", "a directory", ... for a file mode. */
const char *kind_of(mode_t mode);

}  // namespace vt::safe

#endif
