/* Database ids of engine objects: id lists loaded from vtcfg, and the id custom macros. */
#ifndef VT_IDENTITY_H
#define VT_IDENTITY_H

#include "vt_engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One service group, host group or command of vtcfg. Owned by its list. */
struct id_node {
    int id;
    char *name;
    struct id_node *next;
};

/* One contact of vtcfg; alias is NULL when the row has none. Owned by the contact list. */
struct contact_node {
    int id;
    char *name;
    char *alias;
    struct contact_node *next;
};

/* List heads, in query order; loaded at module load, read-only afterwards, released at unload. */
extern struct id_node *servicegroup_root;
extern struct id_node *hostgroup_root;
extern struct id_node *command_root;
extern struct contact_node *contact_root;

/* Comma-separated user lists of vtcfg.nagios_cgi as stored, or NULL. */
extern char *vt_authorized_for_all_hosts;
extern char *vt_authorized_for_all_services;

/* Loaders, run over the open database connection: 0, or -2 when the query gave no result
 * set (the list then keeps what it had). */
int vtdb_populate_servicegroup_list(void);
int vtdb_populate_hostgroup_list(void);
int vtdb_populate_contact_list(void);
int vtdb_populate_command_list(void);
int vt_get_authorized_for_all_hosts(void);
int vt_get_authorized_for_all_services(void);

/* Lookups by exact name: the id of the first match, or -2 (a miss in a non-empty list is
 * logged). The alias lookup returns 0 for a NULL alias and for the engine's own authors
 * "(Vantor Process)" and "(Naemon Process)"; the group lookups return 0 for NULL. */
int vtdb_find_contact_id(const char *name);
int vtdb_find_contact_id_by_alias(const char *alias);
int vtdb_find_command_id(const char *name);
int vtdb_find_servicegroup_id(const char *name);
int vtdb_find_hostgroup_id(const char *name);

/* Expands an id macro of the host (every caller passes "$_HOSTHOST_ID$") through the
 * engine's macro processor. *result gets a heap copy of the id, which the caller frees, or
 * NULL when the host has no usable id (no custom variable, or a text that is empty or not
 * all decimal digits). Returns 0 when an id was found, -2 otherwise. */
int vt_get_host_custom_macro(const char *macro, host *hst, char **result);

/* The same for a service: *host_id from $_SERVICEHOST_ID$, *service_id from
 * $_SERVICESERVICE_ID$; each a heap copy for the caller, or NULL when missing. Returns 0
 * when both were found, -2 otherwise. */
int vt_get_service_id_by_macro(service *svc, char **host_id, char **service_id);

/* Module-internal. The engine contact of that name, else the first of contact_list whose
 * alias equals it; NULL when none (or for a NULL name). */
__attribute__((visibility("hidden"))) contact *vt_find_contact(const char *name);

/* Module-internal. Releases the loaded lists and texts (at unload, and before a load). */
__attribute__((visibility("hidden"))) void vt_identity_reset(void);

#ifdef __cplusplus
}
#endif

#endif
