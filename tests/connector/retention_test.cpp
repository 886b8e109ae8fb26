// The retention child: expired values and history rows of every kind go, every other row stays,
// and the rows that stay are not read; the files of failed statements stay bounded.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kHost = "901";

class Retention : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtt::init_runtime("vantorconnector");
        vtt::remove_file(logfile);
        vt_settings_defaults();
    }
    void TearDown() override
    {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        vt_settings_defaults();
    }
    // n rows made by an INSERT ... SELECT over seq_1_to_<n>; "seq" numbers them in what.
    void rows(const std::string &table, const std::string &columns, const std::string &what, int n)
    {
        sql.exec("INSERT INTO " + table + " (" + columns + ") SELECT " + what + " FROM vtperf.seq_1_to_" + std::to_string(n));
    }
    // Rows the server's handlers have read, by any statement.
    long rows_read()
    {
        long n = 0;
        for (const vtt::Row &r : sql.rows("SHOW GLOBAL STATUS LIKE 'Handler\\_read\\_%'"))
            if (r.at(1))
                n += std::stol(*r.at(1));
        return n;
    }
    bool logged(const std::string &needle) { return vtt::count_lines_containing(logfile, needle) > 0; }
    // Whether a line "<head><N><tail>" with N >= least was logged. The per-host tables of other
    // tests of the suite may hold expired rows of their own, which the same pass deletes.
    bool logged_at_least(const std::string &head, long least, const std::string &tail)
    {
        const std::string log = vtt::read_file(logfile);
        for (size_t at = log.find(head); at != std::string::npos; at = log.find(head, at + 1)) {
            char *end = nullptr;
            const long n = std::strtol(log.c_str() + at + head.size(), &end, 10);
            if (end && n >= least && log.compare(end - log.c_str(), tail.size(), tail) == 0)
                return true;
        }
        return false;
    }
    vtt::Sql sql;
    pid_t child = -1;
};

