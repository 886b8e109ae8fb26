// Module frame: load and unload, callback registration, program status, keep-alive, custom commands.
#include "vtdb_module.h"

#include <grp.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "vantor_config.h"
#include "vt_db.h"
#include "vt_delayed.h"
#include "vt_display_status.h"
#include "vt_engine_build.h"
#include "vt_entry_guard.h"
#include "vt_gearman_client.h"
#include "vt_identity.h"
#include "vt_log.h"
#include "vt_registry.h"
#include "vt_sender.h"
#include "vt_safe_file.h"
#include "vt_sign.h"
#include "vt_upsert.h"
#include "vt_util.h"
#include "vtdb_checks.h"
#include "vtdb_state_history.h"
#include "vtdb_status.h"
#include "vtdb_comments.h"
#include "vtdb_notifications.h"
#include "vtdb_notification_command.h"

extern "C" {
int __neb_api_version = CURRENT_NEB_API_VERSION;
char *export_date = nullptr;
void *vtdb_module_handle = nullptr;
int vt_event_guard_active = 0;
int vt_count_alive_log = 20;
int enable_failure_prediction = 0;
}

namespace {

const char *const STATUS_QUEUE = "vtdb_vtstatus";
const char *const STATUS_SCHEMA = "vantor4";
const char *const MODULE_VERSION = VANTOR_VERSION;
// How long the sender may go on delivering at unload before what it holds is dumped.
constexpr int kUnloadGraceMs = 3000;

// When a callback is registered: at load, or once the engine's event loop has started.
enum class Phase { load, event_loop };

struct Registration {
    NEBCallbackType type;
    int (*handler)(int, void *);
    Phase phase;
    unsigned long option;  // the bit of event_broker_options without which the engine never calls it
    const char *events;    // what the bit is called in the refusal line
};

// Drives registration (in this order, per phase) and deregistration at unload (in this
// order, whole table). The event-loop entries go, in this order: notification (21), state
// change (23), comment (8), host check (7), service check (6), downtime (9),
// acknowledgement (22), flapping (10), aggregated status (18), external command (17), host
// status (12), service status (13). A family's entry is added here when it is built.
const Registration registrations[] = {
    {NEBCALLBACK_PROCESS_DATA, vtdb_handle_nagios_start, Phase::load, BROKER_PROGRAM_STATE, "program state"},
    {NEBCALLBACK_RETENTION_DATA, vtdb_handle_retention_data, Phase::load, BROKER_RETENTION_DATA, "retention"},
    {NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA, vtdb_handle_notification, Phase::event_loop, BROKER_NOTIFICATIONS, "notifications"},
    {NEBCALLBACK_STATE_CHANGE_DATA, vtdb_handle_state_change, Phase::event_loop, BROKER_STATECHANGE_DATA, "state changes"},
    {NEBCALLBACK_COMMENT_DATA, vtdb_handle_comment, Phase::event_loop, BROKER_COMMENT_DATA, "comments"},
    {NEBCALLBACK_HOST_CHECK_DATA, vtdb_handle_host_check, Phase::event_loop, BROKER_HOST_CHECKS, "host checks"},
    {NEBCALLBACK_SERVICE_CHECK_DATA, vtdb_handle_service_check, Phase::event_loop, BROKER_SERVICE_CHECKS, "service checks"},
    {NEBCALLBACK_DOWNTIME_DATA, vtdb_handle_downtime, Phase::event_loop, BROKER_DOWNTIME_DATA, "downtimes"},
    {NEBCALLBACK_ACKNOWLEDGEMENT_DATA, vtdb_handle_ack, Phase::event_loop, BROKER_ACKNOWLEDGEMENT_DATA, "acknowledgements"},
    {NEBCALLBACK_FLAPPING_DATA, vtdb_handle_flapping_data, Phase::event_loop, BROKER_FLAPPING_DATA, "flapping"},
    {NEBCALLBACK_AGGREGATED_STATUS_DATA, vtdb_handle_aggregated_status_data, Phase::event_loop, BROKER_STATUS_DATA, "status"},
    {NEBCALLBACK_EXTERNAL_COMMAND_DATA, vtdb_handle_external_command_data, Phase::event_loop, BROKER_EXTERNALCOMMAND_DATA, "external commands"},
    {NEBCALLBACK_HOST_STATUS_DATA, vtdb_handle_host_status, Phase::event_loop, BROKER_STATUS_DATA, "status"},
    {NEBCALLBACK_SERVICE_STATUS_DATA, vtdb_handle_service_status, Phase::event_loop, BROKER_STATUS_DATA, "status"},
};

// Whether each phase's callbacks are registered now. The event-loop phase is registered
// once per load: a second event-loop start must not make every event handled twice.
bool registered_load = false;
bool registered_event_loop = false;

void register_phase(Phase phase) {
    for (const Registration &r : registrations)
        if (r.phase == phase)
            neb_register_callback(r.type, vtdb_module_handle, 0, r.handler);
}

// Removes what is registered, in table order, with the type each was registered under.
void deregister_all() noexcept {
    for (const Registration &r : registrations) {
        const bool registered = r.phase == Phase::load ? registered_load : registered_event_loop;
        if (registered)
            neb_deregister_callback(r.type, vt::CallbackRef{r.handler});
    }
    registered_load = false;
    registered_event_loop = false;
}

// A heap string for the module's globals that hold heap strings.
char *heap(const char *s) { return strdup(s); }

// The load time as "'YYYY-MM-DD HH:MM:SS'" in local time.
char *make_export_date() {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    return heap(vt::format("'%d-%02d-%02d %02d:%02d:%02d'", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                           tm.tm_hour, tm.tm_min, tm.tm_sec)
                    .c_str());
}

void submit_status(const std::string &statement) { vt_send_gearman_job(STATUS_QUEUE, statement.c_str()); }

// The program-status row for a process event of this type at the engine's time when. The two
// event-handler texts come from the engine's configuration and are escaped inside the quotes
// the statement has. The row keeps the order value of the event it shows: a statement of an
// earlier event (the shutdown of the run before, replayed from a dump file) leaves it as it
// is. Throws std::bad_alloc when out of memory.
std::string program_status_statement(int event_type, const struct timeval &when) {
    const std::string host_handler = vt_escape_sql_text(global_host_event_handler);
    const std::string service_handler = vt_escape_sql_text(global_service_event_handler);
    const long start = static_cast<long>(program_start);
    const std::string head = vt::format(
        "INSERT INTO %s.program_status (    id,    entry_time,    program_state,    version,"
        "    nagios_pid,    daemon_mode,    program_start,    enable_notifications,"
        "    active_service_checks_enabled,    passive_service_checks_enabled,"
        "    active_host_checks_enabled,    passive_host_checks_enabled,"
        "    enable_event_handlers,    obsess_over_services,    obsess_over_hosts,"
        "    check_service_freshness,    check_host_freshness,    enable_flap_detection,"
        "    enable_failure_prediction,    process_performance_data,"
        "    global_host_event_handler,    global_service_event_handler,"
        "    event_usec) VALUES",
        STATUS_SCHEMA);
    const std::string row = vt::format(
        " (    0,    NOW(),    '%d',    '%s',    '%d',    '%d',"
        "    FROM_UNIXTIME(%ld),    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',"
        "    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%s',    '%s',"
        "    %llu)",
        event_type, MODULE_VERSION, nagios_pid, daemon_mode, start, enable_notifications,
        execute_service_checks, accept_passive_service_checks, execute_host_checks,
        accept_passive_host_checks, enable_event_handlers, obsess_over_services, obsess_over_hosts,
        check_service_freshness, check_host_freshness, enable_flap_detection,
        enable_failure_prediction, process_performance_data, host_handler.c_str(),
        service_handler.c_str(), vt_event_usec(when));
    return head + row + vt::upsert_tail(head, 1);
}

// Writes the delayed queue, with the jobs still waiting for the sender, to its dump file,
// reporting in the engine log. Returns dump_msgs' result (0 when dumped).
int dump_delayed_to_engine_log() {
    vt_sender_hand_over();
    // The sender thread adds refused jobs to the queue meanwhile.
    std::lock_guard<std::mutex> lock(vt::delayed_queue_lock());
    nm_log(NSLOG_INFO_MESSAGE, "Starting to dump %d messages", get_count_delayed());
    const int rc = dump_msgs();
    nm_log(NSLOG_INFO_MESSAGE, "%s", rc == 0 ? "Messages dumped to " VT_DUMP_FILE : "Unable to dump messages");
    return rc;
}

// Releases the module's heap texts. The engine closes the library after a refused load or
// an unload; an engine that loads its modules again would otherwise keep one copy per load.
void release_module_texts() {
    vt_identity_reset();
    vt_registry_forget_new_hosts();
    vt_display_status_reset();
    for (char **text : {&export_date, &VTMODULE, &logfile, &logfile_aux}) {
        free(*text);
        *text = nullptr;
    }
}

struct Loader {
    const char *before;
    int (*load)(void);
    const char *failure;
    const char *table;
};

// The id lists, in load order, with the log line before each, its failure line and its table.
const Loader loaders[] = {
    {"Populating servicegroup_list", vtdb_populate_servicegroup_list, "unable to create servicegroup linked list",
     "vtcfg.nagios_servicegroups"},
    {"Populating hostcegroup_list", vtdb_populate_hostgroup_list, "unable to create hostgroup linked list",
     "vtcfg.nagios_hostgroups"},
    {"Populating contact_list", vtdb_populate_contact_list, "unable to create contacts linked list",
     "vtcfg.nagios_contacts"},
    {"Populating command_list", vtdb_populate_command_list, "unable to create commands linked list",
     "vtcfg.nagios_commands"},
    {"Populating authorized_for_all_hosts", vt_get_authorized_for_all_hosts, "unable to get authorized_for_all_hosts",
     "vtcfg.nagios_cgi"},
    {"Populating authorized_for_all_services", vt_get_authorized_for_all_services,
     "unable to get authorized_for_all_services", "vtcfg.nagios_cgi"},
};

// A reason not to load: one line in the engine's log (which the engine shows when it stops
// its start) and in the module's.
void refuse(const std::string &line) {
    nm_log(NSLOG_RUNTIME_ERROR, "%s", line.c_str());
    vt_logf("ERROR %s", line.c_str());
}

std::string user_name() {
    const struct passwd *pw = getpwuid(geteuid());
    return pw ? pw->pw_name : std::to_string(geteuid());
}

std::string group_name() {
    const struct group *gr = getgrgid(getegid());
    return gr ? gr->gr_name : std::to_string(getegid());
}

// Why db.php could not be read, and what makes it readable to the engine's user.
std::string db_conf_problem() {
    errno = 0;
    const int fd = open(VT_DB_CONF_FILE, O_RDONLY | O_CLOEXEC);
    const int e = fd < 0 ? errno : 0;
    if (fd >= 0)
        close(fd);
    const std::string head = vt::format("vtdb: cannot read %s as user %s: %s; ", VT_DB_CONF_FILE, user_name().c_str(),
                                        e ? std::strerror(e) : "the file could not be opened");
    if (e == ENOENT)
        return head + vt::format("create it with the database settings ($DBHOST, $DBUSER, $DBPASS, $DBPORT), "
                                 "with the group %s and mode 0640",
                                 group_name().c_str());
    return head + vt::format("give it the group %s and mode 0640 (and its folders search rights for that group)",
                             group_name().c_str());
}

std::string db_server() {
    return vt::format("%s port %s", DBHOST[0] ? DBHOST : "localhost", DBPORT[0] ? DBPORT : "(default)");
}

// Whether the running engine is the release the module was built for. Releases sharing a
// broker API number can still differ in the layout of the objects the module reads (1.5.0
// and 1.5.1): a module built for another one would read wrong members, so it refuses to
// load, saying so in the engine's log.
// The engine raises an event for a module only when its kind is in event_broker_options,
// and leaves it out by default: without them the module would load and store nothing (and
// the engine would deliver the notifications itself). True when every kind the table needs
// is on; otherwise one line naming the kinds and the fix. The installation check
// (tools/vantor_check.cpp) holds the same bits as a number: change both together.
bool broker_options_suffice() {
    std::string missing;
    unsigned long named = 0;
    for (const Registration &r : registrations) {
        if ((event_broker_options & r.option) == r.option || (named & r.option) != 0)
            continue;
        named |= r.option;
        missing += (missing.empty() ? "" : ", ") + std::string(r.events);
    }
    if (missing.empty())
        return true;
    refuse(vt::format("vtdb: the engine's event_broker_options=%ld leave out the events of %s: not loaded. Set "
                      "event_broker_options=-1 in the engine's configuration (naemon.cfg)",
                      static_cast<long>(event_broker_options), missing.c_str()));
    return false;
}

bool engine_version_matches() {
    const char *running = get_program_version();
    if (running && std::strcmp(running, VT_ENGINE_VERSION) == 0)
        return true;
    const std::string line =
        vt::format("vtdb: built for engine version %s, but this engine is version %s: not loaded. Rebuild the "
                   "module against this engine's headers (VTDB_ENGINE=system).",
                   VT_ENGINE_VERSION, running ? running : "(unknown)");
    nm_log(NSLOG_RUNTIME_ERROR, "%s", line.c_str());
    vt_write_to_log(line.c_str());
    return false;
}

int module_init(void *handle) {
    free(VTMODULE);
    free(logfile);
    free(logfile_aux);
    free(export_date);
    VTMODULE = heap("vtdb");
    logfile = heap(VT_PATH("/var/vtdb.log"));
    logfile_aux = heap(VT_PATH("/var/vtdb.log.1"));
    // The log holds plugin output and statements: the engine's user and group read it, no
    // other user, whatever the engine's umask; a log an earlier version left wider (and its
    // older generation) is narrowed through its own descriptor, never through a link.
    vt_log_create_mode = 0640;
    for (const char *f : {logfile, logfile_aux})
        if (vt::Fd log_fd = vt::safe::open_file(f, O_WRONLY | O_APPEND, 0, vt::safe::Kind::Regular,
                                                vt::safe::Report::Quiet))
            vt::safe::narrow_mode(log_fd.get(), 0640);
    export_date = make_export_date();
    // A fresh start for this load, also when the engine loads the module again into the
    // same process.
    vt_count_alive_log = 20;
    registered_load = false;
    registered_event_loop = false;

    vt_write_to_log("starting vtdb...");
    vtdb_module_handle = handle;
    if (!engine_version_matches() || !vt_engine_build_matches() || !broker_options_suffice())
        return 1;

    // Without the database settings nothing can be stored: the module refuses to load, and
    // the engine ends its start as for any module that fails, saying why.
    if (parse_db_conf() == -2) {
        refuse(db_conf_problem());
        release_module_texts();
        return 1;
    }

    // Workers carry out only signed jobs: without the key nothing the module sends would run.
    std::string key_problem;
    if (!vt::load_job_key(VT_JOB_KEY_FILE, key_problem)) {
        const std::string line = vt::format("vtdb: cannot use the job key %s: %s; the module is not loaded",
                                            VT_JOB_KEY_FILE, key_problem.c_str());
        nm_log(NSLOG_RUNTIME_ERROR, "%s", line.c_str());
        vt_logf("ERROR %s", line.c_str());
        release_module_texts();
        return 1;
    }

    vt_event_guard_active = 0;
    struct stat st;
    if (stat(VT_EVENT_GUARD_FLAG, &st) == 0)
        vt_event_guard_active = 1;

    static const char *const info[NEBMODULE_MODINFO_NUMITEMS] = {
        "vtdb", "keldra", "Copyright (c) keldra. All rights reserved.", MODULE_VERSION, "gpl",
        "dumps data do vantorconnector."};
    for (int item = 0; item < NEBMODULE_MODINFO_NUMITEMS; item++)
        neb_set_module_info(vtdb_module_handle, item, const_cast<char *>(info[item]));

    vt_write_to_log("vtdb " VANTOR_VERSION " - event broker module by keldra");

    if (db_connect() == -2) {
        printf("vtdb: no connection to the database, the module is not loaded\n");
        fflush(stdout);
        refuse(vt::format("vtdb: cannot connect to the database server %s as user %s: %s; start the server, or "
                          "correct DBHOST, DBPORT, DBUSER and DBPASS in %s",
                          db_server().c_str(), DBUSER, vt_db_last_error().c_str(), VT_DB_CONF_FILE));
        db_disconnect();
        release_module_texts();
        return 1;
    }

    vt_write_to_log("Loading IDs from DB");
    vt_identity_reset();
    for (const Loader &l : loaders) {
        vt_write_to_log(l.before);
        if (l.load() != 0) {
            vt_write_to_log(l.failure);
            refuse(vt::format("vtdb: cannot read %s on %s: %s; load the schema (schema.sql) and grant the user "
                              "%s SELECT on vtcfg",
                              l.table, db_server().c_str(), vt_db_last_error().c_str(), DBUSER));
            // A refused load must not leave its connection open in the engine process.
            db_disconnect();
            release_module_texts();
            return 1;
        }
    }
    // Every object the engine knows gets its id now, before the engine raises any event of
    // it; afterwards the engine's thread needs the database no more.
    vt_write_to_log("Assigning ids to the engine's objects");
    const auto ids_started = std::chrono::steady_clock::now();
    std::string id_problem;
    const bool ids_ok = vt_registry_add_engine_names(&id_problem) && vt_registry_assign_ids(&id_problem);
    vt_logf("Ids assigned in %.3f s (%zu hosts new to the registry)",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - ids_started).count(),
            vt_registry_new_host_ids().size());
    if (!ids_ok) {
        refuse(vt::format("vtdb: %s on %s; apply the schema's upgrade scripts (upgrade-ids.sql) and grant the "
                          "user %s SELECT, INSERT and UPDATE on vtcfg",
                          id_problem.c_str(), db_server().c_str(), DBUSER));
        db_disconnect();
        release_module_texts();
        return 1;
    }
    db_disconnect();

