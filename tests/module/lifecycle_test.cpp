// Tests of the module's load, refusal, engine start, keep-alive, custom commands and unload.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "vt_util.h"

#include "failing_new.h"
#include "module_fixture.h"

namespace {

using vtm::ModuleTest;

using vt::format;

// The program-status statement for the stand-in's current settings, handlers already
// escaped as the test expects them.
std::string expected_program_status(int type, const char *host_handler, const char *service_handler) {
    const char *f =
        "INSERT INTO vantor4.program_status (    id,    entry_time,    program_state,    version,    nagios_pid,    "
        "daemon_mode,    program_start,    enable_notifications,    active_service_checks_enabled,    "
        "passive_service_checks_enabled,    active_host_checks_enabled,    passive_host_checks_enabled,    "
        "enable_event_handlers,    obsess_over_services,    obsess_over_hosts,    check_service_freshness,    "
        "check_host_freshness,    enable_flap_detection,    enable_failure_prediction,    "
        "process_performance_data,    global_host_event_handler,    global_service_event_handler,    event_usec) "
        "VALUES (    0,    NOW(),    '%d',    '%s',    '%d',    '%d',    FROM_UNIXTIME(%ld),    '%d',    '%d',    "
        "'%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    '%d',    "
        "'%s',    '%s',    N) ON DUPLICATE KEY UPDATE %s;";
    const long start = static_cast<long>(program_start);
    const std::string update = vtt::guarded_update(
        {"entry_time", "program_state", "version", "nagios_pid", "daemon_mode", "program_start",
         "enable_notifications", "active_service_checks_enabled", "passive_service_checks_enabled",
         "active_host_checks_enabled", "passive_host_checks_enabled", "enable_event_handlers", "obsess_over_services",
         "obsess_over_hosts", "check_service_freshness", "check_host_freshness", "enable_flap_detection",
         "enable_failure_prediction", "process_performance_data", "global_host_event_handler",
         "global_service_event_handler"});
    return format(f, type, "9.12.8-7", nagios_pid, daemon_mode, start, enable_notifications, execute_service_checks,
               accept_passive_service_checks, execute_host_checks, accept_passive_host_checks,
               enable_event_handlers, obsess_over_services, obsess_over_hosts, check_service_freshness,
               check_host_freshness, enable_flap_detection, 0, process_performance_data, host_handler,
               service_handler, update.c_str());
}

const char *const OBJECTS_LOADED =
    "UPDATE vantor4.program_status SET     objects_loaded=2,    entry_time=NOW() WHERE     id=0;";
const char *const PURGE_HOSTS =
    "DELETE from vantor4.host_status WHERE deleted=1 AND (unix_timestamp(now()) - unix_timestamp(next_check)) > "
    "(check_interval * 60 * 10);";
const char *const PURGE_SERVICES =
    "DELETE from vantor4.service_status WHERE deleted=1 AND (unix_timestamp(now()) - unix_timestamp(next_check)) > "
    "(check_interval * 60 * 10);";
const char *const KEEP_ALIVE = "update vantor4.program_status set entry_time=NOW() where id=0;";

// Connections of user vantor to the database server.
long db_connections(vtt::Sql &sql) {
    return std::stol(sql.scalar("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER='vantor'"));
}

// Connections the job server has open (its "workers" listing shows every connection).
long gearman_connections() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(vtt::gearman_port()));
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    const char cmd[] = "workers\n";
    if (write(fd, cmd, sizeof cmd - 1) < 0) {
        close(fd);
        return -1;
    }
    std::string text;
    char buf[4096];
    while (text.size() < 2 || text.compare(text.size() - 2, 2, ".\n") != 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    long lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines - 2;  // without the terminating "." and our own connection
}

// The order of deregistration at unload, every callback family included.
const int kDeregistrationOrder[] = {
    NEBCALLBACK_PROCESS_DATA,        NEBCALLBACK_RETENTION_DATA,         NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA,
    NEBCALLBACK_STATE_CHANGE_DATA,   NEBCALLBACK_COMMENT_DATA,           NEBCALLBACK_HOST_CHECK_DATA,
    NEBCALLBACK_SERVICE_CHECK_DATA,  NEBCALLBACK_DOWNTIME_DATA,          NEBCALLBACK_ACKNOWLEDGEMENT_DATA,
    NEBCALLBACK_FLAPPING_DATA,       NEBCALLBACK_AGGREGATED_STATUS_DATA, NEBCALLBACK_EXTERNAL_COMMAND_DATA,
    NEBCALLBACK_HOST_STATUS_DATA,    NEBCALLBACK_SERVICE_STATUS_DATA,
};

