// End to end at a 60-second check interval: the simulated engine with N services (10 per host,
// each check a status event, a result with 5 metrics and now and then a state change) against
// the default daemon. Two runs of the engine, each judged on its own: a cold start on an empty
// database (the initial-state walk writes a row for every object, every metric is registered
// for the first time), then the steady state on the database the first run left. For each it
// samples the job server's queues and the rows not yet landed, reconciles the engine's ledger
// with the database (every row counted), tells whether it held, and gives the delay from event
// to row, every process's CPU and the database's statements per check.
#include "bench_support.h"
#include "e2e_cpu.h"
#include "e2e_rows.h"
#include "vantor_config.h"
#include "vt_db.h"

#include <mysql.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kFirstHost = 100000;
const int kPerHost = 10;
const int kMetrics = 5;
const int kInterval = 60;
// The queues must be empty this long after the engine stopped: one check interval.
const double kDrainLimit = 60.0;

void usage() {
    std::fprintf(stderr,
                 "usage: bench_end_to_end [services, default 100000] [seconds of the steady state, default 300]\n"
                 "                        [--cold-seconds S] [--build DIR] [--db-cnf FILE|small]\n"
                 "  --cold-seconds S  run time of the cold start on an empty database (default 180, 0: none)\n"
                 "  --build DIR       take the module, the daemon and the simulated engine from the build\n"
                 "                    directory DIR (of another checkout), configured with this build's\n"
                 "                    VANTOR_ROOT and VANTOR_GEARMAN_PORT\n"
                 "  --db-cnf FILE     server settings of the private MariaDB (default: the checkout's\n"
                 "                    etc/mariadb/vantor.cnf, scaled above 100,000 services; small: the\n"
                 "                    tests' settings)\n");
}

struct Binaries {
    std::string module = VTDB_MODULE_PATH;
    std::string daemon = vtt::daemon_binary();
    std::string sim = VT_ENGINE_SIM_PATH;
};

// A CMake cache entry of a build directory, "" when missing.
std::string cache_value(const std::string &dir, const std::string &name) {
    const std::string cache = vtt::read_file(dir + "/CMakeCache.txt");
    for (size_t at = cache.find(name + ":"); at != std::string::npos; at = cache.find(name + ":", at + 1)) {
        if (at > 0 && cache[at - 1] != '\n')
            continue;
        const size_t eq = cache.find('=', at), eol = cache.find('\n', at);
        if (eq != std::string::npos && eq < eol)
            return cache.substr(eq + 1, eol == std::string::npos ? std::string::npos : eol - eq - 1);
    }
    return "";
}

// Another build's binaries, usable only when they were built for this build's install root and
// job server (both are compiled in): otherwise they would read another db.php and talk to
// another gearmand. False, with the reason printed, when they cannot be used.
bool other_build(const std::string &dir, Binaries &bin) {
    const std::string root = cache_value(dir, "VANTOR_ROOT"), port = cache_value(dir, "VANTOR_GEARMAN_PORT");
    if (root != VANTOR_ROOT || port != std::to_string(VANTOR_GEARMAN_PORT)) {
        std::fprintf(stderr,
                     "%s was configured with VANTOR_ROOT=%s and VANTOR_GEARMAN_PORT=%s; configure it with\n"
                     "  cmake -S <checkout> -B %s -DVANTOR_ROOT=%s -DVANTOR_GEARMAN_PORT=%d -DVANTOR_BENCH=OFF\n",
                     dir.c_str(), root.c_str(), port.c_str(), dir.c_str(), VANTOR_ROOT, VANTOR_GEARMAN_PORT);
        return false;
    }
    bin = {dir + "/broker/vtdb.so", dir + "/connector/vantorconnector", dir + "/engine/vantor-engine-sim"};
    for (const std::string *f : {&bin.module, &bin.daemon, &bin.sim})
        if (access(f->c_str(), R_OK) != 0) {
            std::fprintf(stderr, "%s is missing: build %s first\n", f->c_str(), dir.c_str());
            return false;
        }
    return true;
}

void run(MYSQL *m, const std::string &q) {
    if (mysql_real_query(m, q.data(), q.size()) != 0) {
        std::fprintf(stderr, "%s: %s\n", q.c_str(), mysql_error(m));
        std::exit(1);
    }
    do
        mysql_free_result(mysql_store_result(m));
    while (mysql_next_result(m) == 0);
}

