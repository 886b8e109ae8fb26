/* Job-server worker frame shared by every queue worker of the daemon. */
#ifndef VT_WORKER_H
#define VT_WORKER_H

#include <libgearman/gearman.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The process's one worker, or NULL while none is set up. */
extern gearman_worker_st *gearman_worker;

/* Registers fn for queue and serves jobs one at a time for the rest of the process,
 * rebuilding the worker after sleep_time seconds whenever the job server fails. Only jobs
 * signed for queue (vt_sign.h) are carried out, unsigned ones too with accept_unsigned_jobs;
 * the rest are dropped and counted. A job that is a batch of messages (vt_batch.h) is taken
 * apart: fn sees each non-empty message in turn as its workload text (vt_job_workload_text),
 * unless a batch runner is set; a batch of more than kBatchMessages is dropped whole. */
void vt_run_worker_gearman(const char *queue, gearman_worker_fn *fn);
/* Creates the worker, adds the servers and registers fn for queue. 0 when the worker is
 * ready to work, -2 when the set-up failed (the worker is then already released). */
int vt_create_worker_gearman(const char *queue, gearman_worker_fn *fn);
/* Creates the worker and adds 127.0.0.1 (priority != 0) or every job server of the list. */
void vt_connect_gearman(int priority);
/* Releases the worker's jobs and the worker; safe when none exists. */
void vt_disconnect_gearman(void);

/* Forks a worker for queue: the child connects to the database, runs prepare (if any),
 * logs its start line, runs after_start (if any) and serves the queue. Returns the child's
 * pid, or the negative fork result after logging fork_error. */
pid_t vt_start_queue_worker(const char *queue, gearman_worker_fn *fn, const char *fork_error,
                            void (*prepare)(void), void (*after_start)(void));

/* Job functions of the two status queues: execute the statement, keep it in the failed-SQL
 * file when it fails, and always report the job done. */
void *vt_process_gearman_status(gearman_job_st *job, void *context, size_t *result_size,
                                gearman_return_t *ret_ptr);
void *vt_process_gearman_statuspri(gearman_job_st *job, void *context, size_t *result_size,
                                   gearman_return_t *ret_ptr);

#ifdef __cplusplus
}
#include "vt_message_id.h"
#include <string>
#include <vector>
/* While the frame hands a job to its function: the message (the job inside its signed
 * envelope, or the current message of a batch), stopping at an embedded NUL. Otherwise a copy
 * of the job's whole workload, stopping the same way. */
std::string vt_job_workload_text(gearman_job_st *job);
/* For a worker kind that runs a batch as a whole: the frame then gives it every batch job's
 * messages in order (each stopping at an embedded NUL) instead of calling the job function
 * per message, with the queue and each message's identity (ids[i] of messages[i], empty when it
 * carries none). A single-message job goes to the job function, unless it carries an identity:
 * then it goes to the batch runner, which records it as carried out. */
using vt_batch_runner = void (*)(const std::string &queue, const std::vector<std::string> &messages,
                                 const std::vector<vt::MessageId> &ids);
void vt_set_batch_runner(vt_batch_runner runner);
/* The identity of the message the job function is given (empty run when it carries none). */
const vt::MessageId &vt_job_message_id();
/* For a job function that held a stop signal back while it worked: the frame raises sig (with
 * the process's disposition for it) once the job has been reported done. */
void vt_worker_stop_after_job(int sig);
/* Takes the identity prefix off the front of message, before anything else reads it (an
 * upsert's marker must stand first): true and *id set when it had one; otherwise message stays
 * as it is and *id is empty. */
bool vt_take_message_id(std::string &message, vt::MessageId *id);

#endif

#endif
