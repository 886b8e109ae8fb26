// The daemon end to end: start-up, lock file, supervision, status workers against the real servers.
#include "test_support.h"
#include "vt_batch.h"
#include "vt_message_id.h"
#include "vt_sign.h"
#include "vt_upsert.h"
#include "vantor_config.h"
#include "vt_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <cstdio>
#include <ctime>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kLock = vtt::path("/var/run/vantorconnector.lock");

// Runs the daemon binary and returns the exit status of the process started (not of the
// detached daemon), with fds 0-2 closed first when asked.
int run_binary(bool close_std = false)
{
    pid_t p = fork();
    if (p == 0) {
        if (close_std) {
            close(0);
            close(1);
            close(2);
        }
        execl(vtt::daemon_binary().c_str(), "vantorconnector", static_cast<char *>(nullptr));
        _exit(127);
    }
    int st = 0;
    waitpid(p, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

class Daemon : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Detached daemons and children reparent to us, so their exit statuses can be read.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }
    void SetUp() override
    {
        vtt::init_runtime("vantorconnector");
        conf_saved = vtt::read_file(VT_CONNECTOR_CONF);
        conf("vtstatus_workers=2\nperfdata_workers=0\nnotify_workers=0\n");
        vtt::remove_file(kLock);
        vtt::remove_file(VT_FAILED_SQL_FILE);
        sql.exec("CREATE TABLE IF NOT EXISTS vt_test.daemon_rows (k INT PRIMARY KEY, v TEXT)");
        sql.exec("DELETE FROM vt_test.daemon_rows");
        vtt::gearmand_start();
        vtt::gearman_drain("vtdb_vtstatus");
        vtt::gearman_drain("vtdb_statuspri");
        offset = log().size();
    }
    void TearDown() override
    {
        vtt::stop_daemon(supervisor);
        vtt::gearmand_start();
        vtt::write_file(VT_CONNECTOR_CONF, conf_saved);
    }
    static void conf(const std::string &text) { vtt::write_file(VT_CONNECTOR_CONF, text); }
    void deliveredAgainCarriedOutOnce(const std::string &run);
    static std::string log() { return vtt::read_file(vtt::daemon_log()); }
    std::string new_log() const
    {
        std::string all = log();
        return all.size() > offset ? all.substr(offset) : std::string();
    }
    long new_lines(const std::string &needle) const
    {
        std::string text = new_log();
        long n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            ++n;
        return n;
    }
    void start()
    {
        supervisor = vtt::start_daemon();
        ASSERT_GT(supervisor, 0) << new_log();
    }
    bool row_arrives(int k, const std::string &v)
    {
        return vtt::wait_until([&] { return sql.scalar("SELECT v FROM vt_test.daemon_rows WHERE k=" + std::to_string(k)) == v; },
                               10000);
    }
    vtt::Sql sql;
    std::string conf_saved;
    size_t offset = 0;
    pid_t supervisor = 0;
};

TEST_F(Daemon, StartsItsWorkersAndLogsThePidsLine)
{
    start();
    std::string text = new_log();
    EXPECT_NE(std::string::npos, text.find("Starting vantorconnector V. 9.12.8-7"));
    EXPECT_NE(std::string::npos, text.find("finished daemonizing"));
    // Children announce themselves on their own time, possibly after the PIDs line.
    EXPECT_TRUE(vtt::wait_until([&] { return new_lines("processing vtdb_statuspri queue - pid ") == 1; }, 15000));
    EXPECT_TRUE(vtt::wait_until([&] { return new_lines("processing vtdb_vtstatus queue - pid ") == 2; }, 15000));
    auto kids = vtt::children_of(supervisor);
    EXPECT_EQ(5u, kids.size());
    size_t line = text.find("PIDs Main process");
    ASSERT_NE(std::string::npos, line);
    std::string pids_line = text.substr(line, text.find('\n', line) - line);
    EXPECT_NE(std::string::npos, pids_line.find(" - perfdata_gm  - status_gm  "));
    EXPECT_NE(std::string::npos, pids_line.find(" - notify_gm "));
    EXPECT_NE(std::string::npos, text.find("PIDs Main process " + std::to_string(supervisor) + " Child process"));
    EXPECT_EQ(std::to_string(supervisor) + "\n", vtt::read_file(kLock));
}

TEST_F(Daemon, CommandRelayAndReplayChildrenAreListedAndRestarted)
{
    start();
    const std::string text = new_log();
    const size_t at = text.find("Child process External CMDs ");
    ASSERT_NE(std::string::npos, at);
    int relay = 0, replay = 0;
    ASSERT_EQ(2, std::sscanf(text.c_str() + at, "Child process External CMDs %d - Child process delayed messages %d",
                             &relay, &replay));
    auto kids = vtt::children_of(supervisor);
    for (pid_t pid : {relay, replay})
        EXPECT_NE(kids.end(), std::find(kids.begin(), kids.end(), pid)) << pid;
    EXPECT_TRUE(vtt::wait_until([&] { return new_lines("processing external commands - pid " + std::to_string(relay)) == 1 &&
                                             new_lines("processing delayed messages - pid " + std::to_string(replay)) == 1; },
                                5000)) << new_log();
    const struct {
        pid_t pid;
        const char *format;
    } victims[] = {{relay, "ERROR external commands child died %d, restarting"},
                   {replay, "ERROR delayed messahes child died %d, restarting"}};
    for (const auto &v : victims) {
        kill(v.pid, SIGKILL);
        char line[128];
        std::snprintf(line, sizeof line, v.format, static_cast<int>(v.pid));
        EXPECT_TRUE(vtt::wait_until([&] { return new_lines(line) == 1; }, 6000)) << new_log();
    }
    EXPECT_TRUE(vtt::wait_until([&] {
        return new_lines("processing external commands - pid ") == 2 && new_lines("processing delayed messages - pid ") == 2;
    }, 5000)) << new_log();
}

