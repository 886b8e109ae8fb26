/* Engine log and the program settings. */
#ifndef NAEMON_UTILS_H_INCLUDED
#define NAEMON_UTILS_H_INCLUDED

#include <time.h>
#include "common.h"
#include "objects.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Log levels of nm_log. */
#define NSLOG_RUNTIME_ERROR 1
#define NSLOG_RUNTIME_WARNING 2
#define NSLOG_VERIFICATION_ERROR 4
#define NSLOG_VERIFICATION_WARNING 8
#define NSLOG_CONFIG_ERROR 16
#define NSLOG_CONFIG_WARNING 32
#define NSLOG_PROCESS_INFO 64
#define NSLOG_EVENT_HANDLER 128
#define NSLOG_EXTERNAL_COMMAND 512
#define NSLOG_HOST_UP 1024
#define NSLOG_HOST_DOWN 2048
#define NSLOG_HOST_UNREACHABLE 4096
#define NSLOG_SERVICE_OK 8192
#define NSLOG_SERVICE_UNKNOWN 16384
#define NSLOG_SERVICE_WARNING 32768
#define NSLOG_SERVICE_CRITICAL 65536
#define NSLOG_PASSIVE_CHECK 131072
#define NSLOG_INFO_MESSAGE 262144
#define NSLOG_HOST_NOTIFICATION 524288
#define NSLOG_SERVICE_NOTIFICATION 1048576

/* Writes one line to the engine log (trailing line breaks of the text are dropped). */
void nm_log(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* Program settings and state. */
extern int nagios_pid;
extern int daemon_mode;
extern time_t program_start;
extern time_t last_command_check;
extern int enable_notifications;
extern int execute_service_checks;
extern int accept_passive_service_checks;
extern int execute_host_checks;
extern int accept_passive_host_checks;
extern int enable_event_handlers;
extern int obsess_over_services;
extern int obsess_over_hosts;
extern int check_service_freshness;
extern int check_host_freshness;
extern int enable_flap_detection;
extern int process_performance_data;
extern int log_notifications;
/* The kinds of events raised for modules (BROKER_* bits): the engine leaves out every kind
 * not named here, and the configuration line event_broker_options=-1 names them all. */
extern unsigned long event_broker_options;
#if VT_STANDIN_API >= 7
/* The global notification handlers ("name!args" as configured, and the command named), and
 * whether their runs are logged. */
extern char *global_host_notification_handler;
extern char *global_service_notification_handler;
extern command *global_host_notification_handler_ptr;
extern command *global_service_notification_handler_ptr;
extern int log_global_notifications;
#endif
/* The engine's release, "1.4.1" for example. */
const char *get_program_version(void);
extern char *global_host_event_handler;
extern char *global_service_event_handler;
extern char *illegal_output_chars;
extern char *macro_user[MAX_USER_MACROS];

#ifdef __cplusplus
}
#endif

#endif
