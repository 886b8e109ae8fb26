/* Notification workers: the queue "vtdb_notify" served under the workers' own account, and the
 * dumped notification jobs the replay hands over. */
#include "vt_notify.h"
#include "vt_batch_tx.h"
#include "vt_connector.h"
#include "vt_log.h"
#include "vt_metrics.h"
#include "vt_util.h"
#include "vt_worker.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

int vt_notify_user_retry_seconds = 60;

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

namespace {

/* Holds SIGTERM and SIGINT back for its lifetime: a worker being stopped finishes the
 * notification in hand, its record included, and ends only then (the signal stays pending
 * meanwhile). A command that does not end soon is still cut short by the runner. */
class StopDeferred {
public:
    StopDeferred()
    {
        sigemptyset(&stops_);
        sigaddset(&stops_, SIGTERM);
        sigaddset(&stops_, SIGINT);
        sigprocmask(SIG_BLOCK, &stops_, &saved_);
    }
    /* A stop that came meanwhile is taken off and left to the frame, to act once the job
     * has been reported done: the job server would otherwise hand it out again. */
    ~StopDeferred()
    {
        const struct timespec now = {0, 0};
        const int sig = sigtimedwait(&stops_, nullptr, &now);
        if (sig > 0)
            vt_worker_stop_after_job(sig);
        sigprocmask(SIG_SETMASK, &saved_, nullptr);
    }
    StopDeferred(const StopDeferred &) = delete;
    StopDeferred &operator=(const StopDeferred &) = delete;

private:
    sigset_t stops_, saved_;
};

/* Notifications run while the database was away, whose record is still to be written: a copy
 * of one (a job both submitted and dumped) replayed once the database is back must find it.
 * Bounded: past the bound the oldest are given up (logged). */
std::deque<vt::MessageId> unrecorded;
constexpr size_t kMaxUnrecorded = 10000;

void record_or_keep(const vt::MessageId &id)
{
    if (vt::record_message("vtdb_notify", id))
        return;
    if (unrecorded.size() >= kMaxUnrecorded) {
        vt_logf("ERROR notification worker: %zu notifications run while the database was away are not recorded; "
                "the oldest is given up and would run again if a copy of it came",
                unrecorded.size());
        unrecorded.pop_front();
    }
    unrecorded.push_back(id);
}

/* Writes what is still to be recorded, oldest first, until the database fails again. */
void record_kept()
{
    while (!unrecorded.empty() && vt::record_message("vtdb_notify", unrecorded.front()))
        unrecorded.pop_front();
}

}  // namespace

extern "C" void *vt_process_gearman_notify(gearman_job_st *job, void *, size_t *result_size,
                                           gearman_return_t *ret_ptr)
{
    *result_size = 0;
    const StopDeferred deferred;
    try {
        std::string cmd = vt_job_workload_text(job);
        const vt::MessageId &id = vt_job_message_id();
        /* The command's effect lies outside the database: it is recorded once it has run, so
         * that it is delivered again only when this worker died while it ran. A copy taken by
         * another worker meanwhile waits for the lock (longer than a command may run). */
        record_kept();
        const vt::MessageLock lock("vtdb_notify", id, 90);
        if (vt::message_recorded("vtdb_notify", id)) {
            vt::log_skipped("notification worker", 1);
        } else {
            int early_timeout = 0;
            double exectime = 0;
            const int rc = vt_system_r(cmd.c_str(), 60, &early_timeout, &exectime, nullptr, 0);
            vt::metrics::command_run(rc != 0);
            /* One cut short by a stop of this worker may not have done its work: it runs
             * again from the job server after the restart. */
            if (!vt_last_command_cut())
                record_or_keep(id);
        }
    } catch (...) {
        vt_write_to_log("ERROR notification job dropped: out of memory");
    }
    *ret_ptr = GEARMAN_SUCCESS;
    return nullptr;
}

namespace {

bool is_root() { return getuid() == 0 || geteuid() == 0; }

/* The daemon's log is root's and closed to other users, while a notification worker runs
 * under its own account: before it switches, it starts a small process that stays root and
 * does nothing but append the worker's entries, which reach it through a pipe, to the log.
 * It ends when the pipe closes, that is when the worker and its runners have ended. Commands
 * never get the pipe (they inherit no descriptor), so they cannot write to the log or
 * truncate it. The relay is started through a short-lived middle process, so that it is not
 * the worker's child: a worker's children are its commands' runners alone. */
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
    pid_t middle = vt_fork_child("the log relay of a notification worker",
                                 "ERROR notification worker: cannot fork the relay of its log entries", [&] {
        pid_t relay = fork();
        if (relay != 0)
            return relay > 0 ? 0 : 1;  // the middle ends at once
        vt_close_inherited_descriptors(fds[0]);
        signal(SIGTERM, SIG_IGN); /* drains what the worker wrote, ends at the pipe's end */
        signal(SIGINT, SIG_IGN);
        signal(SIGHUP, SIG_IGN);
        vt_log_relay(fds[0]);
        return 0;
    });
    close(fds[0]);
    int status = 0;
    if (middle < 0 || waitpid(middle, &status, 0) != middle || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        close(fds[1]);
        return;
    }
    vt_log_pipe_fd = fds[1];
}

/* A notification worker started as root takes no job before it runs under its own account
 * and its commands' user exists: the jobs wait in the job server instead. */
void become_notify_worker_or_wait()
{
    start_log_relay();
    for (;;) {
        const char *missing = nullptr;
        if (vt_become_notify_worker() != 0)
            missing = vt_notify_worker_user;
        else if (!vt_notify_user_usable())
            missing = vt_notify_user;
        if (!missing)
            return;
        vt_logf("notification worker pid %d takes no jobs until it can run as %s; next try in %d seconds",
                static_cast<int>(getpid()), missing, vt_notify_user_retry_seconds);
        vt_sleep_seconds(vt_notify_user_retry_seconds);
    }
}
}  // namespace

extern "C" pid_t vt_notify_gm_dispatcher(void)
{
    return vt_start_queue_worker("vtdb_notify", vt_process_gearman_notify,
                                 "ERROR Could not fork for notify gearman processing", nullptr,
                                 become_notify_worker_or_wait);
}
