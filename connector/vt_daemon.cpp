/* Detaching the daemon under its lock file, and switching a worker to another user. */
#include "vt_connector.h"
#include "vt_log.h"
#include "vantor_config.h"
#include "vt_util.h"
#include "vt_safe_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
[[noreturn]] void bail_out() { std::exit(254); }

/* The lock file's descriptor, held (and the lock with it) for the supervisor's life. */
int lock_fd = -1;

/* The parent that daemonizing leaves behind waits (boundedly) until the detached child has
 * written its pid into the lock file or given up, so that a service manager reading the
 * lock file as the daemon's pid file never finds the previous run's pid there. It exits 0
 * either way. */
[[noreturn]] void parent_exit_when_child_ready(int ready_fd)
{
    struct pollfd p = {ready_fd, POLLIN, 0};
    while (poll(&p, 1, 10000) < 0 && errno == EINTR) {
    }
    _exit(0);
}

/* A decimal id as given (the empty text counts as decimal), else the id lookup finds for
 * the name, else -1 after logging unknown_format with the name. */
long resolve_id(const char *name, const char *unknown_format, long (*lookup)(const char *))
{
    if (vt::all_digits(name))
        return std::strtol(name, nullptr, 10);
    long id = lookup(name);
    if (id == -1)
        vt_logf(unknown_format, name);
    return id;
}
}  // namespace

extern "C" int vt_daemon_init(void)
{
    const char *home = std::getenv("HOME");
    if (!(home && daemon_dumps_core == 1 && chdir(home) == 0))
        if (chdir("/") != 0)
            vt_logf("ERROR could not change to / : %s", std::strerror(errno));
    umask(022);

    /* var/ is writable by the engine's user: the lock file is never opened through a link
     * (its pid would be written into whatever file the link names). */
    int fd = vt::safe::open_file(VT_LOCK_FILE, O_RDWR | O_CREAT, 0644).release();
    if (fd < 0) {
        vt_logf("ERROR Failed to obtain lock on file %s: %s\n", VT_LOCK_FILE, std::strerror(errno));
        bail_out();
    }
    /* Started with standard descriptors closed, the lock file could land on 0, 1 or 2,
     * which are replaced by /dev/null below; closing it there would drop the lock. */
    if (fd <= 2) {
        int moved = fcntl(fd, F_DUPFD, 3);
        close(fd);
        if (moved < 0) {
            vt_logf("ERROR Failed to obtain lock on file %s: %s\n", VT_LOCK_FILE, std::strerror(errno));
            bail_out();
        }
        fd = moved;
    }

    char buf[11];
    ssize_t n = read(fd, buf, 10);
    if (n < 0) {
        vt_write_to_log("ERROR Lockfile exists but cannot be read");
        bail_out();
    }
    if (n > 0) {
        buf[n] = '\0';
        char *end = nullptr;
        long pid = std::strtol(buf, &end, 10);
        if (end == buf) {
            vt_logf("ERROR Lockfile '%s' does not contain a valid PID (%s)", VT_LOCK_FILE, buf);
            bail_out();
        }
        if (pid == getpid()) {
            close(fd);
            return 0;
        }
    }

    std::fflush(nullptr);
    int ready[2] = {-1, -1};
    if (pipe2(ready, O_CLOEXEC) != 0)
        ready[0] = ready[1] = -1;
    pid_t child = fork();
    if (child < 0) {
        close(fd);
        if (ready[0] >= 0) {
            close(ready[0]);
            close(ready[1]);
        }
        return -2;
    }
    if (child > 0) {
        if (ready[0] < 0)
            _exit(0);
        close(ready[1]);
        parent_exit_when_child_ready(ready[0]);
    }
    if (ready[0] >= 0)
        close(ready[0]);

    setsid();
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) < 0) {
        if (errno == EAGAIN || errno == EACCES) {
            struct flock holder {};
            holder.l_type = F_WRLCK;
            holder.l_whence = SEEK_SET;
            fcntl(fd, F_GETLK, &holder);
            vt_logf("ERROR Lockfile '%s' looks like its already held by another instance of Nagios (PID %d).  "
                    "Bailing out...",
                    VT_LOCK_FILE, static_cast<int>(holder.l_pid));
        } else {
            vt_logf("ERROR Cannot lock lockfile '%s': %s. Bailing out...", VT_LOCK_FILE, std::strerror(errno));
        }
        bail_out();
    }
    if (daemon_dumps_core == 0) {
        struct rlimit lim;
        if (getrlimit(RLIMIT_CORE, &lim) == 0) {
            lim.rlim_cur = 0;
            setrlimit(RLIMIT_CORE, &lim);
        }
    }
    char pidtext[32];
    int len = std::snprintf(pidtext, sizeof pidtext, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pidtext, static_cast<size_t>(len), 0) != len)
        vt_logf("ERROR could not write the pid into %s: %s", VT_LOCK_FILE, std::strerror(errno));
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    lock_fd = fd;
    if (ready[1] >= 0)
        close(ready[1]);  /* the pid is in place: the parent may leave */

    close(0);
    close(1);
    close(2);
    open("/dev/null", O_RDONLY);
    open("/dev/null", O_WRONLY);
    open("/dev/null", O_WRONLY);
    return 0;
}

/* Removes the lock file and closes it, which releases the lock. The path is removed only
 * while it still names the file this process holds: one that was removed and created anew
 * meanwhile belongs to another instance. */
extern "C" void vt_daemon_release_lock(void)
{
    if (lock_fd < 0)
        return;
    struct stat held;
    vt::safe::Location lock = vt::safe::locate(VT_LOCK_FILE);
    if (lock && fstat(lock_fd, &held) == 0)
        vt::safe::remove_at(lock.dir.get(), lock.name, &held);
    close(lock_fd);
    lock_fd = -1;
}

extern "C" int drop_privileges(const char *user, const char *group)
{
    if (getuid() != 0) {
        vt_write_to_log("drop_privileges: can not drop privileges if not root");
        return 0;
    }
    int result = 0;
    if (group) {
        gid_t gid = static_cast<gid_t>(resolve_id(group, "Warning: Could not get group entry for '%s'", [](const char *n) {
            struct group *g = getgrnam(n);
            return g ? static_cast<long>(g->gr_gid) : -1L;
        }));
        if (gid != getegid() && setgid(gid) != 0) {
            vt_logf("Warning: Could not set effective GID=%d", static_cast<int>(gid));
            result = -2;
        }
    }
    if (user) {
        uid_t uid = static_cast<uid_t>(resolve_id(user, "Warning: Could not get passwd entry for '%s'", [](const char *n) {
            struct passwd *p = getpwnam(n);
            return p ? static_cast<long>(p->pw_uid) : -1L;
        }));
        if (setuid(uid) != 0) {
            vt_logf("Warning: Could not set effective UID=%d", static_cast<int>(uid));
            return -2;
        }
    }
    return result;
}