TEST_F(ModuleTest, LoadsWithItsInformationAndOnlyTheLoadTimeCallbacks) {
    vtt::Sql sql;
    const long connections_before = db_connections(sql);
    ASSERT_NE(nullptr, load()) << standin::last_load_error();
    EXPECT_EQ("vtdb", standin::module_info(mod, NEBMODULE_MODINFO_TITLE));
    EXPECT_EQ("keldra", standin::module_info(mod, NEBMODULE_MODINFO_AUTHOR));
    EXPECT_NE("", standin::module_info(mod, NEBMODULE_MODINFO_COPYRIGHT));
    EXPECT_EQ("9.12.8-7", standin::module_info(mod, NEBMODULE_MODINFO_VERSION));
    EXPECT_EQ("gpl", standin::module_info(mod, NEBMODULE_MODINFO_LICENSE));
    EXPECT_EQ("dumps data do vantorconnector.", standin::module_info(mod, NEBMODULE_MODINFO_DESC));

    EXPECT_EQ(1u, standin::callback_count(NEBCALLBACK_PROCESS_DATA));
    EXPECT_EQ(1u, standin::callback_count(NEBCALLBACK_RETENTION_DATA));
    EXPECT_EQ(2u, standin::callback_count());
    EXPECT_EQ(sym<void>("vtdb_handle_nagios_start"),
              reinterpret_cast<void *>(standin::callbacks(NEBCALLBACK_PROCESS_DATA)[0]));

    // The engine's library handle for the module, not its module record.
    EXPECT_EQ(mod->module_handle, *sym<void *>("vtdb_module_handle"));
    EXPECT_EQ(0, *sym<int>("vt_event_guard_active"));
    const char *date = *sym<char *>("export_date");
    ASSERT_NE(nullptr, date);
    EXPECT_EQ(21u, strlen(date));
    EXPECT_EQ('\'', date[0]);
    EXPECT_EQ('\'', date[20]);
    for (const char *line : {"starting vtdb...", "Loading IDs from DB", "Populating servicegroup_list",
                             "Populating hostcegroup_list", "Populating contact_list", "Populating command_list",
                             "Populating authorized_for_all_hosts", "Populating authorized_for_all_services",
                             "vtdb loaded"})
        EXPECT_EQ(1u, log_count(line)) << line;
    // The module holds no database connection while the engine runs.
    EXPECT_TRUE(vtt::wait_until([&] { return db_connections(sql) == connections_before; }, 3000));
}

// The module's log holds plugin output and statements: created 0640 whatever the engine's
// umask, and a log or older generation an earlier version left wider is narrowed at load.
TEST_F(ModuleTest, LogFilesAreClosedToOthers) {
    const std::string aux = vtt::path("/var/vtdb.log.1");
    vtt::write_file(aux, "older generation\n");
    ASSERT_EQ(0, chmod(aux.c_str(), 0644));
    const mode_t saved = umask(022);
    nebmodule *loaded = load();
    umask(saved);
    ASSERT_NE(nullptr, loaded) << standin::last_load_error();
    for (const std::string &f : {vtm::module_log(), aux}) {
        struct stat st;
        ASSERT_EQ(0, stat(f.c_str(), &st)) << f;
        EXPECT_EQ(0640u, st.st_mode & 07777) << f;
        if (geteuid() != 0)
            continue;
        pid_t pid = fork();
        if (pid == 0)
            _exit(setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 &&
                          open(f.c_str(), O_RDONLY) < 0 && errno == EACCES
                      ? 0
                      : 1);
        int status = -1;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_EQ(0, status) << "nobody may read " << f;
    }
    vtt::remove_file(aux);
}

TEST_F(ModuleTest, EventGuardFlagFileSwitchIsReadAtLoad) {
    vtt::write_file(vtt::path("/etc/vt_event_guard_active"), "");
    ASSERT_NE(nullptr, load());
    EXPECT_EQ(1, *sym<int>("vt_event_guard_active"));
    unload();
    vtt::remove_file(vtt::path("/etc/vt_event_guard_active"));
    ASSERT_NE(nullptr, load());
    EXPECT_EQ(0, *sym<int>("vt_event_guard_active"));
}

