// The simulated engine's checks carried through the module and the daemon into the tables.
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "records_fixture.h"

namespace {

TEST(SimulatedChecks, FillStatusHistoryAndPerfdataTables) {
    vtt::gearmand_start();
    vtt::Sql sql;
    for (int id : {960, 961})
        for (const char *t : {"vantor4.host_state_change_", "vantor4.service_state_change_", "vtperf.service_perf_"})
            sql.exec("DROP TABLE IF EXISTS " + std::string(t) + std::to_string(id));
    sql.exec("DELETE FROM vantor4.host_status WHERE host_id IN (960, 961)");
    sql.exec("DELETE FROM vantor4.service_status WHERE host_id IN (960, 961)");
    const vtt::ScopedDaemon daemon("vtstatus_workers=3\nperfdata_workers=4\nnotify_workers=2\n");
    ASSERT_GT(daemon.pid(), 0);
    const std::string out = vtt::path("/var/sim-checks-test.out");
    ASSERT_TRUE(vtt::run_simulator(VT_ENGINE_SIM_PATH,
                                   {"--hosts", "2", "--services", "3", "--seconds", "6", "--check-interval", "1",
                                    "--change-percent", "40", "--first-host-id", "960", "--module", VTDB_MODULE_PATH},
                                   out))
        << vtt::read_file(out);
    // About 6 checks of each of 8 objects, a good share of them changing state.
    EXPECT_TRUE(vtt::wait_until(
        [&] {
            return sql.count("vantor4.host_status WHERE host_id IN (960, 961) AND last_check IS NOT NULL") == 2 &&
                   sql.count("vantor4.service_status WHERE host_id IN (960, 961) AND last_check IS NOT NULL") == 6 &&
                   sql.count("vantor4.service_state_change_960 WHERE initial_log_state=0") > 0 &&
                   sql.count("vantor4.host_state_change_961 WHERE initial_log_state=1") == 1 &&
                   sql.count("vtperf.service_perf_960") >= 5 * 3 * 3;
        },
        30000));
    EXPECT_NE(std::string::npos, vtt::read_file(out).find(" state changes\n"));
    // Texts plugins print (quotes, backslashes, percent signs) arrive as written.
    EXPECT_EQ(0, sql.count("vantor4.service_status WHERE host_id IN (960, 961) AND plugin_output NOT LIKE "
                           "'OK - ''sim-service-%' AND plugin_output NOT LIKE 'WARNING - disk \"C:\\\\\\\\\" at %' "
                           "AND plugin_output NOT LIKE 'CRITICAL - can''t connect to ''db'' on sim-host-%' AND "
                           "plugin_output NOT LIKE 'UNKNOWN - plugin''s output %'"));
}

}  // namespace
