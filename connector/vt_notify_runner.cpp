/* The notification command runner: one command line, as the commands' user, within its time limit,
 * with everything it starts. Used by the notification workers and the replay of dumped jobs. */
#include "vt_notify.h"
#include "vt_connector.h"
#include "vt_log.h"
#include "vt_util.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <initializer_list>
#include <linux/capability.h>
#include <map>
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

/* ---- the accounts ---- */

namespace {

bool is_root() { return getuid() == 0 || geteuid() == 0; }

/* The capabilities a notification worker keeps under its own account: enough to start a
 * command as the commands' user and to end whatever that command started, nothing else. */
constexpr int kWorkerCapabilities[] = {CAP_SETUID, CAP_SETGID, CAP_KILL};

bool set_capabilities(std::initializer_list<int> keep)
{
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    for (int cap : keep) {
        data[cap / 32].effective |= 1u << (cap % 32);
        data[cap / 32].permitted |= 1u << (cap % 32);
    }
    return syscall(SYS_capset, &header, data) == 0;
}

/* Whether the process holds cap in its effective set. */
bool has_capability(int cap)
{
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    return (data[cap / 32].effective & (1u << (cap % 32))) != 0;
}

/* Whether no capability at all is left in the permitted set. */
bool holds_no_capability()
{
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    return syscall(SYS_capget, &header, data) == 0 && data[0].permitted == 0 && data[1].permitted == 0;
}

/* May this process change its ids: root, or a notification worker that kept the right. */
bool may_switch_user() { return is_root() || (has_capability(CAP_SETUID) && has_capability(CAP_SETGID)); }

/* The user's and the group's entries, when both exist and the user is not root itself. */
bool lookup_account(const char *user, const char *group, uid_t &uid, gid_t &gid, std::string &why)
{
    struct passwd *pw = getpwnam(user);
    if (!pw) {
        why = vt::format("no user '%s'", user);
        return false;
    }
    uid = pw->pw_uid;
    struct group *gr = getgrnam(group);
    if (!gr) {
        why = vt::format("no group '%s'", group);
        return false;
    }
    gid = gr->gr_gid;
    if (uid == 0) {
        why = vt::format("user '%s' is uid 0", user);
        return false;
    }
    return true;
}

/* Switches the ids to user and group with the user's own supplementary groups: the group
 * list first (it needs the right to), then the group, then the user, so that nothing of the
 * previous groups is kept. The parent-death signal, which the kernel forgets at a change of
 * ids, is set again. */
bool switch_ids(const char *user, uid_t uid, gid_t gid, std::string &why)
{
    int death_signal = 0;
    prctl(PR_GET_PDEATHSIG, &death_signal);
    if (initgroups(user, gid) != 0)
        return why = vt::format("initgroups: %s", std::strerror(errno)), false;
    if (setgid(gid) != 0)
        return why = vt::format("setgid(%d): %s", static_cast<int>(gid), std::strerror(errno)), false;
    if (setuid(uid) != 0)
        return why = vt::format("setuid(%d): %s", static_cast<int>(uid), std::strerror(errno)), false;
    if (is_root())
        return why = "still root after the switch", false;
    if (death_signal)
        prctl(PR_SET_PDEATHSIG, death_signal);
    return true;
}

}  // namespace

const char *vt_notify_worker_user = "vtnotify";
const char *vt_notify_worker_group = "vtnotify";

