/* Check results: performance data, history of stalked objects, event-guard records. */
#ifndef VTDB_CHECKS_H
#define VTDB_CHECKS_H

#ifdef __cplusplus
extern "C" {
#endif

/* NEBCALLBACK_HOST_CHECK_DATA, processed host checks only: a history row for a stalked
 * host, and the event-guard record when the flag file existed at load. Returns 0, or -2
 * when the host has no id or a record could not be built. */
int vtdb_handle_host_check(int callback_type, void *data);

/* NEBCALLBACK_SERVICE_CHECK_DATA, processed service checks only: a history row for a
 * stalked service, the performance-data record (high priority) when the service has
 * performance data, and the event-guard record when the flag file existed at load. Returns
 * 0, or -2 when an id is missing or a record could not be built. */
int vtdb_handle_service_check(int callback_type, void *data);

#ifdef __cplusplus
}
#endif

#endif
