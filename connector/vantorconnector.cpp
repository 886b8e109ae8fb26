/* The connector daemon: start-up, detaching, and the supervisor that keeps every worker running. */
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_metrics.h"
#include "vt_safe_file.h"
#include "vt_sign.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <cstdio>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <map>
#include <cstring>
#include <cstdlib>

namespace {

enum class Role { ExternalCommands, DelayedMessages, StatusPri, Perfdata, Notify, Status, Retention, Metrics };
/* The restart counter of a kind is the metrics' child of the same place. */
static_assert(static_cast<int>(Role::Retention) == vt::metrics::kRetention &&
                  static_cast<int>(Role::Metrics) == vt::metrics::kMetricsServer,
              "roles and the metrics' child kinds must stand in the same order");

/* One retention child when values or history expire, none otherwise (set once the settings are read). */
int retention_children = 0;
/* One metrics child unless the page is switched off. */
int metrics_children = 0;

/* One kind of child: how to start it, how many (nullptr: exactly one), and what the
 * supervisor logs when it has died. Entries stand in the order children are started. */
struct ChildKind {
    Role role;
    pid_t (*start)(void);
    const int *count;
    const char *died_format;
    std::vector<pid_t> pids;
};

std::vector<ChildKind> child_table()
{
    return {
        {Role::ExternalCommands, vt_external_command_dispatcher, nullptr, "ERROR external commands child died %d, restarting", {}},
        {Role::DelayedMessages, vt_delayed_message_dispatcher, nullptr, "ERROR delayed messahes child died %d, restarting", {}},
        {Role::StatusPri, vt_vtstatuspri_gm_dispatcher, nullptr, "ERROR pid_vtstatuspri_gm child died %d, restarting", {}},
        {Role::Perfdata, vt_perfdata_gm_dispatcher, &PERFDATA_WORKERS, "ERROR perfdata_gm child died %d, restarting", {}},
        {Role::Notify, vt_notify_gm_dispatcher, &NOTIFY_WORKERS, "ERROR notify_gm child died %d, restarting", {}},
        {Role::Status, vt_vtstatus_gm_dispatcher, &VTSTATUS_WORKERS, "ERROR vtstatus_gm child died %d, restarting", {}},
        {Role::Retention, vt_perfdata_retention_dispatcher, &retention_children, "ERROR perfdata retention child died %d, restarting", {}},
        {Role::Metrics, vt_metrics_dispatcher, &metrics_children, "ERROR metrics child died %d, restarting", {}},
    };
}

/* Ended children are matched against the kinds in this order. */
const Role kRestartOrder[] = {Role::Status,    Role::Perfdata,         Role::Notify,
                              Role::StatusPri, Role::ExternalCommands, Role::DelayedMessages,
                              Role::Retention, Role::Metrics};

ChildKind *find_kind(std::vector<ChildKind> &table, Role role)
{
    for (ChildKind &k : table)
        if (k.role == role)
            return &k;
    return nullptr;
}

void start_children(std::vector<ChildKind> &table)
{
    for (ChildKind &k : table) {
        int n = k.count ? *k.count : 1;
        for (int i = 0; i < n; ++i)
            k.pids.push_back(k.start());
    }
}

/* " 12 " for the first id, then " <text so far> 13 " for each further one. */
std::string id_text(std::vector<ChildKind> &table, Role role)
{
    std::string text;
    if (ChildKind *k = find_kind(table, role))
        for (size_t i = 0; i < k->pids.size(); ++i)
            text = i == 0 ? vt::format(" %d ", k->pids[i]) : vt::format(" %s %d ", text.c_str(), k->pids[i]);
    return text;
}

int single_pid(std::vector<ChildKind> &table, Role role)
{
    ChildKind *k = find_kind(table, role);
    return k && !k->pids.empty() ? k->pids[0] : -1;
}

/* Set by the SIGTERM/SIGINT handler; the supervision loop does the stopping. */
volatile sig_atomic_t stop_signal = 0;

extern "C" void on_stop_signal(int signo) { stop_signal = signo; }

/* Children must not inherit the supervisor's handlers: a worker told to stop has to stop.
 * The signals are blocked across every fork, so none arrives in a child before its
 * handlers are back to the defaults; one that came meanwhile is delivered right after. */
sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}
extern "C" void block_stop_signals()
{
    sigset_t set = stop_signals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}
extern "C" void unblock_stop_signals()
{
    sigset_t set = stop_signals();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
/* The supervisor's pid, for its children to tell whether they are its direct children. */
pid_t supervisor_pid = 0;

extern "C" void child_after_fork()
{
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    /* A child of a supervisor that died (SIGKILL, a crash) would keep taking jobs without
     * supervision, with a registry and settings nobody refreshes, and the next start would
     * add a second set: the kernel ends it with SIGTERM instead, and the job server hands
     * its unfinished job out again. Only direct children: what a worker forks is its own. */
    if (supervisor_pid > 0 && getppid() == supervisor_pid) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != supervisor_pid)
            _exit(0);  // the supervisor died before the request took effect
    }
    unblock_stop_signals();
}