extern "C" int vt_notify_user_usable(void)
{
    try {
        if (!may_switch_user())
            return 1;
        uid_t uid;
        gid_t gid;
        std::string why;
        return lookup_account(vt_notify_user, vt_notify_group, uid, gid, why) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" int vt_become_notify_user(void)
{
    try {
        if (!may_switch_user())
            return 0;
        uid_t uid;
        gid_t gid;
        std::string why;
        bool ok = lookup_account(vt_notify_user, vt_notify_group, uid, gid, why) &&
                  switch_ids(vt_notify_user, uid, gid, why);
        /* From root the switch itself clears every capability; from the workers' account
         * the kept ones go here, so that the command starts with none. */
        if (ok && !(set_capabilities({}) && holds_no_capability()))
            why = vt::format("capabilities kept: %s", std::strerror(errno)), ok = false;
        if (ok)
            return 0;
        vt_logf("ERROR could not switch to user %s and group %s (%s): notification commands are not run as root",
                vt_notify_user, vt_notify_group, why.c_str());
    } catch (...) {
    }
    return -2;
}

extern "C" int vt_become_notify_worker(void)
{
    try {
        if (!is_root())
            return 0;
        uid_t uid, command_uid;
        gid_t gid, command_gid;
        std::string why;
        bool ok = lookup_account(vt_notify_worker_user, vt_notify_worker_group, uid, gid, why);
        std::string ignored;
        if (ok && lookup_account(vt_notify_user, vt_notify_group, command_uid, command_gid, ignored) &&
            uid == command_uid)
            why = vt::format("user '%s' is the commands' own user: a command could stop its worker",
                             vt_notify_worker_user), ok = false;
        /* Kept across the change of ids, then cut down to the few the worker needs. */
        if (ok && prctl(PR_SET_KEEPCAPS, 1) != 0)
            why = vt::format("PR_SET_KEEPCAPS: %s", std::strerror(errno)), ok = false;
        ok = ok && switch_ids(vt_notify_worker_user, uid, gid, why);
        prctl(PR_SET_KEEPCAPS, 0);
        if (ok && !set_capabilities({kWorkerCapabilities[0], kWorkerCapabilities[1], kWorkerCapabilities[2]}))
            why = vt::format("capset: %s", std::strerror(errno)), ok = false;
        if (ok) {
            /* Neither its memory nor its descriptors (the job server's socket) are open to
             * anyone without root's rights: /proc shows them to root alone. */
            prctl(PR_SET_DUMPABLE, 0);
            return 0;
        }
        vt_logf("ERROR notification worker pid %d could not switch to user %s and group %s (%s): fix the account "
                "(scripts/create-notify-user.sh makes it)",
                static_cast<int>(getpid()), vt_notify_worker_user, vt_notify_worker_group, why.c_str());
        /* A half-done switch leaves a process that must not take jobs: it ends, the
         * supervisor starts another. */
        if (!is_root())
            _exit(1);
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

void vt_close_inherited_descriptors(int keep)
{
#ifdef SYS_close_range
    if (keep < 3) {
        if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0)
            return;
    } else {
        bool below = keep == 3 || syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0;
        if (below && syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0)
            return;
    }
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

namespace {

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

/* Exit codes of the keeper (below) to the runner. The command's own result comes as one of
 * kCodes; the rest say how it ended. */
constexpr int kCodes[] = {0, 1, 2, 3, 126, 127};
constexpr int kLeftoversEnded = 8;  /* added: what the command left running was ended at the limit */
constexpr int kKeeperTimedOut = 124;
constexpr int kKeeperStopped = 125;

int keeper_code(int status)
{
    if (!WIFEXITED(status))
        return 3;  // a command killed by a signal has failed, whatever its exit code says
    for (int i = 0; i < 6; ++i)
        if (WEXITSTATUS(status) == kCodes[i])
            return i;
    return 3;
}

/* The command's child: switches to the commands' user and runs the command through the
 * shell; never returns. mask is the signal mask the runner's caller had; the command gets it
 * back. */
[[noreturn]] void run_command_child(const char *cmd, int write_end, const sigset_t &mask)
{
    /* Its own process group: a command that signals its group reaches nothing of the runner. */
    setpgid(0, 0);
    reset_sighandler();
    signal(SIGINT, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    prctl(PR_SET_PDEATHSIG, 0);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    vt_close_inherited_descriptors(write_end);
    vt_log_pipe_fd = -1;
    fcntl(write_end, F_SETFD, FD_CLOEXEC);
    if (vt_become_notify_user() != 0) {
        static const char refused[] = "(Error: Could not switch to the notification user)\n";
        write_piece(write_end, refused, sizeof refused - 1);
        _exit(3);
    }
    start_clean();

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
            code = 3;
        else
            code = WEXITSTATUS(status);
    }
    close(write_end);
    _exit(code);
}

long long now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000LL + t.tv_nsec / 1000000L;
}

/* Sends sig to every process whose chain of parents leads to this one, found in /proc.
 * Returns how many were signalled. */
int signal_descendants(int sig)
{
    std::map<pid_t, pid_t> parent;
    if (DIR *d = opendir("/proc")) {
        while (struct dirent *e = readdir(d)) {
            if (!vt::all_digits(e->d_name) || !*e->d_name)
                continue;
            char path[300], text[512];
            std::snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
            int fd = open(path, O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;
            ssize_t n = read(fd, text, sizeof text - 1);
            close(fd);
            if (n <= 0)
                continue;
            text[n] = '\0';
            /* "pid (name) state ppid ...": the name may hold anything, the last ')' ends it. */
            const char *close_paren = std::strrchr(text, ')');
            char state = 0;
            int ppid = 0;
            if (close_paren && std::sscanf(close_paren + 1, " %c %d", &state, &ppid) == 2)
                parent[static_cast<pid_t>(std::atoi(e->d_name))] = static_cast<pid_t>(ppid);
        }
        closedir(d);
    }
    const pid_t self = getpid();
    int sent = 0;
    for (const auto &entry : parent) {
        pid_t p = entry.second;
        /* Bounded: a chain cannot be longer than the table; a loop (never seen) ends it. */
        for (size_t steps = 0; p > 1 && p != self && steps < parent.size(); ++steps) {
            auto up = parent.find(p);
            p = up == parent.end() ? 0 : up->second;
        }
        if (p == self && kill(entry.first, sig) == 0)
            ++sent;
    }
    return sent;
}

/* Reaps every ended child. False once there is no child left at all. */
bool reap_children(pid_t command, int *command_status)
{
    for (;;) {
        int status = 0;
        pid_t r = waitpid(-1, &status, WNOHANG);
        if (r > 0) {
            if (r == command)
                *command_status = status;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        return !(r < 0 && errno == ECHILD);
    }
}

/* Grace the command's processes get between SIGTERM and SIGKILL, when the runner is stopped
 * or the command overran its time. */
constexpr int kGroupGraceMs = 1000;

/* Ends everything the command started: SIGTERM, up to the grace for all of it to end, then
 * SIGKILL until nothing is left. Every process the command started is a descendant of the
 * keeper (orphans come back to it, it is their subreaper), and the keeper has no other
 * children: no child left means no process of the command left. */
void end_descendants(pid_t command, int *command_status)
{
    signal_descendants(SIGTERM);
    const long long grace_end = now_ms() + kGroupGraceMs;
    while (reap_children(command, command_status) && now_ms() < grace_end)
        vt_sleep_seconds(0.02);
    /* A process being killed can start no other; one started meanwhile is found by the
     * next walk. */
    while (reap_children(command, command_status)) {
        signal_descendants(SIGKILL);
        vt_sleep_seconds(0.01);
    }
}

/* Set by the keeper's handler of its stop signals. */
volatile sig_atomic_t keeper_stop_signal = 0;

extern "C" void on_keeper_stop(int sig) { keeper_stop_signal = sig; }

/* The keeper: a child that keeps the runner's rights (to signal the commands' user), is the
 * subreaper of the command's processes (so that one that detached with setsid still comes
 * back to it), and holds the command to its time limit. It ends with what the command left
 * running by then, and it ends everything at SIGTERM or SIGINT, which also reaches it when
 * the runner dies. Its exit code is one of kCodes' index (plus kLeftoversEnded), or
 * kKeeperTimedOut, or kKeeperStopped. A command cannot signal it: it runs as another user. */
[[noreturn]] void run_keeper(const char *cmd, int timeout, int read_end, int write_end, const sigset_t &mask)
{
    const pid_t runner = getppid();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    /* The stop signals are blocked and taken by the wait below; should a fork handler unblock
     * them for a moment, they only note the stop: the keeper must never end before what the
     * command started. */
    struct sigaction note {};
    note.sa_handler = on_keeper_stop;
    sigemptyset(&note.sa_mask);
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGCHLD);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(sig, &note, nullptr);
        sigaddset(&wake, sig);
    }
    sigprocmask(SIG_BLOCK, &wake, nullptr);
    if (getppid() != runner)
        _exit(kKeeperStopped);  // the runner died before the death signal was set
    close(read_end);
    const long long deadline = timeout > 0 ? now_ms() + timeout * 1000LL : -1;
    pid_t command = fork();
    if (command < 0) {
        static const char failed[] = "(Error: Could not execute command)\n";
        write_piece(write_end, failed, sizeof failed - 1);
        _exit(2);
    }
    if (command == 0)
        run_command_child(cmd, write_end, mask);
    /* Fork handlers of the process may have unblocked them. */
    sigprocmask(SIG_BLOCK, &wake, nullptr);
    close(write_end);

    int status = -1;
    bool stopped = false, past_limit = false;
    for (;;) {
        bool any = reap_children(command, &status);
        if (!any)
            break;  // the command has ended, and nothing it started is left
        const long long left = deadline < 0 ? 200 : deadline - now_ms();
        if (left <= 0) {
            past_limit = true;
            break;
        }
        struct timespec tick = {0, (left < 200 ? left : 200) * 1000000L};
        int got = sigtimedwait(&wake, nullptr, &tick);
        if (got == SIGTERM || got == SIGINT || got == SIGHUP || keeper_stop_signal) {
            stopped = true;
            break;
        }
    }
    const bool command_ended = status != -1;
    if (stopped || past_limit)
        end_descendants(command, &status);
    if (stopped)
        _exit(kKeeperStopped);
    if (!command_ended)
        _exit(kKeeperTimedOut);
    _exit(keeper_code(status) + (past_limit ? kLeftoversEnded : 0));
}

double seconds_between(const struct timespec &a, const struct timespec &b, long *whole)
{
    long long us = (static_cast<long long>(b.tv_sec) - a.tv_sec) * 1000000LL + (b.tv_nsec - a.tv_nsec) / 1000;
    if (us < 0)
        us = 0;
    *whole = static_cast<long>(us / 1000000);
    return static_cast<double>(*whole) + static_cast<double>((us % 1000000) / 1000) / 1000.0;
}

/* Whether the last command was ended by a stop of the process that ran it. */
bool command_cut = false;

/* Set by the runner's handler of SIGTERM and SIGINT while a command runs. */
volatile sig_atomic_t runner_stop_signal = 0;

extern "C" void on_runner_stop(int sig) { runner_stop_signal = sig; }

/* How long a command may still take to end by itself once the process that runs it is being
 * stopped: within the daemon's grace for its children, so that a command about to end (most
 * take milliseconds) is not cut short, and so neither lost half-way nor run again. */
constexpr int kStopFinishMs = 2000;

/* Waits for the keeper to end. A SIGTERM or SIGINT while the command runs means the process
 * that runs commands is being stopped: the command gets kStopFinishMs to end by itself, then
 * the keeper is told, and ends the command's processes first. Returns the signal that asked
 * for the stop, or 0 when none came; *cut is true when the stop ended the command. */
int wait_for_keeper(pid_t keeper, int *status, const sigset_t &wake, bool *cut)
{
    *cut = false;
    int stop = 0;
    long long finish_by = 0;
    for (;;) {
        pid_t r = waitpid(keeper, status, WNOHANG);
        if (r == keeper)
            return stop;
        if (r < 0 && errno != EINTR)
            return stop;  // collected elsewhere: nothing left to wait for
        /* Woken by the keeper's end (SIGCHLD is in the set), a stop that is blocked (taken
         * here) or one that is not (its handler interrupts the wait); the timeout covers a
         * SIGCHLD that the end of some other child took. */
        struct timespec tick = {0, 50 * 1000 * 1000};
        int got = sigtimedwait(&wake, nullptr, &tick);
        if (stop == 0)
            stop = got == SIGTERM || got == SIGINT ? got : runner_stop_signal;
        if (stop == 0)
            continue;
        if (finish_by == 0)
            finish_by = now_ms() + kStopFinishMs;
        if (now_ms() < finish_by)
            continue;
        *cut = true;
        kill(keeper, SIGTERM);
        while (waitpid(keeper, status, 0) < 0 && errno == EINTR) {
        }
        return stop;
    }
}

/* For the length of one command, SIGTERM and SIGINT only note a stop (and are blocked, so
 * that wait_for_keeper takes them) and SIGCHLD wakes the wait. On the way out the caller's
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
    command_cut = false;
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
        run_keeper(cmd, timeout, read_end.get(), write_end.get(), held.saved());

    setpgid(pid, pid);
    held.block();
    write_end.reset();
    int status = 0;
    held.stopped_by(wait_for_keeper(pid, &status, held.wake(), &command_cut));
    if (command_cut)
        vt_logf("NOTIFICATION STOPPED: CMD=( %s ) ended with its process group on signal %d", cmd,
                held.stop_signal());
    clock_gettime(CLOCK_MONOTONIC, &end);
    long whole = 0;
    double elapsed = seconds_between(start, end, &whole);
    if (exectime)
        *exectime = elapsed;

    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : kKeeperStopped;
    const bool timed_out = code == kKeeperTimedOut;
    int result = timed_out ? 2 : code == kKeeperStopped ? 3 : kCodes[(code % kLeftoversEnded) % 6];
    if (!timed_out && code != kKeeperStopped && (code & kLeftoversEnded))
        vt_logf("NOTIFICATION WARNING: CMD=( %s ) ended, but left processes running that were ended at its %d-second "
                "limit: a notification command must not leave anything running",
                cmd, timeout);
    if ((result == 126 || result == 127) && VT_LOG_NOTIFICATIONS_COMMANDS > 0)
        vt_logf("NOTIFICATION WARNING: Warning: Attempting to execute the command \"%s\" resulted in a return code "
                "of %d.  Make sure the script or binary you are trying to execute actually exists...",
                cmd, result);
    if (result > 3)
        result = 3;

    dbuf buf;
    dbuf_init(&buf, 1024);
    if (timed_out) {
        if (early_timeout)
            *early_timeout = 1;
    } else if (!command_cut) {
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

extern "C" int vt_last_command_cut(void)
{
    return command_cut ? 1 : 0;
}

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
