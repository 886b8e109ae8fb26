// The replay of failed statements: a file written by the daemon during a real database
// outage, and interruption mid-run.
#include "tools_fixture.h"
#include "vantor_config.h"

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sys/file.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using vtt::run_tool;

const std::string kTool = VT_REPLAY_TOOL;
const std::string kWork = std::string(VT_FAILED_SQL_FILE) + ".replaying";

class ReplayFailed : public vtt::ToolsTest {
protected:
    void SetUp() override
    {
        ToolsTest::SetUp();
        vtt::remove_file(kWork);
        // Unqualified on purpose: the statements must run in vantor4, as the workers run them.
        sql.exec("CREATE TABLE IF NOT EXISTS vantor4.vt_replay_probe (k INT PRIMARY KEY, v INT)");
        sql.exec("DELETE FROM vantor4.vt_replay_probe");
    }
    void TearDown() override
    {
        ToolsTest::TearDown();
        vtt::remove_file(kWork);
        for (const std::string &f : vtt::list_dir(vtt::path("/var")))
            if (f.rfind("vtsql.errors.failed-", 0) == 0)
                vtt::remove_file(vtt::path("/var/" + f));
        sql.exec("DROP TABLE IF EXISTS vantor4.vt_replay_probe");
    }
    static std::string insert(int k, const char *value = "0")
    {
        return "INSERT INTO vt_replay_probe VALUES (" + std::to_string(k) + ", " + value + ")";
    }
    long rows() { return sql.count("vantor4.vt_replay_probe"); }
};