void install_stop_handlers()
{
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  /* no restart: the pause between cycles ends at the signal */
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    supervisor_pid = getpid();
    pthread_atfork(block_stop_signals, unblock_stop_signals, child_after_fork);
}

/* Sleeps up to seconds, ending early when a stop was requested. */
void pause_unless_stopping(double seconds)
{
    struct timespec left;
    left.tv_sec = static_cast<time_t>(seconds);
    left.tv_nsec = static_cast<long>((seconds - static_cast<double>(left.tv_sec)) * 1e9);
    while (!stop_signal && nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

/* Grace a child gets after SIGTERM before it is killed. */
constexpr int kStopGraceMs = 5000;

long remaining_children(const std::vector<ChildKind> &table)
{
    long n = 0;
    for (const ChildKind &k : table)
        for (pid_t pid : k.pids)
            n += pid > 0;
    return n;
}

/* Forgets every child in the table that has ended. */
void reap_ended(std::vector<ChildKind> &table)
{
    pid_t ended;
    while ((ended = waitpid(-1, nullptr, WNOHANG)) > 0)
        for (ChildKind &k : table)
            for (pid_t &pid : k.pids)
                if (pid == ended)
                    pid = -1;
}

void signal_all(const std::vector<ChildKind> &table, int signo)
{
    for (const ChildKind &k : table)
        for (pid_t pid : k.pids)
            if (pid > 0)
                kill(pid, signo);
}

/* Waits until every child in the table has ended or timeout_ms passed (monotonic clock). */
void wait_children(std::vector<ChildKind> &table, int timeout_ms)
{
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        reap_ended(table);
        if (remaining_children(table) == 0)
            return;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long waited = (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        if (waited >= timeout_ms)
            return;
        vt_sleep_seconds(0.02);
    }
}

/* Stops every child of every kind: SIGTERM, a bounded grace, then SIGKILL for the rest.
 * A job a worker had taken is handed out again by the job server, so nothing is lost. */
[[noreturn]] void shut_down(std::vector<ChildKind> &table, int signo)
{
    long children = remaining_children(table);
    signal_all(table, SIGTERM);
    wait_children(table, kStopGraceMs);
    long killed = remaining_children(table);
    if (killed > 0) {
        signal_all(table, SIGKILL);
        wait_children(table, kStopGraceMs);
    }
    vt_logf("Stopping vantorconnector on signal %d: %ld children stopped, %ld of them killed after %d s",
            signo, children, killed, kStopGraceMs / 1000);
    vt_daemon_release_lock();
    _exit(0);
}

/* How long a child may stay stopped (SIGSTOP, by anyone who may signal it: root, or a
 * debugger) before it is killed and so restarted. A
 * stopped child is not dead, waitpid does not report it, and its queue would wait for ever. */
constexpr long kStoppedLimitSeconds = 30;

/* Whether /proc shows the process stopped or traced. */
bool is_stopped(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    vt::Fd fd(open(path, O_RDONLY | O_CLOEXEC));
    char buf[512];
    ssize_t n = fd ? read(fd.get(), buf, sizeof buf - 1) : -1;
    if (n <= 0)
        return false;
    buf[n] = '\0';
    const char *close = std::strrchr(buf, ')');
    return close && close[1] == ' ' && (close[2] == 'T' || close[2] == 't');
}

long monotonic_seconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec);
}

/* Kills every child that has been seen stopped for longer than the limit; the next cycles
 * collect and restart it as any child that died. since maps a stopped child to when it was
 * first seen so. */
void kill_stopped_children(const std::vector<ChildKind> &table, std::map<pid_t, long> &since)
{
    const long now = monotonic_seconds();
    std::map<pid_t, long> still;
    for (const ChildKind &k : table)
        for (pid_t pid : k.pids) {
            if (pid <= 0 || !is_stopped(pid))
                continue;
            auto it = since.find(pid);
            const long first = it == since.end() ? now : it->second;
            if (now - first < kStoppedLimitSeconds) {
                still[pid] = first;
                continue;
            }
            /* the restart that follows logs the kind of the child */
            vt_logf("ERROR child %d has been stopped for %ld s: killed, to be restarted", static_cast<int>(pid),
                    now - first);
            kill(pid, SIGKILL);
        }
    since.swap(still);
}