// Runs per_host(connection, host id) for every host over two connections.
void for_each_host(int hosts, const std::function<void(MYSQL *, const std::string &)> &per_host) {
    std::vector<std::thread> threads;
    for (int c = 0; c < 2; c++)
        threads.emplace_back([=, &per_host] {
            mysql_thread_init();
            MYSQL *m = mysql_init(nullptr);
            vt_db_refuse_local_files(m);
            if (!mysql_real_connect(m, DBHOST, DBUSER, DBPASS, "vantor4", static_cast<unsigned>(std::atoi(DBPORT)),
                                    nullptr, CLIENT_MULTI_RESULTS))
                std::exit(1);
            for (int i = c; i < hosts; i += 2)
                per_host(m, std::to_string(kFirstHost + i));
            mysql_close(m);
            mysql_thread_end();
        });
    for (auto &t : threads)
        t.join();
}

// The per-host tables (history and performance values), made once and kept for later runs,
// so that the measurement is not a measurement of CREATE TABLE.
void prepare_tables(int hosts) {
    for_each_host(hosts, [](MYSQL *m, const std::string &id) {
        run(m, "CALL vantor4.vt_create_host_tables(" + id + ")");
        run(m, "CALL vtperf.vt_create_perf_table(" + id + ")");
    });
}

// The database as a new installation finds it: the tables exist, and hold nothing of the
// benchmark's hosts (no status rows, no history, no registered metric, no values).
void empty_database(vtt::Sql &sql, int hosts) {
    const std::string range = " BETWEEN " + std::to_string(kFirstHost) + " AND " + std::to_string(kFirstHost + hosts - 1);
    sql.exec("DELETE FROM vantor4.service_status WHERE host_id" + range);
    sql.exec("DELETE FROM vantor4.host_status WHERE host_id" + range);
    sql.exec("DELETE FROM vtcfg.service_metric WHERE host_id" + range);
    for_each_host(hosts, [](MYSQL *m, const std::string &id) {
        run(m, "TRUNCATE TABLE vantor4.host_state_change_" + id);
        run(m, "TRUNCATE TABLE vantor4.service_state_change_" + id);
        run(m, "TRUNCATE TABLE vtperf.service_perf_" + id);
    });
}

long depth(std::map<std::string, vtt::QueueStatus> &s, const char *q) { return s[q].total; }

// The largest of samples[from, to).
long peak(const std::vector<long> &samples, size_t from, size_t to) {
    long m = 0;
    for (size_t i = from; i < to && i < samples.size(); i++)
        m = std::max(m, samples[i]);
    return m;
}

// True when the last third of samples stood no higher than the middle third plus slack.
bool level(const std::vector<long> &samples, long slack) {
    const size_t n = samples.size();
    return peak(samples, 2 * n / 3, n) <= peak(samples, n / 3, 2 * n / 3) + slack;
}

struct Phase {
    std::string name;  // "cold start" or "steady state"
    std::string tag;   // in the names of the simulated engine's output and ledger files
    int seconds = 0;
    bool held = false;
    e2e::Reconciled rows;
    e2e::Delays delays;
};

// The engine of a run, collected when it ends, and whatever of its processes was left to the
// benchmark (the initial-state walk runs in a grandchild of the engine, which the benchmark
// collects as the subreaper of its children's orphans): wait4 gives each one's exact CPU.
struct Engine {
    pid_t pid = 0;
    bool ended = false;

    void reap(e2e::ProcessCpu &cpu) {
        int status = 0;
        struct rusage use {};
        for (pid_t p; (p = wait4(-1, &status, WNOHANG, &use)) > 0;) {
            cpu.ended(p, p == pid ? "engine with the module" : "initial-state walk", use);
            ended = ended || p == pid;
        }
    }
};

// The check counts the simulated engine printed at its end: false when there are none.
bool check_counts(const std::string &sim_out, long &checks, long long &due) {
    const size_t counts = sim_out.find(" checks (");
    const size_t at = counts == std::string::npos ? counts : sim_out.rfind("vantor-engine-sim: ", counts);
    return at != std::string::npos &&
           std::sscanf(sim_out.c_str() + at, "vantor-engine-sim: %ld checks (%lld due)", &checks, &due) == 2;
}

