/* Notification workers and the command runner they share with the replay of dumped jobs. */
#include "vt_notify.h"
#include "vt_batch_tx.h"
#include "vt_connector.h"
#include "vt_log.h"
#include "vt_util.h"
#include "vt_worker.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

const char *vt_notify_user = "vtuser";
const char *vt_notify_group = "vtuser";
int vt_notify_user_retry_seconds = 60;

/* ---- growable buffer ---- */

extern "C" int dbuf_init(dbuf *db, int chunk_size)
{
    if (!db)
        return -2;
    db->buf = nullptr;
    db->used_size = 0;
    db->allocated_size = 0;
    db->chunk_size = chunk_size > 0 ? static_cast<uint64_t>(chunk_size) : 1024;
    return 0;
}

extern "C" int dbuf_strcat(dbuf *db, const char *text)
{
    if (!db || !text)
        return -2;
    if (db->chunk_size == 0)
        db->chunk_size = 1024;
    const uint64_t len = std::strlen(text);
    const uint64_t needed = db->used_size + len + 1;
    if (needed > db->allocated_size) {
        const uint64_t size = (needed / db->chunk_size + 1) * db->chunk_size;
        char *grown = static_cast<char *>(std::realloc(db->buf, size));
        if (!grown)
            return -2;
        if (!db->buf)
            grown[db->used_size] = '\0';
        db->buf = grown;
        db->allocated_size = size;
    }
    std::memcpy(db->buf + db->used_size, text, len + 1);
    db->used_size += len;
    return 0;
}

extern "C" int dbuf_free(dbuf *db)
{
    if (!db)
        return -2;
    std::free(db->buf);
    db->buf = nullptr;
    db->used_size = 0;
    db->allocated_size = 0;
    return 0;
}

/* ---- the notification user ---- */

namespace {

bool is_root() { return getuid() == 0 || geteuid() == 0; }

/* The user's and the group's entries, when both exist and the user is not root itself. */
bool lookup_notify_user(uid_t &uid, gid_t &gid, std::string &why)
{
    struct passwd *pw = getpwnam(vt_notify_user);
    if (!pw) {
        why = vt::format("no user '%s'", vt_notify_user);
        return false;
    }
    uid = pw->pw_uid;
    struct group *gr = getgrnam(vt_notify_group);
    if (!gr) {
        why = vt::format("no group '%s'", vt_notify_group);
        return false;
    }
    gid = gr->gr_gid;
    if (uid == 0) {
        why = vt::format("user '%s' is uid 0", vt_notify_user);
        return false;
    }
    return true;
}

}  // namespace