TEST_F(Daemon, StatementsLandFailuresAreKeptDuplicatesAreNot)
{
    start();
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (1, 'first')");
    ASSERT_TRUE(row_arrives(1, "first"));
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (1, 'dup')");
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.no_such_table VALUES (1)");
    vtt::gearman_submit("vtdb_statuspri", "INSERT INTO vt_test.daemon_rows VALUES (2, 'pri')");
    ASSERT_TRUE(row_arrives(2, "pri"));
    ASSERT_TRUE(vtt::wait_until([] { return vtt::exists(VT_FAILED_SQL_FILE); }, 10000));
    EXPECT_TRUE(vtt::wait_until([] { return vtt::gearman_queued("vtdb_vtstatus") == 0; }, 5000));
    EXPECT_EQ("INSERT INTO vt_test.no_such_table VALUES (1)\n", vtt::read_file(VT_FAILED_SQL_FILE));
    EXPECT_EQ(1, new_lines("vantorconnector: MYSQL ERROR: mysql_query;1146;"));
    EXPECT_EQ(1, new_lines(";INSERT INTO vt_test.no_such_table VALUES (1)\n"));
    EXPECT_EQ(0, new_lines("dup"));
    EXPECT_EQ("first", sql.scalar("SELECT v FROM vt_test.daemon_rows WHERE k=1"));
}

std::string batch_of(const std::vector<std::string> &stmts)
{
    std::string b;
    for (const std::string &s : stmts)
        vt::batch_append(b, s.data(), s.size());
    return b;
}

// A batch runs in one transaction; each failing statement is handled as a single job's, the
// rest still runs; a lost transaction is run again statement by statement; a cut batch runs
// what it holds whole.
TEST_F(Daemon, BatchesRunInOneTransactionWithFailuresHandledPerStatement)
{
    conf("vtstatus_workers=1\nperfdata_workers=0\nnotify_workers=0\n");
    start();
    vtt::gearman_submit("vtdb_vtstatus", batch_of({"INSERT INTO vt_test.daemon_rows VALUES (10, 'a')",
                                                   "INSERT INTO vt_test.daemon_rows VALUES (10, 'dup')",
                                                   "INSERT INTO vt_test.no_such_table VALUES (1)",
                                                   "INSERT INTO vt_test.daemon_rows SELECT 11, @@in_transaction"}));
    ASSERT_TRUE(row_arrives(11, "1"));
    EXPECT_EQ("a", sql.scalar("SELECT v FROM vt_test.daemon_rows WHERE k=10"));
    EXPECT_EQ("INSERT INTO vt_test.no_such_table VALUES (1)\n", vtt::read_file(VT_FAILED_SQL_FILE));
    EXPECT_EQ(1, new_lines("MYSQL ERROR: mysql_query;1146;"));
    EXPECT_EQ(0, new_lines("dup"));

    // The session is killed in mid-batch: what ran before is rolled back with it.
    vtt::remove_file(VT_FAILED_SQL_FILE);
    vtt::gearman_submit("vtdb_vtstatus", batch_of({"INSERT INTO vt_test.daemon_rows VALUES (20, 'x')",
                                                   "KILL CONNECTION_ID()",
                                                   "INSERT INTO vt_test.daemon_rows VALUES (21, 'y')"}));
    ASSERT_TRUE(row_arrives(21, "y"));
    EXPECT_EQ("x", sql.scalar("SELECT v FROM vt_test.daemon_rows WHERE k=20"));
    EXPECT_EQ(1, new_lines("status batch of 3 statements lost its transaction"));

    std::string cut = batch_of({"INSERT INTO vt_test.daemon_rows VALUES (30, 'whole')", "INSERT INTO never"});
    cut.resize(cut.size() - 3);
    vtt::gearman_submit("vtdb_vtstatus", cut);
    ASSERT_TRUE(row_arrives(30, "whole"));
    EXPECT_TRUE(vtt::wait_until([&] { return new_lines("ends inside a message: only its first 1 messages") == 1; },
                                5000));
}

// An upsert of daemon_rows marked as mergeable, as the module marks its status upserts.
std::string upsert(const std::string &k, const std::string &v)
{
    return vt::marked_upsert(1, "INSERT INTO vt_test.daemon_rows(k, v) VALUES", "(" + k + ", '" + v + "')",
                             " ON DUPLICATE KEY UPDATE v='" + v + "'");
}

// The upserts of a batch go as one statement; when it fails, they run one by one, and only
// the one at fault is logged and kept, as if it had come alone.
TEST_F(Daemon, MergedUpsertThatFailsFallsBackToTheSingleStatements)
{
    conf("vtstatus_workers=1\nperfdata_workers=0\nnotify_workers=0\n");
    start();
    const std::string bad = upsert("'not a number'", "bad");
    vtt::gearman_submit("vtdb_vtstatus", batch_of({upsert("40", "a"), bad, upsert("40", "b"), upsert("41", "c")}));
    ASSERT_TRUE(row_arrives(41, "c"));
    EXPECT_EQ("b", sql.scalar("SELECT v FROM vt_test.daemon_rows WHERE k=40"));
    EXPECT_EQ(bad + "\n", vtt::read_file(VT_FAILED_SQL_FILE));
    EXPECT_EQ(1, new_lines("MYSQL ERROR: mysql_query;1366;"));
    EXPECT_EQ(1, new_lines(";" + bad + "\n"));
    EXPECT_EQ(0, new_lines("=VALUES(")) << "the merged statement is not logged";
    EXPECT_EQ(2, sql.count("vt_test.daemon_rows"));

    // Without a fault, the rows land as one statement would leave them.
    vtt::remove_file(VT_FAILED_SQL_FILE);
    vtt::gearman_submit("vtdb_vtstatus", batch_of({upsert("41", "d"), upsert("42", "e"), upsert("41", "f")}));
    ASSERT_TRUE(row_arrives(42, "e"));
    EXPECT_EQ("f", sql.scalar("SELECT v FROM vt_test.daemon_rows WHERE k=41"));
    EXPECT_FALSE(vtt::exists(VT_FAILED_SQL_FILE));
}

