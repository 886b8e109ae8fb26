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
/* Days performance values are kept; 0 keeps them for good. */
extern int PERFDATA_RETENTION_DAYS;
/* The retention child's rows per DELETE, its pause between two (seconds) and between passes. */
extern int VT_RETENTION_CHUNK;
extern double VT_RETENTION_PAUSE;
extern double VT_RETENTION_INTERVAL;
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
/* The retention child: started only when PERFDATA_RETENTION_DAYS is above 0. */
pid_t vt_perfdata_retention_dispatcher(void);

/* Sleeps for a (fractional) number of seconds, resuming after signals. */
void vt_sleep_seconds(double seconds);

#ifdef __cplusplus
}
#endif

#endif