extern "C" int vt_notify_user_usable(void)
{
    try {
        if (!is_root())
            return 1;
        uid_t uid;
        gid_t gid;
        std::string why;
        return lookup_notify_user(uid, gid, why) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" int vt_become_notify_user(void)
{
    try {
        if (!is_root())
            return 0;
        uid_t uid;
        gid_t gid;
        std::string why;
        bool ok = lookup_notify_user(uid, gid, why);
        /* The kernel forgets the parent-death signal at a change of ids; the worker keeps
         * the one the supervisor's child set-up asked for. */
        int death_signal = 0;
        prctl(PR_GET_PDEATHSIG, &death_signal);
        /* The group list first (it needs root), then the group, then the user: a process
         * that ends up with the user's ids keeps none of root's groups. */
        if (ok && initgroups(vt_notify_user, gid) != 0)
            why = vt::format("initgroups: %s", std::strerror(errno)), ok = false;
        if (ok && setgid(gid) != 0)
            why = vt::format("setgid(%d): %s", static_cast<int>(gid), std::strerror(errno)), ok = false;
        if (ok && setuid(uid) != 0)
            why = vt::format("setuid(%d): %s", static_cast<int>(uid), std::strerror(errno)), ok = false;
        if (ok && is_root())
            why = "still root after the switch", ok = false;
        if (ok) {
            if (death_signal)
                prctl(PR_SET_PDEATHSIG, death_signal);
            return 0;
        }
        vt_logf("ERROR could not switch to user %s and group %s (%s): notification commands are not run as root",
                vt_notify_user, vt_notify_group, why.c_str());
    } catch (...) {
    }
    return -2;
}

/* ---- signals ---- */

extern "C" void reset_sighandler(void)
{
    for (int sig : {SIGQUIT, SIGTERM, SIGHUP, SIGSEGV, SIGPIPE, SIGXFSZ})
        signal(sig, SIG_DFL);
}

extern "C" void my_system_sighandler(int sig)
{
    (void)sig;
    _exit(2);
}

/* ---- running one command ---- */

namespace {

/* Closes every descriptor above 2 but keep: no database or job-server socket of the worker
 * may reach a notification script. */
void close_inherited_descriptors(int keep)
{
#ifdef SYS_close_range
    bool below = keep <= 3 || syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0;
    if (below && syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0)
        return;
#endif
    if (DIR *d = opendir("/proc/self/fd")) {
        int own = dirfd(d);
        std::vector<int> fds;
        while (struct dirent *e = readdir(d)) {
            int fd = std::atoi(e->d_name);
            if (fd > 2 && fd != keep && fd != own)
                fds.push_back(fd);
        }
        closedir(d);
        for (int fd : fds)
            close(fd);
        return;
    }
    long max = sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < (max > 0 ? max : 1024); ++fd)
        if (fd != keep)
            close(fd);
}

void write_piece(int fd, const char *text, size_t len)
{
    /* Non-blocking: what does not fit into the pipe is lost, the command is never held up. */
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

/* A command starts clean: nothing of the environment root's shell gave the daemon (secrets
 * exported there among it) and not its working directory. Only the language settings
 * stay; PATH and HOME are the notification user's own. */
void start_clean()
{
    std::string lang = std::getenv("LANG") ? std::getenv("LANG") : "";
    std::string lc_all = std::getenv("LC_ALL") ? std::getenv("LC_ALL") : "";
    struct passwd *pw = getpwuid(getuid());
    std::string home = pw && pw->pw_dir && *pw->pw_dir ? pw->pw_dir : "/";
    std::string user = pw && pw->pw_name ? pw->pw_name : "";
    clearenv();
    setenv("PATH", "/usr/local/bin:/usr/bin:/bin", 1);
    setenv("HOME", home.c_str(), 1);
    setenv("SHELL", "/bin/sh", 1);
    if (!user.empty()) {
        setenv("USER", user.c_str(), 1);
        setenv("LOGNAME", user.c_str(), 1);
    }
    if (!lang.empty())
        setenv("LANG", lang.c_str(), 1);
    if (!lc_all.empty())
        setenv("LC_ALL", lc_all.c_str(), 1);
    if (chdir("/") != 0)
        _exit(3);
    umask(077);
}

/* The command's child: never returns. mask is the signal mask the caller had before the
 * runner blocked its stop signals; the command gets it back. */
[[noreturn]] void run_command_child(const char *cmd, int timeout, int read_end, int write_end, const sigset_t &mask)
{
    setpgid(0, 0);
    reset_sighandler();
    signal(SIGINT, SIG_DFL);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    close(read_end);
    close_inherited_descriptors(write_end);
    vt_log_pipe_fd = -1;
    fcntl(write_end, F_SETFD, FD_CLOEXEC);
    if (is_root() && vt_become_notify_user() != 0) {
        static const char refused[] = "(Error: Could not switch to the notification user)\n";
        write_piece(write_end, refused, sizeof refused - 1);
        _exit(3);
    }
    start_clean();
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = my_system_sighandler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    alarm(timeout > 0 ? static_cast<unsigned>(timeout) : 0u);

    int code;
    FILE *fp = popen(cmd, "r");
    if (!fp) {
        static const char failed[] = "(Error: Could not execute command)\n";
        write_piece(write_end, failed, sizeof failed - 1);
        code = 2;
    } else {
        char line[1024];
        while (std::fgets(line, sizeof line, fp))
            write_piece(write_end, line, std::strlen(line));
        int status = pclose(fp);
        if (status == -1)
            code = 2;
        else if (WIFSIGNALED(status))
            code = 3;  // a command killed by a signal has failed, whatever its exit code says
        else
            code = WEXITSTATUS(status);
    }
    close(write_end);
    alarm(0);
    _exit(code);
}

double seconds_between(const struct timespec &a, const struct timespec &b, long *whole)
{
    long long us = (static_cast<long long>(b.tv_sec) - a.tv_sec) * 1000000LL + (b.tv_nsec - a.tv_nsec) / 1000;
    if (us < 0)
        us = 0;
    *whole = static_cast<long>(us / 1000000);
    return static_cast<double>(*whole) + static_cast<double>((us % 1000000) / 1000) / 1000.0;
}

/* Grace the command's process group gets between SIGTERM and SIGKILL, when the runner's
 * process is stopped or the command overran its time. */
constexpr int kGroupGraceMs = 1000;

/* Ends the process group of the command's child: SIGTERM, up to the grace for the group to
 * empty (the child is reaped on the way), then SIGKILL for whatever is left. */
void end_group(pid_t child, int *status, bool *reaped)
{
    kill(-child, SIGTERM);
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (!*reaped && waitpid(child, status, WNOHANG) == child)
            *reaped = true;
        if (*reaped && kill(-child, 0) != 0 && errno == ESRCH)
            return;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L >= kGroupGraceMs)
            break;
        vt_sleep_seconds(0.02);
    }
    kill(-child, SIGKILL);
}

/* Set by the runner's handler of SIGTERM and SIGINT while a command runs. */
volatile sig_atomic_t runner_stop_signal = 0;

extern "C" void on_runner_stop(int sig) { runner_stop_signal = sig; }

/* Waits for the command's child to end. A SIGTERM or SIGINT while the command runs means
 * the process that runs commands is being stopped: the command's own process group, which
 * that stop would not reach, is ended first. Returns the signal that asked for the stop, or
 * 0 when the child ended by itself. */
int wait_for_command(pid_t child, int *status, const sigset_t &wake)
{
    for (;;) {
        pid_t r = waitpid(child, status, WNOHANG);
        if (r == child)
            return 0;
        if (r < 0 && errno != EINTR)
            return 0;  // collected elsewhere: nothing left to wait for
        int sig = runner_stop_signal;
        if (sig == 0) {
            /* Woken by the child's end (SIGCHLD is in the set), a stop that is blocked (taken
             * here) or one that is not (its handler interrupts the wait); the timeout covers
             * a SIGCHLD that the end of some other child took. */
            struct timespec tick = {0, 200 * 1000 * 1000};
            int got = sigtimedwait(&wake, nullptr, &tick);
            sig = got == SIGTERM || got == SIGINT ? got : runner_stop_signal;
        }
        if (sig != 0) {
            bool reaped = false;
            end_group(child, status, &reaped);
            if (!reaped)
                while (waitpid(child, status, 0) < 0 && errno == EINTR) {
                }
            return sig;
        }
    }
}

/* For the length of one command, SIGTERM and SIGINT only note a stop (and are blocked, so
 * that wait_for_command takes them) and SIGCHLD wakes the wait. On the way out the caller's
 * handlers and mask come back and a stop that came meanwhile is raised again, to act as the
 * caller's disposition says (by default: the process ends, as it would have without a
 * command running, but after its command). A stop signal the caller ignores stays ignored. */
class StopSignalsHeld {
public:
    StopSignalsHeld()
    {
        runner_stop_signal = 0;
        struct sigaction sa {};
        sa.sa_handler = on_runner_stop;
        sigemptyset(&sa.sa_mask);
        sigemptyset(&wake_);
        sigaddset(&wake_, SIGCHLD);
        for (int i = 0; i < 2; ++i) {
            sigaction(kStops[i], nullptr, &old_[i]);
            if (old_[i].sa_handler == SIG_IGN)
                continue;
            sigaction(kStops[i], &sa, nullptr);
            sigaddset(&wake_, kStops[i]);
        }
        sigprocmask(SIG_BLOCK, &wake_, &saved_);
    }
    ~StopSignalsHeld()
    {
        for (int i = 0; i < 2; ++i)
            sigaction(kStops[i], &old_[i], nullptr);
        sigprocmask(SIG_SETMASK, &saved_, nullptr);
        if (stop_signal_)
            raise(stop_signal_);
    }
    StopSignalsHeld(const StopSignalsHeld &) = delete;
    StopSignalsHeld &operator=(const StopSignalsHeld &) = delete;
    /* Blocks the signals again: fork handlers of the process may have unblocked them. */
    void block() { sigprocmask(SIG_BLOCK, &wake_, nullptr); }
    const sigset_t &wake() const { return wake_; }
    const sigset_t &saved() const { return saved_; }
    void stopped_by(int sig) { stop_signal_ = sig; }
    int stop_signal() const { return stop_signal_; }

private:
    static constexpr int kStops[2] = {SIGTERM, SIGINT};
    sigset_t wake_, saved_;
    struct sigaction old_[2];
    int stop_signal_ = 0;
};

/* Reads the pipe to its end into db; waits for data without limit, the child has ended. */
void read_output(int fd, dbuf *db)
{
    char piece[1024];
    for (;;) {
        ssize_t n = read(fd, piece, sizeof piece - 1);
        if (n > 0) {
            piece[n] = '\0';
            dbuf_strcat(db, piece);
            continue;
        }
        if (n == 0)
            return;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            struct pollfd p = {fd, POLLIN, 0};
            poll(&p, 1, -1);
            continue;
        }
        return;
    }
}