// Releases that share a broker API can differ in the objects' layout: a module built for
// another release refuses to load, and says so in the engine's log.
TEST_F(ModuleTest, RefusesAnEngineOfAnotherReleaseWithOneLineNamingBoth) {
    const std::string built = get_program_version();  // the stand-in's release, the module's
    for (const std::string &running : {std::string("1.5.0"), built + ".1", built.substr(0, built.size() - 1),
                                      std::string("")}) {
        standin::clear_log();
        standin::set_program_version(running);
        EXPECT_EQ(nullptr, load()) << running;
        EXPECT_EQ("nebmodule_init returned 1", standin::last_load_error());
        EXPECT_EQ(0u, standin::callback_count());
        const std::string line = "vtdb: built for engine version " + built + ", but this engine is version " +
                                 running + ": not loaded. Rebuild the module against this engine's headers";
        EXPECT_EQ(1u, standin::count_log_lines(line)) << running;
        EXPECT_EQ(1u, standin::log_lines().size());
        EXPECT_EQ(0u, log_count("vtdb loaded"));
    }
    standin::set_program_version(built);
    EXPECT_NE(nullptr, load()) << standin::last_load_error();
}

// The engine raises no event of a kind left out of event_broker_options (none at all when the
// line is missing): the module would load and store nothing, so it refuses, naming the kinds.
TEST_F(ModuleTest, RefusesEventBrokerOptionsThatLeaveOutItsEventsNamingThem) {
    const struct {
        unsigned long options;
        std::string named;
    } cases[] = {
        {BROKER_NOTHING, "=0 leave out the events of program state, retention, notifications, state changes"},
        {BROKER_EVERYTHING & ~(BROKER_NOTIFICATIONS | BROKER_STATUS_DATA),
         "leave out the events of notifications, status: not loaded"},
        {BROKER_EVERYTHING & ~BROKER_FLAPPING_DATA, "leave out the events of flapping: not loaded"},
    };
    for (const auto &c : cases) {
        standin::clear_log();
        event_broker_options = c.options;
        EXPECT_EQ(nullptr, load()) << c.options;
        EXPECT_EQ(0u, standin::callback_count());
        EXPECT_EQ(1u, standin::count_log_lines(c.named)) << c.options;
        EXPECT_EQ(1u, standin::count_log_lines("Set event_broker_options=-1 in the engine's configuration"));
        EXPECT_EQ(0u, log_count("vtdb loaded"));
    }
    // What the module needs and nothing more is enough.
    event_broker_options = BROKER_PROGRAM_STATE | BROKER_RETENTION_DATA | BROKER_NOTIFICATIONS |
                           BROKER_STATECHANGE_DATA | BROKER_COMMENT_DATA | BROKER_HOST_CHECKS |
                           BROKER_SERVICE_CHECKS | BROKER_DOWNTIME_DATA | BROKER_ACKNOWLEDGEMENT_DATA |
                           BROKER_FLAPPING_DATA | BROKER_STATUS_DATA | BROKER_EXTERNALCOMMAND_DATA;
    EXPECT_NE(nullptr, load()) << standin::last_load_error();
    event_broker_options = ~0UL;
}

TEST_F(ModuleTest, RefusesToLoadWhenTheDatabaseRefusesAndClosesItsConnection) {
    vtt::Sql sql;
    const long connections_before = db_connections(sql);
    {
        vtm::FileGuard conf(vtm::db_conf());
        std::string text = vtt::read_file(vtm::db_conf());
        size_t at = text.find("vantor-test");
        ASSERT_NE(std::string::npos, at);
        text.replace(at, 11, "wrong-password");
        vtt::write_file(vtm::db_conf(), text);
        EXPECT_EQ(nullptr, load());
        EXPECT_EQ(0u, standin::callback_count());
        EXPECT_EQ(0u, log_count("vtdb loaded"));
        EXPECT_EQ(1u, standin::count_log_lines("vtdb: cannot connect to the database server "));
        EXPECT_EQ(1u, standin::count_log_lines("Access denied"));
    }

    // A list that cannot be read: the load is refused after connecting; that connection
    // must not stay open in the engine process.
    sql.exec("RENAME TABLE vtcfg.nagios_commands TO vtcfg.nagios_commands_away");
    struct Restore {
        vtt::Sql &s;
        ~Restore() { s.exec("RENAME TABLE vtcfg.nagios_commands_away TO vtcfg.nagios_commands"); }
    } restore{sql};
    EXPECT_EQ(nullptr, load());
    EXPECT_EQ(1u, log_count("Populating command_list"));
    EXPECT_EQ(1u, log_count("unable to create commands linked list"));
    EXPECT_EQ(0u, log_count("Populating authorized_for_all_hosts"));
    EXPECT_EQ(1u, standin::count_log_lines("vtdb: cannot read vtcfg.nagios_commands on "));
    EXPECT_EQ(0u, standin::callback_count());
    EXPECT_TRUE(vtt::wait_until([&] { return db_connections(sql) == connections_before; }, 3000))
        << db_connections(sql) - connections_before << " connections left open";
}

