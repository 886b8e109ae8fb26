/* The module's job-server client: background submissions with store-and-forward. */
#ifndef VT_GEARMAN_CLIENT_H
#define VT_GEARMAN_CLIENT_H

#include <libgearman/gearman.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The process's one client, or NULL while none exists (creation failed, or released). */
extern gearman_client_st *gearman_client;

/* Creates the client for 127.0.0.1 at the build's port with a 2000 ms timeout. */
void vt_connect_gearman(void);
/* Releases the client; later submissions count as failed until a new one exists. */
void vt_disconnect_gearman(void);
/* Background submissions of text to queue. While the sender thread runs (vt_sender.h) the
 * job is handed to it and 0 means taken over for delivery; when its queue is full the job
 * goes to the delayed queue as a refused one does and the non-zero code is returned.
 * Without the sender (a forked child, or before the module started it) the submission is
 * made here: 0 when accepted, otherwise the library's non-zero code, the refused job kept in
 * the delayed queue. Only a normal-priority success flushes the delayed queue. Neither
 * argument is taken over. */
int vt_send_gearman_job(const char *queue, const char *text);
int vt_send_gearman_job_low(const char *queue, const char *text);
int vt_send_gearman_job_high(const char *queue, const char *text);
/* Re-submits delayed messages oldest first at normal priority until one is refused. */
void ff_delayed_msgs(void);
/* For a freshly forked child: abandons (without releasing) the client inherited from the
 * parent, whose socket the parent still uses, and creates the child's own client. */
void vt_gearman_forget_inherited(void);

#ifdef __cplusplus
}

#include <cstddef>
#include <string>
#include <vector>

namespace vt {
/* Submission priorities, in the order of the library's three background calls. */
enum class Priority { normal, low, high };
/* One background submission through the process's client: data of size bytes to queue, under
 * a unique id of its own that no other job shares or can be made to share (the job server
 * would merge the two). Nothing is kept on failure; returns the library's code. */
gearman_return_t submit_payload(Priority prio, const char *queue, const char *data, size_t size);
/* After a refused submission: the throttled "vt_send_gearman_job %s" line with the client's
 * error text (or why when no client exists), then a fresh client. */
void report_refusal_and_rebuild(const char *why);
/* For a process that submits without the sender (the initial-state walk): texts, messages of
 * one queue, as one batch job at normal priority, each with its identity as
 * vt_send_gearman_job gives it; the caller keeps within kBatchMessages and kBatchBytes. A
 * refused batch leaves every message in the delayed queue, in order, as a refused job does.
 * While the sender runs, each message is handed to it instead. Returns 0 or the library's
 * code. */
int send_batch(const char *queue, const std::vector<std::string> &texts) noexcept;
}  // namespace vt
#endif

#endif
