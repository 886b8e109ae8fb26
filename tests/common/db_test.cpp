// Database access against the private server: db.php parsing, statements, retry, reconnect,
// escaping and the job-server list.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"

#include <gtest/gtest.h>
#include <csignal>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Swaps db.php for a test's own text and puts the real one back afterwards.
class DbConf : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtt::init_runtime("dbtest");
        saved = vtt::read_file(VT_DB_CONF_FILE);
        clear();
    }
    void TearDown() override
    {
        vtt::write_file(VT_DB_CONF_FILE, saved);
        clear();
        parse_db_conf();
    }
    static void clear() { DBHOST[0] = DBUSER[0] = DBPASS[0] = DBPORT[0] = '\0'; }
    static void parse(const std::string &text)
    {
        vtt::write_file(VT_DB_CONF_FILE, text);
        ASSERT_EQ(0, parse_db_conf());
    }
    std::string saved;
};

TEST_F(DbConf, PhpAssignmentsAndQuoteForms)
{
    parse("<?php\n$DBHOST = 'db.example';\n$DBUSER = \"mon\";\n$DBPASS = 'it\"s';\n$DBPORT = '';\n?>\n");
    EXPECT_STREQ("db.example", DBHOST);
    EXPECT_STREQ("mon", DBUSER);
    EXPECT_STREQ("it", DBPASS);  // a quote of the other kind closes the value
    EXPECT_STREQ("", DBPORT);
}

TEST_F(DbConf, DefineFormCommentsAndUnquotedValues)
{
    std::strcpy(DBPORT, "4406");
    parse("define('DBHOST', 'localhost');\n# DBUSER = 'commented'\nDBPORT=3306\n");
    EXPECT_STREQ(", ", DBHOST);       // the first quote after the key closes the key's own name
    EXPECT_STREQ("commented", DBUSER);  // comments are not special
    EXPECT_STREQ("4406", DBPORT);     // no quote: the value stays as it was
}

TEST_F(DbConf, LoneQuoteTakesTheRestOfThePiece)
{
    parse("$DBHOST = 'h1\n$DBHOST = 'h2'\n$DBPASS = '");
    EXPECT_STREQ("h2", DBHOST);  // the last occurrence wins
    EXPECT_STREQ("", DBPASS);    // nothing after the quote: empty, and nothing written before it
    parse("$DBUSER = 'abc");     // last line without a line break loses its last character
    EXPECT_STREQ("ab", DBUSER);
}

TEST_F(DbConf, LongLinesEmptyFilesAndMissingFile)
{
    std::string longline(600, 'x');
    parse(longline + "$DBHOST = 'far'\n" + std::string(300, 'y') + "\n");
    EXPECT_STREQ("far", DBHOST);  // a long line is read as pieces, each parsed as a line
    clear();
    parse(std::string(250, ' ') + "$DBHOST = 'split-over-pieces'\n");
    EXPECT_STREQ("", DBHOST) << "a key cut by the 255-byte piece boundary is not found";
    parse("");
    EXPECT_STREQ("", DBUSER);
    vtt::remove_file(VT_DB_CONF_FILE);
    EXPECT_EQ(-2, parse_db_conf());
    EXPECT_EQ(1, vtt::count_lines_containing(logfile, std::string("vtdb: Could no opne file ") + VT_DB_CONF_FILE));
}

class DbExec : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtt::init_runtime("dbtest");
        vtt::remove_file(logfile);
        ASSERT_EQ(0, db_connect());
        sql.exec("CREATE TABLE IF NOT EXISTS vt_test.kv (k INT PRIMARY KEY, v TEXT) ENGINE=InnoDB");
        sql.exec("DELETE FROM vt_test.kv");
        sql.exec("CREATE TABLE IF NOT EXISTS vt_test.calls (n INT) ENGINE=MyISAM");
        sql.exec("DELETE FROM vt_test.calls");
        // Counts its executions in a table that keeps rows whatever happens, then fails.
        sql.exec("CREATE OR REPLACE PROCEDURE vt_test.count_and_fail() BEGIN "
                 "INSERT INTO vt_test.calls VALUES (1); SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'planned'; END");
    }
    void TearDown() override { db_disconnect(); }
    long log_lines(const std::string &needle) { return vtt::count_lines_containing(logfile, needle); }
    // Ends this process's session from the server side and waits until the server has let
    // it go, so that the client finds its socket closed.
    void kill_session()
    {
        std::string id = std::to_string(mysql_thread_id(&dbHandle));
        sql.exec("KILL CONNECTION " + id);
        ASSERT_TRUE(vtt::wait_until(
            [&] { return sql.count("information_schema.processlist WHERE id = " + id) == 0; }, 5000));
    }
    vtt::Sql sql;
};

