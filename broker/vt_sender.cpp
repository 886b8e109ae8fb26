/* The module's sender thread: groups the engine's jobs per queue and submits them as batches. */
#include "vt_sender.h"
#include "vt_batch.h"
#include "vt_delayed.h"
#include "vt_log.h"
#include "vt_util.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Item {
    std::string queue;
    std::string text;
    vt::Priority prio;
    Clock::time_point at;
};

/* Only the daemon's own workers take batches apart. The event-guard queue is read by a
 * consumer outside the system, and a notification command may run for a minute, so a batch
 * of them would hold back the other notification workers: those leave one message a job. */
bool batched_queue(const std::string &queue)
{
    return queue == "vtdb_vtstatus" || queue == "vtdb_perfdata" || queue == "vtdb_statuspri";
}

struct Sender {
    std::mutex m;  /* guards everything below */
    std::condition_variable wake;
    std::deque<Item> pending;
    size_t pending_bytes = 0;
    size_t delivering_bytes = 0;  /* of the jobs being submitted: they count against the bound too */
    bool sleeping = false;   /* waiting for a first job */
    bool lingering = false;  /* waiting for more jobs to join the first */
    bool stopping = false;
    bool busy = false;  /* submitting or probing, outside the lock */
    bool held = false;  /* told to start nothing new (a fork is coming) */
    bool parked = false;  /* held between two submissions of a delivery */
    bool running = false;  /* the thread has set itself up and reached its loop */
    std::condition_variable idle;
    pthread_t thread{};
};

/* Set and cleared on the engine's thread only; a forked child forgets it. */
Sender *sender = nullptr;
std::mutex delayed_lock;
/* Jobs handed to the sender and neither accepted by the job server nor delayed yet. */
std::atomic<long> in_sender{0};

/* From this time on (set when the sender is told to stop) held jobs go to the delayed queue;
 * read before every submission, also of a delivery that began before the stop. */
std::atomic<Clock::rep> stop_deadline{Clock::time_point::max().time_since_epoch().count()};

bool past_stop_deadline()
{
    return Clock::now().time_since_epoch().count() >= stop_deadline.load();
}

/* Sender-thread state. */
thread_local Sender *own_sender = nullptr;  /* set on the sender's thread only */
bool breaker_open = false;
Clock::time_point breaker_until;

/* Refused messages join the delayed queue in their order; they leave the sender's count in
 * the same step, so that the number of undelivered messages is never seen short. */
void delay(const std::vector<const Item *> &items, int rc)
{
    std::lock_guard<std::mutex> g(delayed_lock);
    for (const Item *it : items)
        push_msg(it->queue.c_str(), it->text.c_str(), rc);
    in_sender -= static_cast<long>(items.size());
}

/* The job text of a batch: a lone message goes as itself, byte for byte as before. */
std::string payload_of(const std::vector<const char *> &texts, const std::vector<size_t> &sizes)
{
    if (texts.size() == 1)
        return std::string(texts[0], sizes[0]);
    std::string batch;
    for (size_t i = 0; i < texts.size(); ++i)
        vt::batch_append(batch, texts[i], sizes[i]);
    return batch;
}

gearman_return_t send(const std::string &queue, vt::Priority prio, const std::string &payload)
{
    return vt::submit_payload(prio, queue.c_str(), payload.data(), payload.size());
}

/* Between two submissions of one delivery: while a fork is coming, the sender waits here,
 * outside every library, instead of going on to the next submission. A delivery may hold
 * many batches (or a long delayed queue), far longer than the forking thread should wait. */
void park_if_held()
{
    Sender *s = own_sender;
    if (!s)
        return;
    std::unique_lock<std::mutex> lk(s->m);
    if (!s->held || s->stopping)
        return;
    s->parked = true;
    s->idle.notify_all();
    s->wake.wait(lk, [s] { return !s->held || s->stopping; });
    s->parked = false;
}

/* Whether the delayed queue's head still is the message seen as m (same record, same
 * content, same time): only then is it the one that was sent. */
bool still_head(const delayed_msg *m, const std::string &queue, const std::string &job, const struct timeval &queued)
{
    const delayed_msg *h = get_root();
    return h == m && h->queue && h->job && h->queued && queue == h->queue && job == h->job &&
           h->queued->tv_sec == queued.tv_sec && h->queued->tv_usec == queued.tv_usec;
}

/* Re-sends delayed messages oldest first at normal priority, consecutive messages of one
 * queue in one batch, until one is refused (silently, the client kept) or none is left. The
 * lock is not held while submitting: the messages stay queued until the server took them.
 * Returns the code of the last submission (success when nothing was left to send). */