// Without its key nothing the module sent would be carried out: it is not loaded, and the
// engine's log says why.
TEST_F(ModuleTest, RefusesToLoadWithoutAKeyOnlyItsGroupCanRead) {
    const std::string key = vtt::path("/etc/vantor.key");
    const std::string saved = vtt::read_file(key);
    struct Restore {
        const std::string &key, &saved;
        ~Restore() {
            vtt::remove_file(key);
            vtt::write_file(key, saved);
            chmod(key.c_str(), 0640);
        }
    } restore{key, saved};
    const struct {
        const char *name;
        mode_t mode;  // 0: no key file
        const char *why;
    } cases[] = {{"missing", 0, "No such file"}, {"readable by all", 0644, "mode 0644"}};
    for (const auto &c : cases) {
        standin::clear_log();
        vtt::remove_file(key);
        if (c.mode) {
            vtt::write_file(key, saved);
            chmod(key.c_str(), c.mode);
        }
        EXPECT_EQ(nullptr, load()) << c.name;
        EXPECT_EQ(1u, standin::count_log_lines("vtdb: cannot use the job key " + key + ": ")) << c.name;
        EXPECT_EQ(1u, standin::count_log_lines(c.why)) << c.name;
        EXPECT_EQ(0u, standin::callback_count()) << c.name;
        EXPECT_EQ(0u, log_count("vtdb loaded")) << c.name;
    }
}

// Missing or unreadable database settings: the module refuses to load (the engine then ends
// its start), with one line in the engine's log naming the file, the error and the fix.
TEST_F(ModuleTest, UnreadableDatabaseSettingsRefuseTheLoadWithOneLine) {
    vtm::FileGuard conf(vtm::db_conf());
    const std::string text = vtt::read_file(vtm::db_conf());
    vtt::remove_file(vtm::db_conf());
    EXPECT_EQ(nullptr, load());
    EXPECT_EQ(1u, standin::count_log_lines("vtdb: cannot read " + vtm::db_conf() + " as user "));
    EXPECT_EQ(1u, standin::count_log_lines("No such file or directory; create it"));
    EXPECT_EQ(0u, standin::callback_count());

    EXPECT_EQ(0u, log_count("vtdb loaded"));
    vtt::write_file(vtm::db_conf(), text);
    EXPECT_NE(nullptr, load()) << standin::last_load_error();
}

TEST_F(ModuleTest, ProcessEventsOtherThanEventLoopStartWriteTheRowAndRegisterNothing) {
    ASSERT_NE(nullptr, load());
    for (int type : {NEBTYPE_PROCESS_PRELAUNCH, NEBTYPE_PROCESS_START}) {
        EXPECT_EQ(0, standin::raise_process_event(type));
        std::vector<std::string> jobs = status_jobs(1);
        ASSERT_EQ(1u, jobs.size());
        EXPECT_EQ(expected_program_status(type, "", ""), vtt::mask_event_order(jobs[0]));
        EXPECT_EQ(2u, standin::callback_count());
    }
    EXPECT_EQ(0, vtt::gearman_queued("vtdb_vtstatus"));
    EXPECT_EQ(0u, log_count("Registering functions"));
}

