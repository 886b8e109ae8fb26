// End to end: module (in the stand-in and in the simulated engine), job server, daemon, database.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include "module_fixture.h"

namespace {

class EndToEnd : public vtm::ModuleTest {
protected:
    void SetUp() override {
        vtm::ModuleTest::SetUp();
        // The row exists as on any engine host after its first start, with a state no
        // start writes.
        sql.exec("INSERT INTO vantor4.program_status (id, program_state, objects_loaded) VALUES (0, 0, 0) "
                 "ON DUPLICATE KEY UPDATE program_state=0, objects_loaded=0, version=NULL, entry_time=NULL");
        daemon = vtt::start_daemon();
        ASSERT_GT(daemon, 0) << "the connector daemon did not start";
    }
    void TearDown() override {
        vtm::ModuleTest::TearDown();
        vtt::stop_daemon(daemon);
    }
    std::string row(const std::string &columns) {
        return sql.scalar("SELECT CONCAT_WS('|', " + columns + ") FROM vantor4.program_status WHERE id=0");
    }

    vtt::Sql sql;
    pid_t daemon = 0;
};

TEST_F(EndToEnd, EngineStartWritesTheProgramStatusRowAndStatusDumpsKeepItFresh) {
    ASSERT_NE(nullptr, load()) << standin::last_load_error();
    // Several status workers execute in parallel, so each earlier phase is awaited before
    // the next is raised; the statements of the event-loop start commute with each other.
    for (int phase : {NEBTYPE_PROCESS_PRELAUNCH, NEBTYPE_PROCESS_START}) {
        standin::raise_process_event(phase);
        EXPECT_TRUE(vtt::wait_until([&] { return row("program_state") == std::to_string(phase); }, 15000))
            << row("program_state");
    }
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    EXPECT_TRUE(vtt::wait_until([&] { return row("program_state, version, objects_loaded") == "105|9.12.8-7|2"; },
                                15000))
        << row("program_state, version, objects_loaded");

    const std::string first = row("UNIX_TIMESTAMP(entry_time)");
    for (int i = 0; i < 2; i++) {
        const std::string before = row("UNIX_TIMESTAMP(entry_time)");
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_ENDDUMP);
        EXPECT_TRUE(vtt::wait_until(
            [&] { return std::stol(row("UNIX_TIMESTAMP(entry_time)")) > std::stol(before); }, 10000))
            << "entry_time stayed at " << before;
    }
    EXPECT_GE(std::stol(row("UNIX_TIMESTAMP(entry_time)")), std::stol(first) + 2);
    EXPECT_EQ("105|2", row("program_state, objects_loaded"));
}

TEST_F(EndToEnd, SimulatedEngineProvisionsRunsAndReadsItsCommandPipe) {
    sql.exec("DROP TABLE IF EXISTS vantor4.host_state_change_900, vantor4.service_state_change_900, "
             "vantor4.host_state_change_901, vantor4.service_state_change_901");
    const std::string engine_log = vtt::path("/var/vantor-engine-sim.log");
    vtt::remove_file(engine_log);
    const std::string cmd_pipe = vtt::path("/var/rw/vantor.cmd");

    const std::string sim_out = vtt::path("/var/engine-sim-test.out");
    vtt::remove_file(sim_out);

    pid_t sim = vtt::spawn_simulator(VT_ENGINE_SIM_PATH,
                                     {"--hosts", "2", "--services", "3", "--seconds", "5", "--status-interval", "1",
                                      "--first-host-id", "900", "--module", VTDB_MODULE_PATH, "--show-status"},
                                     sim_out);
    ASSERT_GT(sim, 0);
    ASSERT_TRUE(vtt::wait_until([&] { return vtt::count_lines_containing(vtm::module_log(), "Ready to rock") > 0; },
                                10000));
    {
        int fd = open(cmd_pipe.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0) << "no command pipe at " << cmd_pipe;
        const std::string line = "[" + std::to_string(time(nullptr)) + "] _VTDB_FETCH_DELAYED\n";
        EXPECT_EQ(static_cast<ssize_t>(line.size()), write(fd, line.data(), line.size()));
        close(fd);
    }
    // The start's process events may be executed in any order by the parallel workers;
    // objects_loaded is only set at the event-loop start.
    EXPECT_TRUE(vtt::wait_until([&] { return row("version, objects_loaded") == "9.12.8-7|2"; }, 10000))
        << row("program_state, version, objects_loaded");

    int status = 0;
    ASSERT_EQ(sim, waitpid(sim, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));

    // What the newcomer sees: the row the daemon wrote, read back before the shutdown.
    const std::string shown = vtt::read_file(sim_out);
    EXPECT_NE(std::string::npos, shown.find("  version         9.12.8-7\n")) << shown;
    EXPECT_NE(std::string::npos, shown.find("  objects_loaded  2\n")) << shown;
    EXPECT_NE(std::string::npos, shown.find("vantor-engine-sim: stopped after")) << shown;
    // Right after the start some of its jobs may still wait for the module's sender.
    EXPECT_EQ(1, vtt::count_lines_containing(engine_log, " messages are still to be delivered"));
    EXPECT_EQ(1, vtt::count_lines_containing(engine_log, "Starting to dump 0 messages"));
    EXPECT_GE(vtt::count_lines_containing(vtm::module_log(), "] alive"), 1);
    EXPECT_EQ(1, vtt::count_lines_containing(vtm::module_log(), "tks for using keldra broker"));
    EXPECT_FALSE(vtt::exists(cmd_pipe));
    EXPECT_EQ(1, sql.count("vtcfg.nagios_contacts WHERE contact_name='sim-admin'"));
    EXPECT_EQ(1, sql.count("vtcfg.nagios_commands WHERE command_name='sim-notify-service'"));
    for (const char *t : {"host_state_change_900", "service_state_change_900", "host_state_change_901",
                          "service_state_change_901"})
        EXPECT_EQ(1, sql.count(std::string("information_schema.TABLES WHERE TABLE_SCHEMA='vantor4' AND "
                                           "TABLE_NAME='") + t + "'"))
            << t;
    // The shutdown events rewrote the row; the daemon executes what the module queued.
    EXPECT_TRUE(vtt::wait_until(
        [&] {
            const std::string s = row("program_state");
            return s == "103" || s == "106";
        },
        10000))
        << row("program_state");
}

}  // namespace
