/* Notification command runner and workers: notification command lines run as the unprivileged
 * notification user with a time limit, for the notification workers (which run under an account
 * of their own) and for replayed notification jobs. */
#ifndef VT_NOTIFY_H
#define VT_NOTIFY_H

#include <stdint.h>
#include <libgearman/gearman.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Growable text buffer. text is NULL until something is appended; used is its length,
 * allocated the size of its storage, which grows in multiples of chunk. */
typedef struct dbuf {
    char *buf;
    uint64_t used_size;
    uint64_t allocated_size;
    uint64_t chunk_size;
} dbuf;

/* Empties db and sets its growth step. 0, or -2 when db is NULL. */
int dbuf_init(dbuf *db, int chunk_size);
/* Appends text. 0, or -2 when db or text is NULL or the storage cannot grow (nothing is
 * appended then). */
int dbuf_strcat(dbuf *db, const char *text);
/* Releases the text and empties db. 0, or -2 when db is NULL. */
int dbuf_free(dbuf *db);

/* The account and group notification commands run as, and the pause before a worker that
 * runs as root and could not switch to its own account (or finds no commands' user) tries
 * again. */
extern const char *vt_notify_user;
extern const char *vt_notify_group;
extern int vt_notify_user_retry_seconds;
/* The account and group the notification workers run under: neither root nor the commands'
 * user, so that a command can neither signal nor trace the worker that runs it. */
extern const char *vt_notify_worker_user;
extern const char *vt_notify_worker_group;

/* Makes the calling process run as vt_notify_user with vt_notify_group as its group and
 * that user's own supplementary groups, with no capability left. A process that may not
 * change its ids (neither root nor a notification worker) is left as it is. Returns 0 when
 * the process now runs without root privileges, -2 when the switch failed (unknown user or
 * group, a failed call, or a user that is uid 0); the failure is logged with its reason. */
int vt_become_notify_user(void);

/* Makes a root process a notification worker: user vt_notify_worker_user, group
 * vt_notify_worker_group and the user's own groups, keeping only the capabilities to change
 * its ids and to signal any process (to start a command as vt_notify_user and to end what it
 * started), and not dumpable (its memory and descriptors are closed to other users). A process
 * that is not root is left as it is. 0 on success; -2 after logging why when the accounts are
 * missing or unusable (also when the worker's user is the commands' user). A process left
 * half-switched ends with status 1. */
int vt_become_notify_worker(void);

/* Whether a command could run now without root: 1 when the process may not change its ids or
 * the notification user and group exist (and the user is not uid 0), else 0. */
int vt_notify_user_usable(void);

/* Runs cmd through the shell in a child process of its own process group, as the
 * notification user (a privileged caller's child switches before starting the shell, and runs
 * nothing when it cannot). The child keeps only descriptors 0-2 and its output pipe. Between
 * the caller and the command stands a keeper process with the caller's rights, the subreaper
 * of everything the command starts: after timeout seconds (none when 0 or less) it ends every
 * process the command started, whether still in its group or detached with setsid (SIGTERM,
 * up to 1 s for them to end, SIGKILL). A command that ends in time is waited for with what it
 * left running up to the same limit; what is left then is ended the same way (logged, the
 * result stays the command's). A SIGTERM or SIGINT that reaches the caller while the command
 * runs gives the command up to 2 s more to end by itself, then ends all of it the same way
 * (logged); either way the signal is raised again afterwards
 * and acts as the caller's own disposition says (by default: the caller ends); the keeper
 * does the same when the caller dies.
 * *early_timeout is 1 after a timeout's end, *exectime the run time to the millisecond. When
 * output is not NULL it receives a heap copy of what the command printed (NULL when
 * nothing), cut to max_output_length bytes when that is positive; the caller frees it.
 * Returns 0 to 3: the command's exit code, 2 after a timeout or when the shell cannot be
 * started, 3 for codes above 3, a command ended by a signal, a refused user switch, or a
 * failed fork or pipe. Nothing runs (result 0) when VT_SEND_NOTIFICATIONS is 0 or cmd is
 * NULL. Logs as VT_LOG_NOTIFICATIONS_COMMANDS says. */
int vt_system_r(const char *cmd, int timeout, int *early_timeout, double *exectime, char **output,
                int max_output_length);

/* 1 when the last vt_system_r's command was ended by a stop of its caller before it ended by
 * itself (it may have done part of its work), else 0. */
int vt_last_command_cut(void);

/* Runs a notification command taken from a dump file: vt_system_r with the 60-second limit,
 * no output wanted. Returns its result, or -2 without running anything when the process is
 * root and the notification user cannot be used (logged; the caller keeps the command). */
int vt_process_delayed_notification(const char *cmd);

/* Job function of the queue "vtdb_notify": runs the job's command line; the job is always
 * reported done, whatever the command's result. */
void *vt_process_gearman_notify(gearman_job_st *job, void *context, size_t *result_size,
                                gearman_return_t *ret_ptr);

/* Default actions for SIGQUIT, SIGTERM, SIGHUP, SIGSEGV, SIGPIPE and SIGXFSZ. */
void reset_sighandler(void);
/* An alarm handler for a process that times itself: ends it at once with status 2. */
void my_system_sighandler(int sig);

#ifdef __cplusplus
}
/* Closes every descriptor above 2 but keep (none when keep is below 3). */
void vt_close_inherited_descriptors(int keep);
#endif

#endif