TEST_F(DbExec, StatementsResultsAndStatus)
{
    int status = -1;
    EXPECT_EQ(nullptr, db_query_exec("INSERT INTO vt_test.kv VALUES (1, 'one')", "vantor4", &status, 1));
    EXPECT_EQ(0, status);
    vt::Result res(db_query_exec("SELECT v FROM kv WHERE k = 1", "vt_test", &status, 1));
    ASSERT_TRUE(res);
    MYSQL_ROW row = mysql_fetch_row(res.get());
    ASSERT_TRUE(row);
    EXPECT_STREQ("one", row[0]);
}

TEST_F(DbExec, StatementsCannotMakeTheClientSendAFileOfItsHost)
{
    // A job's statement that asks for a local file gets nothing from this host.
    const std::string file = VT_PATH("/var/local-infile-probe");
    vtt::write_file(file, "7\tsecret\n");
    int status = 0;
    db_query_exec(("LOAD DATA LOCAL INFILE '" + file + "' INTO TABLE vt_test.kv").c_str(), "vt_test", &status, 0);
    vtt::remove_file(file);
    EXPECT_EQ(-2, status);
    EXPECT_EQ(0, sql.count("vt_test.kv"));
}

TEST_F(DbExec, DuplicateKeyIsSuccessExecutedOnceAndSilent)
{
    sql.exec("INSERT INTO vt_test.kv VALUES (7, 'x')");
    sql.exec("CREATE OR REPLACE TRIGGER vt_test.kv_count BEFORE INSERT ON vt_test.kv FOR EACH ROW "
             "INSERT INTO vt_test.calls VALUES (1)");
    int status = -1;
    EXPECT_EQ(nullptr, db_query_exec("INSERT INTO vt_test.kv VALUES (7, 'y')", "vt_test", &status, 1));
    sql.exec("DROP TRIGGER vt_test.kv_count");
    EXPECT_EQ(0, status);
    EXPECT_EQ(1, sql.count("vt_test.calls"));
    EXPECT_EQ(0, log_lines("MYSQL ERROR"));
}

TEST_F(DbExec, OtherErrorsAreTriedThreeTimesThenLoggedOnce)
{
    int status = 0;
    EXPECT_EQ(nullptr, db_query_exec("CALL count_and_fail()", "vt_test", &status, 1));
    EXPECT_EQ(-2, status);
    EXPECT_EQ(3, sql.count("vt_test.calls"));
    EXPECT_EQ(1, log_lines("dbtest: MYSQL ERROR: mysql_query;1644;planned;CALL count_and_fail()"));

    status = 0;
    db_query_exec("CALL count_and_fail()", "vt_test", &status, 0);
    EXPECT_EQ(-2, status);
    EXPECT_EQ(6, sql.count("vt_test.calls"));
    EXPECT_EQ(1, log_lines("MYSQL ERROR: mysql_query"));  // log flag 0: silent
}

TEST_F(DbExec, SchemaSelectionFailureIsLoggedEvenWithoutLogFlag)
{
    int status = 0;
    EXPECT_EQ(nullptr, db_query_exec("SELECT 1", "no_such_schema", &status, 0));
    EXPECT_EQ(-2, status);
    EXPECT_EQ(1, log_lines("dbtest: MYSQL ERROR: Unable to select database no_such_schema; Retval 1; SELECT 1"));
}

TEST_F(DbExec, ExplicitLengthSendsOnlyThatManyBytes)
{
    const char text[] = "INSERT INTO vt_test.kv VALUES (2, 'two')GARBAGE";
    int status = -1;
    db_query_exec_real(text, "vt_test", &status, 1, static_cast<int>(std::strlen(text) - 7));
    EXPECT_EQ(0, status);
    EXPECT_EQ("two", sql.scalar("SELECT v FROM vt_test.kv WHERE k = 2"));
}

