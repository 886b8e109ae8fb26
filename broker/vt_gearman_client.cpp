/* The module's job-server client: background submissions, store-and-forward of refusals. */
#include "vt_gearman_client.h"
#include "vantor_config.h"
#include "vt_batch.h"
#include "vt_delayed.h"
#include "vt_entry_guard.h"
#include "vt_log.h"
#include "vt_message_id.h"
#include "vt_sender.h"
#include "vt_sign.h"
#include "vt_util.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <unistd.h>

gearman_client_st *gearman_client = nullptr;

namespace {

constexpr const char *kServer = "127.0.0.1";
constexpr int kTimeoutMs = 2000;
/* What a submission reports while no client exists (creation or server setup failed). */
constexpr gearman_return_t kNoClient = GEARMAN_NO_SERVERS;
constexpr const char *kNoClientText = "no job-server client";
constexpr const char *kEventGuardQueue = "vt_eventguard";
/* A submission that ended in an exception (out of memory) was not accepted. */
constexpr int kSubmitFailed = GEARMAN_MEMORY_ALLOCATION_FAILURE;

gearman_return_t submit(vt::Priority prio, const char *queue, const char *text)
{
    return vt::submit_payload(prio, queue, text, std::strlen(text));
}

/* The unique id of one job. gearmand merges a background job into a queued one of the same
 * unique id and answers the submission as accepted, so a repeated id loses a job without a
 * trace. The library's own ids are time-based: a process and the children it forks (the
 * initial-state walk) share their clock sequence and node, and make the same id in the same
 * microsecond. Any local user can list the ids of the queued jobs, so an id must not be
 * derived from one seen either (a serial would be): each is 128 bits from the kernel, with the
 * process id and a serial behind them, which keep the ids apart where the kernel has no random
 * bits to give yet. */
std::string job_unique()
{
    static std::atomic<unsigned long long> serial{0};
    return vt::format("vt%016llx%016llx-%x-%llx", vt::random_id_bits(), vt::random_id_bits(),
                      static_cast<unsigned>(getpid()), ++serial);
}

/* The queues whose messages the daemon's workers record as carried out. */
const char *const kIdentifiedQueues[] = {"vtdb_vtstatus", "vtdb_statuspri", "vtdb_perfdata", "vtdb_notify"};
constexpr size_t kIdentifiedCount = sizeof kIdentifiedQueues / sizeof kIdentifiedQueues[0];

/* The identity of this run's messages: a random id and a sequence per queue. A process forked
 * from the engine that submits on its own (the initial-state walk) gets an id of its own at its
 * first message, so that its numbers never meet the engine's. */
struct MessageRun {
    std::atomic<pid_t> pid{0}; /* published after run and seq are set */
    char run[vt::kMessageRunChars + 1] = {};
    std::atomic<unsigned long long> seq[kIdentifiedCount];
};
MessageRun message_run;

void new_message_run()
{
    std::snprintf(message_run.run, sizeof message_run.run, "%016llx", vt::random_id_bits());
    for (auto &s : message_run.seq)
        s = 0;
    message_run.pid.store(getpid(), std::memory_order_release);
}

/* text with its identity in front for the queues the workers record; as it is for the rest. */
std::string identified(const char *queue, const char *text)
{
    for (size_t i = 0; i < kIdentifiedCount; ++i) {
        if (std::strcmp(queue, kIdentifiedQueues[i]) != 0)
            continue;
        if (message_run.pid.load(std::memory_order_acquire) != getpid())
            new_message_run();
        return vt::message_id_prefix(message_run.run, ++message_run.seq[i]) + text;
    }
    return text;
}

/* One submission with store-and-forward: handed to the sender thread while it runs;
 * otherwise made here, a refused job copied into the delayed queue, the failure reported
 * through the error throttle and the client rebuilt so that the next submission starts on a
 * fresh connection. Returns 0 or the library's code. */
int send_job(vt::Priority prio, const char *queue, const char *text)
{
    if (!queue || !text)
        return GEARMAN_INVALID_ARGUMENT;
    const std::string job = identified(queue, text);
    text = job.c_str();
    int handed = vt::sender_take(prio, queue, text);
    if (handed != vt::kSenderNotRunning)
        return handed;
    gearman_return_t rc = submit(prio, queue, text);
    if (rc == GEARMAN_SUCCESS) {
        if (prio == vt::Priority::normal)
            ff_delayed_msgs();
        return 0;
    }
    push_msg(queue, text, rc);
    vt::report_refusal_and_rebuild(nullptr);
    return rc;
}

struct ClientFree {
    void operator()(gearman_client_st *c) const noexcept { gearman_client_free(c); }
};
using ClientPtr = std::unique_ptr<gearman_client_st, ClientFree>;

void connect_client()
{
    vt_disconnect_gearman();
    ClientPtr client(gearman_client_create(nullptr));
    if (!client) {
        if (vt_throttle_allows(1))
            vt_write_to_log("gearman_client_create Memory allocation failure on client creation");
        return;
    }
    if (gearman_client_add_server(client.get(), kServer, VANTOR_GEARMAN_PORT) != GEARMAN_SUCCESS) {
        const char *why = gearman_client_error(client.get());
        vt_write_to_log(why ? why : "gearman_client_add_server failed");
        return;
    }
    gearman_client_set_timeout(client.get(), kTimeoutMs);
    gearman_client = client.release();
    /* tested against the throttle without advancing it: quiet while failures are reported */
    if (vt_throttle_allows(0))
        vt_write_to_log("connected to gearman server 127.0.0.1");
}

}  // namespace

