// Notification commands per second through the workers (job server, worker, runner) against the runner in a loop.
#include "test_support.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_notify.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Runs the command count times with vt_system_r in a child that runs as the notification
// user, as the workers do; returns commands per second.
double direct_rate(const char *cmd, int count)
{
    int fds[2];
    if (pipe(fds) != 0)
        return 0;
    pid_t p = fork();
    if (p == 0) {
        close(fds[0]);
        double rate = 0;
        if (vt_become_notify_user() == 0) {
            auto t0 = Clock::now();
            for (int i = 0; i < count; ++i) {
                int early = 0;
                double t = 0;
                vt_system_r(cmd, 60, &early, &t, nullptr, 0);
            }
            rate = count / std::chrono::duration<double>(Clock::now() - t0).count();
        }
        ssize_t n = write(fds[1], &rate, sizeof rate);
        _exit(n == sizeof rate ? 0 : 1);
    }
    close(fds[1]);
    double rate = 0;
    if (read(fds[0], &rate, sizeof rate) != sizeof rate)
        rate = 0;
    close(fds[0]);
    waitpid(p, nullptr, 0);
    return rate;
}

// Queues count jobs, starts workers notification workers, and times them until the queue
// is empty; returns commands per second.
double worker_rate(const char *cmd, int count, int workers)
{
    vtt::gearman_drain("vtdb_notify");
    for (int i = 0; i < count; ++i)
        vtt::gearman_submit("vtdb_notify", cmd);
    std::vector<pid_t> pids;
    auto t0 = Clock::now();
    for (int i = 0; i < workers; ++i)
        pids.push_back(vt_notify_gm_dispatcher());
    while (vtt::gearman_status()["vtdb_notify"].total > 0)
        usleep(2000);
    double rate = count / std::chrono::duration<double>(Clock::now() - t0).count();
    vtt::kill_and_reap(pids);
    return rate;
}

}  // namespace

int main(int argc, char **argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    vtt::init_runtime("vantorconnector");
    vt_log_create_mode = 0666;
    VT_LOG_NOTIFICATIONS_COMMANDS = 0;
    vtdb_populate_job_servers_list();
    vtt::gearmand_start();
    const char *cmd = "true";
    std::printf("notification command \"%s\", %d runs each, run as %s\n", cmd, count, vt_notify_user);
    double direct = direct_rate(cmd, count);
    double one = worker_rate(cmd, count, 1);
    double two = worker_rate(cmd, count, 2);
    std::printf("vt_system_r in a loop (one process):   %8.0f commands/s\n", direct);
    std::printf("1 notification worker through gearmand: %8.0f commands/s  ratio %.2f\n", one, one / direct);
    std::printf("2 notification workers:                  %8.0f commands/s  ratio %.2f (against one loop)\n", two,
                two / direct);
    return 0;
}