TEST_F(DbExec, ReconnectsAfterTheServerKilledTheConnection)
{
    std::string id = std::to_string(mysql_thread_id(&dbHandle));
    kill_session();
    int status = -1;
    db_query_exec("INSERT INTO vt_test.kv VALUES (3, 'after kill')", "vt_test", &status, 1);
    EXPECT_EQ(0, status);
    EXPECT_EQ("after kill", sql.scalar("SELECT v FROM vt_test.kv WHERE k = 3"));
    EXPECT_NE(id, std::to_string(mysql_thread_id(&dbHandle)));

    // The same after an idle second, when the liveness check runs before the statement.
    kill_session();
    usleep(1100 * 1000);
    db_query_exec("INSERT INTO vt_test.kv VALUES (6, 'after idle kill')", "vt_test", &status, 1);
    EXPECT_EQ(0, status);
    EXPECT_EQ("after idle kill", sql.scalar("SELECT v FROM vt_test.kv WHERE k = 6"));
    EXPECT_EQ(0, log_lines("MYSQL"));
}

TEST_F(DbExec, StatementCutOffByALostConnectionIsNeverRunTwice)
{
    // The statement has executed (its row is in a table that keeps it) when the session dies.
    sql.exec("CREATE OR REPLACE PROCEDURE vt_test.count_and_sleep() BEGIN "
             "INSERT INTO vt_test.calls VALUES (1); DO SLEEP(3); END");
    const std::string id = std::to_string(mysql_thread_id(&dbHandle));
    pid_t killer = fork();
    if (killer == 0) {
        vtt::Sql admin;
        bool ran = vtt::wait_until([&] { return admin.count("vt_test.calls") == 1; }, 5000);
        admin.exec("KILL CONNECTION " + id);
        _exit(ran ? 0 : 1);
    }
    int status = 0;
    EXPECT_EQ(nullptr, db_query_exec("CALL count_and_sleep()", "vt_test", &status, 1));
    int killed = -1;
    waitpid(killer, &killed, 0);
    ASSERT_EQ(0, killed);
    EXPECT_EQ(-2, status);
    EXPECT_EQ(1, sql.count("vt_test.calls"));
    EXPECT_EQ(1, log_lines("dbtest: MYSQL ERROR: mysql_query;"));
    EXPECT_EQ(1, log_lines("CALL count_and_sleep()"));

    // The next statement gets a connection of its own.
    db_query_exec("INSERT INTO vt_test.kv VALUES (8, 'next')", "vt_test", &status, 1);
    EXPECT_EQ(0, status);
    EXPECT_EQ("next", sql.scalar("SELECT v FROM vt_test.kv WHERE k = 8"));
}

TEST_F(DbExec, SchemaSelectionFailingAfterAReconnectIsReported)
{
    sql.exec("CREATE DATABASE IF NOT EXISTS vt_gone");
    sql.exec("GRANT ALL ON vt_gone.* TO 'vantor'@'127.0.0.1', 'vantor'@'localhost'");
    int status = -1;
    mysql_free_result(db_query_exec("SELECT 1", "vt_gone", &status, 1));
    ASSERT_EQ(0, status);
    kill_session();
    sql.exec("DROP DATABASE vt_gone");
    // Run in the connection's default schema instead, this would succeed.
    vt::Result res(db_query_exec("SELECT DATABASE()", "vt_gone", &status, 0));
    EXPECT_FALSE(res);
    EXPECT_EQ(-2, status);
    EXPECT_EQ(1, log_lines("dbtest: MYSQL ERROR: Unable to select database vt_gone; Retval 1; SELECT DATABASE()"));
}

// The server's sql_mode, as a set of flags.
std::set<std::string> mode_flags(const std::string &mode)
{
    std::set<std::string> out;
    std::stringstream in(mode);
    for (std::string f; std::getline(in, f, ',');)
        if (!f.empty())
            out.insert(f);
    return out;
}