    vt_connect_gearman();
    // From here on the client is the sender's; without a sender the engine's thread submits.
    vt_sender_start();
    register_phase(Phase::load);
    registered_load = true;
    vt_write_to_log("vtdb loaded");
    return 0;
}

void nagios_start(const nebstruct_process_data *ps) {
    std::string statement;
    try {
        statement = program_status_statement(ps->type, ps->timestamp);
    } catch (const std::bad_alloc &) {
        vt::guard_entry("vtdb_handle_nagios_start",
                        [] { vt_write_to_log("unable to update program on status database"); });
        return;
    }
    submit_status(statement);
    if (ps->type != NEBTYPE_PROCESS_EVENTLOOPSTART)
        return;

    if (!registered_event_loop) {
        vt_write_to_log("Registering functions");
        register_phase(Phase::event_loop);
        registered_event_loop = true;
    }

    vt_display_status_from_downtimes();
    vt_write_to_log("Log initial states");
    insert_initial_states();
    // The walk has its own copy of the new hosts, whose tables it makes.
    vt_registry_forget_new_hosts();
    vt_write_to_log("Ready to rock'nd roll");

    submit_status(vt::format("UPDATE %s.program_status SET     objects_loaded=2,    entry_time=NOW() WHERE     id=0;",
                             STATUS_SCHEMA));
    submit_status(vt::format("DELETE from %s.host_status WHERE deleted=1 AND (unix_timestamp(now()) - "
                             "unix_timestamp(next_check)) > (check_interval * 60 * 10);",
                             STATUS_SCHEMA));
    submit_status(vt::format("DELETE from %s.service_status WHERE deleted=1 AND (unix_timestamp(now()) - "
                             "unix_timestamp(next_check)) > (check_interval * 60 * 10);",
                             STATUS_SCHEMA));
}

}  // namespace

