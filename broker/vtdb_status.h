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
#endif

#endif
