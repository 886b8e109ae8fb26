/* Detaching the daemon under its lock file, and switching a worker to another user. */
#include "vt_connector.h"
#include "vt_log.h"
#include "vantor_config.h"
#include "vt_util.h"
#include "vt_safe_file.h"

#include <algorithm>
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
 * when the child said it holds the lock, 254 when it gave up (or said nothing in time): a
 * start that failed never looks like one that worked. */
[[noreturn]] void parent_exit_when_child_ready(int ready_fd)
{
    struct pollfd p = {ready_fd, POLLIN, 0};
    while (poll(&p, 1, 30000) < 0 && errno == EINTR) {
    }
    char ok = 0;
    ssize_t n;
    while ((n = read(ready_fd, &ok, 1)) < 0 && errno == EINTR) {
    }
    _exit(n == 1 && ok == 'R' ? 0 : 254);
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

const char *const kLockName = "vantorconnector.lock";

/* The folder of the lock file, made when missing: it must be the daemon's own and writable
 * by nobody else, so that no other user can plant, replace or keep a lock file there. var/
 * itself is written by the engine's user, which is why the lock file is not kept there. */
vt::Fd open_run_dir()
{
    vt::safe::Location run = vt::safe::locate(VT_RUN_DIR);
    if (!run) {
        vt_logf("ERROR Failed to obtain lock on file %s: cannot open %s: %s\n", VT_LOCK_FILE, VT_VAR_DIR,
                std::strerror(errno));
        bail_out();
    }
    /* Made at every start where missing (an operator or a cleanup may have removed it). */
    const bool made = mkdirat(run.dir.get(), run.name.c_str(), 0755) == 0;
    if (!made && errno != EEXIST) {
        vt_logf("ERROR Failed to obtain lock on file %s: cannot make %s: %s\n", VT_LOCK_FILE, VT_RUN_DIR,
                std::strerror(errno));
        bail_out();
    }
    vt::Fd dir = vt::safe::open_dir(VT_RUN_DIR);
    struct stat st;
    if (!dir || fstat(dir.get(), &st) != 0) {
        vt_logf("ERROR Failed to obtain lock on file %s: cannot open %s: %s\n", VT_LOCK_FILE, VT_RUN_DIR,
                std::strerror(errno));
        bail_out();
    }
    /* A group taken over from a set-group-id var/ would be the engine's: the folder is the
     * daemon's alone. */
    if (made && (st.st_gid != getegid() || (st.st_mode & 07777) != 0755)) {
        if (fchown(dir.get(), geteuid(), getegid()) != 0 || fchmod(dir.get(), 0755) != 0 || fstat(dir.get(), &st) != 0) {
            vt_logf("ERROR Failed to obtain lock on file %s: cannot make %s the daemon's own: %s\n", VT_LOCK_FILE,
                    VT_RUN_DIR, std::strerror(errno));
            bail_out();
        }
    }
    /* One the daemon did not make (another user made it, perhaps after removing the
     * daemon's): nothing kept there could be trusted, and it is not the daemon's to remove. */
    if (st.st_uid != geteuid() || (st.st_mode & 022) != 0) {
        vt_logf("ERROR Failed to obtain lock on file %s: %s belongs to uid %d with mode %04o; it must be this "
                "daemon's own and writable by nobody else: remove it (rm -r %s) and start again, the daemon makes "
                "it itself",
                VT_LOCK_FILE, VT_RUN_DIR, static_cast<int>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777),
                VT_RUN_DIR);
        bail_out();
    }
    return dir;
}

/* Opens (creating) the lock file in the run folder: only one of this daemon's own, with
 * no more than mode 0644, is used. */
int open_lock_file(int run_dir)
{
    vt::Fd fd = vt::safe::open_at(run_dir, kLockName, O_RDWR | O_CREAT, 0644, vt::safe::Kind::Regular, VT_LOCK_FILE);
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0) {
        vt_logf("ERROR Failed to obtain lock on file %s: %s\n", VT_LOCK_FILE, std::strerror(errno));
        bail_out();
    }
    if (st.st_uid != geteuid()) {
        vt_logf("ERROR Failed to obtain lock on file %s: it belongs to uid %d, not to this daemon\n", VT_LOCK_FILE,
                static_cast<int>(st.st_uid));
        bail_out();
    }
    if ((st.st_mode & 07777 & ~0644) != 0)
        fchmod(fd.get(), 0644);
    /* Started with standard descriptors closed, the lock file could land on 0, 1 or 2,
     * which are replaced by /dev/null below; closing it there would drop the lock. */
    if (fd.get() <= 2) {
        int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
        if (moved < 0) {
            vt_logf("ERROR Failed to obtain lock on file %s: %s\n", VT_LOCK_FILE, std::strerror(errno));
            bail_out();
        }
        return moved;
    }
    return fd.release();
}

bool write_lock(int fd)
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_SETLK, &lock) == 0;
}

/* The lock file is readable by all (its pid is for the stop command and the check plugin),
 * so any user may hold a read lock on it and so refuse every start. The daemon never takes
 * a read lock: a file held that way is replaced by a fresh one, locked before it takes the
 * name, so no reader gets at it first. Returns the new descriptor, or -1 with errno set. */