namespace {

/* Takes the module's arguments of the broker_module line: blank- or comma-separated
 * key=value words. keep_comment_shell_chars=1 keeps the shell's special characters in
 * comments and authors; unknown words are logged and ignored. */
void take_module_args(const char *args) {
    if (!args)
        return;
    std::string text(args);
    for (char &c : text)
        if (c == ',' || c == '\t')
            c = ' ';
    size_t pos = 0;
    while ((pos = text.find_first_not_of(' ', pos)) != std::string::npos) {
        const size_t end = std::min(text.find(' ', pos), text.size());
        const std::string word = text.substr(pos, end - pos);
        pos = end;
        const std::string key = "keep_comment_shell_chars=";
        if (word.compare(0, key.size(), key) == 0)
            vtdb_keep_comment_shell_chars = std::atoi(word.c_str() + key.size()) != 0;
        else
            vt_logf("vtdb: unknown module argument '%s' ignored", word.c_str());
    }
}

}  // namespace

extern "C" {

int nebmodule_init(int flags, char *args, void *handle) {
    (void)flags;
    vtdb_keep_comment_shell_chars = 0;
    const int rc = vt::guard_entry("nebmodule_init", 1, [=] { return module_init(handle); });
    if (rc == 0)
        vt::guard_entry("nebmodule_init", [=] { take_module_args(args); });
    if (rc != 0) {
        // However the load was refused (an exception may have cut it short anywhere),
        // nothing of it stays behind in the engine process.
        deregister_all();
        vt_sender_stop(0);
        vt_disconnect_gearman();
        db_disconnect();
        release_module_texts();
    }
    return rc;
}

int nebmodule_deinit(int flags, int reason) {
    (void)flags;
    (void)reason;
    // The sender delivers what it holds for a few seconds; what it could not deliver is
    // in the delayed queue then, and is dumped with it. Each step on its own, so that a
    // failing dump never keeps the callbacks registered.
    vt::guard_entry("nebmodule_deinit", [] { vt_sender_stop(kUnloadGraceMs); });
    vt::guard_entry("nebmodule_deinit", [] {
        if (dump_delayed_to_engine_log() != 0 && get_count_delayed() > 0) {
            // The queue goes with the library: say what could not be kept.
            vt_logf("ERROR: %d delayed messages are lost: they could not be dumped at unload",
                    get_count_delayed());
        }
    });
    destroy_all_delayed();
    db_disconnect();
    deregister_all();
    // An engine that reloads its modules would otherwise keep one dead connection per load.
    vt_disconnect_gearman();
    vt::guard_entry("nebmodule_deinit", [] { vt_write_to_log("tks for using keldra broker"); });
    release_module_texts();
    return 0;
}

int vtdb_handle_nagios_start(int callback_type, void *data) {
    (void)callback_type;
    if (DEBUG)
        puts("vtdb_handle_nagios_start");
    if (!data)
        return 0;
    return vt::guard_entry("vtdb_handle_nagios_start", 0, [=] {
        nagios_start(static_cast<const nebstruct_process_data *>(data));
        return 0;
    });
}

int vtdb_handle_aggregated_status_data(int callback_type, void *data) {
    (void)callback_type;
    if (DEBUG)
        puts("vtdb_handle_aggregated_status_data");
    const auto *as = static_cast<const nebstruct_aggregated_status_data *>(data);
    if (!as || as->type != NEBTYPE_AGGREGATEDSTATUS_ENDDUMP)
        return 0;
    return vt::guard_entry("vtdb_handle_aggregated_status_data", 0, [] {
        submit_status(vt::format("update %s.program_status set entry_time=NOW() where id=0;", STATUS_SCHEMA));
        if (++vt_count_alive_log > 19) {
            vt_write_to_log("alive");
            vt_count_alive_log = 0;
        }
        return 0;
    });
}

int vtdb_handle_external_command_data(int callback_type, void *data) {
    (void)callback_type;
    const auto *ec = static_cast<const nebstruct_external_command_data *>(data);
    if (!ec || ec->type != NEBTYPE_EXTERNALCOMMAND_START || !ec->command_string)
        return 0;
    return vt::guard_entry("vtdb_handle_external_command_data", 0, [=] {
        if (strcmp(ec->command_string, "_VTDB_FETCH_DELAYED") == 0)
            nm_log(NSLOG_INFO_MESSAGE, "%d messages are still to be delivered", vt_unaccepted_count());
        else if (strcmp(ec->command_string, "_VTDB_DUMP_DELAYED") == 0)
            dump_delayed_to_engine_log();
        return 0;
    });
}

int vtdb_handle_retention_data(int callback_type, void *data) {
    (void)callback_type;
    const auto *rd = static_cast<const nebstruct_retention_data *>(data);
    if (!rd)
        return 0;
    const char *line = nullptr;
    switch (rd->type) {
    case NEBTYPE_RETENTIONDATA_STARTLOAD: line = "Start loading retention data"; break;
    case NEBTYPE_RETENTIONDATA_ENDLOAD: line = "Finished loading retention data"; break;
    case NEBTYPE_RETENTIONDATA_STARTSAVE: line = "Start saving retention data"; break;
    case NEBTYPE_RETENTIONDATA_ENDSAVE: line = "Finished saving retention data"; break;
    default: break;
    }
    if (line)
        vt::guard_entry("vtdb_handle_retention_data", [=] { vt_write_to_log(line); });
    return 0;
}

}  // extern "C"
