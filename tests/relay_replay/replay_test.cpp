// The replay of dumped messages: one file carried out, and the child working through the directory.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "test_support.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_delayed.h"
#include "vt_log.h"
#include "vt_message_id.h"
#include "vt_notify.h"
#include "vt_replay.h"
#include "vantor_config.h"

namespace {

class ReplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        vtt::init_runtime("vantorconnector");
        ASSERT_EQ(0, db_connect());
        for (const std::string &f : vtt::list_dir(VT_DELAYED_DIR))
            vtt::remove_file(VT_DELAYED_DIR + f);
        sql.exec("DROP TABLE IF EXISTS vt_test.replayed");
        sql.exec("CREATE TABLE vt_test.replayed (n INT AUTO_INCREMENT PRIMARY KEY, v VARCHAR(64))");
        sql.exec("DROP TABLE IF EXISTS vtperf.service_perf_601");
        sql.exec("DELETE FROM vtcfg.service_metric WHERE host_id=601");
        vtt::remove_file(VT_FAILED_SQL_FILE);
        log_offset = vtt::read_file(logfile).size();
    }
    void TearDown() override {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
    // A dump file as the module moves it into the directory, with the given age in seconds.
    void dump(const std::string &name, const std::string &lines, int age = 0) {
        const std::string path = VT_DELAYED_DIR + name;
        vtt::write_file(path, lines);
        const struct timespec t[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
        utimensat(AT_FDCWD, path.c_str(), t, 0);
    }
    static std::string insert(const std::string &v) {
        return "vtdb_vtstatus\tINSERT INTO vt_test.replayed (v) VALUES ('" + v + "')\n";
    }
    std::string replayed() { return sql.scalar("SELECT IFNULL(GROUP_CONCAT(v ORDER BY v SEPARATOR ','), '') FROM vt_test.replayed"); }
    std::string new_log() { return vtt::read_file(logfile).substr(log_offset); }

    vtt::Sql sql;
    size_t log_offset = 0;
    pid_t child = 0;
};

TEST_F(ReplayTest, OneFileCarriedOutByQueueAndDeleted) {
    dump("delayed-messages.dump-1.000001",
         insert("a") + insert("b") +
             "vtdb_statuspri\tINSERT INTO vt_test.replayed (v) VALUES ('c')\n"
             "vtdb_perfdata\t1700000000\t601\t3\tload=0.5;1;2\n"
             "vt_eventguard\t1^2^3^INSERT INTO vt_test.replayed (v) VALUES ('guard')\n"
             "vtdb_notify\tab\n"  // 15 bytes: too short to be a message
             "vtdb_vtstatus\tINSERT INTO vt_test.no_such_table VALUES (1)\n"
             "unknown_queue\tINSERT INTO vt_test.replayed (v) VALUES ('unknown')\n"
             "vtdb_vtstatus\tINSERT INTO vt_test.replayed (v) VALUES ('last line without a line feed')");
    EXPECT_EQ(6, vt_process_delayed_file("delayed-messages.dump-1.000001"));
    EXPECT_EQ("a,b,c,last line without a line feed", replayed());
    EXPECT_EQ(1, sql.count("vtperf.service_perf_601"));
    EXPECT_EQ("INSERT INTO vt_test.no_such_table VALUES (1)\n", vtt::read_file(VT_FAILED_SQL_FILE));
    EXPECT_TRUE(vtt::list_dir(VT_DELAYED_DIR).empty());

    // A file that is not there is reported and counts nothing; a link is never followed.
    EXPECT_EQ(0, vt_process_delayed_file("gone"));
    EXPECT_NE(std::string::npos, new_log().find("ERROR could not open file " VT_DELAYED_DIR "gone"));
    const std::string outside = vtt::path("/var/replay-outside.txt");
    vtt::write_file(outside, insert("outside"));
    ASSERT_EQ(0, symlink(outside.c_str(), (VT_DELAYED_DIR + std::string("link")).c_str()));
    EXPECT_EQ(0, vt_process_delayed_file("link"));
    EXPECT_EQ("a,b,c,last line without a line feed", replayed());
    vtt::remove_file(VT_DELAYED_DIR + std::string("link"));
}

TEST_F(ReplayTest, DumpedJobsComeBackByteForByteAndOldFilesReadRaw) {
    sql.exec("DROP TABLE IF EXISTS vt_test.dumped");
    sql.exec("CREATE TABLE vt_test.dumped (n INT AUTO_INCREMENT PRIMARY KEY, v TEXT)");
    const std::string texts[] = {
        "two\nlines\nvtdb_vtstatus\tINSERT INTO vt_test.dumped (v) VALUES ('injected') -- ",
        "tab\there and a backslash \\ and \\n that is no line feed",
        "carriage\r\nreturn",
        "\\",
    };
    for (const std::string &t : texts) {
        std::string quoted;
        for (char c : t)
            quoted += c == '\\' || c == '\'' ? std::string("\\") + c : std::string(1, c);
        ASSERT_EQ(0, push_msg("vtdb_vtstatus", ("INSERT INTO vt_test.dumped (v) VALUES ('" + quoted + "')").c_str(), 0));
    }
    ASSERT_EQ(0, dump_msgs());
    std::vector<std::string> names = vtt::list_dir(VT_DELAYED_DIR);
    ASSERT_EQ(1u, names.size());
    EXPECT_EQ(4, vt_process_delayed_file(names[0].c_str()));
    std::vector<vtt::Row> rows = sql.rows("SELECT v FROM vt_test.dumped ORDER BY n");
    ASSERT_EQ(4u, rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(texts[i], *rows[i][0]) << i;

    // A file of the old raw form: its backslashes are the statement's own, not escapes.
    dump("delayed-messages.dump-1.000000", "vtdb_vtstatus\tINSERT INTO vt_test.dumped (v) VALUES ('it\\'s \\\\ raw')\n"
                                           "vtdb_vtstatus\tINSERT INTO vt_test.dumped (v) VALUES ('\\\\n stays')\n");
    EXPECT_EQ(2, vt_process_delayed_file("delayed-messages.dump-1.000000"));
    EXPECT_EQ("it's \\ raw,\\n stays", sql.scalar("SELECT GROUP_CONCAT(v ORDER BY n) FROM vt_test.dumped WHERE n > 4"));
    sql.exec("DROP TABLE vt_test.dumped");
}

TEST_F(ReplayTest, ChildReplaysOldestFirstOnItsOwnConnection) {
    // The listing file's place holds a link to a file the daemon must not overwrite.
    const std::string victim = vtt::path("/var/replay-victim.txt");
    vtt::write_file(victim, "precious\n");
    vtt::remove_file(VT_DELAYED_LIST);
    ASSERT_EQ(0, symlink(victim.c_str(), VT_DELAYED_LIST));

    int status = 0;
    MYSQL_RES *res = db_query_exec("SELECT CONNECTION_ID()", "vantor4", &status, 1);
    ASSERT_NE(nullptr, res);
    const std::string parent_connection = mysql_fetch_row(res)[0];
    mysql_free_result(res);

    // Named in the opposite order of their ages.
    dump("delayed-messages.dump-9.000000", insert("1-older") + insert("1-older-too"), 20);
    dump("delayed-messages.dump-1.000000",
         insert("2-newer") + "vtdb_vtstatus\tINSERT INTO vt_test.replayed (v) SELECT CONCAT('conn ', CONNECTION_ID())\n",
         10);
    child = vt_delayed_message_dispatcher();
    ASSERT_GT(child, 0);
    ASSERT_TRUE(vtt::wait_until([&] { return vtt::list_dir(VT_DELAYED_DIR).empty(); }, 8000));
    ASSERT_TRUE(vtt::wait_until([&] { return new_log().find("processed 4 delayed messages") != std::string::npos; }, 3000))
        << new_log();
    EXPECT_EQ("precious\n", vtt::read_file(victim));
    EXPECT_FALSE(vtt::exists(VT_DELAYED_LIST));
    // Each file's statements run in order, and the older file first: the insertion order
    // shows in the auto-numbered log of the table.
    EXPECT_EQ("1-older,1-older-too,2-newer,conn", sql.scalar("SELECT GROUP_CONCAT(SUBSTRING_INDEX(v, ' ', 1) ORDER BY n) "
                                                          "FROM vt_test.replayed"));
    EXPECT_EQ(0, sql.count("vt_test.replayed WHERE v='conn " + parent_connection + "'"));
    EXPECT_EQ(1, sql.count("vt_test.replayed WHERE v LIKE 'conn %'"));
    EXPECT_NE(std::string::npos, new_log().find("processing delayed messages - pid " + std::to_string(child)));

    // A quiet directory: the next passes log nothing more.
    const size_t before = new_log().size();
    sleep(6);
    EXPECT_EQ(before, new_log().size());
}

}  // namespace

namespace {

TEST_F(ReplayTest, DebugBuildRunsOnlyTheReplayInTheForeground) {
    dump("delayed-messages.dump-5.000000", insert("debug run"));
    const std::string out = vtt::path("/var/debug-run.out");
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        execl(VT_CONNECTOR_DEBUG_PATH, "vantorconnector", static_cast<char *>(nullptr));
        _exit(127);
    }
    child = pid;
    ASSERT_TRUE(vtt::wait_until([&] { return replayed() == "debug run"; }, 8000)) << vtt::read_file(out);
    EXPECT_EQ(0, waitpid(pid, nullptr, WNOHANG));  // still running, not detached
    EXPECT_TRUE(vtt::children_of(pid).empty());
    const std::string text = vtt::read_file(out);
    for (const std::string &line : {std::string("Debug activated\n"), std::string("Starting vt_delayed_message_dispatcher\n"),
                                    "processing delayed messages - pid " + std::to_string(pid)})
        EXPECT_NE(std::string::npos, text.find(line)) << line << " in\n" << text;
    EXPECT_EQ(std::string::npos, text.find("PIDs Main process"));
}

}  // namespace