int replace_read_locked(int run_dir, int old_fd)
{
    const char *tmp = ".vantorconnector.lock.new";
    unlinkat(run_dir, tmp, 0);
    vt::Fd fd = vt::safe::open_at(run_dir, tmp, O_RDWR | O_CREAT | O_EXCL, 0644, vt::safe::Kind::Regular,
                                  VT_LOCK_FILE);
    /* Moved off the standard descriptors before it is locked: record locks go with any
     * descriptor of the file that this process closes. */
    if (fd && fd.get() <= 2)
        fd = vt::Fd(fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
    if (!fd)
        return -1;
    if (!write_lock(fd.get()) || renameat(run_dir, tmp, run_dir, kLockName) != 0) {
        int e = errno;
        unlinkat(run_dir, tmp, 0);
        errno = e;
        return -1;
    }
    close(old_fd);
    return fd.release();
}

/* The pid the lock file names: 0 when it is empty. Exits 254 when it cannot be read or does
 * not start with a number. */
long read_lock_pid(int fd)
{
    char buf[11];
    ssize_t n = read(fd, buf, 10);
    if (n < 0) {
        vt_write_to_log("ERROR Lockfile exists but cannot be read");
        bail_out();
    }
    if (n == 0)
        return 0;
    buf[n] = '\0';
    char *end = nullptr;
    long pid = std::strtol(buf, &end, 10);
    if (end == buf) {
        vt_logf("ERROR Lockfile '%s' does not contain a valid PID (%s)", VT_LOCK_FILE, buf);
        bail_out();
    }
    return pid;
}

/* Forks; the parent stays behind until the child reports through the ready pipe (and exits
 * with what it reported), the child goes on in a session of its own. In the child: true, with
 * *ready the pipe's writing end (-1 when no pipe could be made: the parent then left at
 * once). False when the fork failed (nothing changed). */
bool detach(int *ready)
{
    std::fflush(nullptr);
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0)
        fds[0] = fds[1] = -1;
    pid_t child = fork();
    if (child < 0) {
        if (fds[0] >= 0) {
            close(fds[0]);
            close(fds[1]);
        }
        return false;
    }
    if (child > 0) {
        if (fds[0] < 0)
            _exit(0);
        close(fds[1]);
        parent_exit_when_child_ready(fds[0]);
    }
    if (fds[0] >= 0)
        close(fds[0]);
    setsid();
    *ready = fds[1];
    return true;
}

/* Takes the write lock on fd, replacing a file that another user holds read-locked. Returns
 * the descriptor that holds the lock; exits 254 when another instance holds it or it cannot
 * be taken. */
int take_lock(int run_dir, int fd)
{
    if (write_lock(fd))
        return fd;
    struct flock holder {};
    holder.l_type = F_WRLCK;
    holder.l_whence = SEEK_SET;
    bool busy = errno == EAGAIN || errno == EACCES;
    if (busy && fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type == F_RDLCK) {
        vt_logf("ERROR Lockfile '%s' is read-locked by pid %d, which is no instance of this daemon: "
                "replacing the file",
                VT_LOCK_FILE, static_cast<int>(holder.l_pid));
        int fresh = replace_read_locked(run_dir, fd);
        if (fresh < 0) {
            vt_logf("ERROR Cannot lock lockfile '%s': %s. Bailing out...", VT_LOCK_FILE, std::strerror(errno));
            bail_out();
        }
        return fresh;
    }
    if (busy)
        vt_logf("ERROR Lockfile '%s' looks like its already held by another instance of Nagios (PID %d).  "
                "Bailing out...",
                VT_LOCK_FILE, static_cast<int>(holder.l_pid));
    else
        vt_logf("ERROR Cannot lock lockfile '%s': %s. Bailing out...", VT_LOCK_FILE, std::strerror(errno));
    bail_out();
}

/* Writes this process's pid as the lock file's only content. */
void write_pid(int fd)
{
    char pidtext[32];
    int len = std::snprintf(pidtext, sizeof pidtext, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pidtext, static_cast<size_t>(len), 0) != len)
        vt_logf("ERROR could not write the pid into %s: %s", VT_LOCK_FILE, std::strerror(errno));
}

/* Tells the parent left behind by detach that the start worked. */
void report_ready(int ready)
{
    if (ready < 0)
        return;
    const char ok = 'R';
    ssize_t w = write(ready, &ok, 1);
    (void)w;
    close(ready);
}

/* Standard input, output and error become /dev/null: the daemon has no terminal. */
void replace_standard_descriptors()
{
    close(0);
    close(1);
    close(2);
    open("/dev/null", O_RDONLY);
    open("/dev/null", O_WRONLY);
    open("/dev/null", O_WRONLY);
}
}  // namespace

extern "C" int vt_daemon_init(void)
{
    const char *home = std::getenv("HOME");
    if (!(home && daemon_dumps_core == 1 && chdir(home) == 0))
        if (chdir("/") != 0)
            vt_logf("ERROR could not change to / : %s", std::strerror(errno));
    umask(022);

    vt::Fd run_dir = open_run_dir();
    int fd = open_lock_file(run_dir.get());
    if (read_lock_pid(fd) == getpid()) {
        close(fd);
        return 0;
    }
    int ready = -1;
    if (!detach(&ready)) {
        close(fd);
        return -2;
    }
    fd = take_lock(run_dir.get(), fd);
    if (daemon_dumps_core == 0) {
        struct rlimit lim;
        if (getrlimit(RLIMIT_CORE, &lim) == 0) {
            lim.rlim_cur = 0;
            setrlimit(RLIMIT_CORE, &lim);
        }
    }
    write_pid(fd);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    lock_fd = fd;
    run_dir.reset();  /* before the standard descriptors are replaced: it may be one of them */
    report_ready(ready);  /* the pid is in place: the parent may leave, reporting success */
    replace_standard_descriptors();
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
