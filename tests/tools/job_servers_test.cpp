// Two job servers in vtcfg.job_servers: the daemon's workers serve both, go on with one when
// the other is killed, and take what the killed one held once it is back with its queue.
#include "tools_fixture.h"
#include "vantor_config.h"
#include "vt_tools.h"

#include <libgearman/gearman.h>

#include <cstdlib>
#include <signal.h>
#include <sys/stat.h>

namespace {

using vtt::run_tool;

// The second server listens on a port derived from the configured one, and keeps its
// queue in SQLite, as a production job server should.
const int kSecondPort = VANTOR_GEARMAN_PORT + 20;
const std::string kState = std::string(VT_TEST_STATE_DIR) + "/gearmand-second";

void second_start()
{
    mkdir(kState.c_str(), 0755);
    std::string cmd = "PATH=\"$PATH:/usr/sbin:/sbin\" gearmand --listen=127.0.0.1 --port=" + std::to_string(kSecondPort) +
                      " --pid-file=" + kState + "/gearmand.pid --log-file=" + kState +
                      "/gearmand.log --verbose=WARNING -q libsqlite3 --libsqlite3-db=" + kState +
                      "/queue.sqlite --daemon >/dev/null 2>&1";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    ASSERT_TRUE(vtt::wait_until([] {
        std::string err;
        return static_cast<bool>(vt::tools::connect_tcp("127.0.0.1", kSecondPort, 1, err));
    }, 10000));
}

void second_kill()
{
    pid_t pid = static_cast<pid_t>(std::atol(vtt::read_file(kState + "/gearmand.pid").c_str()));
    if (pid > 0 && kill(pid, SIGKILL) == 0)
        vtt::wait_until([&] { return kill(pid, 0) != 0; }, 10000);
    vtt::remove_file(kState + "/gearmand.pid");
}

void submit(int port, const std::string &queue, const std::string &text)
{
    gearman_client_st *c = gearman_client_create(nullptr);
    ASSERT_NE(nullptr, c);
    gearman_client_add_server(c, "127.0.0.1", static_cast<in_port_t>(port));
    gearman_job_handle_t handle;
    const std::string job = vtt::signed_job(queue, text);
    EXPECT_EQ(GEARMAN_SUCCESS, gearman_client_do_background(c, queue.c_str(), nullptr, job.data(), job.size(), handle));
    gearman_client_free(c);
}

class JobServers : public vtt::ToolsTest {
protected:
    void SetUp() override
    {
        ToolsTest::SetUp();
        saved = sql.rows("SELECT id, host, port FROM vtcfg.job_servers");
        sql.exec("DELETE FROM vtcfg.job_servers");
        sql.exec("INSERT INTO vtcfg.job_servers (id, host, port) VALUES (1, '127.0.0.1', NULL), (2, '127.0.0.1', " +
                 std::to_string(kSecondPort) + ")");
        sql.exec("CREATE TABLE IF NOT EXISTS vt_test.two_servers (k INT PRIMARY KEY, v INT)");
        sql.exec("DELETE FROM vt_test.two_servers");
        second_kill();
        vtt::remove_file(kState + "/queue.sqlite");
        second_start();
    }
    void TearDown() override
    {
        ToolsTest::TearDown();
        second_kill();
        sql.exec("DELETE FROM vtcfg.job_servers");
        for (const vtt::Row &r : saved)
            sql.exec("INSERT INTO vtcfg.job_servers (id, host, port) VALUES (" + r[0].value_or("NULL") + ", " +
                     (r[1] ? "'" + *r[1] + "'" : "NULL") + ", " + r[2].value_or("NULL") + ")");
    }
    long landed(int from, int to)
    {
        return sql.count("vt_test.two_servers WHERE k >= " + std::to_string(from) + " AND k < " + std::to_string(to));
    }
    std::vector<vtt::Row> saved;
};

std::string slow_insert(int k) { return "INSERT INTO vt_test.two_servers VALUES (" + std::to_string(k) + ", SLEEP(0.02))"; }

TEST_F(JobServers, WorkersServeBothAndOutliveOneKilledUnderLoad)
{
    start_daemon("vtstatus_workers=2\nperfdata_workers=0\nnotify_workers=0\n");
    const std::string second = "127.0.0.1:" + std::to_string(kSecondPort);
    // The plugin reads the same list: both servers list the configured workers.
    ASSERT_TRUE(vtt::wait_until([&] { return run_tool(VT_CHECK_PLUGIN).status == 0; }, 10000))
        << run_tool(VT_CHECK_PLUGIN).output;
    EXPECT_NE(std::string::npos, run_tool(std::string(VT_CHECK_PLUGIN) + " -H " + second).output.find("'status_workers'=2;"));

    // Half the load on each server; each statement takes 20 ms, so both queues still hold
    // jobs when the second server is killed.
    const int per_server = 150;
    for (int k = 0; k < per_server; ++k) {
        submit(vtt::gearman_port(), "vtdb_vtstatus", slow_insert(k));
        submit(kSecondPort, "vtdb_vtstatus", slow_insert(1000 + k));
    }
    ASSERT_TRUE(vtt::wait_until([&] { return landed(1000, 2000) >= 10; }, 10000));
    second_kill();
    long held = per_server - landed(1000, 2000);
    ASSERT_GT(held, 0) << "the killed server held jobs";

    // What the surviving server holds is carried on without it.
    EXPECT_TRUE(vtt::wait_until([&] { return landed(0, per_server) == per_server; }, 30000))
        << landed(0, per_server) << " of " << per_server;
    auto crit = run_tool(VT_CHECK_PLUGIN);
    EXPECT_EQ(2, crit.status);
    EXPECT_NE(std::string::npos, crit.output.find("job server " + second + " unreachable")) << crit.output;

    // The killed server comes back with its persistent queue, and the workers find it again.
    second_start();
    EXPECT_TRUE(vtt::wait_until([&] { return landed(1000, 2000) == per_server; }, 60000))
        << landed(1000, 2000) << " of " << per_server << " from the killed server; "
        << run_tool(std::string(VT_CHECK_PLUGIN) + " -H " + second).output;
    EXPECT_FALSE(vtt::exists(VT_FAILED_SQL_FILE)) << vtt::read_file(VT_FAILED_SQL_FILE);
}

}  // namespace