// Every kind set (acknowledgements kept longer than state changes, to show the two apart) on
// tables whose kept rows outnumber the expired ones a hundredfold: the pass deletes exactly the
// expired rows and reads few more rows than it deletes.
TEST_F(Retention, ExpiredRowsOfEveryKindGoOthersStayUnread)
{
    sql.exec("DROP TABLE IF EXISTS vtperf.service_perf_" + kHost + ", vantor4.host_state_change_" + kHost +
             ", vantor4.service_state_change_" + kHost);
    sql.exec("CREATE TABLE vtperf.service_perf_" + kHost + " LIKE vtperf.service_perf");
    sql.exec("CALL vantor4.vt_create_host_tables(" + kHost + ")");
    for (const char *t : {"host_notification", "service_notification", "host_flapping", "service_flapping",
                          "host_comment", "service_comment", "host_downtime", "service_downtime"})
        sql.exec(std::string("DELETE FROM vantor4.") + t);
    const int kept = 5000;
    // Kept rows are 29 days old or newer, expired ones 31 days or older (a day either side of
    // the cut-off, however late the pass starts). An expired row carries a negative number.
    const std::string recent = "NOW() - INTERVAL 29 DAY + INTERVAL seq SECOND";
    const std::string old = "NOW() - INTERVAL 31 DAY - INTERVAL seq SECOND";
    const std::string ms = "CAST(UNIX_TIMESTAMP(%s) AS UNSIGNED) * 1000";
    auto in_ms = [&](const std::string &t) { return std::string(ms).replace(ms.find("%s"), 2, t); };
    const std::string perf = "vtperf.service_perf_" + kHost;
    rows(perf, "entry_time, service_id, metric_id, perf_value", recent + ", 1, seq % 5, seq", kept);
    rows(perf, "entry_time, service_id, metric_id, perf_value", old + ", 1, seq % 5, -seq", 40);
    for (const std::string kind : {"host", "service"}) {
        const std::string t = "vantor4." + kind + "_state_change_" + kHost;
        rows(t, "entry_time_ms, current_state", in_ms(recent) + ", seq", kept);
        rows(t, "entry_time_ms, current_state", in_ms(old) + ", -seq", 30);
        // acknowledgement records: 31 days old stay (60 days kept), 61 days old go
        rows(t, "entry_time_ms, current_state, `comment`", in_ms(old) + ", seq, 'ack'", 20);
        rows(t, "entry_time_ms, current_state, `comment`",
             in_ms("NOW() - INTERVAL 61 DAY - INTERVAL seq MINUTE") + ", -seq, 'ack'", 10);
        rows("vantor4." + kind + "_notification", "entry_time, host_id, state", recent + ", " + kHost + ", seq", kept);
        rows("vantor4." + kind + "_notification", "entry_time, host_id, state", old + ", " + kHost + ", -seq", 20);
        rows("vantor4." + kind + "_flapping", "entry_time, host_id, `type`", recent + ", " + kHost + ", seq", 500);
        rows("vantor4." + kind + "_flapping", "entry_time, host_id, `type`", old + ", " + kHost + ", -seq", 15);
        // comments: expired long ago (goes), not expiring though dated (stays), expiring lately (stays)
        const std::string ids = kind == "host" ? "seq" : "seq + 100000";
        const std::string cols = "comment_id, host_id, expires, expire_time, persistent";
        rows("vantor4." + kind + "_comment", cols, ids + ", " + kHost + ", 1, " + old + ", -seq", 12);
        rows("vantor4." + kind + "_comment", cols, ids + " + 1000, " + kHost + ", 0, " + old + ", seq", 12);
        rows("vantor4." + kind + "_comment", cols, ids + " + 2000, " + kHost + ", 1, " + recent + ", seq", 12);
        // downtimes: fixed and ended long ago (goes); flexible, whose window ended long ago but
        // which may last 20 days from its end (stays); fixed and ending lately (stays)
        const std::string dcols = std::string("downtime_id, host_id, ") + (kind == "service" ? "service_id, " : "") +
                                  "`fixed`, end_time, duration, contact_id";
        const std::string sid = kind == "service" ? "1, " : "";
        rows("vantor4." + kind + "_downtime", dcols, "seq, " + kHost + ", " + sid + "1, " + old + ", 60, -seq", 9);
        rows("vantor4." + kind + "_downtime", dcols,
             "seq + 1000, " + kHost + ", " + sid + "0, " + old + ", 20 * 86400, seq", 9);
        rows("vantor4." + kind + "_downtime", dcols, "seq + 2000, " + kHost + ", " + sid + "1, " + recent + ", 60, seq",
             9);
    }

    PERFDATA_RETENTION_DAYS = 30;
    VT_STATE_HISTORY_RETENTION_DAYS = 30;
    VT_ACKNOWLEDGEMENT_RETENTION_DAYS = 60;
    VT_NOTIFICATION_RETENTION_DAYS = 30;
    VT_ENDED_COMMENT_DOWNTIME_RETENTION_DAYS = 30;
    VT_FLAPPING_RETENTION_DAYS = 30;
    VT_RETENTION_CHUNK = 7;
    VT_RETENTION_PAUSE_MS = 0;
    VT_RETENTION_INTERVAL_S = 3600;
    ASSERT_EQ(1, vt_retention_wanted());
    const long read_before = rows_read();
    child = vt_perfdata_retention_dispatcher();
    ASSERT_GT(child, 0);
    // The downtimes come last in a pass.
    ASSERT_TRUE(vtt::wait_until([&] { return logged("history retention: deleted 18 ended downtimes"); }, 60000))
        << vtt::read_file(logfile);
    const long read = rows_read() - read_before;

    EXPECT_TRUE(logged_at_least("perfdata retention: deleted ", 40, " values older than '"));
    EXPECT_TRUE(logged_at_least("history retention: deleted ", 60, " state changes older than 30 days"));
    EXPECT_TRUE(logged_at_least("history retention: deleted ", 20,
                                " acknowledgement and downtime records older than 60 days"));
    EXPECT_TRUE(logged("history retention: deleted 40 notifications older than 30 days"));
    EXPECT_TRUE(logged("history retention: deleted 30 flapping records older than 30 days"));
    EXPECT_TRUE(logged("history retention: deleted 24 ended comments older than 30 days"));
    EXPECT_EQ(kept, sql.count(perf));
    EXPECT_EQ(0, sql.count(perf + " WHERE perf_value < 0"));
    for (const std::string kind : {"host", "service"}) {
        const std::string t = "vantor4." + kind + "_state_change_" + kHost;
        EXPECT_EQ(kept + 20, sql.count(t)) << t;
        EXPECT_EQ(0, sql.count(t + " WHERE current_state < 0")) << t;
        for (const char *what : {"_notification", "_flapping", "_comment", "_downtime"}) {
            const std::string table = "vantor4." + kind + what;
            const std::string column = std::string(what) == "_notification" ? "state"
                                       : std::string(what) == "_flapping"   ? "`type`"
                                       : std::string(what) == "_comment"    ? "persistent"
                                                                            : "contact_id";
            EXPECT_EQ(0, sql.count(table + " WHERE " + column + " < 0")) << table;
            EXPECT_LT(0, sql.count(table + " WHERE " + column + " > 0")) << table;
        }
        EXPECT_EQ(24, sql.count("vantor4." + kind + "_comment"));
        EXPECT_EQ(18, sql.count("vantor4." + kind + "_downtime"));
    }
    // 282 rows deleted and the listing of the tables; a value table read whole would add 5,000
    // rows a chunk.
    EXPECT_LT(read, kept) << "rows read by the pass";
}

