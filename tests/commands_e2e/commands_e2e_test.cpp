// End to end: commands queued in vantor_cmd reach the simulated engine, and an outage of the job server is replayed.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

const int kHost = 960;

class CommandsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        vtt::gearmand_start();
        for (const std::string &f : vtt::list_dir(vtt::path("/var/delayed-messages")))
            vtt::remove_file(vtt::path("/var/delayed-messages/" + f));
        sql.exec("DELETE FROM vantor4.vantor_cmd");
        sql.exec("DELETE FROM vantor4.host_comment WHERE host_id=" + std::to_string(kHost));
        sql.exec("DELETE FROM vantor4.service_comment WHERE host_id=" + std::to_string(kHost));
        sql.exec("DELETE FROM vantor4.service_downtime WHERE host_id=" + std::to_string(kHost));
        sql.exec("DROP TABLE IF EXISTS vantor4.host_state_change_960, vantor4.service_state_change_960");
        daemon = vtt::start_daemon();
        ASSERT_GT(daemon, 0) << "the connector daemon did not start";
        module_log_offset = vtt::read_file(vtt::path("/var/vtdb.log")).size();
        daemon_log_offset = vtt::read_file(vtt::daemon_log()).size();
        engine = vtt::spawn_simulator(VT_ENGINE_SIM_PATH,
                                      {"--hosts", "1", "--services", "2", "--status-interval", "1", "--first-host-id",
                                       "960", "--module", VTDB_MODULE_PATH},
                                      vtt::path("/var/commands-e2e-sim.out"));
        ASSERT_TRUE(vtt::wait_until([&] { return module_log().find("Ready to rock") != std::string::npos; }, 15000));
    }
    void TearDown() override {
        vtt::gearmand_start();
        if (engine > 0) {
            kill(engine, SIGTERM);
            waitpid(engine, nullptr, 0);
        }
        vtt::stop_daemon(daemon);
    }
    std::string module_log() { return vtt::read_file(vtt::path("/var/vtdb.log")).substr(module_log_offset); }
    std::string daemon_log() { return vtt::read_file(vtt::daemon_log()).substr(daemon_log_offset); }
    void queue(const std::string &command) {
        sql.exec("INSERT INTO vantor4.vantor_cmd (command) VALUES ('[" + std::to_string(time(nullptr)) + "] " +
                 command + "')");
    }
    bool arrives(const std::string &table_where, long count = 1) {
        return vtt::wait_until([&] { return sql.count(table_where) == count; }, 15000);
    }

    vtt::Sql sql;
    pid_t daemon = 0, engine = 0;
    size_t module_log_offset = 0, daemon_log_offset = 0;
};

TEST_F(CommandsEndToEnd, QueuedCommandsBecomeAcknowledgementDowntimeAndCommentRows) {
    const long now = time(nullptr);
    queue("ACKNOWLEDGE_SVC_PROBLEM;sim-host-1;sim-service-1;1;1;1;Simulation Administrator;"
          "2030-01-31 18:00:00#|#disk replaced");
    // The downtime starts a moment after it was added: events of one object raised within the
    // same millisecond may be executed by different status workers in either order.
    queue("SCHEDULE_SVC_DOWNTIME;sim-host-1;sim-service-2;" + std::to_string(now + 2) + ";" +
          std::to_string(now + 600) + ";1;0;600;Simulation Administrator;kernel update");
    queue("ADD_HOST_COMMENT;sim-host-1;1;Simulation Administrator;it\\\\\\'s fine");  // stored as it\'s fine

    EXPECT_TRUE(arrives("vantor4.service_comment WHERE host_id=960 AND service_id=1 AND entry_type=4 AND "
                        "comment_data='disk replaced' AND expires=1 AND expire_time='2030-01-31 18:00:00'"));
    EXPECT_TRUE(arrives("vantor4.service_state_change_960 WHERE service_id=1 AND comment='disk replaced - Author: "
                        "sim-admin / Simulation Administrator - Expires on: 2030-01-31 18:00:00'"));
    EXPECT_TRUE(arrives("vantor4.service_downtime WHERE host_id=960 AND service_id=2 AND type=1103 AND "
                        "comment_data='kernel update - Author: sim-admin / Simulation Administrator'"));
    EXPECT_TRUE(arrives("vantor4.service_state_change_960 WHERE service_id=2 AND display_status=1"));
    EXPECT_TRUE(arrives("vantor4.host_comment WHERE host_id=960 AND comment_data='it''s fine' AND entry_type=1"));
    EXPECT_EQ(0, sql.count("vantor4.vantor_cmd"));
}

TEST_F(CommandsEndToEnd, WhatTheModuleDumpedDuringAnOutageIsReplayed) {
    vtt::gearmand_stop();
    const int comments = 25;
    for (int i = 0; i < comments; i++)
        queue("ADD_SVC_COMMENT;sim-host-1;sim-service-" + std::to_string(i % 2 + 1) + ";1;Simulation Administrator;"
              "outage note " + std::to_string(i));
    ASSERT_TRUE(vtt::wait_until([&] { return sql.count("vantor4.vantor_cmd") == 0; }, 15000));
    // The module dumped its queue, and the replay carries the dump into the database while
    // the job server is still away.
    ASSERT_TRUE(vtt::wait_until([&] { return daemon_log().find(" delayed messages\n") != std::string::npos; }, 15000))
        << daemon_log();
    // A replay round may fall between two dumps; the next round takes the rest.
    EXPECT_TRUE(vtt::wait_until(
        [&] { return sql.count("vantor4.service_comment WHERE comment_data LIKE 'outage note %'") >= 10; }, 15000));

    vtt::gearmand_start();
    // Whatever was still in the module's memory follows the first submission that succeeds.
    EXPECT_TRUE(arrives("vantor4.service_comment WHERE host_id=960 AND comment_data LIKE 'outage note %'", comments));
    EXPECT_TRUE(vtt::list_dir(vtt::path("/var/delayed-messages")).empty());
    const long entry_age = std::stol(sql.scalar("SELECT UNIX_TIMESTAMP() - UNIX_TIMESTAMP(entry_time) FROM "
                                                "vantor4.program_status WHERE id=0"));
    EXPECT_LE(entry_age, 5);
}

}  // namespace
