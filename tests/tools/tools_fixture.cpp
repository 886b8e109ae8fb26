// Shared set-up of the tools' tests: a daemon with a small configuration, and running a tool.
#include "tools_fixture.h"
#include "vantor_config.h"

#include <cstdio>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace vtt {

ToolRun run_tool(const std::string &command)
{
    ToolRun run;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return run;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        run.output.append(buf, n);
    int st = pclose(p);
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return run;
}

void ToolsTest::SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

void ToolsTest::SetUp()
{
    init_runtime("vantorconnector");
    conf_saved = read_file(VT_CONNECTOR_CONF);
    remove_file(VT_FAILED_SQL_FILE);
    remove_file(VT_LOCK_FILE);
    // The check plugin counts a stale program status row as a fault of its own.
    sql.exec("REPLACE INTO vantor4.program_status (id, entry_time) VALUES (0, NOW())");
    gearmand_start();
    for (const char *q : {"vtdb_vtstatus", "vtdb_statuspri", "vtdb_perfdata", "vtdb_notify"})
        gearman_drain(q);
}

void ToolsTest::TearDown()
{
    stop_daemon(supervisor);
    write_file(VT_CONNECTOR_CONF, conf_saved);
    remove_file(VT_FAILED_SQL_FILE);
}

void ToolsTest::set_conf(const std::string &text) { write_file(VT_CONNECTOR_CONF, text); }

void ToolsTest::start_daemon(const std::string &conf)
{
    set_conf(conf);
    supervisor = vtt::start_daemon();
    ASSERT_GT(supervisor, 0) << read_file(daemon_log());
}

}  // namespace vtt