TEST_F(ModuleTest, EventLoopStartRegistersOnceAndWritesTheRowEveryTime) {
    ASSERT_NE(nullptr, load());
    const char *host_handler_text = "restart-it'; DROP TABLE vantor4.program_status; --";
    standin::set_text(global_host_event_handler, host_handler_text);
    standin::set_text(global_service_event_handler, "handle-service");
    obsess_over_hosts = 1;

    for (int round = 0; round < 2; round++) {
        standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
        std::vector<std::string> jobs = status_jobs(4);
        ASSERT_EQ(4u, jobs.size());
        EXPECT_EQ(expected_program_status(105, "restart-it\\'; DROP TABLE vantor4.program_status; --",
                                          "handle-service"),
                  vtt::mask_event_order(jobs[0]));
        EXPECT_EQ(OBJECTS_LOADED, jobs[1]);
        EXPECT_EQ(PURGE_HOSTS, jobs[2]);
        EXPECT_EQ(PURGE_SERVICES, jobs[3]);

        // The statements are what the status workers execute verbatim.
        vtt::Sql sql;
        for (const std::string &j : jobs)
            sql.exec(j);
        std::vector<vtt::Row> row = sql.rows(
            "SELECT program_state, version, objects_loaded, global_host_event_handler, "
            "global_service_event_handler, nagios_pid, obsess_over_hosts, UNIX_TIMESTAMP(program_start) "
            "FROM vantor4.program_status WHERE id=0");
        ASSERT_EQ(1u, row.size());
        EXPECT_EQ("105", row[0][0].value_or(""));
        EXPECT_EQ("9.12.8-7", row[0][1].value_or(""));
        EXPECT_EQ("2", row[0][2].value_or(""));
        EXPECT_EQ(host_handler_text, row[0][3].value_or(""));
        EXPECT_EQ("handle-service", row[0][4].value_or(""));
        EXPECT_EQ("4242", row[0][5].value_or(""));
        EXPECT_EQ("1", row[0][6].value_or(""));
        EXPECT_EQ("1700000000", row[0][7].value_or(""));

        // Registered once per load, however often the event loop starts.
        EXPECT_EQ(1u, standin::callback_count(NEBCALLBACK_AGGREGATED_STATUS_DATA));
        EXPECT_EQ(1u, standin::callback_count(NEBCALLBACK_EXTERNAL_COMMAND_DATA));
        EXPECT_EQ(1u, standin::callback_count(NEBCALLBACK_PROCESS_DATA));
        EXPECT_EQ(1u, log_count("Registering functions"));
        EXPECT_EQ(round + 1u, log_count("Ready to rock'nd roll"));
    }
}

TEST_F(ModuleTest, StatusDumpEndsRefreshTheRowAndLogAliveEveryTwentieth) {
    ASSERT_NE(nullptr, load());
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    ASSERT_EQ(4u, status_jobs(4).size());

    standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_STARTDUMP);
    EXPECT_EQ(0, vtt::gearman_queued("vtdb_vtstatus"));
    standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_ENDDUMP);
    EXPECT_EQ(1u, log_count("] alive"));
    for (int i = 0; i < 19; i++)
        standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_ENDDUMP);
    EXPECT_EQ(1u, log_count("] alive"));
    standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_ENDDUMP);  // the 21st
    EXPECT_EQ(2u, log_count("] alive"));

    std::vector<std::string> jobs = status_jobs(21);
    ASSERT_EQ(21u, jobs.size());
    for (const std::string &j : jobs)
        EXPECT_EQ(KEEP_ALIVE, j);
}

// Raises "_VTDB_FETCH_DELAYED" until the engine log reports count messages (for at most 3 s).
bool fetch_reports(int count) {
    const std::string line = std::to_string(count) + " messages are still to be delivered";
    const size_t before = standin::count_log_lines(line);
    return vtt::wait_until([&] {
        standin::raise_external_command("_VTDB_FETCH_DELAYED", "", time(nullptr));
        return standin::count_log_lines(line) > before;
    }, 3000);
}

