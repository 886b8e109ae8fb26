/* Settings, child kinds and shared operations of the connector daemon. */
#ifndef VT_CONNECTOR_H
#define VT_CONNECTOR_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Settings from vantorconnector.conf. */
extern int VTSTATUS_WORKERS;
extern int PERFDATA_WORKERS;
extern int NOTIFY_WORKERS;
extern int VT_MAX_METRICS;
extern int VT_LOG_NOTIFICATIONS_COMMANDS;
extern int VT_SEND_NOTIFICATIONS;
/* 1: workers also carry out jobs without a signature (during an upgrade of the module). */
extern int VT_ACCEPT_UNSIGNED_JOBS;
/* Days a signed job is carried out after it was made (message_window_days, default 7; 0: no
 * limit). Older ones are refused. */
extern int VT_MESSAGE_WINDOW_DAYS;
/* Days performance values are kept; 0 keeps them for good. */
extern int PERFDATA_RETENTION_DAYS;
/* Days the history kinds are kept, 0 keeping them for good: state changes, the records of
 * acknowledgements and downtime starts in the state history, notifications, comments and
 * downtimes after their end, flapping starts and stops. */
extern int VT_STATE_HISTORY_RETENTION_DAYS;
extern int VT_ACKNOWLEDGEMENT_RETENTION_DAYS;
extern int VT_NOTIFICATION_RETENTION_DAYS;
extern int VT_ENDED_COMMENT_DOWNTIME_RETENTION_DAYS;
extern int VT_FLAPPING_RETENTION_DAYS;
/* The retention child's rows per DELETE, its pause between two (ms) and between passes (s). */
extern int VT_RETENTION_CHUNK;
extern int VT_RETENTION_PAUSE_MS;
extern int VT_RETENTION_INTERVAL_S;
/* Largest dump file the replay reads, in MiB (key "max_dump_file_mb"); larger ones are
 * moved aside as ".rejected". */
extern int VT_MAX_DUMP_FILE_MB;
/* Largest job a worker takes (key "max_job_bytes"; 0 or less: the default, the largest job
 * the module submits); larger ones are refused before they are read. */
extern int VT_MAX_JOB_BYTES;
/* 1: the daemon works in HOME and keeps core files; 0: it works in "/" without cores. */
extern int daemon_dumps_core;
/* Pause before a worker rebuilds its job-server connection, and the relay's poll interval. */
extern double sleep_time;

/* Reads vantorconnector.conf; 0, or -2 when it cannot be opened (defaults stay). */
int parse_vantorconnector_conf(void);
/* Sets every setting of vantorconnector.conf to its default. */
void vt_settings_defaults(void);
/* 1 when any retention setting expires rows, so that the retention child has work. */
int vt_retention_wanted(void);
/* Detaches under the lock file. 0, or -2 when the fork failed (start-up goes on in the
 * foreground); exits with 254 on lock-file failures. */
int vt_daemon_init(void);
/* At the supervisor's orderly end: removes the lock file and releases its lock (nothing
 * when this process holds none). */
void vt_daemon_release_lock(void);
/* Switches group and user (names or decimal ids, NULL to keep). 0, or -2 when either
 * could not be set. */
int drop_privileges(const char *user, const char *group);

/* Starting operations of the child kinds: each forks and returns the child's pid to the
 * supervisor (or the negative fork result); the child never returns. */
pid_t vt_vtstatus_gm_dispatcher(void);
pid_t vt_vtstatuspri_gm_dispatcher(void);
pid_t vt_perfdata_gm_dispatcher(void);
pid_t vt_notify_gm_dispatcher(void);
pid_t vt_external_command_dispatcher(void);
pid_t vt_delayed_message_dispatcher(void);
/* The retention child: started only when vt_retention_wanted(). */
pid_t vt_perfdata_retention_dispatcher(void);
/* The metrics child, serving the counters over HTTP on VT_METRICS_LISTEN; started only while
 * vt_metrics_enabled() (the setting is not "off"). */
pid_t vt_metrics_dispatcher(void);
int vt_metrics_enabled(void);

/* Sleeps for a (fractional) number of seconds, resuming after signals. */
void vt_sleep_seconds(double seconds);

#ifdef __cplusplus
}

#include <string>
/* Address the metrics child listens on ("host:port", key "metrics_listen"; "off" for none). */
extern std::string VT_METRICS_LISTEN;
#include <functional>
/* Forks a child of the daemon (or, with in_foreground, stays in this process) that runs body
 * and ends with body's result through _exit: nothing unwinds out of a child into its parent's
 * frames, no exit handler of the parent runs in it. An exception out of body is logged as
 * "ERROR <what> ends: <text>" and ends the child with status 1. Returns the child's pid to the
 * parent, or the negative fork result after logging fork_error. */
pid_t vt_fork_child(const char *what, const char *fork_error, const std::function<int()> &body,
                    bool in_foreground = false);
#endif

#endif
