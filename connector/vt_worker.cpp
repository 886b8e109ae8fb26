/* Job-server worker frame shared by every queue worker of the daemon. */
#include "vt_worker.h"
#include "vt_batch.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_sign.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <unistd.h>

gearman_worker_st *gearman_worker = nullptr;

namespace {
constexpr int kIdleWakeupMs = 1000;

/* The registered queue's job function and batch runner (one queue per process). */
gearman_worker_fn *job_function = nullptr;
vt_batch_runner batch_runner = nullptr;
/* The message being handed to the job function, or NULL, and its identity. */
const std::string *current_message = nullptr;
vt::MessageId current_id;
/* The queue this process serves: a job's signature is checked against it. */
std::string registered_queue;
constexpr time_t kRefusalLogSeconds = 60;

std::string up_to_nul(const char *data, size_t size)
{
    return std::string(data, strnlen(data, size));
}

/* The job as its own message: the function sees it through vt_job_workload_text. */
void *run_message(gearman_job_st *job, void *context, const std::string &message, const vt::MessageId &id,
                  size_t *result_size, gearman_return_t *ret_ptr)
{
    current_message = &message;
    current_id = id;
    void *result = job_function(job, context, result_size, ret_ptr);
    current_message = nullptr;
    current_id = vt::MessageId();
    return result;
}

/* A job whose signature did not verify is dropped; the log says so at most once a minute per
 * process, with how many this worker has dropped, so that a flood of them cannot fill it. */
void refuse_job(vt::JobCheck why)
{
    static unsigned long refused = 0;
    static time_t logged = 0;
    ++refused;
    const time_t now = time(nullptr);
    if (logged != 0 && now >= logged && now - logged < kRefusalLogSeconds)
        return;
    logged = now;
    vt_logf("ERROR %s: job refused, it carries %s (%lu refused by this worker since it started)",
            registered_queue.c_str(), vt::job_check_text(why), refused);
}

/* Runs the messages of a batch: all of them, each stopping at an embedded NUL, the empty
 * ones skipped. A batch of more messages than the module ever puts into one is dropped whole:
 * nothing the module sent looks like that, and it would hold the worker for as long as its
 * sender liked. */
void run_batch(gearman_job_st *job, void *context, const char *data, size_t size)
{
    size_t count = 0;
    vt::for_each_message(data, size, [&](const char *, size_t) { ++count; });
    if (count > vt::kBatchMessages) {
        vt_logf("ERROR %s: a batch job of %zu messages (more than %zu) is dropped whole", registered_queue.c_str(),
                count, vt::kBatchMessages);
        return;
    }
    std::vector<std::string> messages;
    std::vector<vt::MessageId> ids;
    const bool whole = vt::for_each_message(data, size, [&](const char *text, size_t len) {
        std::string m = up_to_nul(text, len);
        vt::MessageId id;
        vt_take_message_id(m, &id);
        if (!m.empty()) {
            messages.push_back(std::move(m));
            ids.push_back(std::move(id));
        }
    });
    if (!whole)
        vt_logf("ERROR %s: a batch job of %zu bytes ends inside a message: only its first %zu messages are run",
                registered_queue.c_str(), size, messages.size());
    if (batch_runner) {
        batch_runner(registered_queue, messages, ids);
        return;
    }
    for (size_t i = 0; i < messages.size(); ++i) {
        size_t ignored_size = 0;
        gearman_return_t ignored_ret = GEARMAN_SUCCESS;
        std::free(run_message(job, context, messages[i], ids[i], &ignored_size, &ignored_ret));
    }
}

/* What the job server calls: the signature is checked, then a single message goes to the job
 * function, a batch message by message (or whole to the batch runner). Every job is reported
 * done, as each job function reports its own. */
void *serve_job(gearman_job_st *job, void *context, size_t *result_size, gearman_return_t *ret_ptr)
{
    if (result_size)
        *result_size = 0;
    if (ret_ptr)
        *ret_ptr = GEARMAN_SUCCESS;
    try {
        const char *data = static_cast<const char *>(gearman_job_workload(job));
        const size_t size = data ? gearman_job_workload_size(job) : 0;
        const char *payload = nullptr;
        size_t payload_size = 0;
        /* Beyond the window nothing a worker carried out is remembered any more: a copy of a job
         * kept that long must not run again. */
        const time_t oldest =
            VT_MESSAGE_WINDOW_DAYS > 0 ? time(nullptr) - static_cast<time_t>(VT_MESSAGE_WINDOW_DAYS) * 86400 : 0;
        const vt::JobCheck check =
            vt::open_job(registered_queue.c_str(), data, size, &payload, &payload_size, oldest);
        if (check == vt::JobCheck::Forged || check == vt::JobCheck::Expired ||
            (check == vt::JobCheck::Unsigned && !VT_ACCEPT_UNSIGNED_JOBS)) {
            refuse_job(check);
            return nullptr;
        }
        if (vt::is_batch(payload, payload_size)) {
            run_batch(job, context, payload, payload_size);
            return nullptr;
        }
        std::string message = payload ? up_to_nul(payload, payload_size) : std::string();
        vt::MessageId id;
        vt_take_message_id(message, &id);
        if (message.empty())
            return nullptr;
        /* A message with an identity is recorded as carried out with what it did, which a batch
         * runner does: it goes there as a batch of one. */
        if (batch_runner && id.valid()) {
            batch_runner(registered_queue, {message}, {id});
            return nullptr;
        }
        return run_message(job, context, message, id, result_size, ret_ptr);
    } catch (...) {
        current_message = nullptr;
        current_id = vt::MessageId();
        vt::log_caught("job");
    }
    return nullptr;
}

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
    job_function = fn;
    registered_queue = queue;
    if (gearman_worker_add_function(gearman_worker, queue, 0, serve_job, nullptr) != GEARMAN_SUCCESS) {
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
    if (current_message)
        return up_to_nul(current_message->data(), current_message->size());
    const char *data = static_cast<const char *>(gearman_job_workload(job));
    size_t size = gearman_job_workload_size(job);
    if (!data)
        return std::string();
    return up_to_nul(data, size);
}

const vt::MessageId &vt_job_message_id()
{
    return current_id;
}

bool vt_take_message_id(std::string &message, vt::MessageId *id)
{
    vt::MessageId found;
    const size_t at = vt::parse_message_id(message.data(), message.size(), &found);
    if (id)
        *id = at ? std::move(found) : vt::MessageId();
    if (at == 0)
        return false;
    message.erase(0, at);
    return true;
}

void vt_set_batch_runner(vt_batch_runner runner)
{
    batch_runner = runner;
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
