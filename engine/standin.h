// Control side of the stand-in engine for tests and the simulator: objects, modules, events, log.
#ifndef VANTOR_ENGINE_STANDIN_H
#define VANTOR_ENGINE_STANDIN_H

#include <stddef.h>

// The engine's allocation helpers are C functions that its nm_alloc.h declares without C
// linkage; declared here first, tests and the stand-in itself refer to (and define) their C
// names, as a module must.
extern "C" {
void *nm_malloc(size_t size);
void *nm_realloc(void *ptr, size_t size);
void *nm_calloc(size_t count, size_t size);
void *nm_strdup(const char *s);
void *nm_strndup(const char *s, size_t size);
void nm_asprintf(char **strp, const char *fmt, ...);
}

#include <naemon/naemon.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

namespace standin {

// ---- Objects. Everything created here is owned by the stand-in until reset_objects(). ----

// A host with its name as name, alias and display name; state UP, checks and notifications
// enabled, check interval 5 and retry interval 1 (minutes), max attempts 3.
host *add_host(const std::string &name, const std::string &address = "127.0.0.1");
// A service of hst, state OK, with the same defaults; it joins hst's services list.
service *add_service(host *hst, const std::string &description);
contact *add_contact(const std::string &name, const std::string &alias = "",
                     const std::string &email = "");
command *add_command(const std::string &name, const std::string &command_line);
// Custom variables as written in an object definition ("_HOST_ID"): kept, like the
// engine does, under the upper-cased name without the leading underscore ("HOST_ID").
void add_custom_variable(host *hst, const std::string &name, const std::string &value);
void add_custom_variable(service *svc, const std::string &name, const std::string &value);
void add_custom_variable(contact *cntct, const std::string &name, const std::string &value);
// A notification command entry of a contact, text as configured ("notify-by-mail!arg");
// its command_ptr is the command named before the first "!" (NULL if there is none).
commandsmember *add_notification_command(contact *cntct, const std::string &text, bool for_host);
void add_contact_to_host(host *hst, contact *cntct);
void add_contact_to_service(service *svc, contact *cntct);
hostgroup *add_hostgroup(const std::string &name, const std::vector<host *> &members);
servicegroup *add_servicegroup(const std::string &name, const std::vector<service *> &members);
// An entry of the downtime table that find_downtime searches (type HOST_DOWNTIME or
// SERVICE_DOWNTIME).
scheduled_downtime *add_downtime(int type, unsigned long downtime_id, const std::string &host_name,
                                 const std::string &service_description, int is_in_effect);
// Replaces a heap text member of an object with a copy of value (NULL for none).
void set_text(char *&member, const char *value);
// Sets the current notification or problem id from its text: a counter up to API 6 (NULL
// gives 0), a heap copy of the text (a UUID in the engine; NULL before the first) from API 7.
void set_notification_id(host *hst, const char *id);
void set_notification_id(service *svc, const char *id);
void set_problem_id(host *hst, const char *id);
void set_problem_id(service *svc, const char *id);
// Frees every object and empties the lists.
void reset_objects();

// ---- Program settings. ----
// Puts the program settings back to the defaults of a freshly started engine.
void reset_settings();
// $USERn$ value (1 to MAX_USER_MACROS).
void set_user_macro(int n, const std::string &value);
// What get_program_version() returns; reset_settings() sets the release the stand-in follows.
void set_program_version(const std::string &version);
// The global host or service notification handler, as configured ("name!args"; "" for
// none), from API 7; its command is the one named before the first "!".
void set_global_notification_handler(bool for_service, const std::string &text);

// ---- Modules, loaded as the engine does. ----
// dlopen (RTLD_NOW | RTLD_GLOBAL), checks __neb_api_version == CURRENT_NEB_API_VERSION,
// calls nebmodule_init(NEBMODULE_NORMAL_LOAD, args, handle) with the library handle, as the
// engine does (mod->module_handle; the broker functions know the module by it). Returns the
// module, or NULL
// when it was refused (last_load_error() says why; what the module registered is removed
// and the library closed, without calling nebmodule_deinit).
nebmodule *load_module(const std::string &path, const std::string &args = "");
std::string last_load_error();
// The callback types of the successful neb_deregister_callback calls since the last
// load_module, in call order.
std::vector<int> deregistrations();
struct UnloadResult {
    int deinit_result;     // what nebmodule_deinit returned
    size_t callbacks_left; // registrations the module still had after nebmodule_deinit
};
// Calls nebmodule_deinit(flags, reason), removes the module's remaining registrations,
// closes the library and frees the module record.
UnloadResult unload_module(nebmodule *mod, int flags = NEBMODULE_FORCE_UNLOAD,
                           int reason = NEBMODULE_NEB_SHUTDOWN);
// A symbol of the loaded module (dlsym), NULL when absent.
void *module_symbol(nebmodule *mod, const char *name);
// Module information item (0 to 5) as set with neb_set_module_info, "" when unset.
std::string module_info(nebmodule *mod, int item);

// ---- Callbacks and events. ----
// Calls the callbacks registered for callback_type in order with record, as the engine
// does: the walk ends after the first callback that returns NEBERROR_CALLBACKOVERRIDE or
// NEBERROR_CALLBACKCANCEL. Returns the result of the last callback called (0 when none was
// called), ERROR for a type out of range.
int raise(int callback_type, void *record);
size_t callback_count(int callback_type);
// An observer that sees every raised event before the modules' callbacks do, whatever they
// return (the simulator's ledger of what the engine published). nullptr removes it.
void set_event_observer(void (*observer)(int callback_type, void *record));
size_t callback_count();
// The callbacks registered for a type, in calling order.
std::vector<int (*)(int, void *)> callbacks(int callback_type);

// The current time as an event time stamp.
struct timeval now();
// Event helpers filling type and timestamp of the record they raise.
int raise_process_event(int event_type);
int raise_aggregated_status(int event_type);
int raise_retention(int event_type);
int raise_external_command(const std::string &name, const std::string &args,
                           time_t entry_time, int event_type = NEBTYPE_EXTERNALCOMMAND_START);
// Status and check events of hosts and services, filled from the object as the engine fills
// them (object_ptr, names, state, outputs); the time stamp is now() unless one is given.
int raise_host_status(host *hst, int event_type = NEBTYPE_HOSTSTATUS_UPDATE);
int raise_service_status(service *svc, int event_type = NEBTYPE_SERVICESTATUS_UPDATE);
int raise_host_check(host *hst, int event_type = NEBTYPE_HOSTCHECK_PROCESSED);
int raise_service_check(service *svc, int event_type = NEBTYPE_SERVICECHECK_PROCESSED);
// A state change of a host (svc NULL) or a service; statechange_type is set from which one
// is given (HOST_STATECHANGE 0, SERVICE_STATECHANGE 1).
int raise_state_change(host *hst, service *svc, int event_type = NEBTYPE_STATECHANGE_END);
int raise_state_change_at(host *hst, service *svc, struct timeval when, int event_type = NEBTYPE_STATECHANGE_END);
int raise_service_check_at(service *svc, struct timeval when, int event_type = NEBTYPE_SERVICECHECK_PROCESSED);
int raise_host_check_at(host *hst, struct timeval when, int event_type = NEBTYPE_HOSTCHECK_PROCESSED);
// From API 7: the start of a run of the global notification handler for svc (or, when svc is
// NULL, for hst), as the engine raises it: a notification-method event without contact, the
// configured handler split at its first "!" into command name and arguments, the object's
// state and output. Returns what the callbacks returned (0: the engine runs the handler
// itself); ERROR when no handler is configured.
int raise_global_notification(host *hst, service *svc, int reason = NOTIFICATION_NORMAL);
// Splits one command-pipe line "[time] NAME;args" and raises it as the engine does (start,
// then end of the command); false when the line is malformed.
bool raise_command_line(const std::string &line);

// ---- Engine log. ----
// Lines of nm_log are appended as "[time] text" to path ("" keeps them in memory only).
void set_log_file(const std::string &path);
struct LogLine {
    int level;
    std::string text;
};
std::vector<LogLine> log_lines();
size_t count_log_lines(const std::string &needle);
void clear_log();

}  // namespace standin

#endif