[[noreturn]] void supervise(std::vector<ChildKind> &table)
{
    time_t last_alive = time(nullptr);
    std::map<pid_t, long> stopped_since;
    for (;;) {
        kill_stopped_children(table, stopped_since);
        if (stop_signal)
            shut_down(table, stop_signal);
        time_t now = time(nullptr);
        if (now - last_alive > 3600) {
            last_alive = now;
            vt_logf("Alive - Pid %d", static_cast<int>(getpid()));
        }
        pid_t ended = waitpid(-1, nullptr, WNOHANG);
        for (Role role : kRestartOrder) {
            ChildKind *k = find_kind(table, role);
            if (!k)
                continue;
            for (pid_t &pid : k->pids) {
                if (pid != ended)
                    continue;
                vt_logf(k->died_format, static_cast<int>(ended));
                vt::metrics::child_restarted(static_cast<vt::metrics::Child>(role));
                pid = k->start();
            }
        }
        pause_unless_stopping(2);
    }
}

}  // namespace

namespace {
int run()
{
#ifdef VT_CONNECTOR_DEBUG_BUILD
    DEBUG = 1; /* the foreground test build */
#endif
    if (DEBUG)
        std::setvbuf(stdout, nullptr, _IOLBF, 0); /* a foreground run shows each line as it comes */
    static std::string module = "vantorconnector";
    static std::string log = vt::format(VT_PATH("/var/%s.log"), module.c_str());
    static std::string log_aux = vt::format(VT_PATH("/var/%s.log.1"), module.c_str());
    VTMODULE = &module[0];
    logfile = &log[0];
    logfile_aux = &log_aux[0];
    /* The log holds plugin output and notification command lines: root's, readable by the
     * folder's group (the engine's), by no other user. Notification workers, which run as
     * an unprivileged user, log through a relay that stays root (vt_notify_worker.cpp). */
    vt_log_create_mode = 0640;

    if (parse_db_conf() == -2)
        return 3;
    if (DEBUG)
        std::printf("Logfiles: \n\t%s\n\t%s\n", logfile, logfile_aux);
    /* A log left wider by an earlier version is narrowed, on the descriptor of the log
     * itself: a link put at its name must not change another file (the helper logs it). */
    for (const char *f : {logfile, logfile_aux})
        if (vt::Fd log_fd = vt::safe::open_file(f, O_WRONLY | O_APPEND))
            vt::safe::narrow_mode(log_fd.get(), 0640);
    vt_logf("Starting vantorconnector V. %s", VANTOR_VERSION);
    /* The workers carry out only jobs signed with this key: without it they would run none. */
    std::string key_problem;
    if (!vt::load_job_key(VT_JOB_KEY_FILE, key_problem)) {
        vt_logf("ERROR cannot use the job key %s: %s; vantorconnector does not start", VT_JOB_KEY_FILE,
                key_problem.c_str());
        std::fprintf(stderr, "vantorconnector: cannot use the job key %s: %s\n", VT_JOB_KEY_FILE, key_problem.c_str());
        return 3;
    }
    parse_vantorconnector_conf();
    if (!DEBUG)
        vt_daemon_init();
    vtdb_populate_job_servers_list();
    if (DEBUG) {
        /* A foreground test run: only the replay, in this process. */
        std::printf("Debug activated\n");
        std::printf("Starting vt_delayed_message_dispatcher\n");
        std::fflush(stdout);
        vt_delayed_message_dispatcher();
        return 0;
    }
    vt_write_to_log("finished daemonizing");
    while (db_connect() != 0)
        vt_sleep_seconds(2);

    retention_children = vt_retention_wanted() ? 1 : 0;
    metrics_children = vt_metrics_enabled() ? 1 : 0;
    /* Before the first fork: every child must add to the same counters. */
    vt::metrics::init();
    std::vector<ChildKind> table = child_table();
    install_stop_handlers();
    start_children(table);
    vt_logf("PIDs Main process %d Child process External CMDs %d - Child process delayed messages %d - perfdata_gm %s "
            "- status_gm %s - notify_gm %s",
            static_cast<int>(getpid()), single_pid(table, Role::ExternalCommands),
            single_pid(table, Role::DelayedMessages), id_text(table, Role::Perfdata).c_str(),
            id_text(table, Role::Status).c_str(), id_text(table, Role::Notify).c_str());
    supervise(table);
}
}  // namespace

int main(int argc, char **argv)
{
    /* The installation check is a tool of its own; "vantorconnector --check" is its short
     * name, so that the daemon's own start stays free of arguments. */
    if (argc > 1 && std::strcmp(argv[1], "--check") == 0) {
        argv[1] = const_cast<char *>("vantor-check");
        execv(VT_PATH("/bin/vantor-check"), argv + 1);
        std::fprintf(stderr, "vantorconnector: cannot run %s: %s\n", VT_PATH("/bin/vantor-check"), std::strerror(errno));
        return 2;
    }
    try {
        return run();
    } catch (const std::exception &e) {
        vt_logf("ERROR vantorconnector ends: %s", e.what());
    } catch (...) {
        vt_write_to_log("ERROR vantorconnector ends: unknown exception");
    }
    return 1;
}