gearman_return_t flush_delayed()
{
    for (;;) {
        park_if_held();
        struct Seen {
            const delayed_msg *m;
            std::string queue, job;
            struct timeval queued;
        };
        std::vector<Seen> seen;
        std::string payload;
        {
            std::lock_guard<std::mutex> g(delayed_lock);
            const delayed_msg *m = get_root();
            if (!m)
                return GEARMAN_SUCCESS;
            const std::string queue = m->queue;
            const size_t most = batched_queue(queue) ? vt::kBatchMessages : 1;
            size_t bytes = 0;
            std::vector<const char *> texts;
            std::vector<size_t> sizes;
            for (; m && seen.size() < most && queue == m->queue && (seen.empty() || bytes < vt::kBatchBytes);
                 m = m->next) {
                seen.push_back({m, m->queue, m->job, *m->queued});
                texts.push_back(m->job);
                sizes.push_back(std::strlen(m->job));
                bytes += sizes.back();
            }
            payload = payload_of(texts, sizes);
        }
        const gearman_return_t rc = send(seen.front().queue, vt::Priority::normal, payload);
        if (rc != GEARMAN_SUCCESS)
            return rc;
        std::lock_guard<std::mutex> g(delayed_lock);
        for (const Seen &s : seen) {
            /* dumped meanwhile (the dump command, a full queue): sent and dumped, never lost */
            if (!still_head(s.m, s.queue, s.job, s.queued))
                break;
            destroy_delayed(pop_msg());
        }
    }
}

void open_breaker()
{
    breaker_open = true;
    breaker_until = Clock::now() + milliseconds(vt::kBreakerMs);
}

/* While the breaker is open and no job comes that could probe, the delayed queue probes:
 * otherwise what was delayed meanwhile would wait for the next job after the server is back.
 * Another timeout keeps the breaker open; a quick refusal closes it (the next accepted job
 * flushes, as after any refusal). */
void probe_with_delayed()
{
    const Clock::time_point t0 = Clock::now();
    const gearman_return_t rc = flush_delayed();
    if (rc == GEARMAN_SUCCESS) {
        breaker_open = false;
        return;
    }
    if (rc == GEARMAN_TIMEOUT || Clock::now() - t0 >= milliseconds(vt::kBreakerMs)) {
        vt::report_refusal_and_rebuild("timeout of a probe (jobs go to the delayed queue, one probe a second)");
        open_breaker();
        return;
    }
    breaker_open = false;
    vt::report_refusal_and_rebuild(nullptr);
}

struct Batch {
    const std::string *queue;
    vt::Priority prio;
    std::vector<const Item *> items;
    size_t bytes = 0;
};

/* Submits one batch; what is not accepted goes to the delayed queue. A timeout opens the
 * breaker: for a second batches go straight to the delayed queue, then the next one probes. */
void deliver_batch(const Batch &b)
{
    const Clock::time_point now = Clock::now();
    if (past_stop_deadline()) {  /* unloading: what is left is kept for the dump */
        delay(b.items, GEARMAN_TIMEOUT);
        return;
    }
    if (breaker_open && now < breaker_until) {
        delay(b.items, GEARMAN_TIMEOUT);
        if (vt_throttle_allows(1))
            vt_write_to_log("vt_send_gearman_job job server not answering: jobs go to the delayed queue until a probe is accepted");
        return;
    }
    std::vector<const char *> texts;
    std::vector<size_t> sizes;
    for (const Item *it : b.items) {
        texts.push_back(it->text.data());
        sizes.push_back(it->text.size());
    }
    const std::string payload = payload_of(texts, sizes);
    const Clock::time_point t0 = Clock::now();
    const gearman_return_t rc = send(*b.queue, b.prio, payload);
    if (rc == GEARMAN_SUCCESS) {
        breaker_open = false;
        in_sender -= static_cast<long>(b.items.size());
        if (b.prio == vt::Priority::normal) {
            try {
                flush_delayed();  /* what it could not send stays delayed */
            } catch (...) {
                vt::log_caught("sender flush");
            }
        }
        return;
    }
    delay(b.items, rc);
    const bool timed_out = rc == GEARMAN_TIMEOUT || Clock::now() - t0 >= milliseconds(vt::kBreakerMs);
    if (!timed_out) {
        vt::report_refusal_and_rebuild(nullptr);
        return;
    }
    open_breaker();
    const char *why = gearman_client ? gearman_client_error(gearman_client) : nullptr;
    vt::report_refusal_and_rebuild(
        vt::format("%s (jobs go to the delayed queue, one probe a second)", why ? why : "timeout").c_str());
}

/* Groups the jobs per queue and priority in their order (a queue's batches are submitted
 * in the order of their first jobs, so each queue keeps the engine's order) and submits them.
 * Whatever an exception leaves unsubmitted is delayed, never dropped. */