TEST_F(DbExec, EscapingHoldsWhateverSqlModeTheServerSets)
{
    struct RestoreMode {
        vtt::Sql &sql;
        std::string mode;
        ~RestoreMode()
        {
            try {
                sql.exec("SET GLOBAL sql_mode = '" + mode + "'");
            } catch (...) {
            }
        }
    } restore{sql, sql.scalar("SELECT @@GLOBAL.sql_mode")};
    const std::string text = "it's \\' a \"test\" ', 'x";
    int key = 20;
    for (const char *mode : {"NO_BACKSLASH_ESCAPES", "NO_BACKSLASH_ESCAPES,STRICT_TRANS_TABLES",
                             "STRICT_TRANS_TABLES,NO_BACKSLASH_ESCAPES,ERROR_FOR_DIVISION_BY_ZERO",
                             "PIPES_AS_CONCAT", ""}) {
        SCOPED_TRACE(mode);
        sql.exec(std::string("SET GLOBAL sql_mode = '") + mode + "'");
        std::set<std::string> expected = mode_flags(sql.scalar("SELECT @@GLOBAL.sql_mode"));
        expected.erase("NO_BACKSLASH_ESCAPES");
        db_disconnect();
        ASSERT_EQ(0, db_connect());
        int status = -1;
        vt::Result res(db_query_exec("SELECT @@SESSION.sql_mode", "vt_test", &status, 1));
        ASSERT_TRUE(res);
        MYSQL_ROW row = mysql_fetch_row(res.get());
        ASSERT_TRUE(row && row[0]);
        EXPECT_EQ(expected, mode_flags(row[0]));

        char *escaped = nullptr;
        vt_escape_string_for_mysql(text.c_str(), &escaped);
        vt::CString hold(escaped);
        std::string insert = "INSERT INTO vt_test.kv VALUES (" + std::to_string(key) + ", " + escaped + ")";
        mysql_free_result(db_query_exec(insert.c_str(), "vt_test", &status, 1));
        EXPECT_EQ(0, status);
        EXPECT_EQ(text, sql.scalar("SELECT v FROM vt_test.kv WHERE k = " + std::to_string(key++)));
    }
}

