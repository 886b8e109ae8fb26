/* The module's frame: entry points, module-wide settings and the callbacks of the engine start. */
#ifndef VTDB_MODULE_H
#define VTDB_MODULE_H

#include "vt_engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Broker API version the module is built for; read by the engine at load. */
extern int __neb_api_version;

/* The module's load time as a quoted SQL literal "'YYYY-MM-DD HH:MM:SS'" (local time). */
extern char *export_date;
/* The module handle given to nebmodule_init (the engine's library handle for the module);
 * passed to every registration and to neb_set_module_info. */
extern void *vtdb_module_handle;
/* 1 when the event-guard flag file existed at load, else 0. */
extern int vt_event_guard_active;
/* Ends of status dumps since the last "alive" line; starts at 20 so the first one logs. */
extern int vt_count_alive_log;
/* The module's own setting written into the program-status row; always 0. */
extern int enable_failure_prediction;

/* Entry points: 0 when the module is ready (or unloaded), 1 when it refuses to load; every
 * reason to refuse (database settings, key, database, id lists, id registry) is one line in
 * the engine's log, and the engine then ends its start as for any module that fails. */
/* The engine calls nebmodule_init as int (*)(int, char *, void *) with the handle dlopen
 * gave for the module, not a module record: the parameter is declared as what arrives. */
int nebmodule_init(int flags, char *args, void *handle);
int nebmodule_deinit(int flags, int reason);

/* Callbacks of the engine start and run; each returns 0. */
int vtdb_handle_nagios_start(int callback_type, void *data);
int vtdb_handle_aggregated_status_data(int callback_type, void *data);
int vtdb_handle_external_command_data(int callback_type, void *data);
int vtdb_handle_retention_data(int callback_type, void *data);

#ifdef __cplusplus
}
#endif

#endif
