/* The module's sender thread: jobs leave the engine's thread at once and reach the job server in batches. */
#ifndef VT_SENDER_H
#define VT_SENDER_H

#include "vt_batch.h"
#include "vt_gearman_client.h"

/* Most bytes of job text (queue names included) waiting for the sender. A job that does not
 * fit is not waited for: it goes to the delayed queue as a refused job does. */
#define VT_SENDER_MAX_BYTES (32L * 1024 * 1024)

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the sender thread; from then on the submissions of this process hand their jobs to
 * it. 0 when it runs (or already ran), -2 when the thread could not be started: submissions
 * then stay synchronous. Call it on the engine's thread, after vt_connect_gearman: the
 * client belongs to the sender from here on. */
int vt_sender_start(void);
/* Lets the sender deliver what it holds for at most grace_ms milliseconds (plus the one
 * submission it may be inside, bounded by the client timeout), moves everything still held
 * into the delayed queue, and ends the thread. Submissions are synchronous again afterwards.
 * Nothing happens when no sender runs. */
void vt_sender_stop(int grace_ms);
/* Moves the jobs waiting for the sender (not the batch it may be submitting) into the
 * delayed queue, in their order, for a dump on the operator's request. Engine thread only. */
void vt_sender_hand_over(void);
/* Messages not yet accepted by the job server: waiting for the sender, being submitted by it,
 * and in the delayed queue. */
int vt_unaccepted_count(void);

#ifdef __cplusplus
}

#include <mutex>

namespace vt {
/* What sender_take returns when no sender runs in this process. */
constexpr int kSenderNotRunning = -1;
/* The time the first message waits for others to join it (kBatchMessages at most). */
constexpr int kBatchLingerMs = 100;
/* Whether this process's submissions go to a sender thread. */
bool sender_running() noexcept;
/* After a submission timed out, this long goes by before the next one is tried. */
constexpr int kBreakerMs = 1000;

/* Hands a job to the sender. 0 taken; kSenderNotRunning when none runs (the caller submits
 * itself); otherwise the job went to the delayed queue (sender's queue full) and the code is
 * the one a refusal gives. Never waits for the sender or the network. */
int sender_take(Priority prio, const char *queue, const char *text) noexcept;
/* Around a fork whose child runs module code (the initial-state walk): on, the sender starts
 * no new submission (a delivery in progress stops before its next one) and the caller waits
 * until the sender is outside every library, so that the child inherits no lock the sender
 * took inside one (the allocator's, the random generator's). That takes one submission at
 * most, bounded by the client's timeout; kHoldWaitMs is longer, and a submission still
 * blocked on the network after it holds none. Off lets the sender go on. Does nothing while
 * no sender runs. */
constexpr int kHoldWaitMs = 3000;
void sender_hold(bool on) noexcept;
/* The lock every use of the delayed queue takes while a sender may run. Never held across
 * a network call; a dump of the queue may run under it. */
std::mutex &delayed_queue_lock();
}  // namespace vt
#endif

#endif