// A merged statement that meets a duplicate key (an update that collides with another unique
// key) is no success: its rows go one by one, and only the colliding one is left out.
TEST_F(Daemon, MergedUpsertMeetingADuplicateKeyStoresTheOtherRows)
{
    sql.exec("CREATE TABLE IF NOT EXISTS vt_test.daemon_unique (k INT PRIMARY KEY, v VARCHAR(20) UNIQUE)");
    sql.exec("DELETE FROM vt_test.daemon_unique");
    sql.exec("INSERT INTO vt_test.daemon_unique VALUES (1, 'x'), (2, 'y')");
    auto row = [](const std::string &k, const std::string &v) {
        return vt::marked_upsert(1, "INSERT INTO vt_test.daemon_unique(k, v) VALUES", "(" + k + ", '" + v + "')",
                                 " ON DUPLICATE KEY UPDATE v='" + v + "'");
    };
    conf("vtstatus_workers=1\nperfdata_workers=0\nnotify_workers=0\n");
    start();
    vtt::gearman_submit("vtdb_vtstatus", batch_of({row("3", "c"), row("1", "y"), row("4", "d")}));
    ASSERT_TRUE(vtt::wait_until([&] { return sql.count("vt_test.daemon_unique") == 4; }, 10000));
    EXPECT_EQ("x", sql.scalar("SELECT v FROM vt_test.daemon_unique WHERE k=1"));
    EXPECT_EQ("d", sql.scalar("SELECT v FROM vt_test.daemon_unique WHERE k=4"));
}

// A batch that loses a deadlock to another session (rows locked in the opposite order) is
// rolled back and runs again whole: every row of it lands once, before and after the
// statement that lost.
TEST_F(Daemon, BatchThatLosesADeadlockRunsAgainWholeAndStoresEachRowOnce)
{
    sql.exec("CREATE TABLE IF NOT EXISTS vt_test.daemon_history (n INT)");
    sql.exec("CREATE TABLE IF NOT EXISTS vt_test.daemon_weight (n INT)");
    sql.exec("DELETE FROM vt_test.daemon_history");
    sql.exec("DELETE FROM vt_test.daemon_weight");
    sql.exec("INSERT INTO vt_test.daemon_rows VALUES (50, 'a'), (51, 'b')");
    conf("vtstatus_workers=1\nperfdata_workers=0\nnotify_workers=0\n");
    start();
    vtt::Sql other;
    other.exec("START TRANSACTION");
    // The heavier transaction of a deadlock is the one kept: the worker's is the one rolled back.
    other.exec("INSERT INTO vt_test.daemon_weight WITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM s "
               "WHERE n < 500) SELECT n FROM s");
    other.exec("UPDATE vt_test.daemon_rows SET v='other' WHERE k=51");
    vtt::gearman_submit("vtdb_vtstatus", batch_of({"INSERT INTO vt_test.daemon_history VALUES (1)",
                                                   "UPDATE vt_test.daemon_rows SET v='worker' WHERE k=50",
                                                   "UPDATE vt_test.daemon_rows SET v='worker' WHERE k=51",
                                                   "INSERT INTO vt_test.daemon_history VALUES (2)"}));
    // The worker holds row 50 and waits for row 51.
    ASSERT_TRUE(vtt::wait_until([&] {
        return sql.count("information_schema.processlist WHERE command='Query' AND info LIKE '%SET v=''worker'' WHERE "
                         "k=51'") == 1;
    }, 15000));
    other.exec("UPDATE vt_test.daemon_rows SET v='other' WHERE k=50");
    other.exec("COMMIT");
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (52, 'after')");
    ASSERT_TRUE(row_arrives(52, "after")) << new_log();
    EXPECT_EQ(1, sql.count("vt_test.daemon_history WHERE n=1"));
    EXPECT_EQ(1, sql.count("vt_test.daemon_history WHERE n=2"));
    EXPECT_EQ("worker", sql.scalar("SELECT v FROM vt_test.daemon_rows WHERE k=51"));
    EXPECT_EQ(1, new_lines("status batch of 4 statements: its transaction was lost (1213 "));
    EXPECT_EQ(0, new_lines("one by one"));
    EXPECT_FALSE(vtt::exists(VT_FAILED_SQL_FILE));
}

// Messages carrying the module's identity are carried out once, whatever brings them again: a
// batch delivered three times (to two workers at once), a batch overlapping one carried out
// before, a single job submitted twice. A statement without an identity runs each time.
void Daemon::deliveredAgainCarriedOutOnce(const std::string &run)
{
    sql.exec("CREATE TABLE IF NOT EXISTS vt_test.daemon_history (n INT)");
    sql.exec("DELETE FROM vt_test.daemon_history");
    sql.exec("DELETE FROM vtcfg.message_done WHERE run_id='" + run + "'");
    auto msg = [&](unsigned long long seq) {
        return vt::message_id_prefix(run, seq) + "INSERT INTO vt_test.daemon_history VALUES (" + std::to_string(seq) +
               ")";
    };
    const std::string first = batch_of({msg(1), msg(2), msg(3)});
    const std::string overlapping = batch_of({msg(2), msg(3), msg(4), msg(5)});
    for (int i = 0; i < 3; ++i)
        vtt::gearman_submit("vtdb_vtstatus", first);
    for (int i = 0; i < 2; ++i) {
        vtt::gearman_submit("vtdb_vtstatus", overlapping);
        vtt::gearman_submit("vtdb_statuspri", msg(6));
        vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.daemon_history VALUES (100)");
    }
    conf("vtstatus_workers=2\nperfdata_workers=0\nnotify_workers=0\n");
    start();
    ASSERT_TRUE(vtt::wait_until(
        [&] {
            auto st = vtt::gearman_status();
            return st["vtdb_vtstatus"].total == 0 && st["vtdb_statuspri"].total == 0 &&
                   sql.count("vt_test.daemon_history WHERE n=100") == 2;
        },
        15000))
        << new_log();
    for (int n = 1; n <= 6; ++n)
        EXPECT_EQ(1, sql.count("vt_test.daemon_history WHERE n=" + std::to_string(n))) << n << "\n" << new_log();
    EXPECT_EQ(8, sql.count("vt_test.daemon_history"));
    EXPECT_GE(new_lines("messages carried out before (delivered or replayed again)"), 1);
    EXPECT_FALSE(vtt::exists(VT_FAILED_SQL_FILE));
    // The record holds each number once, in ranges.
    EXPECT_EQ("6", sql.scalar("SELECT SUM(last_seq - first_seq + 1) FROM vtcfg.message_done WHERE run_id='" + run +
                              "' AND queue IN ('vtdb_vtstatus', 'vtdb_statuspri')"));
    sql.exec("DELETE FROM vtcfg.message_done WHERE run_id='" + run + "'");
}

