// End to end at a 60-second check interval: the simulated engine with N services (10 per host,
// each check a status event, a result with 5 metrics and now and then a state change) against
// the default daemon, for a bounded time; samples the job server's queues and tells whether they
// held or grew. Run it with several sizes to find the largest that holds.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_db.h"

#include <mysql.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kFirstHost = 100000;
const int kPerHost = 10;

void run(MYSQL *m, const std::string &q) {
    if (mysql_real_query(m, q.data(), q.size()) != 0) {
        std::fprintf(stderr, "%s: %s\n", q.c_str(), mysql_error(m));
        std::exit(1);
    }
    do
        mysql_free_result(mysql_store_result(m));
    while (mysql_next_result(m) == 0);
}

// The per-host tables (history and performance values), made once and kept for later runs,
// so that the measurement is not a measurement of CREATE TABLE.
void prepare_tables(int hosts) {
    std::vector<std::thread> threads;
    for (int c = 0; c < 2; c++)
        threads.emplace_back([=] {
            mysql_thread_init();
            MYSQL *m = mysql_init(nullptr);
            if (!mysql_real_connect(m, DBHOST, DBUSER, DBPASS, "vantor4", static_cast<unsigned>(std::atoi(DBPORT)),
                                    nullptr, CLIENT_MULTI_RESULTS))
                std::exit(1);
            for (int i = c; i < hosts; i += 2) {
                const std::string id = std::to_string(kFirstHost + i);
                run(m, "CALL vantor4.vt_create_host_tables(" + id + ")");
                run(m, "CALL vtperf.vt_create_perf_table(" + id + ")");
            }
            mysql_close(m);
            mysql_thread_end();
        });
    for (auto &t : threads)
        t.join();
}

long depth(std::map<std::string, vtt::QueueStatus> &s, const char *q) { return s[q].total; }

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int services = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 300;
    const int hosts = (services + kPerHost - 1) / kPerHost;
    vtt::init_runtime("bench_end_to_end");
    vtt::gearmand_start();
    auto t0 = std::chrono::steady_clock::now();
    prepare_tables(hosts);
    std::printf("tables of %d hosts ready in %.0f s\n", hosts,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    for (const char *q : {"vtdb_vtstatus", "vtdb_perfdata", "vtdb_statuspri"})
        vtt::gearman_drain(q);
    vtt::remove_file(VT_CONNECTOR_CONF);  // the default worker counts
    const pid_t daemon = vtt::start_daemon();
    if (daemon <= 0)
        return 1;

    const std::string out = vtt::path("/var/bench-end-to-end-sim.out");
    const pid_t engine = fork();
    if (engine == 0) {
        if (!freopen(out.c_str(), "w", stdout))
            _exit(126);
        const std::string h = std::to_string(hosts), s = std::to_string(seconds), first = std::to_string(kFirstHost);
        execl(VT_ENGINE_SIM_PATH, "vantor-engine-sim", "--hosts", h.c_str(), "--services", "10", "--seconds",
              s.c_str(), "--check-interval", "60", "--change-percent", "1", "--metrics", "5", "--status-interval",
              "10", "--first-host-id", first.c_str(), "--module", VTDB_MODULE_PATH, static_cast<char *>(nullptr));
        _exit(127);
    }
    std::printf("%d services on %d hosts at a 60 s interval for %d s: queue depths every 15 s\n", services, hosts,
                seconds);
    std::printf("  %5s %12s %12s %12s\n", "s", "vtstatus", "perfdata", "statuspri");
    std::vector<long> totals;
    int status = 0;
    bool ended = false;
    for (int t = 15; !ended; t += 15) {
        for (int i = 0; i < 150 && !ended; i++) {
            ended = waitpid(engine, &status, WNOHANG) != 0;
            if (!ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        auto s = vtt::gearman_status();
        std::printf("  %5d %12ld %12ld %12ld\n", t, depth(s, "vtdb_vtstatus"), depth(s, "vtdb_perfdata"),
                    depth(s, "vtdb_statuspri"));
        totals.push_back(depth(s, "vtdb_vtstatus") + depth(s, "vtdb_perfdata"));
    }
    // Held: at the end no more is waiting than a tenth of one interval's jobs (a status event
    // and a result per service), and the last third does not stand above the middle third.
    const size_t n = totals.size();
    long mid = 0, last = 0;
    for (size_t i = n / 3; i < 2 * n / 3; i++)
        mid = std::max(mid, totals[i]);
    for (size_t i = 2 * n / 3; i < n; i++)
        last = std::max(last, totals[i]);
    const long per_interval = 2L * services;
    const bool queues_held = totals.back() <= per_interval / 10 && last <= mid + per_interval / 20;
    // Short queues prove nothing when the engine itself fell behind its schedule (the module's
    // submissions run on the engine's thread): it must have run 99 % of its due checks.
    const std::string sim_out = vtt::read_file(out);
    long checks = 0;
    long long due = 0;
    const size_t counts = sim_out.find(" checks (");
    const size_t at = counts == std::string::npos ? counts : sim_out.rfind("vantor-engine-sim: ", counts);
    if (at == std::string::npos || std::sscanf(sim_out.c_str() + at, "vantor-engine-sim: %ld checks (%lld due)",
                                               &checks, &due) != 2)
        std::printf("no check counts in the simulated engine's output\n");
    const bool on_schedule = due > 0 && checks >= due * 99 / 100;
    std::printf("%s", sim_out.c_str());
    std::printf("end to end: %d services at a 60 s interval %s (queued at the end %ld, one interval is %ld jobs; "
                "engine ran %ld of %lld due checks)\n",
                services,
                !queues_held   ? "NOT HELD: the queues grew"
                : !on_schedule ? "NOT HELD: the engine fell behind its schedule"
                               : "HELD",
                totals.back(), per_interval, checks, due);
    const bool held = queues_held && on_schedule;
    vtt::stop_daemon(daemon);
    return held ? 0 : 2;
}