namespace {

TEST_F(ReplayTest, NotificationsRunAsVtuserAndNeverAsRoot) {
    char dir_template[] = "/tmp/vt-replay-notify-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_template));
    const std::string dir = dir_template;
    chmod(dir.c_str(), 0777);
    const std::string out = dir + "/who";
    const std::string name = "delayed-messages.dump-7.000000";
    dump(name, insert("before") + "vtdb_notify\tid -un > " + out + "; id -gn >> " + out + "\n" + insert("after"), 30);
    struct stat before {};
    stat((VT_DELAYED_DIR + name).c_str(), &before);

    if (geteuid() == 0) {
        // The switch cannot be made: nothing runs as root, and the file keeps the refused
        // line and what follows it, with its age, for a later pass.
        const char *saved = vt_notify_user;
        vt_notify_user = "no-such-vt-user";
        EXPECT_EQ(1, vt_process_delayed_file(name.c_str()));
        vt_notify_user = saved;
        EXPECT_FALSE(vtt::exists(out));
        EXPECT_EQ("vtdb_notify\tid -un > " + out + "; id -gn >> " + out + "\n" + insert("after"),
                  vtt::read_file(VT_DELAYED_DIR + name));
        struct stat kept {};
        stat((VT_DELAYED_DIR + name).c_str(), &kept);
        EXPECT_EQ(before.st_mtim.tv_sec, kept.st_mtim.tv_sec);
        EXPECT_EQ("before", replayed());
    }
    EXPECT_EQ(geteuid() == 0 ? 2 : 3, vt_process_delayed_file(name.c_str()));
    EXPECT_EQ("after,before", replayed());
    if (geteuid() == 0) {
        EXPECT_EQ("vtuser\nvtuser\n", vtt::read_file(out));
    }
    EXPECT_TRUE(vtt::list_dir(VT_DELAYED_DIR).empty());
    vtt::remove_file(out);
    rmdir(dir.c_str());
}

}  // namespace