TEST_F(ReplayFailed, StatementsKeptDuringARealOutageAreReplayed)
{
    start_daemon("vtstatus_workers=4\nperfdata_workers=0\nnotify_workers=0\n");
    const int total = 40;
    std::thread producer([] {
        for (int k = 0; k < total; ++k) {
            vtt::gearman_submit("vtdb_vtstatus", insert(k));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    vtt::mariadb_stop();
    producer.join();
    ASSERT_TRUE(vtt::wait_until([] { return vtt::gearman_status()["vtdb_vtstatus"].total == 0; }, 60000));
    std::string kept = vtt::read_file(VT_FAILED_SQL_FILE);
    long kept_lines = std::count(kept.begin(), kept.end(), '\n');
    ASSERT_GT(kept_lines, 0);

    // With the database still away the tool refuses and leaves the file where it is.
    auto refused = run_tool(kTool);
    EXPECT_EQ(2, refused.status) << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find("database unreachable")) << refused.output;
    EXPECT_EQ(kept, vtt::read_file(VT_FAILED_SQL_FILE));

    vtt::mariadb_start();
    vtt::stop_daemon(supervisor);
    supervisor = 0;
    std::ofstream(VT_FAILED_SQL_FILE, std::ios::app) << "INSERT INTO vt_replay_no_such_table VALUES (1)\n";
    auto r = run_tool(kTool);
    EXPECT_EQ(1, r.status) << r.output;
    EXPECT_EQ(0u, r.output.rfind(std::to_string(kept_lines) + " executed, 1 failed again (kept in " +
                                 std::string(VT_FAILED_SQL_FILE) + ".failed-", 0)) << r.output;
    EXPECT_EQ(total, rows()) << "every statement of the outage landed";
    EXPECT_FALSE(vtt::exists(kWork));
    std::string failed_path = r.output.substr(r.output.find("kept in ") + 8);
    failed_path = failed_path.substr(0, failed_path.find(')'));
    EXPECT_EQ("INSERT INTO vt_replay_no_such_table VALUES (1)\n", vtt::read_file(failed_path));

    auto again = run_tool(kTool + " " + failed_path);  // a fixed schema would let it run now
    EXPECT_EQ(1, again.status) << again.output;
    EXPECT_NE(std::string::npos, again.output.find("0 executed, 1 failed again")) << again.output;
    EXPECT_EQ(0, run_tool(kTool).status) << "nothing left to replay";
}

TEST_F(ReplayFailed, InterruptedRunKeepsWhatItHasNotExecuted)
{
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        sql.exec("DELETE FROM vantor4.vt_replay_probe");
        const int total = 150;
        std::string lines;
        for (int k = 0; k < total; ++k)
            lines += insert(k, "SLEEP(0.01)") + "\n";
        vtt::write_file(VT_FAILED_SQL_FILE, lines);
        std::string out_path = vtt::path("/var/replay-test.out");
        pid_t tool = fork();
        if (tool == 0) {
            int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(kTool.c_str(), "vantor-replay-failed", static_cast<char *>(nullptr));
            _exit(127);
        }
        ASSERT_TRUE(vtt::wait_until([&] { return rows() >= 10; }, 10000));
        // A worker appending after the move writes a new file, replayed by the next run.
        vtt::write_file(VT_FAILED_SQL_FILE, insert(1000) + "\n");
        kill(tool, sig);
        int st = 0;
        waitpid(tool, &st, 0);
        std::string out = vtt::read_file(out_path);
        ASSERT_TRUE(WIFEXITED(st)) << out;
        EXPECT_EQ(1, WEXITSTATUS(st)) << out;
        EXPECT_NE(std::string::npos, out.find(" left in " + kWork + " (interrupted)")) << out;

        // What ran is in the table, what did not is in the work file, nothing in both.
        std::istringstream rest(vtt::read_file(kWork));
        long executed = rows(), left = 0;
        for (std::string line; std::getline(rest, line); ++left) {
            std::string k = line.substr(line.find('(') + 1);
            k = k.substr(0, k.find(','));
            EXPECT_EQ(0, sql.count("vantor4.vt_replay_probe WHERE k=" + k)) << line;
        }
        EXPECT_LT(executed, total);
        EXPECT_EQ(total, executed + left);
        EXPECT_NE(std::string::npos, out.find(std::to_string(executed) + " executed, 0 failed again, " +
                                              std::to_string(left) + " left")) << out;

        auto r = run_tool(kTool);
        EXPECT_EQ(0, r.status) << r.output;
        EXPECT_EQ(std::to_string(left + 1) + " executed, 0 failed again\n", r.output);
        EXPECT_EQ(total + 1, rows());
        EXPECT_FALSE(vtt::exists(kWork));
        EXPECT_FALSE(vtt::exists(VT_FAILED_SQL_FILE));
        vtt::remove_file(out_path);
    }
}

// Starts the tool in the background with its output in a file.
pid_t start_tool(const std::string &out_path)
{
    pid_t tool = fork();
    if (tool == 0) {
        int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execl(kTool.c_str(), "vantor-replay-failed", static_cast<char *>(nullptr));
        _exit(127);
    }
    return tool;
}

// Waits up to timeout_ms for the tool to end; kills it when it does not. Its wait status,
// or -1 when it had to be killed.
int end_of(pid_t tool, int timeout_ms)
{
    int st = 0;
    if (vtt::wait_until([&] { return waitpid(tool, &st, WNOHANG) == tool; }, timeout_ms))
        return st;
    kill(tool, SIGKILL);
    waitpid(tool, &st, 0);
    return -1;
}

TEST_F(ReplayFailed, AKilledRunReexecutesOnlyItsLastMoment)
{
    const int total = 100;
    std::string lines;
    for (int k = 0; k < total; ++k)
        lines += "INSERT INTO vt_replay_probe VALUES (" + std::to_string(k) +
                 ", 1 + SLEEP(0.05)) ON DUPLICATE KEY UPDATE v = v + 1\n";
    vtt::write_file(VT_FAILED_SQL_FILE, lines);
    const std::string out_path = vtt::path("/var/replay-test.out");
    pid_t tool = start_tool(out_path);
    ASSERT_TRUE(vtt::wait_until([&] { return rows() >= 40; }, 20000));
    kill(tool, SIGKILL);
    waitpid(tool, nullptr, 0);

    auto r = run_tool(kTool);
    EXPECT_EQ(0, r.status) << r.output;
    EXPECT_EQ(total, rows());
    // Each statement counts its executions in v: those run again after the kill are the
    // ones since the last saved progress, at 50 ms each about half a second's worth.
    const long again = std::stol(sql.scalar("SELECT SUM(v) FROM vantor4.vt_replay_probe")) - total;
    EXPECT_LE(again, 25) << r.output;
    EXPECT_FALSE(vtt::exists(kWork));
    EXPECT_FALSE(vtt::exists(kWork + ".progress"));
    vtt::remove_file(out_path);
}

// A file-size limit stands in for a full disk: the statements failing again are cut at the
// last whole line, and the next run goes on after what was done.
TEST_F(ReplayFailed, AFullDiskLeavesNoTornLineAndNothingTwice)
{
    const int total = 30;
    std::string lines;
    for (int k = 0; k < total; ++k) {
        std::string line = "INSERT INTO vt_replay_no_such_table VALUES (" + std::to_string(k) + ", '";
        lines += line + std::string(97 - line.size(), 'x') + "')\n";  // 100 bytes each
    }
    vtt::write_file(VT_FAILED_SQL_FILE, lines);
    auto full = run_tool("ulimit -f 2; trap '' XFSZ; exec " + kTool);  // 1024 bytes a file
    EXPECT_EQ(1, full.status) << full.output;
    EXPECT_NE(std::string::npos, full.output.find("cut back to its last whole line")) << full.output;
    auto r = run_tool(kTool);
    EXPECT_EQ(1, r.status) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("0 executed, 20 failed again")) << r.output;

    std::string kept;
    for (const std::string &f : vtt::list_dir(vtt::path("/var")))
        if (f.rfind("vtsql.errors.failed-", 0) == 0) {
            const std::string text = vtt::read_file(vtt::path("/var/" + f));
            EXPECT_EQ('\n', text.back()) << f;
            kept += text;
        }
    std::istringstream a(kept), b(lines);
    std::vector<std::string> got, want;
    for (std::string l; std::getline(a, l);)
        got.push_back(l);
    for (std::string l; std::getline(b, l);)
        want.push_back(l);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, got) << "every statement kept once and whole";
    EXPECT_FALSE(vtt::exists(kWork));
}