// What the database did per check, from its status counters before and after.
void print_database(const vtb::Counters &db0, const vtb::Counters &db1, double per) {
    auto delta = [&](const std::string &k) { return vtb::delta(db0, db1, k); };
    std::printf("database per check: %.2f statements (Questions)", delta("Questions") * per);
    std::vector<std::pair<double, std::string>> kinds;
    for (const auto &c : db1)
        if (c.first.compare(0, 4, "Com_") == 0 && delta(c.first) > 0)
            kinds.emplace_back(delta(c.first), c.first.substr(4));
    std::sort(kinds.rbegin(), kinds.rend());
    for (const auto &k : kinds)
        if (k.first * per >= 0.005)
            std::printf(", %s %.2f", k.second.c_str(), k.first * per);
    std::printf("\n  tables opened %.3f, definitions opened %.3f, buffer pool reads from disk %.3f, "
                "pages written %.2f, redo log written %.0f bytes, fsyncs %.3f\n",
                delta("Opened_tables") * per, delta("Opened_table_definitions") * per,
                delta("Innodb_buffer_pool_reads") * per, delta("Innodb_pages_written") * per,
                delta("Innodb_os_log_written") * per, delta("Innodb_data_fsyncs") * per);
}

// One run of the simulated engine with its ledger for seconds, then the queues drained and the
// ledger reconciled; prints the samples, the rows, the verdict and the costs per check. True
// when it held.
bool run_phase(const Binaries &bin, vtt::Sql &sql, Phase &phase, int services, e2e::ProcessCpu &cpu) {
    const int hosts = (services + kPerHost - 1) / kPerHost;
    const std::string out = vtt::path("/var/bench-end-to-end-" + phase.tag + ".out");
    const std::string ledger_path = vtt::path("/var/bench-end-to-end-" + phase.tag + ".ledger");
    const size_t phase_log = vtt::read_file(vtt::daemon_log()).size();
    vtt::remove_file(ledger_path);  // what is read from it is this run's
    e2e::prepare_audit_table(sql);
    // The server's flushing of what came before (the tables made and emptied, the phase
    // before) would fall into this phase's CPU and make runs incomparable.
    const double quiet = vtb::wait_for_quiet(vtb::server_pid("mysql.pid"), 600);
    if (quiet < 0)
        std::printf("\nthe database was still busy after 600 s; the phase starts anyway\n");
    else
        std::printf("\nthe database was quiet after %.0f s\n", quiet);
    e2e::RowLedger ledger(ledger_path);
    cpu.sample({});
    const auto cpu0 = cpu.totals();
    const auto db0 = vtb::db_counters(sql);
    std::printf("\n%s: %d services on %d hosts at a %d s interval for %d s: queue depths (jobs) and status rows "
                "not yet landed, every 15 s\n",
                phase.name.c_str(), services, hosts, kInterval, phase.seconds);
    // The ledger's sequence number is the first metric of every record: one metric fewer of
    // the engine's own keeps the records at kMetrics values.
    Engine engine;
    engine.pid = vtt::spawn_simulator(
        bin.sim,
        {"--hosts", std::to_string(hosts), "--services", std::to_string(kPerHost), "--seconds",
         std::to_string(phase.seconds), "--check-interval", std::to_string(kInterval), "--change-percent", "1",
         "--metrics", std::to_string(kMetrics - 1), "--status-interval", "10", "--first-host-id",
         std::to_string(kFirstHost), "--module", bin.module, "--ledger", ledger_path},
        out);
    if (engine.pid <= 0)
        return false;
    std::printf("  %5s %12s %12s %12s %12s\n", "s", "vtstatus", "perfdata", "statuspri", "rows behind");
    std::vector<long> perf_jobs, behind;
    long last_jobs = 0;
    for (int t = 15; !engine.ended; t += 15) {
        for (int i = 0; i < 1500 && !engine.ended; i++) {
            engine.reap(cpu);
            ledger.read_events();
            if (i % 100 == 0)
                cpu.sample({engine.pid});
            if (!engine.ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ledger.read_events();
        ledger.count_landed(sql);
        auto s = vtt::gearman_status();
        behind.push_back(ledger.status_sent() - ledger.status_landed());
        perf_jobs.push_back(depth(s, "vtdb_perfdata"));
        last_jobs = depth(s, "vtdb_vtstatus") + depth(s, "vtdb_perfdata");
        std::printf("  %5d %12ld %12ld %12ld %12ld\n", t, depth(s, "vtdb_vtstatus"), depth(s, "vtdb_perfdata"),
                    depth(s, "vtdb_statuspri"), behind.back());
    }
    // What waited at the end is measured as the time the workers needed to empty the queues
    // after the engine stopped.
    const auto drain_start = std::chrono::steady_clock::now();
    for (int i = 0; i < 600; i++) {
        engine.reap(cpu);
        cpu.sample({engine.pid});
        auto s = vtt::gearman_status();
        if (depth(s, "vtdb_vtstatus") + depth(s, "vtdb_perfdata") + depth(s, "vtdb_statuspri") == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    const double drain_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - drain_start).count();
    // What the run cost, the draining included (that work was the checks' too), taken before
    // the reconcile's own queries.
    engine.reap(cpu);
    cpu.sample({engine.pid});
    const auto cpu1 = cpu.totals();
    const auto db1 = vtb::db_counters(sql);
    ledger.read_events();

    const std::string sim_out = vtt::read_file(out);
    long checks = 0;
    long long due = 0;
    if (!check_counts(sim_out, checks, due))
        std::printf("no check counts in the simulated engine's output\n");
    std::printf("%s", sim_out.c_str());
    const double per = checks > 0 ? 1.0 / static_cast<double>(checks) : 0.0;
    std::printf("CPU per check (%ld checks, the draining included):\n", checks);
    double all_cpu = 0;
    for (const auto &c : cpu1) {
        const auto before = cpu0.find(c.first);
        const double used = c.second - (before == cpu0.end() ? 0 : before->second);
        all_cpu += used;
        std::printf("  %-28s %8.1f us (%.1f s)\n", c.first.c_str(), used * per * 1e6, used);
    }
    std::printf("  %-28s %8.1f us (%.1f s)\n", "every process", all_cpu * per * 1e6, all_cpu);
    print_database(db0, db1, per);
    if (phase.tag == "cold")
        std::printf("metrics registered: %s of %ld (the ledger's vt_seq among them)\n",
                    sql.scalar("SELECT COUNT(*) FROM vtcfg.service_metric WHERE host_id BETWEEN " +
                               std::to_string(kFirstHost) + " AND " + std::to_string(kFirstHost + hosts - 1))
                        .c_str(),
                    static_cast<long>(services) * kMetrics);

    // Every row the engine owed the database: landed, or kept where an operator finds it.
    std::printf("rows (the engine's ledger against the database, the failed-SQL file and the dump files):\n");
    phase.rows = e2e::reconcile(bin.sim, ledger_path, vtt::path("/var/bench-end-to-end-" + phase.tag + ".rows"));
    std::printf("%s", phase.rows.table.c_str());
    if (!phase.rows.ok)
        std::printf("the ledger could not be reconciled\n");
    std::printf("rows: %ld sent, %ld landed, %ld lost, %ld duplicated; %ld kept (vtsql.errors, perfdata.errors, "
                "dumps not replayed); %ld messages replayed from dump files\n",
                phase.rows.sent, phase.rows.landed, phase.rows.lost, phase.rows.duplicated, phase.rows.kept,
                e2e::delayed_messages_replayed(phase_log));
    phase.delays = ledger.delays(sql);
    std::printf("delay from the event to its status row (%ld of %ld status rows): median %.1f ms, 99th percentile "
                "%.1f ms, max %.1f ms\n",
                phase.delays.timed, ledger.status_sent(), phase.delays.median * 1e3, phase.delays.p99 * 1e3,
                phase.delays.max * 1e3);

    // Held: the backlog of the last third of the run stood no higher than the middle third's;
    // the workers emptied the queues within one interval after the engine stopped; the engine
    // ran 99 % of its due checks (the module's submissions run on the engine's thread, so an
    // engine that fell behind leaves short queues that prove nothing); and not a row was lost.
    // The backlog is judged in messages where they can be counted (status rows), and the
    // perfdata queue in jobs against the slack of full batches of 200 messages (a job holds 1
    // to 200), the strictest reading, but no fewer than 5 jobs.
    const long per_interval = static_cast<long>(services) + hosts;  // status rows, and records
    const bool is_level =
        level(behind, per_interval / 20) && level(perf_jobs, std::max(5L, per_interval / 20 / 200));
    const bool drained = drain_s <= kDrainLimit;
    const bool on_schedule = due > 0 && checks >= due * 99 / 100;
    const bool all_rows = phase.rows.ok && phase.rows.lost == 0;
    phase.held = is_level && drained && on_schedule && all_rows;
    std::printf("%s: %d services at a %d s interval %s (jobs queued at the end %ld, emptied %.1f s after the "
                "engine stopped; engine ran %ld of %lld due checks; %ld of %ld rows lost)\n",
                phase.name.c_str(), services, kInterval,
                !all_rows      ? "NOT HELD: rows were lost"
                : !is_level    ? "NOT HELD: the backlog grew"
                : !drained     ? "NOT HELD: the queues were not empty within an interval of the engine's stop"
                : !on_schedule ? "NOT HELD: the engine fell behind its schedule"
                               : "HELD",
                last_jobs, drain_s, checks, due, phase.rows.lost, phase.rows.sent);
    return phase.held;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int services = 100000, seconds = 300, cold_seconds = 180;
    std::string cnf;
    Binaries bin;
    const bool parsed = vtb::parse_command_line(
        argc, argv, {&services, &seconds},
        {{"--cold-seconds", [&](const char *v) { return (cold_seconds = std::atoi(v)) >= 0; }},
         {"--build", [&](const char *v) { return other_build(v, bin); }},
         {"--db-cnf", [&](const char *v) { return !(cnf = v).empty(); }}});
    if (!parsed || services <= 0 || seconds < 0 || cold_seconds < 0 || seconds + cold_seconds == 0) {
        usage();
        return 1;
    }
    const int hosts = (services + kPerHost - 1) / kPerHost;
    if (cnf.empty())
        cnf = vtb::sized_db_cnf(services);
    const std::unique_ptr<vtt::Sql> sql = vtb::database_with(cnf);  // writes the sandbox's db.php
    vtt::gearmand_start();  // makes the sandbox's job key where it has none
    vtt::init_runtime("bench_end_to_end");
    std::printf("module %s, daemon %s, simulated engine %s\n", bin.module.c_str(), bin.daemon.c_str(),
                bin.sim.c_str());
    auto t0 = std::chrono::steady_clock::now();
    prepare_tables(hosts);
    std::printf("tables of %d hosts ready in %.0f s\n", hosts,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (cold_seconds > 0) {
        t0 = std::chrono::steady_clock::now();
        empty_database(*sql, hosts);
        std::printf("rows of the %d hosts removed in %.0f s\n", hosts,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    for (const char *q : {"vtdb_vtstatus", "vtdb_perfdata", "vtdb_statuspri"})
        vtt::gearman_drain(q);
    vtt::remove_file(VT_CONNECTOR_CONF);  // the default worker counts
    const size_t log_offset = vtt::read_file(vtt::daemon_log()).size();
    // One daemon for both runs, as in production, where the engine restarts and the daemon
    // goes on.
    const pid_t daemon = vtt::start_daemon(20000, bin.daemon);
    if (daemon <= 0)
        return 1;
    // From here on the orphans of the engine's processes (its initial-state walk) come to the
    // benchmark, which collects them with their CPU; the daemon is not among its children.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    e2e::ProcessCpu cpu(log_offset, daemon);
    std::vector<Phase> phases;
    auto add_phase = [&phases](const char *name, const char *tag, int s) {
        phases.emplace_back();
        phases.back().name = name;
        phases.back().tag = tag;
        phases.back().seconds = s;
    };
    if (cold_seconds > 0)
        add_phase("cold start", "cold", cold_seconds);
    if (seconds > 0)
        add_phase("steady state", "steady", seconds);
    bool all_held = true;
    for (Phase &p : phases)
        all_held = run_phase(bin, *sql, p, services, cpu) && all_held;
    vtt::stop_daemon(daemon);
    std::printf("\n");
    for (const Phase &p : phases)
        std::printf("end to end, %s: %d services at a %d s interval for %d s %s (rows %ld sent, %ld lost, %ld "
                    "duplicated, %ld kept; delay to the status row median %.1f ms, 99th percentile %.1f ms, max "
                    "%.1f ms)\n",
                    p.name.c_str(), services, kInterval, p.seconds, p.held ? "HELD" : "NOT HELD", p.rows.sent,
                    p.rows.lost, p.rows.duplicated, p.rows.kept, p.delays.median * 1e3, p.delays.p99 * 1e3,
                    p.delays.max * 1e3);
    return all_held ? 0 : 2;
}