namespace {

// Messages carrying the module's identity are carried out once however often their dump is
// replayed, also when a later dump holds some of them again beside new ones; a line of an older
// module (no identity) runs every time, as it always did.
TEST_F(ReplayTest, IdentifiedMessagesOfADumpReplayedAgainAreCarriedOutOnce) {
    char dir_template[] = "/tmp/vt-replay-once-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_template));
    const std::string dir = dir_template;
    chmod(dir.c_str(), 0777);
    const std::string out = dir + "/ran";
    const std::string run = "00c0ffee00000001";
    sql.exec("DELETE FROM vtcfg.message_done WHERE run_id='" + run + "'");
    auto id = [&](unsigned long long seq) { return vt::message_id_prefix(run, seq); };
    const std::string first = "vtdb_vtstatus\t" + id(1) + "INSERT INTO vt_test.replayed (v) VALUES ('one')\n" +
                              "vtdb_vtstatus\t" + id(2) + "INSERT INTO vt_test.replayed (v) VALUES ('two')\n" +
                              "vtdb_perfdata\t" + id(1) + "1700000000\t601\t3\tload=0.5;1;2\n" +
                              "vtdb_notify\t" + id(1) + "echo n >> " + out + "\n" + insert("old");
    for (int pass = 0; pass < 2; ++pass) {
        dump("delayed-messages.dump-8.00000" + std::to_string(pass), first);
        EXPECT_EQ(5, vt_process_delayed_file(("delayed-messages.dump-8.00000" + std::to_string(pass)).c_str()));
    }
    // A message both submitted and dumped: the second dump holds seq 2 again and a new seq 3.
    dump("delayed-messages.dump-8.000009",
         "vtdb_vtstatus\t" + id(2) + "INSERT INTO vt_test.replayed (v) VALUES ('two')\n" + "vtdb_vtstatus\t" + id(3) +
             "INSERT INTO vt_test.replayed (v) VALUES ('three')\n");
    EXPECT_EQ(2, vt_process_delayed_file("delayed-messages.dump-8.000009"));
    EXPECT_EQ("old,old,one,three,two", replayed());
    EXPECT_EQ(1, sql.count("vtperf.service_perf_601"));
    if (geteuid() == 0) {
        EXPECT_EQ("n\n", vtt::read_file(out));
    }
    EXPECT_FALSE(vtt::exists(VT_FAILED_SQL_FILE));
    sql.exec("DELETE FROM vtcfg.message_done WHERE run_id='" + run + "'");
    vtt::remove_file(out);
    rmdir(dir.c_str());
}

}  // namespace
