// Initial states at the event-loop start: hosts x services objects, half of them changed since
// their last history row, from the start of the walk until every initial row is in MariaDB;
// against the same last-state queries run directly over one connection in the same run.
#include "standin.h"
#include "test_support.h"
#include "vantor_config.h"
#include "vt_db.h"

#include <mysql.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

const int kFirstHost = 100000;

MYSQL *connect_db() {
    MYSQL *m = mysql_init(nullptr);
    vt_db_refuse_local_files(m);
    if (!mysql_real_connect(m, DBHOST, DBUSER, DBPASS, "vantor4", static_cast<unsigned>(std::atoi(DBPORT)), nullptr,
                            0)) {
        std::fprintf(stderr, "connect failed: %s\n", mysql_error(m));
        std::exit(1);
    }
    return m;
}

void run(MYSQL *m, const std::string &q) {
    if (mysql_real_query(m, q.data(), q.size()) != 0) {
        std::fprintf(stderr, "%s: %s\n", q.substr(0, 120).c_str(), mysql_error(m));
        std::exit(1);
    }
    do
        mysql_free_result(mysql_store_result(m));
    while (mysql_next_result(m) == 0);
}

// Runs f(i) for i in [0, n) over two connections of their own.
template <typename F> void parallel(int n, F f) {
    std::vector<std::thread> threads;
    for (int c = 0; c < 2; c++)
        threads.emplace_back([=] {
            mysql_thread_init();
            MYSQL *m = connect_db();
            for (int i = c; i < n; i += 2)
                f(m, i);
            mysql_close(m);
            mysql_thread_end();
        });
    for (auto &t : threads)
        t.join();
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int hosts = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int per_host = argc > 2 ? std::atoi(argv[2]) : 10;
    vtt::init_runtime("bench_initial_states");
    vtt::gearmand_start();
    vtt::Sql sql;
    sql.exec("CREATE TABLE IF NOT EXISTS vt_test.bench_initial_run (id INT PRIMARY KEY, n INT)");
    sql.exec("INSERT INTO vt_test.bench_initial_run VALUES (1, 1) ON DUPLICATE KEY UPDATE n = n + 1");
    const int run_no = std::atoi(sql.scalar("SELECT n FROM vt_test.bench_initial_run WHERE id=1").c_str());

    // History tables, made once and kept for later runs.
    Clock::time_point t = Clock::now();
    parallel(hosts, [](MYSQL *m, int i) {
        run(m, "CALL vantor4.vt_create_host_tables(" + std::to_string(kFirstHost + i) + ")");
    });
    std::printf("history tables of %d hosts ready in %.1f s\n", hosts, since(t));

    // The objects, all with attempt run_no, which no earlier run wrote: every object differs
    // from its last row unless it gets a fresh equal row now (even hosts, even services).
    const long long now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    t = Clock::now();
    parallel(hosts, [=](MYSQL *m, int i) {
        const std::string id = std::to_string(kFirstHost + i), ms = std::to_string(now_ms),
                          a = std::to_string(run_no);
        if (i % 2 == 0)
            run(m, "INSERT INTO host_state_change_" + id +
                       " (current_state, state_type, current_attempt, initial_log_state, entry_time_ms) VALUES "
                       "(0,1," + a + ",1," + ms + ")");
        std::string rows;
        for (int k = 0; k < per_host; k += 2)
            rows += std::string(rows.empty() ? "" : ",") + "(" + std::to_string(i * per_host + k + 1) + ",0,1," + a +
                    ",1," + ms + ")";
        if (!rows.empty())
            run(m, "INSERT INTO service_state_change_" + id +
                       " (service_id, current_state, state_type, current_attempt, initial_log_state, entry_time_ms) "
                       "VALUES " + rows);
    });
    std::printf("unchanged half recorded in %.1f s\n", since(t));
    for (int i = 0; i < hosts; i++) {
        const std::string id = std::to_string(kFirstHost + i);
        host *h = standin::add_host("init-bench-" + id);
        standin::add_custom_variable(h, "_HOST_ID", id);
        standin::set_text(h->plugin_output, "PING OK - 'fine'");
        h->current_attempt = run_no;
        for (int k = 0; k < per_host; k++) {
            service *s = standin::add_service(h, "svc-" + std::to_string(k));
            standin::add_custom_variable(s, "_HOST_ID", id);
            standin::add_custom_variable(s, "_SERVICE_ID", std::to_string(i * per_host + k + 1));
            standin::set_text(s->plugin_output, "OK - disk 'C:\\' 42% used");
            s->current_attempt = run_no;
        }
    }
    const long objects = static_cast<long>(hosts) * (per_host + 1);
    const long expected = (hosts / 2) + static_cast<long>(hosts) * (per_host / 2);

    // Baseline: the walk's comparison queries, run directly over one connection.
    t = Clock::now();
    {
        MYSQL *m = connect_db();
        for (int i = 0; i < hosts; i++) {
            const std::string id = std::to_string(kFirstHost + i);
            run(m, "SELECT current_state, state_type, current_attempt from host_state_change_" + id +
                       " ORDER BY entry_time_ms DESC LIMIT 1");
            for (int k = 0; k < per_host; k++)
                run(m, "SELECT current_state, state_type, current_attempt from service_state_change_" + id +
                           " WHERE service_id = '" + std::to_string(i * per_host + k + 1) +
                           "' ORDER BY entry_time_ms DESC LIMIT 1");
        }
        mysql_close(m);
    }
    const double direct_s = since(t);

    vtt::write_file(VT_CONNECTOR_CONF, "vtstatus_workers=3\nperfdata_workers=0\nnotify_workers=0\n");
    vtt::gearman_drain("vtdb_statuspri");
    const pid_t daemon = vtt::start_daemon();
    if (daemon <= 0)
        return 1;
    standin::reset_settings();
    nebmodule *mod = standin::load_module(VTDB_MODULE_PATH);
    if (!mod) {
        std::fprintf(stderr, "module not loaded: %s\n", standin::last_load_error().c_str());
        return 1;
    }
    const std::string log = vtt::path("/var/vtdb.log");
    const long totals_before = vtt::count_lines_containing(log, "Initial states totals");
    t = Clock::now();
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    vtt::wait_until([&] { return vtt::count_lines_containing(log, "Initial states totals") > totals_before; }, 600000);
    const double walk_s = since(t);
    // The priority worker has executed everything once the queue is empty and it is idle.
    vtt::wait_until(
        [] {
            auto q = vtt::gearman_status()["vtdb_statuspri"];
            return q.total == 0 && q.running == 0;
        },
        600000);
    const double landed_s = since(t);
    vtt::stop_daemon(daemon);
    standin::unload_module(mod);

    // Count what landed: this run's initial rows (the attempt no earlier run used).
    long landed = 0;
    const std::string a = std::to_string(run_no);
    for (int i = 0; i < hosts; i++) {
        const std::string id = std::to_string(kFirstHost + i);
        landed += std::atol(sql.scalar("SELECT (SELECT COUNT(*) FROM vantor4.host_state_change_" + id +
                                       " WHERE current_attempt=" + a + " AND entry_time_ms > " +
                                       std::to_string(now_ms) + ") + (SELECT COUNT(*) FROM "
                                       "vantor4.service_state_change_" + id + " WHERE current_attempt=" + a +
                                       " AND entry_time_ms > " + std::to_string(now_ms) + ")")
                                .c_str());
    }
    std::printf("initial states: %ld objects (%d hosts x %d services), %ld changed\n", objects, hosts, per_host,
                expected);
    std::printf("  walk %.1f s (%.0f objects/s), all rows in MariaDB after %.1f s: %ld of %ld rows\n", walk_s,
                objects / walk_s, landed_s, landed, expected);
    std::printf("  direct comparison queries over one connection: %.1f s (%.0f objects/s), walk/direct %.2f\n",
                direct_s, objects / direct_s, walk_s / direct_s);
    return landed == expected ? 0 : 1;
}
