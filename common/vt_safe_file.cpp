/* File operations below the install root that follow no link and trust no file found there. */
#include "vt_safe_file.h"
#include "vantor_config.h"
#include "vt_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vt::safe {

namespace {

/* The same refusal (a link left in place, say) is met again on every pass of a child; one
 * line an hour says it without filling the log. */
constexpr time_t kRepeatRefusalAfter = 3600;
constexpr size_t kRememberedRefusals = 256;

std::map<std::string, time_t> &recent_refusals()
{
    static std::map<std::string, time_t> recent;
    return recent;
}

/* The install root without a trailing slash. */
std::string root_dir()
{
    std::string root = VANTOR_ROOT;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

std::string absolute(const std::string &path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    return std::string(cwd) + "/" + path;
}

/* Reports why opening name in dir was refused; errno is left as the caller needs it. */
void refuse_at(int dir, const std::string &name, const std::string &path, const char *wanted, Report report)
{
    int saved = errno;
    if (report == Report::Log) {
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            refuse(path, format("it is %s, not %s", kind_of(st.st_mode), wanted));
        else
            refuse(path, format("it is not %s", wanted));
    }
    errno = saved;
}

}  // namespace

const char *kind_of(mode_t mode)
{
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a named pipe";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "of an unknown type";
}

void refuse(const std::string &path, const std::string &why)
{
    try {
        /* a name in var/ is anyone's choice: it must not break the entry into lines */
        std::string line = "ERROR refused " + vt::log_escape(path) + ": " + why;
        auto &recent = recent_refusals();
        time_t now = time(nullptr);
        auto it = recent.find(line);
        if (it != recent.end() && now - it->second < kRepeatRefusalAfter)
            return;
        if (recent.size() >= kRememberedRefusals)
            recent.clear();
        recent[line] = now;
        if (vt_write_to_log(line.c_str()) != 0 || DEBUG)
            std::fprintf(stderr, "%s\n", line.c_str());
    } catch (...) {
        vt_log_noexcept("ERROR refused a file below the install root (no memory to say which)");
    }
}

Fd open_dir(const std::string &given, Report report)
{
    std::string path = absolute(given);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::string root = root_dir();
    if (path.compare(0, root.size(), root) != 0 || (path.size() > root.size() && path[root.size()] != '/'))
        return Fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));  /* not below the root */

    Fd dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string walked = root;
    size_t pos = root.size();
    while (dir && pos < path.size()) {
        size_t start = pos + 1;
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        pos = end;
        std::string part = path.substr(start, end - start);
        if (part.empty() || part == ".")
            continue;
        walked += "/" + part;
        if (part == "..") {
            if (report == Report::Log)
                refuse(walked, "a path below the install root may not step up");
            errno = EINVAL;
            return Fd();
        }
        Fd next(openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            if (errno == ELOOP || errno == ENOTDIR) {
                refuse_at(dir.get(), part, walked, "a directory", report);
                struct stat st;
                errno = stat_at(dir.get(), part, st) && S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
            }
            return Fd();
        }
        dir = std::move(next);
    }
    return dir;
}

Location locate(const std::string &path, Report report)
{
    Location loc;
    loc.path = path;
    size_t slash = path.rfind('/');
    loc.name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (loc.name.empty() || loc.name == "." || loc.name == "..") {
        loc.name.clear();
        errno = EINVAL;
        return loc;
    }
    loc.dir = open_dir(parent, report);
    return loc;
}

Fd open_at(int dir, const std::string &name, int flags, mode_t mode, Kind kind, const std::string &path, Report report)
{
    const char *wanted = kind == Kind::Fifo ? "a named pipe" : "a regular file";
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        if (report == Report::Log)
            refuse(path, "not a plain name in its directory");
        errno = EINVAL;
        return Fd();
    }
    Fd fd(openat(dir, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    if (!fd) {
        /* ENXIO: a pipe (or device) without a reader where a regular file was expected */
        if (errno == ELOOP || errno == EISDIR || (errno == ENXIO && kind != Kind::Fifo)) {
            refuse_at(dir, name, path, wanted, report);
            errno = errno == ELOOP ? ELOOP : EINVAL;
        }
        return Fd();
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return Fd();
    if (kind == Kind::RegularOrDevice && S_ISCHR(st.st_mode))
        return fd;
    const bool right_kind = kind == Kind::Fifo ? S_ISFIFO(st.st_mode) : S_ISREG(st.st_mode);
    if (!right_kind) {
        if (report == Report::Log)
            refuse(path, format("it is %s, not %s", kind_of(st.st_mode), wanted));
        errno = EINVAL;
        return Fd();
    }
    if (kind != Kind::Fifo) {
        /* A second name matters where the file is changed; a dump file that an operator keeps
         * a hard link to is still read. */
        if (st.st_nlink > 1 && (flags & O_ACCMODE) != O_RDONLY) {
            if (report == Report::Log)
                refuse(path, format("a regular file with %lu names (a hard link)", static_cast<unsigned long>(st.st_nlink)));
            errno = EINVAL;
            return Fd();
        }
        int fl = fcntl(fd.get(), F_GETFL);
        if (fl >= 0)
            fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
    }
    return fd;
}

Fd open_file(const std::string &path, int flags, mode_t mode, Kind kind, Report report)
{
    Location loc = locate(path, report);
    if (!loc)
        return Fd();
    return open_at(loc.dir.get(), loc.name, flags, mode, kind, path, report);
}

bool stat_at(int dir, const std::string &name, struct stat &st)
{
    return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool remove_at(int dir, const std::string &name, const struct stat *expected)
{
    if (expected) {
        struct stat now;
        if (!stat_at(dir, name, now))
            return false;
        if (now.st_dev != expected->st_dev || now.st_ino != expected->st_ino) {
            errno = ESTALE;
            return false;
        }
    }
    return unlinkat(dir, name.c_str(), 0) == 0;
}

std::vector<Entry> list(int dir)
{
    std::vector<Entry> entries;
    /* A descriptor of its own: readdir moves the offset, which a dup would share. */
    int own = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0)
        return entries;
    DIR *d = fdopendir(own);
    if (!d) {
        close(own);
        return entries;
    }
    while (struct dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        Entry entry;
        entry.name = e->d_name;
        if (stat_at(dir, entry.name, entry.st))
            entries.push_back(std::move(entry));
    }
    closedir(d);
    return entries;
}

bool narrow_mode(int fd, mode_t allowed)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_uid != geteuid())
        return false;
    if ((st.st_mode & 07777 & ~allowed) == 0)
        return true;
    return fchmod(fd, st.st_mode & allowed) == 0;
}

bool lock_briefly(int fd, const std::string &path)
{
    static std::set<std::string> stuck;
    const bool was_stuck = stuck.count(path) != 0;
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            stuck.erase(path);
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (was_stuck)
            return false;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L >= 1000) {
            stuck.insert(path);
            vt_logf("ERROR %s stays locked by another process: written without the lock until it is free again",
                    path.c_str());
            return false;
        }
        usleep(1000);
    }
}

}  // namespace vt::safe