void deliver(const std::deque<Item> &work) noexcept
{
    size_t handled = 0;  /* set once every item has been delivered or delayed */
    try {
        std::vector<Batch> batches;
        std::vector<std::pair<const std::string *, size_t>> newest;  /* each queue's open batch */
        for (const Item &it : work) {
            auto open = newest.begin();
            while (open != newest.end() && *open->first != it.queue)
                ++open;
            const size_t most = batched_queue(it.queue) ? vt::kBatchMessages : 1;
            bool fits = false;
            if (open != newest.end()) {
                const Batch &c = batches[open->second];
                fits = c.prio == it.prio && c.items.size() < most && c.bytes + it.text.size() <= vt::kBatchBytes;
            }
            if (!fits) {
                if (open == newest.end())
                    open = newest.insert(newest.end(), {&it.queue, 0});
                open->second = batches.size();
                batches.push_back(Batch{&it.queue, it.prio, {}, 0});
            }
            Batch &b = batches[open->second];
            b.items.push_back(&it);
            b.bytes += it.text.size();
        }
        std::vector<bool> done(batches.size(), false);
        try {
            for (size_t i = 0; i < batches.size(); ++i) {
                park_if_held();
                deliver_batch(batches[i]);
                done[i] = true;
            }
        } catch (...) {
            vt::log_caught("sender");
            for (size_t i = 0; i < batches.size(); ++i)
                if (!done[i])
                    delay(batches[i].items, GEARMAN_MEMORY_ALLOCATION_FAILURE);
        }
        handled = work.size();
    } catch (...) {
        vt::log_caught("sender");
    }
    if (handled == work.size())
        return;
    /* grouping itself failed: every message goes to the delayed queue as it is */
    std::lock_guard<std::mutex> g(delayed_lock);
    for (const Item &it : work)
        push_msg(it.queue.c_str(), it.text.c_str(), GEARMAN_MEMORY_ALLOCATION_FAILURE);
    in_sender -= static_cast<long>(work.size());
}

void *run(void *arg)
{
    Sender &s = *static_cast<Sender *>(arg);
    own_sender = &s;  /* the first use of this library's thread-local storage allocates it */
    std::unique_lock<std::mutex> lk(s.m);
    s.running = true;
    s.idle.notify_all();
    for (;;) {
        if (s.pending.empty() && breaker_open && !s.stopping) {
            s.sleeping = true;
            s.wake.wait_until(lk, breaker_until, [&] { return !s.pending.empty() || s.stopping; });
            s.sleeping = false;
            if (s.pending.empty() && !s.stopping && !s.held && Clock::now() >= breaker_until) {
                s.busy = true;
                lk.unlock();
                probe_with_delayed();
                lk.lock();
                s.busy = false;
                s.idle.notify_all();
            }
            continue;
        }
        if (s.pending.empty()) {
            if (s.stopping)
                return nullptr;
            s.sleeping = true;
            s.wake.wait(lk, [&] { return !s.pending.empty() || s.stopping; });
            s.sleeping = false;
            continue;
        }
        if (!s.stopping && s.pending.size() < vt::kBatchMessages) {
            const Clock::time_point due = s.pending.front().at + milliseconds(vt::kBatchLingerMs);
            if (Clock::now() < due) {
                s.lingering = true;
                s.wake.wait_until(lk, due, [&] { return s.stopping || s.pending.size() >= vt::kBatchMessages; });
                s.lingering = false;
                continue;
            }
        }
        if (s.held && !s.stopping) {
            s.wake.wait(lk, [&] { return !s.held || s.stopping; });
            continue;
        }
        std::deque<Item> work;
        work.swap(s.pending);
        const size_t work_bytes = s.pending_bytes;
        s.pending_bytes = 0;
        s.delivering_bytes = work_bytes;
        s.busy = true;
        lk.unlock();
        deliver(work);
        work.clear();
        lk.lock();
        s.busy = false;
        s.delivering_bytes = 0;
        s.idle.notify_all();
    }
}

/* A fork taken while the sender holds a lock would leave the child a lock nobody releases:
 * the forking thread takes both locks first. The child (the initial-state walk, or any
 * command the engine starts) has no sender: its submissions are synchronous, through a
 * client of its own, and the parent's held jobs stay the parent's to deliver. */
void before_fork()
{
    delayed_lock.lock();
    if (sender)
        sender->m.lock();
}

void after_fork_in_parent()
{
    if (sender)
        sender->m.unlock();
    delayed_lock.unlock();
}

void after_fork_in_child()
{
    if (sender)
        sender->m.unlock();
    delayed_lock.unlock();
    sender = nullptr;  /* abandoned: its thread does not exist here */
    in_sender = 0;
    breaker_open = false;
}

/* The engine's thread when the sender's queue is full: what a refusal does, without waiting
 * and without touching the client, which is the sender's. */