// A table without the index on the expiry's column still loses its expired rows, and the log
// says which upgrade adds the index.
TEST_F(Retention, TableWithoutTheIndexIsNamed)
{
    const std::string perf = "vtperf.service_perf_902";
    sql.exec("DROP TABLE IF EXISTS " + perf);
    sql.exec("CREATE TABLE " + perf + " LIKE vtperf.service_perf");
    sql.exec("ALTER TABLE " + perf + " DROP KEY service_perf_time");
    rows(perf, "entry_time, perf_value", "NOW() - INTERVAL 9 DAY - INTERVAL seq MINUTE, -seq", 5);
    rows(perf, "entry_time, perf_value", "NOW() - INTERVAL 1 DAY, seq", 5);
    PERFDATA_RETENTION_DAYS = 8;
    child = vt_perfdata_retention_dispatcher();
    ASSERT_GT(child, 0);
    ASSERT_TRUE(vtt::wait_until([&] { return logged("perfdata retention: deleted "); }, 60000))
        << vtt::read_file(logfile);
    EXPECT_TRUE(logged("tables of vtperf have no index on entry_time ("));
    EXPECT_TRUE(logged("apply sql/upgrade-retention-index.sql"));
    EXPECT_EQ(0, sql.count(perf + " WHERE perf_value < 0"));
    EXPECT_EQ(5, sql.count(perf));
    sql.exec("DROP TABLE " + perf);
}

// The failed-SQL file moves to its one older generation once it has grown above the limit;
// no statement is lost by the move and the log says it happened.
TEST_F(Retention, FailedStatementsFileIsRotated)
{
    const std::string file = VT_FAILED_SQL_FILE, older = file + ".1";
    vtt::remove_file(file);
    vtt::remove_file(older);
    const long long saved = vt_error_file_limit;
    vt_error_file_limit = 100;
    std::string before;
    for (int i = 0; i < 3; ++i) {
        const std::string stmt = "INSERT INTO t VALUES (" + std::to_string(i) + ", 'twenty-odd bytes')";  // 45 bytes
        vt_write_failed_sql(stmt.c_str());
        before += stmt + "\n";
    }
    EXPECT_FALSE(vtt::exists(older));  // 2 lines (90 bytes) were not above 100 when the 3rd came
    vt_write_failed_sql("INSERT INTO t VALUES (5)");
    vt_write_failed_sql("INSERT INTO t VALUES (6)");
    vt_error_file_limit = saved;
    EXPECT_EQ(before, vtt::read_file(older));
    EXPECT_EQ("INSERT INTO t VALUES (5)\nINSERT INTO t VALUES (6)\n", vtt::read_file(file));
    EXPECT_EQ(1, vtt::count_lines_containing(logfile, file + " grew above 100 bytes: moved to " + older));
    struct stat st {};
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    vtt::remove_file(file);
    vtt::remove_file(older);
}

}  // namespace