TEST_F(Daemon, IdentifiedMessagesDeliveredAgainAreCarriedOutOnce)
{
    deliveredAgainCarriedOutOnce("00c0ffee00000002");
    EXPECT_EQ(0, new_lines("vt_commit_recorded is missing"));
}

// A database the record-at-commit upgrade has not reached yet: the workers say so once each
// and record the earlier way, carrying every message out once all the same.
TEST_F(Daemon, WithoutTheCommitProcedureMessagesAreStillCarriedOutOnce)
{
    const std::string script = vtt::read_file(VT_SOURCE_DIR "/sql/upgrade-record-at-commit.sql");
    const size_t from = script.find("CREATE OR REPLACE PROCEDURE"), to = script.find("END //");
    ASSERT_NE(std::string::npos, from);
    ASSERT_NE(std::string::npos, to);
    struct Restore {
        vtt::Sql &sql;
        std::string procedure;
        ~Restore() { sql.exec(procedure); }
    } restore{sql, script.substr(from, to + 3 - from)};
    sql.exec("DROP PROCEDURE IF EXISTS vantor4.vt_commit_recorded");
    deliveredAgainCarriedOutOnce("00c0ffee00000003");
    EXPECT_GE(new_lines("vt_commit_recorded is missing, the record of carried-out messages costs a statement of its "
                        "own; apply sql/upgrade-record-at-commit.sql"),
              1);
}

// A history row for a host whose tables are missing makes the host's tables, in a batch and
// as a single job alike, and the row is stored; the rest of the batch lands once.
TEST_F(Daemon, MissingHistoryTablesAreCreatedAndTheRowsStored)
{
    for (const char *t : {"host_state_change_90417", "service_state_change_90417", "host_state_change_90418",
                          "service_state_change_90418"})
        sql.exec(std::string("DROP TABLE IF EXISTS vantor4.") + t);
    conf("vtstatus_workers=1\nperfdata_workers=0\nnotify_workers=0\n");
    start();
    vtt::gearman_submit("vtdb_vtstatus",
                        batch_of({"INSERT INTO vt_test.daemon_rows VALUES (60, 'a')",
                                  "INSERT INTO vantor4.service_state_change_90417 (service_id, current_state, "
                                  "entry_time_ms) VALUES (7, 2, 1700000000000)",
                                  "INSERT INTO vt_test.daemon_rows VALUES (61, 'b')"}));
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vantor4.host_state_change_90418 (current_state, entry_time_ms) "
                                         "VALUES (1, 1700000000000)");
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (62, 'after')");
    ASSERT_TRUE(row_arrives(62, "after")) << new_log();
    EXPECT_EQ(1, sql.count("vantor4.service_state_change_90417 WHERE service_id=7 AND current_state=2"));
    EXPECT_EQ(1, sql.count("vantor4.host_state_change_90418 WHERE current_state=1"));
    EXPECT_EQ(0, sql.count("vantor4.host_state_change_90417"));
    EXPECT_EQ(1, sql.count("vt_test.daemon_rows WHERE k=60"));
    EXPECT_EQ(1, new_lines("vantor4.service_state_change_90417 was missing: created the tables of host 90417"));
    EXPECT_EQ(1, new_lines("vantor4.host_state_change_90418 was missing: created the tables of host 90418"));
    EXPECT_EQ(0, new_lines("MYSQL ERROR"));
    EXPECT_FALSE(vtt::exists(VT_FAILED_SQL_FILE));
}

TEST_F(Daemon, StatementEndsAtAnEmbeddedNul)
{
    start();
    static const char raw[] = "INSERT INTO vt_test.daemon_rows VALUES (3, 'before')\0; DROP TABLE vt_test.daemon_rows";
    std::string job(raw, sizeof raw - 1);
    vtt::gearman_submit("vtdb_vtstatus", job);
    ASSERT_TRUE(row_arrives(3, "before"));
    EXPECT_FALSE(vtt::exists(VT_FAILED_SQL_FILE));
}

// The pid a "processing <queue> queue - pid N" line announced last, or 0.
pid_t announced(const std::string &log, const std::string &queue)
{
    std::string needle = "processing " + queue + " queue - pid ";
    size_t at = log.rfind(needle);
    return at == std::string::npos ? 0 : static_cast<pid_t>(std::stol(log.substr(at + needle.size())));
}

TEST_F(Daemon, KilledWorkerOfEachKindIsReplacedByItsKind)
{
    conf("vtstatus_workers=1\nperfdata_workers=1\nnotify_workers=0\n");
    start();
    struct Kind { const char *queue, *died; } kinds[] = {
        {"vtdb_statuspri", "ERROR pid_vtstatuspri_gm child died "},
        {"vtdb_vtstatus", "ERROR vtstatus_gm child died "},
        {"vtdb_perfdata", "ERROR perfdata_gm child died "},
    };
    for (const Kind &k : kinds) {
        SCOPED_TRACE(k.queue);
        pid_t victim = 0;
        ASSERT_TRUE(vtt::wait_until([&] { return (victim = announced(new_log(), k.queue)) > 0 &&
                                                 vtt::gearman_status()[k.queue].workers == 1; }, 10000)) << new_log();
        kill(victim, SIGKILL);
        ASSERT_TRUE(vtt::wait_until([&] { return new_lines(k.died + std::to_string(victim) + ", restarting") == 1; }, 5000))
            << new_log();
        pid_t successor = 0;
        EXPECT_TRUE(vtt::wait_until([&] { return (successor = announced(new_log(), k.queue)) != victim &&
                                                 vtt::gearman_status()[k.queue].workers == 1; }, 10000));
        auto kids = vtt::children_of(supervisor);
        EXPECT_NE(kids.end(), std::find(kids.begin(), kids.end(), successor));
        EXPECT_EQ(kids.end(), std::find(kids.begin(), kids.end(), victim));
        EXPECT_EQ(5u, kids.size());  // with the relay and the replay
    }
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (4, 'still served')");
    EXPECT_TRUE(row_arrives(4, "still served"));
}