int refuse_full(const char *queue, const char *text)
{
    {
        std::lock_guard<std::mutex> g(delayed_lock);
        push_msg(queue, text, GEARMAN_QUEUE_ERROR);
    }
    if (vt_throttle_allows(1))
        vt_logf("vt_send_gearman_job the sender's queue is full (%ld bytes): job kept in the delayed queue",
                static_cast<long>(VT_SENDER_MAX_BYTES));
    return GEARMAN_QUEUE_ERROR;
}

}  // namespace

void vt::sender_hold(bool on) noexcept
{
    if (!sender)
        return;
    std::unique_lock<std::mutex> lk(sender->m);
    sender->held = on;
    if (on)
        sender->idle.wait_for(lk, milliseconds(vt::kHoldWaitMs), [] { return sender->running && (!sender->busy || sender->parked); });
    else
        sender->wake.notify_all();  /* the parked delivery, or the idle loop */
}

std::mutex &vt::delayed_queue_lock()
{
    return delayed_lock;
}

bool vt::sender_running() noexcept { return sender != nullptr; }

int vt::sender_take(Priority prio, const char *queue, const char *text) noexcept
{
    Sender *s = sender;
    if (!s)
        return kSenderNotRunning;
    try {
        Item item{queue, text, prio, Clock::now()};
        const size_t bytes = item.queue.size() + item.text.size();
        std::unique_lock<std::mutex> g(s->m);
        if (s->pending_bytes + s->delivering_bytes + bytes > static_cast<size_t>(VT_SENDER_MAX_BYTES)) {
            g.unlock();
            return refuse_full(queue, text);
        }
        s->pending.push_back(std::move(item));
        s->pending_bytes += bytes;
        ++in_sender;
        if (s->sleeping || (s->lingering && s->pending.size() >= kBatchMessages)) {
            s->sleeping = false;
            s->lingering = false;
            s->wake.notify_one();
        }
        return 0;
    } catch (...) {
        /* out of memory for the copy: kept as a refused job would be, if that still works */
        std::lock_guard<std::mutex> g(delayed_lock);
        push_msg(queue, text, GEARMAN_MEMORY_ALLOCATION_FAILURE);
        return GEARMAN_MEMORY_ALLOCATION_FAILURE;
    }
}

extern "C" int vt_sender_start(void)
{
    if (sender)
        return 0;
    static bool fork_handlers = false;  /* a library's handlers go with it when it is unloaded */
    if (!fork_handlers) {
        if (int e = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child)) {
            vt_logf("ERROR sender thread not started: pthread_atfork - %s", std::strerror(e));
            return -2;
        }
        fork_handlers = true;
    }
    try {
        auto *s = new Sender;
        breaker_open = false;
        in_sender = 0;
        stop_deadline = Clock::time_point::max().time_since_epoch().count();
        /* The engine's signals stay with the engine's thread. */
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        int e = pthread_create(&s->thread, nullptr, run, s);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (e != 0) {
            delete s;
            vt_logf("ERROR sender thread not started, jobs are submitted from the engine's thread: %s",
                    std::strerror(e));
            return -2;
        }
        pthread_setname_np(s->thread, "vtdb-sender");
        /* A new thread allocates while it sets itself up (the runtime's records, its
         * thread-local storage): a fork before it reached its loop, such as the walk's at
         * the start of the event loop, could inherit the allocator's lock taken. */
        {
            std::unique_lock<std::mutex> lk(s->m);
            if (!s->idle.wait_for(lk, milliseconds(vt::kHoldWaitMs), [s] { return s->running; }))
                vt_write_to_log("vt_sender_start: the sender thread is slow to start");
        }
        sender = s;
        return 0;
    } catch (...) {
        vt::log_caught("vt_sender_start");
        return -2;
    }
}

extern "C" void vt_sender_stop(int grace_ms)
{
    Sender *s = sender;
    if (!s)
        return;
    {
        std::lock_guard<std::mutex> g(s->m);
        s->stopping = true;
        stop_deadline = (Clock::now() + milliseconds(grace_ms > 0 ? grace_ms : 0)).time_since_epoch().count();
        s->wake.notify_one();
    }
    pthread_join(s->thread, nullptr);
    sender = nullptr;
    delete s;
}

extern "C" void vt_sender_hand_over(void)
{
    Sender *s = sender;
    if (!s)
        return;
    std::deque<Item> held;
    {
        std::lock_guard<std::mutex> g(s->m);
        held.swap(s->pending);
        s->pending_bytes = 0;
    }
    std::lock_guard<std::mutex> g(delayed_lock);
    for (const Item &it : held)
        push_msg(it.queue.c_str(), it.text.c_str(), GEARMAN_SUCCESS);
    in_sender -= static_cast<long>(held.size());
}

extern "C" int vt_unaccepted_count(void)
{
    std::lock_guard<std::mutex> g(delayed_lock);
    return static_cast<int>(in_sender.load() + get_count_delayed());
}