TEST_F(DbExec, ForkedChildLeavesTheParentsConnectionAlone)
{
    unsigned long id = mysql_thread_id(&dbHandle);
    pid_t child = fork();
    if (child == 0) {
        // A worker's start: a connection of its own, used, then dropped.
        int st = db_connect();
        db_query_exec("SELECT 1", "vt_test", &st, 1);
        db_disconnect();
        _exit(st == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(1, mysql_ping(&dbHandle) == 0);
    int st = -1;
    db_query_exec("INSERT INTO vt_test.kv VALUES (5, 'parent')", "vt_test", &st, 1);
    EXPECT_EQ(0, st);
    EXPECT_EQ(id, mysql_thread_id(&dbHandle));  // no reconnect was needed
}

TEST_F(DbExec, UnreachableServerFailsWithConnectMessage)
{
    std::string port = DBPORT;
    std::strcpy(DBPORT, "1");  // nothing listens there
    db_disconnect();
    int status = 0;
    EXPECT_EQ(nullptr, db_query_exec("SELECT 1", "vt_test", &status, 1));
    EXPECT_EQ(-2, status);
    std::strcpy(DBPORT, port.c_str());
    EXPECT_EQ(1, log_lines("dbtest: MYSQL Could not connect to 127.0.0.1 - User vantor DB vantor4 Port 1 - "));
}

TEST_F(DbExec, EscapingWorksConnectedAndAfterDisconnect)
{
    char *out = reinterpret_cast<char *>(1);
    vt_escape_string_for_mysql(nullptr, &out);
    EXPECT_EQ(nullptr, out);
    for (int round = 0; round < 2; ++round) {
        vt_escape_string_for_mysql("", &out);
        vt::CString empty(out);
        EXPECT_STREQ("''", out);
        vt_escape_string_for_mysql("it's a \"test\"\\\n", &out);
        vt::CString quoted(out);
        EXPECT_STREQ("'it\\'s a \\\"test\\\"\\\\\\n'", out);
        vt_escape_string_for_mysql("gr\xc3\xbc\xc3\x9f", &out);
        vt::CString utf8(out);
        EXPECT_STREQ("'gr\xc3\xbc\xc3\x9f'", out);
        db_disconnect();
    }
    // What is escaped round-trips through the server unchanged.
    vt_escape_string_for_mysql("o'k\\ \"x\" \x1a end", &out);
    vt::CString v(out);
    int status = -1;
    db_query_exec(("INSERT INTO vt_test.kv VALUES (4, " + std::string(out) + ")").c_str(), "vt_test", &status, 1);
    EXPECT_EQ(0, status);
    EXPECT_EQ("o'k\\ \"x\" \x1a end", sql.scalar("SELECT v FROM vt_test.kv WHERE k = 4"));
}

// Plugin output that is not UTF-8 (Latin-1 from older plugins, or cut sequences) would fail a
// whole statement on a utf8mb4 column under strict mode; such bytes arrive as Latin-1 instead.
TEST_F(DbExec, TextsThatAreNotUtf8ArriveAsLatin1InsteadOfFailingTheStatement)
{
    sql.exec("CREATE TABLE IF NOT EXISTS vt_test.u8 (k INT PRIMARY KEY, v TEXT) CHARSET utf8mb4");
    sql.exec("DELETE FROM vt_test.u8");
    ASSERT_NE(std::string::npos, sql.scalar("SELECT @@GLOBAL.sql_mode").find("STRICT_TRANS_TABLES"));
    const struct {
        const char *in, *stored;
    } cases[] = {
        {"gr\xc3\xbc\xc3\x9f \xf0\x9f\x94\xa5", "gr\xc3\xbc\xc3\x9f \xf0\x9f\x94\xa5"},  // valid: unchanged
        {"Temperatur \xe4 it's", "Temperatur \xc3\xa4 it's"},                      // Latin-1
        {"\xc0\xaf", "\xc3\x80\xc2\xaf"},                                       // overlong '/'
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},                          // a surrogate
        {"\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},              // above U+10FFFF
        {"cut \xe2\x82", "cut \xc3\xa2\xc2\x82"},                                // a sequence cut short
    };
    int key = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        char *escaped = nullptr;
        vt_escape_string_for_mysql(c.in, &escaped);
        vt::CString hold(escaped);
        int status = -1;
        const std::string insert = "INSERT INTO vt_test.u8 VALUES (" + std::to_string(++key) + ", " + escaped + ")";
        mysql_free_result(db_query_exec(insert.c_str(), "vt_test", &status, 1));
        EXPECT_EQ(0, status);
        std::string hex;
        for (unsigned char b : std::string(c.stored))
            hex += vt::format("%02X", b);
        EXPECT_EQ(hex, sql.scalar("SELECT HEX(v) FROM vt_test.u8 WHERE k = " + std::to_string(key)));
    }
}

TEST_F(DbExec, FailedStatementsAreAppendedOnePerLine)
{
    vtt::remove_file(VT_FAILED_SQL_FILE);
    vt_write_failed_sql("SELECT 'a'");
    vt_write_failed_sql("SELECT 'b'");
    EXPECT_EQ("SELECT 'a'\nSELECT 'b'\n", vtt::read_file(VT_FAILED_SQL_FILE));
    vtt::remove_file(VT_FAILED_SQL_FILE);
}

// Long lines from processes writing at once stay whole, and a line the file system cuts short
// leaves nothing behind: these lines are the only copy of the statements.
TEST_F(DbExec, FailedStatementLinesNeverSpliceOrBreak)
{
    vtt::remove_file(VT_FAILED_SQL_FILE);
    auto line = [](int proc, int i, size_t size) {
        std::string s = "INSERT " + std::to_string(proc) + " " + std::to_string(i) + " ";
        s.resize(size, static_cast<char>('a' + proc));
        return s;
    };
    const int procs = 4, per_proc = 100;
    std::vector<pid_t> kids;
    for (int p = 0; p < procs; ++p) {
        pid_t k = fork();
        if (k == 0) {
            for (int i = 0; i < per_proc; ++i)
                vt_write_failed_sql(line(p, i, 10000).c_str());
            _exit(0);
        }
        kids.push_back(k);
    }
    for (pid_t k : kids)
        waitpid(k, nullptr, 0);
    std::map<std::string, int> seen;
    std::stringstream in(vtt::read_file(VT_FAILED_SQL_FILE));
    for (std::string l; std::getline(in, l);)
        ++seen[l];
    EXPECT_EQ(static_cast<size_t>(procs * per_proc), seen.size());
    for (int p = 0; p < procs; ++p)
        for (int i = 0; i < per_proc; ++i)
            EXPECT_EQ(1, seen[line(p, i, 10000)]) << p << " " << i;

    // A file size limit that cuts the third line: it is taken back, the fourth finds no room.
    const std::string path = vtt::path("/var/vt_short_write_test");
    vtt::remove_file(path);
    const size_t size = 2000;
    pid_t k = fork();
    if (k == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {2 * (size + 1) + size / 2, 2 * (size + 1) + size / 2};
        setrlimit(RLIMIT_FSIZE, &lim);
        for (int i = 0; i < 4; ++i)
            write_failed_query(line(0, i, size).c_str(), path.c_str());
        _exit(0);
    }
    waitpid(k, nullptr, 0);
    EXPECT_EQ(line(0, 0, size) + "\n" + line(0, 1, size) + "\n", vtt::read_file(path));
    EXPECT_EQ(1, log_lines("ERROR Could not append to " + path + " - File too large - lost: " + line(0, 2, size)));
    vtt::remove_file(path);
    vtt::remove_file(VT_FAILED_SQL_FILE);
}

// Running out of memory inside an entry point gives its failure result, never an exception
// thrown into the C caller.
TEST_F(DbExec, EntryPointsDegradeWhenMemoryRunsOut)
{
    int status = 0;
    MYSQL_RES *res = nullptr;
    EXPECT_FALSE(vtt::throws_without_memory([&] { res = db_query_exec("CALL count_and_fail()", "vt_test", &status, 1); }));
    EXPECT_EQ(nullptr, res);
    EXPECT_EQ(-2, status);
    EXPECT_FALSE(vtt::throws_without_memory([&] {
        res = db_query_exec_real("CALL count_and_fail()", "vt_test", &status, 1, 21);
    }));
    EXPECT_EQ(-2, status);
    char *out = reinterpret_cast<char *>(1);
    EXPECT_FALSE(vtt::throws_without_memory([&] { vt_escape_string_for_mysql("a text of some length", &out); }));
    EXPECT_EQ(nullptr, out);
    vtt::remove_file(VT_FAILED_SQL_FILE);
    EXPECT_FALSE(vtt::throws_without_memory([] { vt_write_failed_sql("SELECT 'a statement of some length'"); }));
    EXPECT_FALSE(vtt::exists(VT_FAILED_SQL_FILE) && !vtt::read_file(VT_FAILED_SQL_FILE).empty());
    // With memory back, everything works as before.
    db_query_exec("INSERT INTO vt_test.kv VALUES (9, 'fine')", "vt_test", &status, 1);
    EXPECT_EQ(0, status);
}

class JobServers : public DbExec {
protected:
    void SetUp() override
    {
        DbExec::SetUp();
        saved = sql.rows("SELECT * FROM vtcfg.job_servers");
        sql.exec("DELETE FROM vtcfg.job_servers");
        release_list();
    }
    // The daemon keeps its list for life; each test builds a fresh one and releases it.
    static void release_list()
    {
        while (job_server_node *n = job_servers_root) {
            job_servers_root = n->next;
            std::free(n->host);
            std::free(n);
        }
        job_servers_end = nullptr;
    }
    void TearDown() override
    {
        sql.exec("DELETE FROM vtcfg.job_servers");
        for (const vtt::Row &r : saved) {
            std::string values;
            for (const auto &c : r)
                values += (values.empty() ? "" : ",") + (c ? "'" + *c + "'" : std::string("NULL"));
            sql.exec("INSERT INTO vtcfg.job_servers VALUES (" + values + ")");
        }
        release_list();
        DbExec::TearDown();
    }
    static std::vector<std::string> hosts()
    {
        std::vector<std::string> out;
        for (job_server_node *n = job_servers_root; n; n = n->next)
            out.emplace_back(n->host);
        return out;
    }
    std::vector<vtt::Row> saved;
};

TEST_F(JobServers, EmptyTableGivesLocalhost)
{
    EXPECT_EQ(0, vtdb_populate_job_servers_list());
    EXPECT_EQ(std::vector<std::string>{"127.0.0.1"}, hosts());
}

TEST_F(JobServers, RowsInOrderAndNullHostsSkipped)
{
    sql.exec("INSERT INTO vtcfg.job_servers (id, host) VALUES (1, 'gm-a'), (2, NULL), (3, 'gm-b')");
    EXPECT_EQ(0, vtdb_populate_job_servers_list());
    EXPECT_EQ((std::vector<std::string>{"gm-a", "gm-b"}), hosts());
    EXPECT_STREQ("gm-b", job_servers_end->host);
}

TEST_F(JobServers, OnlyNullHostsGiveAnEmptyList)
{
    sql.exec("INSERT INTO vtcfg.job_servers (id, host) VALUES (1, NULL), (2, NULL)");
    EXPECT_EQ(0, vtdb_populate_job_servers_list());
    EXPECT_TRUE(hosts().empty());
}

}  // namespace