int system_r(const char *cmd, int timeout, int *early_timeout, double *exectime, char **output,
             int max_output_length)
{
    // Defined results for the caller, also when nothing is run.
    if (output)
        *output = nullptr;
    if (early_timeout)
        *early_timeout = 0;
    if (exectime)
        *exectime = 0;
    if (VT_SEND_NOTIFICATIONS == 0) {
        if (VT_LOG_NOTIFICATIONS_COMMANDS > 0)
            vt_logf("NOTIFICATION DEBUG : CMD=( %s )", cmd ? cmd : "(null)");
        return 0;
    }
    if (VT_LOG_NOTIFICATIONS_COMMANDS > 0)
        vt_logf("NOTIFICATION BEFORE RUN : CMD=( %s )", cmd ? cmd : "(null)");
    if (!cmd)
        return 0;

    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        vt_logf("NOTIFICATION ERROR : Warning: pipe() in vt_system_r() failed for command \"%s\": %s", cmd,
                std::strerror(errno));
        return 3;
    }
    vt::Fd read_end(fds[0]), write_end(fds[1]);
    StopSignalsHeld held;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0) {
        vt_logf("NOTIFICATION ERROR : Warning: fork() in vt_system_r() failed for command \"%s\"", cmd);
        return 3;
    }
    if (pid == 0)
        run_command_child(cmd, timeout, read_end.get(), write_end.get(), held.saved());

    /* The child may not have made its group yet when a timeout comes; doing it here too
     * makes the group exist whichever runs first. */
    setpgid(pid, pid);
    held.block();
    write_end.reset();
    int status = 0;
    held.stopped_by(wait_for_command(pid, &status, held.wake()));
    if (held.stop_signal())
        vt_logf("NOTIFICATION STOPPED: CMD=( %s ) ended with its process group on signal %d", cmd,
                held.stop_signal());
    clock_gettime(CLOCK_MONOTONIC, &end);
    long whole = 0;
    double elapsed = seconds_between(start, end, &whole);
    if (exectime)
        *exectime = elapsed;

    int result = WIFEXITED(status) ? WEXITSTATUS(status) : 3;
    if ((result == 126 || result == 127) && VT_LOG_NOTIFICATIONS_COMMANDS > 0)
        vt_logf("NOTIFICATION WARNING: Warning: Attempting to execute the command \"%s\" resulted in a return code "
                "of %d.  Make sure the script or binary you are trying to execute actually exists...",
                cmd, result);
    if (result > 3)
        result = 3;

    dbuf buf;
    dbuf_init(&buf, 1024);
    bool timed_out = false;
    if (result == 2 && timeout > 0 && whole >= timeout) {
        timed_out = true;
        if (early_timeout)
            *early_timeout = 1;
        bool reaped = true;
        end_group(pid, &status, &reaped);
    } else if (!held.stop_signal()) {
        read_output(read_end.get(), &buf);
        if (max_output_length > 0 && buf.buf && buf.used_size > static_cast<uint64_t>(max_output_length)) {
            buf.buf[max_output_length] = '\0';
            buf.used_size = static_cast<uint64_t>(max_output_length);
        }
        if (output && buf.buf)
            *output = strdup(buf.buf);
    }
    if (VT_LOG_NOTIFICATIONS_COMMANDS > 0)
        vt_logf("NOTIFICATION DONE: CMD=( %s ) Execution time=%.3f sec, early timeout=%d, result=%d, output=%s", cmd,
                elapsed, timed_out ? 1 : 0, result, buf.buf && !timed_out ? buf.buf : "(null)");
    dbuf_free(&buf);
    return result;
}

}  // namespace

