/* Host and service status rows: callbacks for the engine's status events. */
#ifndef VTDB_STATUS_H
#define VTDB_STATUS_H

#ifdef __cplusplus
extern "C" {
#endif

/* NEBCALLBACK_HOST_STATUS_DATA: submits the host's whole status row (insert or update of
 * vantor4.host_status). An UP host is made hard in the engine's own object first. Returns
 * 0 when a statement was submitted, -2 when the host has no id or the statement could not
 * be built. */
int vtdb_handle_host_status(int callback_type, void *data);

/* NEBCALLBACK_SERVICE_STATUS_DATA: the same for vantor4.service_status; the service's state
 * type is written as the engine has it. */
int vtdb_handle_service_status(int callback_type, void *data);

#ifdef __cplusplus
}

#include <sys/time.h>

/* The order value of an event of the engine's time stamp when: its time in microseconds since
 * the epoch, raised to one above the value before when the clock went back, so that every
 * value handed out is larger than the one before it within a load of the module. The status
 * rows keep the value of the event they show (column event_usec) and take no older one. Only
 * the engine's main thread calls it. */
unsigned long long vt_event_usec(const struct timeval &when);
#endif

#endif