TEST_F(ModuleTest, CustomCommandsAreComparedExactlyAndReportTheDelayedQueue) {
    ASSERT_NE(nullptr, load());
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    ASSERT_EQ(4u, status_jobs(4).size());

    // A batch the job server has taken leaves the count as soon as the sender sees the answer.
    EXPECT_TRUE(fetch_reports(0));
    standin::raise_external_command("_vtdb_dump_delayed", "", time(nullptr));
    standin::raise_external_command("_VTDB_DUMP_DELAYED_", "", time(nullptr));
    standin::raise_external_command("_VTDB_DUMP_DELAYED", "", time(nullptr), NEBTYPE_EXTERNALCOMMAND_END);
    EXPECT_EQ(0u, standin::count_log_lines("Starting to dump"));

    // Empty queue: reported, nothing written.
    standin::raise_external_command("_VTDB_DUMP_DELAYED", "", time(nullptr));
    EXPECT_EQ(1u, standin::count_log_lines("Starting to dump 0 messages"));
    EXPECT_EQ(1u, standin::count_log_lines("Messages dumped to " + vtt::path("/var/delayed-messages.dump")));
    EXPECT_TRUE(vtt::list_dir(vtt::path("/var/delayed-messages")).empty());

    // With the job server down the keep-alive updates are kept, then dumped on request.
    vtt::gearmand_stop();
    for (int i = 0; i < 3; i++)
        standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_ENDDUMP);
    standin::raise_external_command("_VTDB_FETCH_DELAYED", "", time(nullptr));
    EXPECT_EQ(1u, standin::count_log_lines("3 messages are still to be delivered"));
    standin::raise_external_command("_VTDB_DUMP_DELAYED", "", time(nullptr));
    EXPECT_EQ(1u, standin::count_log_lines("Starting to dump 3 messages"));
    EXPECT_EQ(2u, standin::count_log_lines("Messages dumped to "));
    std::vector<std::string> dumps = vtt::list_dir(vtt::path("/var/delayed-messages"));
    ASSERT_EQ(1u, dumps.size());
    EXPECT_EQ(3, vtt::count_lines_containing(vtt::path("/var/delayed-messages/" + dumps[0]), KEEP_ALIVE));
    EXPECT_TRUE(fetch_reports(0));
}

TEST_F(ModuleTest, RetentionEventsAreLogged) {
    ASSERT_NE(nullptr, load());
    for (int type = NEBTYPE_RETENTIONDATA_STARTLOAD; type <= NEBTYPE_RETENTIONDATA_ENDSAVE + 1; type++)
        EXPECT_EQ(0, standin::raise_retention(type));
    for (const char *line : {"] Start loading retention data", "] Finished loading retention data",
                             "] Start saving retention data", "] Finished saving retention data"})
        EXPECT_EQ(1u, log_count(line)) << line;
    EXPECT_EQ(0, vtt::gearman_queued("vtdb_vtstatus"));
}

TEST_F(ModuleTest, UnloadDumpsTheDelayedQueueAndLeavesNothingBehind) {
    const long connections_before = gearman_connections();
    ASSERT_NE(nullptr, load());
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    ASSERT_EQ(4u, status_jobs(4).size());
    EXPECT_EQ(connections_before + 1, gearman_connections());

    // Every registration is removed by the module, under its type, in the table's order.
    std::vector<int> registered;
    for (int type : kDeregistrationOrder)
        if (standin::callback_count(type) > 0)
            registered.push_back(type);
    EXPECT_EQ(standin::callback_count(), registered.size());
    standin::UnloadResult r = unload();
    EXPECT_EQ(0, r.deinit_result);
    EXPECT_EQ(0u, r.callbacks_left);
    EXPECT_EQ(registered, standin::deregistrations());
    EXPECT_EQ(1u, log_count("tks for using keldra broker"));
    EXPECT_EQ(1u, standin::count_log_lines("Starting to dump 0 messages"));
    // The job-server client is released with the module.
    EXPECT_TRUE(vtt::wait_until([&] { return gearman_connections() == connections_before; }, 3000));

    // Messages still queued at unload go to a dump file for the replay.
    ASSERT_NE(nullptr, load());
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    ASSERT_EQ(4u, status_jobs(4).size());
    vtt::gearmand_stop();
    standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_ENDDUMP);
    standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_ENDDUMP);
    r = unload();
    EXPECT_EQ(0u, r.callbacks_left);
    EXPECT_EQ(1u, standin::count_log_lines("Starting to dump 2 messages"));
    EXPECT_EQ(2u, standin::count_log_lines("Messages dumped to "));
    std::vector<std::string> dumps = vtt::list_dir(vtt::path("/var/delayed-messages"));
    ASSERT_EQ(1u, dumps.size());
    EXPECT_EQ(2, vtt::count_lines_containing(vtt::path("/var/delayed-messages/" + dumps[0]), KEEP_ALIVE));

    // A fresh load starts over: "alive" again at the first status dump.
    vtt::gearmand_start();
    ASSERT_NE(nullptr, load());
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    const size_t alive_before = log_count("] alive");
    standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_ENDDUMP);
    EXPECT_EQ(alive_before + 1, log_count("] alive"));
}