// The retention child runs only when values or history expire, and is restarted like the workers.
TEST_F(Daemon, RetentionChildRunsWhenSetAndIsRestarted)
{
    auto retention_pid = [&] {
        const std::string needle = "processing history retention - state changes 0, acknowledgements 0, "
                                   "notifications 30, ended comments and downtimes 0, flapping 0 days (0 keeps) - pid ";
        const std::string log = new_log();
        size_t at = log.rfind(needle);
        return at == std::string::npos ? 0 : static_cast<pid_t>(std::stol(log.substr(at + needle.size())));
    };
    start();
    EXPECT_EQ(0, new_lines("processing perfdata retention"));
    vtt::stop_daemon(supervisor);
    conf("vtstatus_workers=1\nperfdata_workers=0\nnotify_workers=0\nnotification_retention_days=30\n");
    start();
    pid_t victim = 0;
    ASSERT_TRUE(vtt::wait_until([&] { return (victim = retention_pid()) > 0; }, 10000)) << new_log();
    kill(victim, SIGKILL);
    EXPECT_TRUE(vtt::wait_until([&] {
        return new_lines("ERROR perfdata retention child died " + std::to_string(victim) + ", restarting") == 1;
    }, 5000)) << new_log();
    pid_t successor = 0;
    EXPECT_TRUE(vtt::wait_until([&] { return (successor = retention_pid()) > 0 && successor != victim; }, 10000));
    auto kids = vtt::children_of(supervisor);
    EXPECT_NE(kids.end(), std::find(kids.begin(), kids.end(), successor));
}

// " 12  13 " (the PIDs line's id text) as numbers.
std::vector<pid_t> ids_between(const std::string &line, const std::string &from, const std::string &to)
{
    size_t a = line.find(from), b = line.find(to);
    std::vector<pid_t> out;
    if (a == std::string::npos || b == std::string::npos || b < a)
        return out;
    std::istringstream in(line.substr(a + from.size(), b - a - from.size()));
    for (long id; in >> id;)
        out.push_back(static_cast<pid_t>(id));
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(Daemon, PidsLineListsTheRealChildren)
{
    conf("vtstatus_workers=2\nperfdata_workers=2\nnotify_workers=0\n");
    start();
    ASSERT_TRUE(vtt::wait_until([&] { return new_lines("processing vtdb_perfdata queue") == 2 &&
                                             new_lines("processing vtdb_vtstatus queue") == 2; }, 10000)) << new_log();
    std::string text = new_log();
    size_t at = text.find("PIDs Main process");
    std::string line = text.substr(at, text.find('\n', at) - at);
    std::vector<pid_t> perfdata = ids_between(line, " - perfdata_gm ", " - status_gm ");
    std::vector<pid_t> status = ids_between(line, " - status_gm ", " - notify_gm ");
    ASSERT_EQ(2u, perfdata.size()) << line;
    ASSERT_EQ(2u, status.size()) << line;
    std::vector<pid_t> listed = perfdata;
    listed.insert(listed.end(), status.begin(), status.end());
    listed.push_back(announced(text, "vtdb_statuspri"));
    int relay = 0, replay = 0;
    ASSERT_EQ(2, std::sscanf(line.c_str(), "PIDs Main process %*d Child process External CMDs %d - Child process "
                                           "delayed messages %d", &relay, &replay)) << line;
    listed.push_back(relay);
    listed.push_back(replay);
    std::sort(listed.begin(), listed.end());
    auto kids = vtt::children_of(supervisor);
    std::sort(kids.begin(), kids.end());
    EXPECT_EQ(kids, listed);
    for (pid_t p : perfdata)
        EXPECT_EQ(1, new_lines("processing vtdb_perfdata queue - pid " + std::to_string(p) + "\n"));
    for (pid_t p : status)
        EXPECT_EQ(1, new_lines("processing vtdb_vtstatus queue - pid " + std::to_string(p) + "\n"));
}

// The log holds plugin output and command lines: nobody but root and the folder's group reads
// it, nobody but root writes it, also where an earlier version left it wider.
TEST_F(Daemon, LogFileIsClosedToOthersAtStartAndAfterRotation)
{
    const std::string log_path = vtt::daemon_log(), rotated = log_path + ".1";
    vtt::remove_file(log_path);
    vtt::write_file(rotated, "old\n");
    ASSERT_EQ(0, chmod(rotated.c_str(), 0666));
    offset = 0;
    start();
    auto mode = [](const std::string &p) {
        struct stat st {};
        return stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0u;
    };
    EXPECT_EQ(0640u, mode(log_path));
    EXPECT_EQ(0640u, mode(rotated));
    ASSERT_EQ(0, truncate(log_path.c_str(), 100000001));  // sparse: one byte over the limit
    pid_t victim = vtt::children_of(supervisor).front();
    kill(victim, SIGKILL);  // the supervisor's next entry rotates
    ASSERT_TRUE(vtt::wait_until([&] { return vtt::exists(rotated) && log().find(" child died ") != std::string::npos; }, 5000));
    EXPECT_EQ(0640u, mode(log_path));
    vtt::remove_file(rotated);
}

TEST_F(Daemon, StopSignalEndsEveryChildAndReleasesTheLock)
{
    for (int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signo);
        offset = log().size();
        start();
        ASSERT_TRUE(vtt::wait_until([&] { return vtt::gearman_status()["vtdb_vtstatus"].workers == 2; }, 10000));
        auto kids = vtt::children_of(supervisor);
        ASSERT_EQ(5u, kids.size());  // with the relay and the replay
        kill(supervisor, signo);
        int st = -1;
        ASSERT_TRUE(vtt::wait_until([&] { return waitpid(supervisor, &st, WNOHANG) == supervisor; }, 15000));
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
        for (pid_t k : kids)
            EXPECT_TRUE(vtt::wait_until([&] { while (waitpid(-1, nullptr, WNOHANG) > 0) {} return kill(k, 0) != 0; }, 2000)) << k;
        EXPECT_EQ(1, new_lines("Stopping vantorconnector on signal " + std::to_string(signo) + ": 5 children stopped, 0 of them killed"));
        EXPECT_FALSE(vtt::exists(kLock));
        supervisor = 0;
    }
    // A fresh start adds no second set of workers: the job server lists just the new ones.
    start();
    EXPECT_TRUE(vtt::wait_until([&] { return vtt::gearman_status()["vtdb_vtstatus"].workers == 2; }, 10000));
    sleep(1);
    EXPECT_EQ(2, vtt::gearman_status()["vtdb_vtstatus"].workers);
    EXPECT_EQ(1, vtt::gearman_status()["vtdb_statuspri"].workers);
}

