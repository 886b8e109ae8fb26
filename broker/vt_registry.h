/* Ids the module keeps itself: host and service ids from the registry in vtcfg, and rows for
 * the engine's contacts, commands and groups in the vtcfg tables the id lists come from. */
#ifndef VT_REGISTRY_H
#define VT_REGISTRY_H

#ifdef __cplusplus
#include <string>
#include <vector>

/* Gives every host and service of the engine that carries no usable id custom variable
 * (_HOST_ID, _SERVICE_ID) the id the registry has for its name, recording new names (and
 * configured ids the registry does not hold yet), and attaches it to the object as that
 * custom variable, so that the macros every id reader uses yield it. Runs over the open
 * connection at load, before the engine raises any event of these objects: one statement
 * per registry table to read it, one (per MiB of text) to record what is new. Returns
 * false with the reason in *problem when a registry table cannot be read or written. */
__attribute__((visibility("hidden"))) bool vt_registry_assign_ids(std::string *problem);

/* Adds the engine's contacts, commands, host groups and service groups that the loaded id
 * lists lack to their vtcfg tables and to the lists, so that every object the engine knows
 * has an id. Returns false with the reason in *problem when a table cannot be written. */
__attribute__((visibility("hidden"))) bool vt_registry_add_engine_names(std::string *problem);

/* Host ids recorded in the registry by the last assignment (new hosts): their history
 * tables are made before anything is written to them. */
__attribute__((visibility("hidden"))) const std::vector<int> &vt_registry_new_host_ids();
/* Forgets the new host ids (once their tables are being made, and at unload). */
__attribute__((visibility("hidden"))) void vt_registry_forget_new_hosts();
#endif

#endif