TEST_F(ModuleTest, AFailingDumpIsReportedInTheEngineLogAndKeepsTheMessages) {
    ASSERT_NE(nullptr, load());
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    ASSERT_EQ(4u, status_jobs(4).size());
    vtt::gearmand_stop();
    standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_ENDDUMP);
    standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_ENDDUMP);
    // Root opens anything for writing, but not a directory.
    const std::string dump_file = vtt::path("/var/delayed-messages.dump");
    vtt::remove_file(dump_file);
    ASSERT_EQ(0, mkdir(dump_file.c_str(), 0755));

    standin::raise_external_command("_VTDB_DUMP_DELAYED", "", time(nullptr));
    EXPECT_EQ(1u, standin::count_log_lines("Starting to dump 2 messages"));
    EXPECT_EQ(1u, standin::count_log_lines("Unable to dump messages"));
    EXPECT_EQ(0u, standin::count_log_lines("Messages dumped to "));
    standin::raise_external_command("_VTDB_FETCH_DELAYED", "", time(nullptr));
    EXPECT_EQ(1u, standin::count_log_lines("2 messages are still to be delivered"));

    // At unload too; the callbacks are removed all the same.
    standin::UnloadResult r = unload();
    EXPECT_EQ(0, r.deinit_result);
    EXPECT_EQ(0u, r.callbacks_left);
    EXPECT_EQ(2u, standin::count_log_lines("Unable to dump messages"));
    EXPECT_EQ(0u, standin::count_log_lines("Messages dumped to "));
    EXPECT_EQ(1u, log_count("ERROR: 2 delayed messages are lost"));
    rmdir(dump_file.c_str());
    EXPECT_TRUE(vtt::list_dir(vtt::path("/var/delayed-messages")).empty());
}

TEST_F(ModuleTest, EntryPointsSurviveRunningOutOfMemory) {
    ASSERT_NE(nullptr, load());
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    ASSERT_EQ(4u, status_jobs(4).size());

    // Each callback called as the engine calls it, while every allocation fails: no
    // exception may leave it, and it answers 0.
    nebstruct_process_data start{};
    start.type = NEBTYPE_PROCESS_EVENTLOOPSTART;
    nebstruct_aggregated_status_data dump_end{};
    dump_end.type = NEBTYPE_AGGREGATEDSTATUS_ENDDUMP;
    nebstruct_retention_data retention{};
    retention.type = NEBTYPE_RETENTIONDATA_STARTSAVE;
    char fetch_name[] = "_VTDB_FETCH_DELAYED", dump_name[] = "_VTDB_DUMP_DELAYED", no_args[] = "";
    nebstruct_external_command_data fetch{}, dump{};
    fetch.type = dump.type = NEBTYPE_EXTERNALCOMMAND_START;
    fetch.command_string = fetch_name;
    dump.command_string = dump_name;
    fetch.command_args = dump.command_args = no_args;
    const struct {
        const char *handler;
        int callback_type;
        void *record;
    } calls[] = {
        {"vtdb_handle_nagios_start", NEBCALLBACK_PROCESS_DATA, &start},
        {"vtdb_handle_aggregated_status_data", NEBCALLBACK_AGGREGATED_STATUS_DATA, &dump_end},
        {"vtdb_handle_retention_data", NEBCALLBACK_RETENTION_DATA, &retention},
        {"vtdb_handle_external_command_data", NEBCALLBACK_EXTERNAL_COMMAND_DATA, &fetch},
        {"vtdb_handle_external_command_data", NEBCALLBACK_EXTERNAL_COMMAND_DATA, &dump},
    };
    for (const auto &c : calls) {
        auto handler = reinterpret_cast<int (*)(int, void *)>(sym<void>(c.handler));
        ASSERT_NE(nullptr, handler) << c.handler;
        int rc = -1;
        {
            vtt::FailingAllocations oom;
            rc = handler(c.callback_type, c.record);
        }
        EXPECT_EQ(0, rc) << c.handler;
    }

    // Memory back, the module works as before.
    vtt::gearman_drain("vtdb_vtstatus");
    standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_ENDDUMP);
    EXPECT_EQ(std::vector<std::string>{KEEP_ALIVE}, status_jobs(1));

    // An unload that cannot even report its dump still removes every callback.
    standin::UnloadResult r{-1, 99};
    {
        vtt::FailingAllocations oom;
        r = unload();
    }
    EXPECT_EQ(0, r.deinit_result);
    EXPECT_EQ(0u, r.callbacks_left);
}

}  // namespace
