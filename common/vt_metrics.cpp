/* Counters of the daemon's processes, kept in memory they all share and served as Prometheus text. */
#include "vt_metrics.h"
#include "vt_util.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <sys/mman.h>

namespace vt::metrics {
namespace {

/* Counters live in a shared anonymous mapping: the children are single-threaded processes, so
 * they add with atomic operations on the same pages and need neither a lock nor a thread or a
 * pipe to the supervisor. A child killed in the middle of an addition loses nothing but its
 * own pending increment. */
using Counter = std::atomic<uint64_t>;
static_assert(Counter::is_always_lock_free, "counters must be lock-free to be shared between processes");

constexpr double kBatchBounds[] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
constexpr double kAgeBounds[] = {1, 2, 5, 10, 30, 60, 300, 900, 3600, 21600, 86400};
constexpr size_t kBatchBuckets = sizeof kBatchBounds / sizeof kBatchBounds[0];
constexpr size_t kAgeBuckets = sizeof kAgeBounds / sizeof kAgeBounds[0];

template <size_t N>
struct Histogram {
    Counter buckets[N];  /* not cumulative: rendering adds them up */
    Counter count;
    Counter sum_us;

    void observe(const double (&bounds)[N], double seconds) noexcept
    {
        if (seconds < 0)
            seconds = 0;
        size_t i = 0;
        while (i < N && seconds > bounds[i])
            ++i;
        if (i < N)
            buckets[i].fetch_add(1, std::memory_order_relaxed);
        count.fetch_add(1, std::memory_order_relaxed);
        sum_us.fetch_add(static_cast<uint64_t>(seconds * 1e6), std::memory_order_relaxed);
    }
};

struct PerQueue {
    Counter taken, messages, failed;
    Counter refused[kRefusals];
    Counter last_signed_at, last_taken_at;
    Histogram<kBatchBuckets> batch;
    Histogram<kAgeBuckets> wait, age_done;
};

struct Block {
    PerQueue queues[kQueues];
    Counter values, commands, commands_failed, retention_rows;
    Counter restarts[kChildren];
};

Block local_block{};
Block *block = &local_block;
int my_queue = -1;

const char *const kQueueNames[kQueues] = {"vtdb_vtstatus", "vtdb_statuspri", "vtdb_perfdata", "vtdb_notify"};
const char *const kRefusalNames[kRefusals] = {"unsigned", "bad_signature", "expired", "oversized", "too_many_messages"};
const char *const kChildNames[kChildren] = {"command_relay", "replay", "statuspri_worker", "perfdata_worker",
                                            "notify_worker", "status_worker", "retention", "metrics"};

PerQueue *mine() noexcept
{
    return my_queue >= 0 ? &block->queues[my_queue] : nullptr;
}

double now_seconds() noexcept
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

uint64_t get(const Counter &c)
{
    return c.load(std::memory_order_relaxed);
}

void family(std::string &out, const char *name, const char *type, const char *help)
{
    out += vt::format("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

template <size_t N>
void histogram(std::string &out, const char *name, const std::string &labels, const Histogram<N> &h,
               const double (&bounds)[N])
{
    uint64_t cumulative = 0;
    for (size_t i = 0; i < N; ++i) {
        cumulative += get(h.buckets[i]);
        out += vt::format("%s_bucket{%s,le=\"%g\"} %llu\n", name, labels.c_str(), bounds[i],
                          static_cast<unsigned long long>(cumulative));
    }
    /* The count is read last: +Inf must never be below a bucket that an addition racing with
     * this page already reached. */
    const uint64_t count = std::max(cumulative, get(h.count));
    out += vt::format("%s_bucket{%s,le=\"+Inf\"} %llu\n", name, labels.c_str(), static_cast<unsigned long long>(count));
    out += vt::format("%s_sum{%s} %.6f\n", name, labels.c_str(), get(h.sum_us) / 1e6);
    out += vt::format("%s_count{%s} %llu\n", name, labels.c_str(), static_cast<unsigned long long>(count));
}

std::string queue_label(int q)
{
    return vt::format("queue=\"%s\"", kQueueNames[q]);
}

}  // namespace

void init() noexcept
{
    void *p = mmap(nullptr, sizeof(Block), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return; /* counts stay per process: the page then shows only the supervisor's own */
    block = new (p) Block{};
}

void set_queue(const char *queue) noexcept
{
    my_queue = -1;
    for (int q = 0; queue && q < kQueues; ++q)
        if (std::strcmp(queue, kQueueNames[q]) == 0)
            my_queue = q;
}

void job_taken(time_t signed_at) noexcept
{
    PerQueue *q = mine();
    if (!q)
        return;
    q->taken.fetch_add(1, std::memory_order_relaxed);
    if (signed_at <= 0)
        return;
    const double now = now_seconds();
    q->wait.observe(kAgeBounds, now - static_cast<double>(signed_at));
    q->last_signed_at.store(static_cast<uint64_t>(signed_at), std::memory_order_relaxed);
    q->last_taken_at.store(static_cast<uint64_t>(now), std::memory_order_relaxed);
}

void job_refused(Refusal why) noexcept
{
    if (PerQueue *q = mine())
        q->refused[why].fetch_add(1, std::memory_order_relaxed);
}

void job_done(size_t messages, double seconds, time_t signed_at) noexcept
{
    PerQueue *q = mine();
    if (!q)
        return;
    q->messages.fetch_add(messages, std::memory_order_relaxed);
    q->batch.observe(kBatchBounds, seconds);
    if (signed_at > 0)
        q->age_done.observe(kAgeBounds, now_seconds() - static_cast<double>(signed_at));
}

void message_failed() noexcept
{
    if (PerQueue *q = mine())
        q->failed.fetch_add(1, std::memory_order_relaxed);
}

void values_stored(uint64_t n) noexcept
{
    block->values.fetch_add(n, std::memory_order_relaxed);
}

void command_run(bool failed) noexcept
{
    block->commands.fetch_add(1, std::memory_order_relaxed);
    if (failed)
        block->commands_failed.fetch_add(1, std::memory_order_relaxed);
}

void child_restarted(Child kind) noexcept
{
    if (kind >= 0 && kind < kChildren)
        block->restarts[kind].fetch_add(1, std::memory_order_relaxed);
}

void retention_deleted(uint64_t rows) noexcept
{
    block->retention_rows.fetch_add(rows, std::memory_order_relaxed);
}

std::string render(const Waiting &waiting, time_t now)
{
    std::string out;
    out.reserve(16384);
    const Block &b = *block;
    auto per_queue = [&](const char *name, const char *help, const Counter PerQueue::*member) {
        family(out, name, "counter", help);
        for (int q = 0; q < kQueues; ++q)
            out += vt::format("%s{%s} %llu\n", name, queue_label(q).c_str(),
                              static_cast<unsigned long long>(get(b.queues[q].*member)));
    };
    per_queue("vantor_jobs_taken_total", "Jobs the workers took off the job servers.", &PerQueue::taken);
    family(out, "vantor_jobs_refused_total", "counter", "Jobs refused without carrying out any of their messages.");
    for (int q = 0; q < kQueues; ++q)
        for (int r = 0; r < kRefusals; ++r)
            out += vt::format("vantor_jobs_refused_total{%s,reason=\"%s\"} %llu\n", queue_label(q).c_str(),
                              kRefusalNames[r], static_cast<unsigned long long>(get(b.queues[q].refused[r])));
    per_queue("vantor_messages_total", "Messages (statements, records, commands) of accepted jobs carried out or kept.",
              &PerQueue::messages);
    per_queue("vantor_messages_failed_total",
              "Statements and records that failed and were kept in a failed-SQL file instead.", &PerQueue::failed);

    family(out, "vantor_batch_seconds", "histogram", "Time a worker took to carry out one job.");
    for (int q = 0; q < kQueues; ++q)
        histogram(out, "vantor_batch_seconds", queue_label(q), b.queues[q].batch, kBatchBounds);
    family(out, "vantor_job_wait_seconds", "histogram",
           "Time from a job's signing by the module to its taking by a worker (to the second).");
    for (int q = 0; q < kQueues; ++q)
        histogram(out, "vantor_job_wait_seconds", queue_label(q), b.queues[q].wait, kAgeBounds);
    family(out, "vantor_event_to_done_seconds", "histogram",
           "Time from a job's signing by the module (its events' time) until its rows were written (to the second).");
    for (int q = 0; q < kQueues; ++q)
        histogram(out, "vantor_event_to_done_seconds", queue_label(q), b.queues[q].age_done, kAgeBounds);

    /* Jobs leave a queue oldest first: the job a worker took last was the oldest waiting when
     * it was taken. Since then the oldest waiting job has aged by the time gone by, if any waits
     * (check_vantor tells whether one does). */
    family(out, "vantor_oldest_job_age_seconds", "gauge",
           "Age of the job a worker of the queue took last, when taken, plus the time since then.");
    for (int q = 0; q < kQueues; ++q) {
        const uint64_t signed_at = get(b.queues[q].last_signed_at);
        const long long age = signed_at ? static_cast<long long>(now) - static_cast<long long>(signed_at) : 0;
        out += vt::format("vantor_oldest_job_age_seconds{%s} %lld\n", queue_label(q).c_str(), std::max(age, 0LL));
    }
    family(out, "vantor_last_job_taken_timestamp_seconds", "gauge", "When a worker of the queue last took a job.");
    for (int q = 0; q < kQueues; ++q)
        out += vt::format("vantor_last_job_taken_timestamp_seconds{%s} %llu\n", queue_label(q).c_str(),
                          static_cast<unsigned long long>(get(b.queues[q].last_taken_at)));

    family(out, "vantor_values_stored_total", "counter", "Performance values stored in the value tables.");
    out += vt::format("vantor_values_stored_total %llu\n", static_cast<unsigned long long>(get(b.values)));
    family(out, "vantor_notification_commands_total", "counter", "Notification commands run.");
    out += vt::format("vantor_notification_commands_total %llu\n", static_cast<unsigned long long>(get(b.commands)));
    family(out, "vantor_notification_commands_failed_total", "counter",
           "Notification commands that could not start, exited non-zero or ran out of time.");
    out += vt::format("vantor_notification_commands_failed_total %llu\n",
                      static_cast<unsigned long long>(get(b.commands_failed)));
    family(out, "vantor_child_restarts_total", "counter", "Children of the daemon restarted after they ended.");
    for (int c = 0; c < kChildren; ++c)
        out += vt::format("vantor_child_restarts_total{kind=\"%s\"} %llu\n", kChildNames[c],
                          static_cast<unsigned long long>(get(b.restarts[c])));
    family(out, "vantor_retention_rows_deleted_total", "counter", "Rows the retention deleted.");
    out += vt::format("vantor_retention_rows_deleted_total %llu\n", static_cast<unsigned long long>(get(b.retention_rows)));
    family(out, "vantor_dump_files_waiting", "gauge", "Dump files waiting in the delayed-messages folder.");
    out += vt::format("vantor_dump_files_waiting %llu\n", static_cast<unsigned long long>(waiting.files));
    family(out, "vantor_dump_bytes_waiting", "gauge", "Bytes of the dump files waiting in the delayed-messages folder.");
    out += vt::format("vantor_dump_bytes_waiting %llu\n", static_cast<unsigned long long>(waiting.bytes));
    return out;
}

}  // namespace vt::metrics
