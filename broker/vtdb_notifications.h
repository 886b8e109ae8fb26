/* Flapping and notification records, and the take-over of notification delivery. */
#ifndef VTDB_NOTIFICATIONS_H
#define VTDB_NOTIFICATIONS_H

#include "vt_engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Module-wide scratch texts of the notification callback: the escaped command arguments
 * and acknowledgement text (the escaped output is the shared `output`); set and freed
 * within one callback. */
extern char *command_args;
extern char *ack_data;

/* Flapping data (type 10): a host_flapping or service_flapping row. 0 when the row was
 * submitted or the event is not about a host or service, -2 when ids are missing or the
 * statement could not be built. */
int vtdb_handle_flapping_data(int callback_type, void *data);

/* Contact notification method (type 21): at method start the composed command line goes
 * to "vtdb_notify", the notification line to the engine log (when it logs notifications)
 * and the notification row to the status queue. Always returns NEBERROR_CALLBACKOVERRIDE,
 * so the engine runs no notification command itself. */
int vtdb_handle_notification(int callback_type, void *data);

#ifdef __cplusplus
}
#endif

#endif
