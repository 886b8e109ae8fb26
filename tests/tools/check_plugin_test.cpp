// The check plugin against the real daemon, job server and database, healthy and broken.
#include "tools_fixture.h"
#include "vantor_config.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <ctime>

namespace {

using vtt::run_tool;

const std::string kPlugin = VT_CHECK_PLUGIN;

class CheckPlugin : public vtt::ToolsTest {
protected:
    void SetUp() override
    {
        ToolsTest::SetUp();
        for (const std::string &f : vtt::list_dir(VT_DELAYED_DIR))
            vtt::remove_file(VT_DELAYED_DIR + f);
    }
    void start_healthy()
    {
        start_daemon(kConf);
        ASSERT_TRUE(vtt::wait_until([] {
            auto st = vtt::gearman_status();
            return st["vtdb_vtstatus"].workers == 2 && st["vtdb_perfdata"].workers == 1 &&
                   st["vtdb_statuspri"].workers == 1;
        }, 10000));
    }
    const std::string kConf = "vtstatus_workers=2\nperfdata_workers=1\nnotify_workers=0\n";
};

TEST_F(CheckPlugin, HealthySystemIsOkAndEachFaultAloneRaisesItsState)
{
    start_healthy();
    auto ok = run_tool(kPlugin);
    EXPECT_EQ(0, ok.status) << ok.output;
    EXPECT_EQ(0u, ok.output.rfind("VANTOR OK - daemon pid " + std::to_string(supervisor) + ", 0 jobs waiting", 0)) << ok.output;
    EXPECT_EQ(1, std::count(ok.output.begin(), ok.output.end(), '\n')) << ok.output;
    EXPECT_NE(std::string::npos, ok.output.find("|'status_waiting'=0;1000;5000;0 'status_workers'=2;;;0;2 ")) << ok.output;
    EXPECT_NE(std::string::npos, ok.output.find("'status_age'=")) << ok.output;

    struct Case {
        const char *what;
        std::function<void()> fault, undo;
        std::string args;
        int status;
        std::string text;
    };
    const Case cases[] = {
        {"failed statements", [] { vtt::write_file(VT_FAILED_SQL_FILE, "a\nb\nc\n"); },
         [] { vtt::remove_file(VT_FAILED_SQL_FILE); }, "--errors-warning 2 --errors-critical 5", 1,
         "3 failed statements in"},
        {"many failed statements", [] { vtt::write_file(VT_FAILED_SQL_FILE, "a\nb\nc\n"); },
         [] { vtt::remove_file(VT_FAILED_SQL_FILE); }, "--errors-critical 3", 2, "3 failed statements in"},
        {"stale program status",
         [&] { sql.exec("UPDATE vantor4.program_status SET entry_time = NOW() - INTERVAL 1000 SECOND"); },
         [&] { sql.exec("UPDATE vantor4.program_status SET entry_time = NOW()"); }, "", 2, "program status 10"},
        {"stale below critical",
         [&] { sql.exec("UPDATE vantor4.program_status SET entry_time = NOW() - INTERVAL 1000 SECOND"); },
         [&] { sql.exec("UPDATE vantor4.program_status SET entry_time = NOW()"); }, "--age-critical 2000", 1,
         "program status 10"},
        {"jobs waiting without workers",
         [] { for (int i = 0; i < 3; ++i) vtt::gearman_submit("vtdb_notify", "true"); },
         [] { vtt::gearman_drain("vtdb_notify"); }, "-w 2 -c 10", 1, "vtdb_notify: 3 jobs waiting"},
        {"fewer workers than configured", [] { set_conf("vtstatus_workers=3\nperfdata_workers=1\nnotify_workers=0\n"); },
         [&] { set_conf(kConf); }, "", 1, "vtdb_vtstatus: 2 of 3 workers on 127.0.0.1:"},
        {"more workers than configured", [] { set_conf("vtstatus_workers=1\nperfdata_workers=1\nnotify_workers=0\n"); },
         [&] { set_conf(kConf); }, "", 1, "vtdb_vtstatus: 2 workers on 127.0.0.1:"},
        {"no workers at all for a queue", [] { set_conf("vtstatus_workers=2\nperfdata_workers=1\nnotify_workers=2\n"); },
         [&] { set_conf(kConf); }, "", 2, "vtdb_notify: 0 of 2 workers"},
    };
    for (const Case &c : cases) {
        c.fault();
        auto r = run_tool(kPlugin + " " + c.args);
        c.undo();
        EXPECT_EQ(c.status, r.status) << c.what << ": " << r.output;
        EXPECT_EQ(0u, r.output.rfind(std::string("VANTOR ") + (c.status == 1 ? "WARNING" : "CRITICAL") + " - ", 0))
            << c.what << ": " << r.output;
        EXPECT_NE(std::string::npos, r.output.find(c.text)) << c.what << ": " << r.output;
    }
    EXPECT_EQ(0, run_tool(kPlugin).status) << "faults undone";
}

TEST_F(CheckPlugin, StoppedDaemonAndServersAreCritical)
{
    set_conf("vtstatus_workers=3\nperfdata_workers=0\nnotify_workers=0\n");
    // A lock file naming a process that ended: the daemon is not running whatever the file says.
    vtt::write_file(VT_LOCK_FILE, "999999\n");
    for (int i = 0; i < 6; ++i)
        vtt::write_file(VT_DELAYED_BASE + std::string("-100.00000") + std::to_string(i), "vtdb_vtstatus\tSELECT 1\n");
    auto r = run_tool(kPlugin + " --dumps-warning 5");
    EXPECT_EQ(2, r.status) << r.output;
    EXPECT_EQ(0u, r.output.rfind("VANTOR CRITICAL - daemon not running (nobody holds its lock)", 0)) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("vtdb_vtstatus: 0 of 3 workers")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("6 dump files waiting for replay")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("'dump_files'=6;5;50;0")) << r.output;