gearman_return_t vt::submit_payload(Priority prio, const char *queue, const char *data, size_t size)
{
    if (!gearman_client)
        return kNoClient;
    /* Signed here, where every job of the module passes (on the sender's thread while it
     * runs, so the engine's thread pays nothing); the event-guard records go as they are, their
     * reader lies outside the system. */
    std::string job;
    if (std::strcmp(queue, kEventGuardQueue) != 0) {
        try {
            job = vt::sign_job(queue, data, size);
        } catch (const std::bad_alloc &) {
            return GEARMAN_MEMORY_ALLOCATION_FAILURE;
        }
        data = job.data();
        size = job.size();
    }
    std::string unique;
    try {
        unique = job_unique();
    } catch (const std::bad_alloc &) {
        return GEARMAN_MEMORY_ALLOCATION_FAILURE;
    }
    gearman_job_handle_t handle;  /* the server's handle is not kept */
    switch (prio) {
    case Priority::low:
        return gearman_client_do_low_background(gearman_client, queue, unique.c_str(), data, size, handle);
    case Priority::high:
        return gearman_client_do_high_background(gearman_client, queue, unique.c_str(), data, size, handle);
    case Priority::normal:
        break;
    }
    return gearman_client_do_background(gearman_client, queue, unique.c_str(), data, size, handle);
}

void vt::report_refusal_and_rebuild(const char *why)
{
    if (vt_throttle_allows(1)) {
        if (!why)
            why = gearman_client ? gearman_client_error(gearman_client) : kNoClientText;
        vt_logf("vt_send_gearman_job %s", why ? why : "");  /* noexcept: out of memory keeps the job all the same */
    }
    vt_disconnect_gearman();
    vt_connect_gearman();
}

/* Exactly one client per process: an existing one is released before the new one is made.
 * On any failure gearman_client stays NULL. */
extern "C" void vt_connect_gearman(void)
{
    vt::guard_entry("vt_connect_gearman", connect_client);
}

extern "C" void vt_disconnect_gearman(void)
{
    vt::guard_entry("vt_disconnect_gearman", [] {
        if (!gearman_client)
            return;
        gearman_client_st *client = gearman_client;
        gearman_client = nullptr;  /* never used again, even if the release fails */
        gearman_client_free(client);
    });
}

extern "C" int vt_send_gearman_job(const char *queue, const char *text)
{
    return vt::guard_entry("vt_send_gearman_job", kSubmitFailed,
                           [=] { return send_job(vt::Priority::normal, queue, text); });
}

extern "C" int vt_send_gearman_job_low(const char *queue, const char *text)
{
    return vt::guard_entry("vt_send_gearman_job_low", kSubmitFailed,
                           [=] { return send_job(vt::Priority::low, queue, text); });
}

extern "C" int vt_send_gearman_job_high(const char *queue, const char *text)
{
    return vt::guard_entry("vt_send_gearman_job_high", kSubmitFailed,
                           [=] { return send_job(vt::Priority::high, queue, text); });
}

int vt::send_batch(const char *queue, const std::vector<std::string> &texts) noexcept
{
    return vt::guard_entry("vt_send_gearman_batch", kSubmitFailed, [&]() -> int {
        if (!queue)
            return GEARMAN_INVALID_ARGUMENT;
        if (texts.size() == 1 || vt::sender_running()) {
            int rc = 0;
            for (const std::string &t : texts)
                if (int r = send_job(vt::Priority::normal, queue, t.c_str()))
                    rc = r;
            return rc;
        }
        if (texts.empty())
            return 0;
        std::vector<std::string> messages;
        messages.reserve(texts.size());
        std::string batch;
        for (const std::string &t : texts) {
            messages.push_back(identified(queue, t.c_str()));
            vt::batch_append(batch, messages.back().data(), messages.back().size());
        }
        const gearman_return_t rc = vt::submit_payload(vt::Priority::normal, queue, batch.data(), batch.size());
        if (rc == GEARMAN_SUCCESS) {
            ff_delayed_msgs();
            return 0;
        }
        for (const std::string &m : messages)
            push_msg(queue, m.c_str(), rc);
        vt::report_refusal_and_rebuild(nullptr);
        return static_cast<int>(rc);
    });
}

/* Re-sends oldest first at normal priority, whatever priority queued them. The first
 * refusal ends the flush with that message still at the head, silently and without
 * rebuilding the client: the next failing submission reports and rebuilds. */
extern "C" void ff_delayed_msgs(void)
{
    vt::guard_entry("ff_delayed_msgs", [] {
        while (delayed_msg *m = get_root()) {
            if (submit(vt::Priority::normal, m->queue, m->job) != GEARMAN_SUCCESS)
                return;
            destroy_delayed(pop_msg());
        }
    });
}

/* The copy of the parent's client that a forked child inherits shares the parent's socket;
 * releasing it would shut that socket down under the parent. The child abandons the copy
 * unreleased and builds a client of its own. */
extern "C" void vt_gearman_forget_inherited(void)
{
    gearman_client = nullptr;
    vt_connect_gearman();  /* guarded itself */
}