TEST_F(Daemon, ChildrenEndWhenTheSupervisorIsKilled)
{
    // A notification worker too: it changes its user after the fork.
    conf("vtstatus_workers=2\nperfdata_workers=0\nnotify_workers=1\n");
    start();
    ASSERT_TRUE(vtt::wait_until([&] { return vtt::gearman_status()["vtdb_notify"].workers == 1; }, 10000));
    auto kids = vtt::children_of(supervisor);
    ASSERT_EQ(6u, kids.size());
    kill(supervisor, SIGKILL);
    for (pid_t k : kids)
        EXPECT_TRUE(vtt::wait_until([&] { while (waitpid(-1, nullptr, WNOHANG) > 0) {} return kill(k, 0) != 0; }, 5000)) << k;
    EXPECT_TRUE(vtt::wait_until([&] { return vtt::gearman_status()["vtdb_vtstatus"].workers == 0; }, 5000));
    // The daemon's process group is still ended by TearDown should anything be left.
}

TEST_F(Daemon, QueuedStatementsSurviveAJobServerCrash)
{
    const int n = 3000;
    std::vector<std::string> stmts;
    for (int i = 0; i < n; ++i)
        stmts.push_back("INSERT INTO vt_test.daemon_rows VALUES (" + std::to_string(1000 + i) + ", 'kept')");
    vtt::gearman_submit_all("vtdb_vtstatus", stmts);  // no worker runs yet
    vtt::gearmand_kill();
    vtt::gearmand_start();
    start();
    EXPECT_TRUE(vtt::wait_until([&] { return sql.count("vt_test.daemon_rows WHERE v='kept'") == n; }, 60000))
        << sql.count("vt_test.daemon_rows WHERE v='kept'") << " of " << n;
    EXPECT_TRUE(vtt::wait_until([] { return vtt::gearman_queued("vtdb_vtstatus") == 0; }, 10000));
}

TEST_F(Daemon, WorkersRideOutAJobServerOutage)
{
    start();
    ASSERT_TRUE(vtt::wait_until([&] { return new_lines("processing vtdb_vtstatus queue") == 2; }, 5000));
    vtt::gearmand_stop();
    // Every worker (two status, one priority) reports its first failure once; the throttle
    // keeps the retries every half second quiet.
    EXPECT_TRUE(vtt::wait_until([&] { return new_lines("ERROR worker could not crete queue file vtdb_pri ") == 3; }, 8000))
        << new_log();
    sleep(2);
    EXPECT_EQ(3, new_lines("ERROR worker could not crete queue file vtdb_pri "));
    // Each of them also names its own queue and servers, and what to do.
    EXPECT_EQ(2, new_lines("ERROR vtdb_vtstatus worker lost its job servers (127.0.0.1:")) << new_log();
    EXPECT_EQ(1, new_lines("ERROR vtdb_statuspri worker lost its job servers (127.0.0.1:")) << new_log();
    EXPECT_EQ(3, new_lines("; start gearmand or correct vtcfg.job_servers, retrying every 0.5 s")) << new_log();
    vtt::gearmand_start();
    for (int i = 10; i < 20; ++i)
        vtt::gearman_submit(i % 2 ? "vtdb_vtstatus" : "vtdb_statuspri",
                            "INSERT INTO vt_test.daemon_rows VALUES (" + std::to_string(i) + ", 'back')");
    EXPECT_TRUE(vtt::wait_until([&] { return sql.count("vt_test.daemon_rows WHERE v='back'") == 10; }, 10000));
}

TEST_F(Daemon, PriorityWorkerUsesOnlyTheLocalJobServer)
{
    auto saved = sql.rows("SELECT id, host FROM vtcfg.job_servers");
    sql.exec("DELETE FROM vtcfg.job_servers");
    sql.exec("INSERT INTO vtcfg.job_servers (id, host) VALUES (1, '127.0.0.2')");  // nothing listens there
    start();
    sql.exec("DELETE FROM vtcfg.job_servers");
    for (const auto &r : saved)
        sql.exec("INSERT INTO vtcfg.job_servers (id, host) VALUES (" + r[0].value_or("NULL") + ", " +
                 (r[1] ? "'" + *r[1] + "'" : std::string("NULL")) + ")");
    vtt::gearman_submit("vtdb_statuspri", "INSERT INTO vt_test.daemon_rows VALUES (5, 'pri')");
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (6, 'status')");
    EXPECT_TRUE(row_arrives(5, "pri"));
    sleep(1);
    EXPECT_EQ("", sql.scalar("SELECT v FROM vt_test.daemon_rows WHERE k=6"));
    EXPECT_EQ(1, vtt::gearman_queued("vtdb_vtstatus"));
    vtt::stop_daemon(supervisor);
    supervisor = 0;
    vtt::gearman_drain("vtdb_vtstatus");
}