    vtt::gearmand_stop();
    vtt::mariadb_stop();
    r = run_tool(kPlugin + " -t 2");
    vtt::mariadb_start();
    vtt::gearmand_start();
    EXPECT_EQ(2, r.status) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("job server 127.0.0.1:" + std::to_string(vtt::gearman_port()) +
                                               " unreachable: Connection refused")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("database unreachable: ")) << r.output;
    for (const std::string &f : vtt::list_dir(VT_DELAYED_DIR))
        vtt::remove_file(VT_DELAYED_DIR + f);
}

TEST_F(CheckPlugin, UsageErrorsAndHelpAreUnknown)
{
    for (const char *args : {"--help", "-w many", "--job-server host:0", "--no-such-option", "extra"}) {
        auto r = run_tool(kPlugin + " " + args);
        EXPECT_EQ(3, r.status) << args << ": " << r.output;
    }
    EXPECT_NE(std::string::npos, run_tool(kPlugin + " --help").output.find("Usage: check_vantor"));
}

// A database and a job server that accept connections and never answer: the run keeps its
// one time limit and names the part that ran out of it.
TEST_F(CheckPlugin, OneTimeLimitForTheWholeRunNamesWhatRanOut)
{
    const std::string gearman = "job server 127.0.0.1:" + std::to_string(vtt::gearman_port());
    struct Case {
        bool database_hangs;
        std::vector<std::string> texts;
    } cases[] = {
        {false, {gearman + " unreachable: time limit of 3 s ran out while waiting for its answer", "'status_age'="}},
        {true, {"database unreachable: time limit of 3 s ran out while connecting",
                gearman + " unreachable: time limit of 3 s ran out before it was asked"}},
    };
    for (const Case &c : cases) {
        vtt::ToolRun r;
        struct timespec start, end;
        {
            std::optional<vtt::MariadbPaused> db;
            if (c.database_hangs)
                db.emplace();
            vtt::gearmand_pause();
            clock_gettime(CLOCK_MONOTONIC, &start);
            r = run_tool(kPlugin + " -t 3");
            clock_gettime(CLOCK_MONOTONIC, &end);
            vtt::gearmand_resume();
        }
        const double took = static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
        EXPECT_EQ(2, r.status) << r.output;
        EXPECT_LT(took, 4.5) << r.output;
        for (const std::string &text : c.texts)
            EXPECT_NE(std::string::npos, r.output.find(text)) << text << "\n" << r.output;
    }
}

}  // namespace
