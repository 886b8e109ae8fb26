/* Job-server worker frame shared by every queue worker of the daemon. */
#include "vt_worker.h"
#include "vt_batch.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_metrics.h"
#include "vt_sign.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <cstdlib>
#include <csignal>
#include <cstring>
#include <cstdint>
#include <ctime>
#include <unistd.h>

gearman_worker_st *gearman_worker = nullptr;

namespace {
constexpr int kIdleWakeupMs = 1000;

/* The registered queue's job function and batch runner (one queue per process). */
gearman_worker_fn *job_function = nullptr;
vt_batch_runner batch_runner = nullptr;
int stop_after_job = 0; /* a stop signal held back during the last job */
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

/* A job whose signature did not verify, or one larger than any the module sends, is dropped;
 * the log says so at most once a minute per process, with how many this worker has dropped,
 * so that a flood of them cannot fill it. why is built only when the line is written. */
template <class Why>
void refuse_job(vt::metrics::Refusal kind, Why &&why)
{
    static unsigned long refused = 0;
    static time_t logged = 0;
    ++refused;
    vt::metrics::job_refused(kind);
    const time_t now = time(nullptr);
    if (logged != 0 && now >= logged && now - logged < kRefusalLogSeconds)
        return;
    logged = now;
    vt_logf("ERROR %s: job refused, %s (%lu refused by this worker since it started)", registered_queue.c_str(),
            why().c_str(), refused);
}

size_t max_job_bytes()
{
    return VT_MAX_JOB_BYTES > 0 ? static_cast<size_t>(VT_MAX_JOB_BYTES) : vt::kLargestJobBytes;
}

/* Runs the messages of a batch: all of them, each stopping at an embedded NUL, the empty
 * ones skipped. A batch of more messages than the module ever puts into one is dropped whole:
 * nothing the module sent looks like that, and it would hold the worker for as long as its
 * sender liked. */
size_t run_batch(gearman_job_st *job, void *context, const char *data, size_t size)
{
    size_t count = 0;
    vt::for_each_message(data, size, [&](const char *, size_t) { ++count; });
    if (count > vt::kBatchMessages) {
        vt::metrics::job_refused(vt::metrics::kTooManyMessages);
        vt_logf("ERROR %s: a batch job of %zu messages (more than %zu) is dropped whole", registered_queue.c_str(),
                count, vt::kBatchMessages);
        return 0;
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
        return messages.size();
    }
    for (size_t i = 0; i < messages.size(); ++i) {
        size_t ignored_size = 0;
        gearman_return_t ignored_ret = GEARMAN_SUCCESS;
        std::free(run_message(job, context, messages[i], ids[i], &ignored_size, &ignored_ret));
    }
    return messages.size();
}

/* The time stamp a signed job's authenticator covers, 0 for a job without an envelope. */
time_t signed_time(const char *data, size_t size)
{
    if (!data || size < vt::kSignedOverhead || std::memcmp(data, vt::kSignedHeader, vt::kSignedHeaderSize - 1) != 0)
        return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(data + vt::kSignedHeaderSize + vt::kJobMacSize);
    uint64_t t = 0;
    for (int i = 0; i < 8; ++i)
        t = (t << 8) | p[i];
    return static_cast<time_t>(t);
}

double seconds_since(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
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
        /* Measured before anything looks at the bytes: a job no module makes is neither copied
         * nor authenticated, however large its sender made it. */
        const size_t whole = gearman_job_workload_size(job);
        if (whole > max_job_bytes()) {
            vt::metrics::job_taken(0);
            refuse_job(vt::metrics::kOversized, [&] {
                return vt::format("it is %zu bytes, more than the %zu of max_job_bytes", whole, max_job_bytes());
            });
            return nullptr;
        }
        const char *data = static_cast<const char *>(gearman_job_workload(job));
        const size_t size = data ? whole : 0;
        const char *payload = nullptr;
        size_t payload_size = 0;
        /* Beyond the window nothing a worker carried out is remembered any more: a copy of a job
         * kept that long must not run again. */
        const time_t oldest =
            VT_MESSAGE_WINDOW_DAYS > 0 ? time(nullptr) - static_cast<time_t>(VT_MESSAGE_WINDOW_DAYS) * 86400 : 0;
        const vt::JobCheck check =
            vt::open_job(registered_queue.c_str(), data, size, &payload, &payload_size, oldest);
        const time_t signed_at = check == vt::JobCheck::Signed ? signed_time(data, size) : 0;
        vt::metrics::job_taken(signed_at);
        if (check == vt::JobCheck::Forged || check == vt::JobCheck::Expired ||
            (check == vt::JobCheck::Unsigned && !VT_ACCEPT_UNSIGNED_JOBS)) {
            refuse_job(check == vt::JobCheck::Unsigned  ? vt::metrics::kUnsigned
                       : check == vt::JobCheck::Expired ? vt::metrics::kExpired
                                                        : vt::metrics::kBadSignature,
                       [&] { return std::string("it carries ") + vt::job_check_text(check); });
            return nullptr;
        }
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        if (vt::is_batch(payload, payload_size)) {
            const size_t ran = run_batch(job, context, payload, payload_size);
            if (ran)
                vt::metrics::job_done(ran, seconds_since(start), signed_at);
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
            vt::metrics::job_done(1, seconds_since(start), signed_at);
            return nullptr;
        }
        void *result = run_message(job, context, message, id, result_size, ret_ptr);
        vt::metrics::job_done(1, seconds_since(start), signed_at);
        return result;
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

/* The servers a worker registers with, as "host:port, ...", for its failure lines. */
std::string job_server_names(bool priority)
{
    if (priority)
        return vt::format("127.0.0.1:%d", VANTOR_GEARMAN_PORT);
    std::string out;
    for (job_server_node *n = job_servers_root; n; n = n->next)
        out += vt::format("%s%s:%d", out.empty() ? "" : ", ", n->host, n->port > 0 ? n->port : VANTOR_GEARMAN_PORT);
    return out.empty() ? "none listed" : out;
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
    vt::metrics::set_queue(queue);
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
                if (stop_after_job != 0)
                    raise(stop_after_job);
            }
            if (vt_throttle_allows(1)) {
                // The first line keeps the words that log watchers know; the second names
                // this worker's own queue and what to do.
                vt_logf("ERROR worker could not crete queue file vtdb_pri %s", worker_error());
                vt_logf("ERROR %s worker lost its job servers (%s): %s; start gearmand or correct vtcfg.job_servers, "
                        "retrying every %.1f s",
                        queue, job_server_names(std::strcmp(queue, "vtdb_statuspri") == 0).c_str(), worker_error(),
                        sleep_time);
            }
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

void vt_worker_stop_after_job(int sig)
{
    stop_after_job = sig;
}

void vt_set_batch_runner(vt_batch_runner runner)
{
    batch_runner = runner;
}

extern "C" pid_t vt_start_queue_worker(const char *queue, gearman_worker_fn *fn, const char *fork_error,
                                       void (*prepare)(void), void (*after_start)(void))
{
    /* A child that fails logs it and ends, and the supervisor starts another. */
    const std::string what = std::string(queue) + " worker";
    return vt_fork_child(what.c_str(), fork_error, [&] {
        db_connect();
        if (prepare)
            prepare();
        vt_logf("processing %s queue - pid %d", queue, static_cast<int>(getpid()));
        if (after_start)
            after_start();
        vt_run_worker_gearman(queue, fn);
        return 0;
    }, DEBUG != 0);
}