TEST_F(Daemon, SecondInstanceBailsOutOnTheLock)
{
    start();
    // The parent waits for the detached child's word: a start that failed says so.
    EXPECT_EQ(254, run_binary());
    EXPECT_EQ(1, new_lines("ERROR Lockfile '" + kLock + "' looks like its already held by another instance of Nagios (PID " +
                           std::to_string(supervisor) + ").  Bailing out..."));
    EXPECT_EQ(std::to_string(supervisor) + "\n", vtt::read_file(kLock));
}

TEST_F(Daemon, StalePidStartsInvalidPidRefuses)
{
    vtt::write_file(kLock, "4000000\n");
    start();
    EXPECT_EQ(std::to_string(supervisor) + "\n", vtt::read_file(kLock));
    vtt::stop_daemon(supervisor);
    supervisor = 0;
    vtt::write_file(kLock, "garbage");
    EXPECT_EQ(254, run_binary());
    EXPECT_EQ(1, new_lines("ERROR Lockfile '" + kLock + "' does not contain a valid PID (garbage)"));
}

TEST_F(Daemon, ClosedStandardDescriptorsDoNotCarryTheLock)
{
    size_t before = log().size();
    ASSERT_EQ(0, run_binary(true));
    ASSERT_TRUE(vtt::wait_until([&] { return log().find("PIDs Main process", before) != std::string::npos; }, 20000));
    supervisor = static_cast<pid_t>(std::stol(vtt::read_file(kLock)));
    // The lock file is open on a descriptor above 2, and the lock still holds.
    bool on_std = false, found = false;
    for (const std::string &fd : vtt::list_dir("/proc/" + std::to_string(supervisor) + "/fd")) {
        char target[512] = {0};
        if (readlink(("/proc/" + std::to_string(supervisor) + "/fd/" + fd).c_str(), target, sizeof target - 1) > 0 &&
            kLock == target) {
            found = true;
            on_std = on_std || std::stoi(fd) <= 2;
        }
    }
    EXPECT_TRUE(found);
    EXPECT_FALSE(on_std);
    EXPECT_EQ(254, run_binary());
    EXPECT_TRUE(vtt::wait_until([&] { return new_lines("looks like its already held") == 1; }, 5000));
}

TEST_F(Daemon, MissingDbConfEndsWithStatusThree)
{
    std::string saved = vtt::read_file(VT_DB_CONF_FILE);
    vtt::remove_file(VT_DB_CONF_FILE);
    int rc = run_binary();
    vtt::write_file(VT_DB_CONF_FILE, saved);
    EXPECT_EQ(3, rc);
    EXPECT_EQ(1, new_lines(std::string("vtdb: Could no opne file ") + VT_DB_CONF_FILE));
}

TEST_F(Daemon, WaitsForTheDatabaseAtStart)
{
    vtt::mariadb_stop();
    ASSERT_EQ(0, run_binary());
    EXPECT_TRUE(vtt::wait_until([&] { return new_lines("vantorconnector: ERROR Could not connect to mysql - retring in 5 seconds") >= 1; }, 10000))
        << new_log();
    EXPECT_EQ(0, new_lines("PIDs Main process"));
    vtt::mariadb_start();
    EXPECT_TRUE(vtt::wait_until([&] { return new_lines("PIDs Main process") == 1; }, 20000)) << new_log();
    supervisor = static_cast<pid_t>(std::stol(vtt::read_file(kLock)));
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (7, 'after wait')");
    EXPECT_TRUE(row_arrives(7, "after wait"));
}

TEST_F(Daemon, ZeroWorkersStillGiveThePidsLine)
{
    conf("vtstatus_workers=-1\nperfdata_workers=0\nnotify_workers=0\n");
    start();
    EXPECT_EQ(1, new_lines(" - perfdata_gm  - status_gm  - notify_gm \n"));
    EXPECT_EQ(3u, vtt::children_of(supervisor).size());
}

TEST_F(Daemon, StartsOnlyWithAKeyFileNobodyElseCanUse)
{
    const std::string key = vtt::path("/etc/vantor.key");
    const vtt::KeptFile restore(key);
    const std::string &saved = restore.content();
    const struct {
        const char *name;
        std::function<void()> make;
        const char *why;
    } cases[] = {
        {"missing", [&] { unlink(key.c_str()); }, "No such file"},
        {"readable by all", [&] { chmod(key.c_str(), 0644); }, "mode 0644"},
        {"a link", [&] {
             unlink(key.c_str());
             vtt::write_file(key + ".real", saved);
             chmod((key + ".real").c_str(), 0600);
             symlink((key + ".real").c_str(), key.c_str());
         }, "symbolic link"},
    };
    for (const auto &c : cases) {
        unlink(key.c_str());
        vtt::write_file(key, saved);
        chmod(key.c_str(), 0640);
        c.make();
        offset = log().size();
        EXPECT_EQ(3, run_binary()) << c.name;
        EXPECT_EQ(1, new_lines(std::string("ERROR cannot use the job key ") + key)) << c.name << ": " << new_log();
        EXPECT_EQ(1, new_lines(c.why)) << c.name << ": " << new_log();
        EXPECT_FALSE(vtt::exists(kLock)) << c.name;
        if (vtt::wait_until([] { return vtt::exists(kLock); }, 500))  // one that started after all
            vtt::stop_daemon(static_cast<pid_t>(std::stol(vtt::read_file(kLock))));
    }
    unlink((key + ".real").c_str());
}

