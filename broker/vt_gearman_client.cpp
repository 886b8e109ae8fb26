/* The module's job-server client: background submissions, store-and-forward of refusals. */
#include "vt_gearman_client.h"
#include "vantor_config.h"
#include "vt_delayed.h"
#include "vt_entry_guard.h"
#include "vt_log.h"

#include <cstring>
#include <memory>

gearman_client_st *gearman_client = nullptr;

namespace {

constexpr const char *kServer = "127.0.0.1";
constexpr int kTimeoutMs = 2000;
/* What a submission reports while no client exists (creation or server setup failed). */
constexpr gearman_return_t kNoClient = GEARMAN_NO_SERVERS;
constexpr const char *kNoClientText = "no job-server client";

using submit_fn = gearman_return_t (*)(gearman_client_st *, const char *, const char *,
                                       const void *, size_t, char *);

gearman_return_t submit(submit_fn fn, const char *queue, const char *text)
{
    if (!gearman_client)
        return kNoClient;
    gearman_job_handle_t handle;  /* the server's handle is not kept */
    return fn(gearman_client, queue, nullptr, text, std::strlen(text), handle);
}

/* One submission with store-and-forward: a refused job is copied into the delayed queue,
 * the failure goes through the error throttle, and the client is rebuilt so that the next
 * submission starts on a fresh connection. Returns 0 or the library's code. */
int send_job(submit_fn fn, const char *queue, const char *text, bool flush_after)
{
    if (!queue || !text)
        return GEARMAN_INVALID_ARGUMENT;
    gearman_return_t rc = submit(fn, queue, text);
    if (rc == GEARMAN_SUCCESS) {
        if (flush_after)
            ff_delayed_msgs();
        return 0;
    }
    push_msg(queue, text, rc);
    if (vt_throttle_allows(1)) {
        const char *why = gearman_client ? gearman_client_error(gearman_client) : kNoClientText;
        try {
            vt_logf("vt_send_gearman_job %s", why ? why : "");
        } catch (...) {
            /* out of memory for the log line: the job is kept all the same */
        }
    }
    vt_disconnect_gearman();
    vt_connect_gearman();
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

/* A submission that ended in an exception (out of memory) was not accepted. */
constexpr int kSubmitFailed = GEARMAN_MEMORY_ALLOCATION_FAILURE;

}  // namespace

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
                           [=] { return send_job(gearman_client_do_background, queue, text, true); });
}

extern "C" int vt_send_gearman_job_low(const char *queue, const char *text)
{
    return vt::guard_entry("vt_send_gearman_job_low", kSubmitFailed,
                           [=] { return send_job(gearman_client_do_low_background, queue, text, false); });
}

extern "C" int vt_send_gearman_job_high(const char *queue, const char *text)
{
    return vt::guard_entry("vt_send_gearman_job_high", kSubmitFailed,
                           [=] { return send_job(gearman_client_do_high_background, queue, text, false); });
}

/* Re-sends oldest first at normal priority, whatever priority queued them. The first
 * refusal ends the flush with that message still at the head, silently and without
 * rebuilding the client: the next failing submission reports and rebuilds. */
extern "C" void ff_delayed_msgs(void)
{
    vt::guard_entry("ff_delayed_msgs", [] {
        while (delayed_msg *m = get_root()) {
            if (submit(gearman_client_do_background, m->queue, m->job) != GEARMAN_SUCCESS)
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
