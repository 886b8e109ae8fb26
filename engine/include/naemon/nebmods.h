/* Event-broker modules: the module record, module information and callback registration. */
#ifndef NAEMON_NEBMODS_H_INCLUDED
#define NAEMON_NEBMODS_H_INCLUDED

#include "nebcallbacks.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CURRENT_NEB_API_VERSION VT_STANDIN_API
#define NEB_API_VERSION(x) int __neb_api_version = x;

#define NEBMODULE_MODINFO_NUMITEMS 6
#define NEBMODULE_MODINFO_TITLE 0
#define NEBMODULE_MODINFO_AUTHOR 1
#define NEBMODULE_MODINFO_COPYRIGHT 2
#define NEBMODULE_MODINFO_VERSION 3
#define NEBMODULE_MODINFO_LICENSE 4
#define NEBMODULE_MODINFO_DESC 5

/* Flags and reasons of nebmodule_init and nebmodule_deinit. */
#define NEBMODULE_NORMAL_LOAD 0
#define NEBMODULE_REQUEST_UNLOAD 0
#define NEBMODULE_FORCE_UNLOAD 1
#define NEBMODULE_NEB_SHUTDOWN 1
#define NEBMODULE_NEB_RESTART 2
#define NEBMODULE_ERROR_NO_INIT 3
#define NEBMODULE_ERROR_BAD_INIT 4
#define NEBMODULE_ERROR_API_VERSION 5

/* One loaded module, the engine's own record. A module never sees it: nebmodule_init
 * receives module_handle (the handle dlopen gave), and the broker functions below know the
 * module by that handle. */
typedef struct nebmodule {
    char *filename;
    char *dl_file;
    char *args;
    char *info[NEBMODULE_MODINFO_NUMITEMS];
    int should_be_loaded;
    int is_currently_loaded;
    void *module_handle;
    void *init_func;
    void *deinit_func;
    struct nebmodule *next;
} nebmodule;

/* Stores a copy of text as information item (0 to 5) of the module whose handle this is.
 * OK, or NEBERROR_NOMODULE, NEBERROR_MODINFOBOUNDS, NEBERROR_BADMODULEHANDLE. */
int neb_set_module_info(void *handle, int type, char *data);

/* Registers callback_func for callback_type under the module's handle; callbacks of a type
 * are called by priority, in registration order within a priority. OK, or a NEBERROR_* code. */
int neb_register_callback(enum NEBCallbackType callback_type, void *mod_handle, int priority, int (*callback_func)(int, void *));
/* Removes the registration of callback_func for callback_type. OK, or
 * NEBERROR_CALLBACKNOTFOUND. */
int neb_deregister_callback(enum NEBCallbackType callback_type, void *callback_func);

#ifdef __cplusplus
}
#endif

#endif