// One status worker takes the jobs in their order, so a signed job submitted last shows
// that everything before it was taken.
TEST_F(Daemon, OnlyJobsSignedForTheirOwnQueueAreCarriedOut)
{
    conf("vtstatus_workers=1\nperfdata_workers=0\nnotify_workers=0\n");
    start();
    auto insert = [](int k) { return "INSERT INTO vt_test.daemon_rows VALUES (" + std::to_string(k) + ", 'a')"; };
    std::string changed = vtt::signed_job("vtdb_vtstatus", insert(43));
    changed[changed.size() - 2] = 'b';
    const struct {
        const char *name;
        std::string job;
        int k;
        bool runs;
    } cases[] = {
        {"signed", vtt::signed_job("vtdb_vtstatus", insert(40)), 40, true},
        {"signed batch", vtt::signed_job("vtdb_vtstatus", batch_of({insert(41), insert(42)})), 41, true},
        {"one byte changed", changed, 43, false},
        {"signed for another queue", vtt::signed_job("vtdb_statuspri", insert(44)), 44, false},
        {"no signature", insert(45), 45, false},
        {"a batch without a signature", batch_of({insert(46)}), 46, false},
    };
    for (const auto &c : cases)
        vtt::gearman_submit_unsigned("vtdb_vtstatus", c.job);
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (49, 'last')");
    ASSERT_TRUE(row_arrives(49, "last")) << new_log();
    for (const auto &c : cases)
        EXPECT_EQ(c.runs ? 1 : 0, sql.count("vt_test.daemon_rows WHERE k=" + std::to_string(c.k))) << c.name;
    EXPECT_EQ(1, sql.count("vt_test.daemon_rows WHERE k=42"));
    // Four refusals, one line: a flood of forged jobs cannot fill the log.
    EXPECT_EQ(1, new_lines("ERROR vtdb_vtstatus: job refused, it carries "));
    EXPECT_EQ(1, new_lines("(1 refused by this worker since it started)"));
    EXPECT_FALSE(vtt::exists(VT_FAILED_SQL_FILE));
}

// A signed job runs within the window after it was made and is refused beyond it, however
// well it is signed: a copy someone kept cannot be carried out again for ever.
TEST_F(Daemon, SignedJobsOlderThanTheWindowAreRefused)
{
    conf("vtstatus_workers=1\nperfdata_workers=0\nnotify_workers=0\nmessage_window_days=2\n");
    start();
    vtt::load_sandbox_key();
    auto made_at = [](int k, time_t stamp) {
        const std::string s = "INSERT INTO vt_test.daemon_rows VALUES (" + std::to_string(k) + ", 'a')";
        return vt::sign_job("vtdb_vtstatus", s.data(), s.size(), stamp);
    };
    const time_t now = std::time(nullptr);
    vtt::gearman_submit_unsigned("vtdb_vtstatus", made_at(70, now - 86400));
    vtt::gearman_submit_unsigned("vtdb_vtstatus", made_at(71, now - 3 * 86400));
    vtt::gearman_submit_unsigned("vtdb_vtstatus", made_at(72, 1));
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (73, 'last')");
    ASSERT_TRUE(row_arrives(73, "last")) << new_log();
    EXPECT_EQ(1, sql.count("vt_test.daemon_rows WHERE k=70"));
    EXPECT_EQ(0, sql.count("vt_test.daemon_rows WHERE k=71"));
    EXPECT_EQ(0, sql.count("vt_test.daemon_rows WHERE k=72"));
    EXPECT_EQ(1, new_lines("ERROR vtdb_vtstatus: job refused, it carries a time stamp older than message_window_days"));
}

TEST_F(Daemon, UnsignedJobsRunOnlyWhileTheOperatorAllowsThem)
{
    conf("vtstatus_workers=1\nperfdata_workers=0\nnotify_workers=0\naccept_unsigned_jobs=1\n");
    start();
    EXPECT_EQ(1, new_lines("WARNING accept_unsigned_jobs=1: the workers carry out jobs without a signature"));
    std::string changed = vtt::signed_job("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (51, 'a')");
    changed.back() = ';';
    vtt::gearman_submit_unsigned("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (50, 'old module')");
    vtt::gearman_submit_unsigned("vtdb_vtstatus", changed);
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (52, 'last')");
    ASSERT_TRUE(row_arrives(52, "last"));
    EXPECT_EQ("old module", sql.scalar("SELECT v FROM vt_test.daemon_rows WHERE k=50"));
    EXPECT_EQ(0, sql.count("vt_test.daemon_rows WHERE k=51"));  // a forged job never runs
}

// A batch holds at most what the module puts into one; empty messages are no statements.
TEST_F(Daemon, BatchesAreBoundedToWhatTheModuleSends)
{
    conf("vtstatus_workers=1\nperfdata_workers=0\nnotify_workers=0\n");
    start();
    std::vector<std::string> too_many;
    for (int k = 100; k <= 300; ++k)
        too_many.push_back("INSERT INTO vt_test.daemon_rows VALUES (" + std::to_string(k) + ", 'x')");
    std::vector<std::string> full(vt::kBatchMessages - 2, std::string());
    full.push_back("INSERT INTO vt_test.daemon_rows VALUES (60, 'among empties')");
    full.push_back("INSERT INTO vt_test.no_such_table VALUES (1)");
    vtt::gearman_submit("vtdb_vtstatus", batch_of(too_many));
    vtt::gearman_submit("vtdb_vtstatus", batch_of(std::vector<std::string>(50000, std::string())));
    vtt::gearman_submit("vtdb_vtstatus", batch_of(full));
    vtt::gearman_submit("vtdb_vtstatus", "");
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.daemon_rows VALUES (61, 'last')");
    ASSERT_TRUE(row_arrives(61, "last")) << new_log();
    EXPECT_EQ("among empties", sql.scalar("SELECT v FROM vt_test.daemon_rows WHERE k=60"));
    EXPECT_EQ(0, sql.count("vt_test.daemon_rows WHERE k BETWEEN 100 AND 300"));
    EXPECT_EQ(1, new_lines("ERROR vtdb_vtstatus: a batch job of 201 messages (more than 200) is dropped whole"));
    EXPECT_EQ(1, new_lines("ERROR vtdb_vtstatus: a batch job of 50000 messages (more than 200) is dropped whole"));
    // Only the failing statement costs a round trip and a line: no empty query was sent.
    EXPECT_EQ(1, new_lines("MYSQL ERROR"));
    EXPECT_EQ("INSERT INTO vt_test.no_such_table VALUES (1)\n", vtt::read_file(VT_FAILED_SQL_FILE));
}

}  // namespace