extern "C" int vt_system_r(const char *cmd, int timeout, int *early_timeout, double *exectime, char **output,
                           int max_output_length)
{
    try {
        return system_r(cmd, timeout, early_timeout, exectime, output, max_output_length);
    } catch (...) {
        vt_write_to_log("NOTIFICATION ERROR : out of memory in vt_system_r()");
        return 3;
    }
}

extern "C" int vt_process_delayed_notification(const char *cmd)
{
    if (!vt_notify_user_usable()) {
        vt_logf("ERROR delayed notification not run, user %s or group %s missing: %s", vt_notify_user,
                vt_notify_group, cmd ? cmd : "(null)");
        return -2;
    }
    int early_timeout = 0;
    double exectime = 0;
    return vt_system_r(cmd, 60, &early_timeout, &exectime, nullptr, 0);
}

extern "C" void *vt_process_gearman_notify(gearman_job_st *job, void *, size_t *result_size,
                                           gearman_return_t *ret_ptr)
{
    *result_size = 0;
    try {
        std::string cmd = vt_job_workload_text(job);
        const vt::MessageId &id = vt_job_message_id();
        /* The command's effect lies outside the database: it is recorded once it has run, so
         * that it is delivered again only when this worker died while it ran. A copy taken by
         * another worker meanwhile waits for the lock (longer than a command may run). */
        const vt::MessageLock lock("vtdb_notify", id, 90);
        if (vt::message_recorded("vtdb_notify", id)) {
            vt::log_skipped("notification worker", 1);
        } else {
            int early_timeout = 0;
            double exectime = 0;
            vt_system_r(cmd.c_str(), 60, &early_timeout, &exectime, nullptr, 0);
            vt::record_message("vtdb_notify", id);
        }
    } catch (...) {
        vt_write_to_log("ERROR notification job dropped: out of memory");
    }
    *ret_ptr = GEARMAN_SUCCESS;
    return nullptr;
}