TEST_F(ReplayFailed, AStopWorksWhileTheDatabaseHangs)
{
    vtt::write_file(VT_FAILED_SQL_FILE, "DO SLEEP(5)\n" + insert(1) + "\n" + insert(2) + "\n");
    const std::string out_path = vtt::path("/var/replay-test.out");
    pid_t tool = start_tool(out_path);
    ASSERT_TRUE(vtt::wait_until([&] {
        return sql.count("information_schema.PROCESSLIST WHERE INFO = 'DO SLEEP(5)'") == 1;
    }, 10000));
    int st = -1;
    {
        vtt::MariadbPaused hung;
        kill(tool, SIGTERM);
        st = end_of(tool, 25000);
    }
    const std::string out = vtt::read_file(out_path);
    ASSERT_TRUE(st >= 0 && WIFEXITED(st)) << "the tool did not stop: " << out;
    EXPECT_EQ(1, WEXITSTATUS(st)) << out;
    EXPECT_NE(std::string::npos, out.find("0 executed, 0 failed again, 3 left in " + kWork + " (interrupted)"))
        << out;
    auto r = run_tool(kTool);
    EXPECT_EQ(0, r.status) << r.output;
    EXPECT_EQ(2, rows());
    vtt::remove_file(out_path);
}

// Anyone who may read the failed-SQL file may lock it: a lock held for good (here by a process
// that took it before the run) costs the run a bounded wait, not the run itself.
TEST_F(ReplayFailed, ALockHeldByAnotherProcessDoesNotHoldTheRun)
{
    vtt::write_file(VT_FAILED_SQL_FILE, insert(1) + "\n" + insert(2) + "\n" + insert(3) + "\n");
    int holder = open(VT_FAILED_SQL_FILE, O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(0, flock(holder, LOCK_EX));
    pid_t locker = fork();  // keeps the open file, and with it the lock, after we close it
    if (locker == 0) {
        for (;;)
            pause();
    }
    close(holder);
    auto r = run_tool("timeout -s KILL 20 " + kTool);
    kill(locker, SIGKILL);
    waitpid(locker, nullptr, 0);
    EXPECT_EQ(0, r.status) << r.output;
    EXPECT_EQ(3, rows());
}

}  // namespace
