/* Job-server worker frame shared by every queue worker of the daemon. */
#include "vt_worker.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vantor_config.h"

#include <cstring>
#include <exception>
#include <unistd.h>

gearman_worker_st *gearman_worker = nullptr;

namespace {
constexpr int kIdleWakeupMs = 1000;

const char *worker_error()
{
    const char *e = gearman_worker ? gearman_worker_error(gearman_worker) : nullptr;
    return e ? e : "";
}
}  // namespace

extern "C" void vt_connect_gearman(int priority)
{
    gearman_worker = gearman_worker_create(nullptr);
    if (!gearman_worker) {
        if (vt_throttle_allows(1))
            vt_write_to_log("ERROR Could not allocated memory for worker");
        return;
    }
    /* An idle worker waits only on the servers it is connected to: one that went away
     * and came back would never be asked again, and the jobs it kept in its queue would
     * wait for good. Waking up now and then makes the next wait reconnect to it. */
    gearman_worker_set_timeout(gearman_worker, kIdleWakeupMs);
    auto add = [](const char *host, int port) {
        if (gearman_worker_add_server(gearman_worker, host, port > 0 ? port : VANTOR_GEARMAN_PORT) != GEARMAN_SUCCESS &&
            vt_throttle_allows(1))
            vt_logf("adding server %s - %s\n", host, worker_error());
    };
    if (priority == 1) {
        add("127.0.0.1", 0);
        return;
    }
    for (job_server_node *n = job_servers_root; n; n = n->next)
        add(n->host, n->port);
}

extern "C" void vt_disconnect_gearman(void)
{
    if (!gearman_worker)
        return;
    gearman_job_free_all(gearman_worker);
    gearman_worker_free(gearman_worker);
    gearman_worker = nullptr;
}

extern "C" int vt_create_worker_gearman(const char *queue, gearman_worker_fn *fn)
{
    vt_connect_gearman(std::strcmp(queue, "vtdb_statuspri") == 0 ? 1 : 0);
    if (!gearman_worker)
        return -2;
    if (gearman_worker_add_function(gearman_worker, queue, 0, fn, nullptr) != GEARMAN_SUCCESS) {
        if (vt_throttle_allows(1))
            vt_logf("ERROR worker could not crete queue for %s - %s", queue, worker_error());
        vt_disconnect_gearman();
        return -2;
    }
    return 0;
}

extern "C" void vt_run_worker_gearman(const char *queue, gearman_worker_fn *fn)
{
    for (;;) {
        if (vt_create_worker_gearman(queue, fn) == 0) {
            gearman_return_t rc;
            while ((rc = gearman_worker_work(gearman_worker)) == GEARMAN_SUCCESS || rc == GEARMAN_TIMEOUT) {
            }
            if (vt_throttle_allows(1))
                vt_logf("ERROR worker could not crete queue file vtdb_pri %s", worker_error());
            vt_disconnect_gearman();
        }
        vt_sleep_seconds(sleep_time);
    }
}

std::string vt_job_workload_text(gearman_job_st *job)
{
    const char *data = static_cast<const char *>(gearman_job_workload(job));
    size_t size = gearman_job_workload_size(job);
    if (!data)
        return std::string();
    return std::string(data, strnlen(data, size));
}

extern "C" pid_t vt_start_queue_worker(const char *queue, gearman_worker_fn *fn, const char *fork_error,
                                       void (*prepare)(void), void (*after_start)(void))
{
    pid_t pid = DEBUG ? 0 : fork();
    if (pid < 0) {
        vt_write_to_log(fork_error);
        return pid;
    }
    if (pid > 0)
        return pid;
    /* Nothing may unwind out of a child into the supervisor's frames: a child that fails
     * this way logs it and ends, and the supervisor starts another. */
    try {
        db_connect();
        if (prepare)
            prepare();
        vt_logf("processing %s queue - pid %d", queue, static_cast<int>(getpid()));
        if (after_start)
            after_start();
        vt_run_worker_gearman(queue, fn);
    } catch (const std::exception &e) {
        vt_logf("ERROR %s worker ends: %s", queue, e.what());
        _exit(1);
    } catch (...) {
        vt_logf("ERROR %s worker ends: unknown exception", queue);
        _exit(1);
    }
    _exit(0);
}