namespace {
/* The daemon's log is root's and closed to other users, while a notification worker runs
 * as the notification user: before it switches, it forks a small process that stays root
 * and does nothing but append the worker's entries, which reach it through a pipe, to the
 * log. It ends when the pipe closes, that is when the worker has ended. Commands never get
 * the pipe (they inherit no descriptor), so they cannot write to the log or truncate it. */
void start_log_relay()
{
    if (!is_root() || vt_log_pipe_fd >= 0)
        return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        vt_logf("ERROR notification worker pid %d: no pipe for its log entries: %s", static_cast<int>(getpid()),
                std::strerror(errno));
        return;
    }
    pid_t pid = fork();
    if (pid < 0) {
        vt_logf("ERROR notification worker pid %d: cannot fork its log relay: %s", static_cast<int>(getpid()),
                std::strerror(errno));
        close(fds[0]);
        close(fds[1]);
        return;
    }
    if (pid == 0) {
        close_inherited_descriptors(fds[0]);
        signal(SIGTERM, SIG_IGN);  /* drains what the worker wrote, ends at the pipe's end */
        signal(SIGINT, SIG_IGN);
        vt_log_relay(fds[0]);
        _exit(0);
    }
    close(fds[0]);
    vt_log_pipe_fd = fds[1];
}

/* A notification worker started as root takes no job before it runs as the notification
 * user: the jobs wait in the job server instead of running as root. */
void become_notify_user_or_wait()
{
    start_log_relay();
    while (vt_become_notify_user() != 0) {
        vt_logf("notification worker pid %d takes no jobs until it can run as %s; next try in %d seconds",
                static_cast<int>(getpid()), vt_notify_user, vt_notify_user_retry_seconds);
        vt_sleep_seconds(vt_notify_user_retry_seconds);
    }
}
}  // namespace

extern "C" pid_t vt_notify_gm_dispatcher(void)
{
    return vt_start_queue_worker("vtdb_notify", vt_process_gearman_notify,
                                 "ERROR Could not fork for notify gearman processing", nullptr,
                                 become_notify_user_or_wait);
}
