// Statements per second carried by the status workers from the queue into MariaDB, against the
// same statements executed directly over as many connections.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_db.h"
#include "vt_log.h"

#include <libgearman/gearman.h>
#include <mysql.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string statement(int i)
{
    // The shape of a status upsert: a key, a state, output text, an update list.
    return "INSERT INTO vt_test.bench_status (host_id, service_id, current_state, plugin_output, last_check) VALUES (" +
           std::to_string(i % 500) + "," + std::to_string(i) + "," + std::to_string(i % 4) +
           ",'OK - load average: 0.12, 0.08, 0.05',NOW()) ON DUPLICATE KEY UPDATE current_state=" +
           std::to_string(i % 4) + ", plugin_output='OK - load average: 0.12, 0.08, 0.05', last_check=NOW()";
}

void reset_table(vtt::Sql &sql)
{
    sql.exec("CREATE TABLE IF NOT EXISTS vt_test.bench_status (host_id INT, service_id INT, current_state INT, "
             "plugin_output TEXT, last_check DATETIME, PRIMARY KEY (host_id, service_id)) ENGINE=InnoDB");
    sql.exec("TRUNCATE TABLE vt_test.bench_status");
}

double direct(int n, int connections)
{
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c)
        threads.emplace_back([=] {
            mysql_thread_init();
            MYSQL *m = mysql_init(nullptr);
            int port = static_cast<int>(std::strtol(DBPORT, nullptr, 10));
            if (!mysql_real_connect(m, DBHOST, DBUSER, DBPASS, "vantor4", static_cast<unsigned>(port), nullptr, 0)) {
                std::fprintf(stderr, "connect failed: %s\n", mysql_error(m));
                std::exit(1);
            }
            mysql_query(m, "SET NAMES utf8mb4");
            for (int i = c; i < n; i += connections) {
                std::string s = statement(i);
                if (mysql_real_query(m, s.data(), s.size()) != 0)
                    std::fprintf(stderr, "statement failed: %s\n", mysql_error(m));
            }
            mysql_close(m);
            mysql_thread_end();
        });
    for (auto &t : threads)
        t.join();
    return n / std::chrono::duration<double>(Clock::now() - start).count();
}

/* Queues all statements first, then starts the daemon and measures how fast its workers
 * drain the queue into the table: from the first percent of the rows to the last row, so
 * that neither the submissions nor the daemon's start-up are in the figure. */
double through_queue(int n, vtt::Sql &sql)
{
    gearman_client_st *c = gearman_client_create(nullptr);
    gearman_client_add_server(c, "127.0.0.1", VANTOR_GEARMAN_PORT);
    for (int i = 0; i < n; ++i) {
        std::string s = statement(i);
        gearman_job_handle_t h;
        if (gearman_client_do_background(c, "vtdb_vtstatus", nullptr, s.data(), s.size(), h) != GEARMAN_SUCCESS) {
            std::fprintf(stderr, "submission failed: %s\n", gearman_client_error(c));
            std::exit(1);
        }
    }
    gearman_client_free(c);

    pid_t daemon = vtt::start_daemon();
    if (daemon <= 0) {
        std::fprintf(stderr, "daemon did not start\n");
        std::exit(1);
    }
    const long first = n / 100;
    vtt::wait_until([&] { return sql.count("vt_test.bench_status") >= first; }, 60000);
    auto start = Clock::now();
    long start_rows = sql.count("vt_test.bench_status");
    bool done = vtt::wait_until([&] { return sql.count("vt_test.bench_status") == n; }, 300000);
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    vtt::stop_daemon(daemon);
    if (!done) {
        std::fprintf(stderr, "only %ld of %d statements arrived\n", sql.count("vt_test.bench_status"), n);
        std::exit(1);
    }
    return (n - start_rows) / secs;
}

}  // namespace

int main(int argc, char **argv)
{
    int n = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int workers = 3;
    vtt::init_runtime("vantorconnector");
    vtt::Sql sql;
    std::string conf_saved = vtt::read_file(VT_CONNECTOR_CONF);
    vtt::write_file(VT_CONNECTOR_CONF, "vtstatus_workers=" + std::to_string(workers) + "\nperfdata_workers=0\nnotify_workers=0\n");
    vtt::gearman_drain("vtdb_vtstatus");

    reset_table(sql);
    double raw = direct(n, workers);

    reset_table(sql);
    double queued = through_queue(n, sql);
    vtt::write_file(VT_CONNECTOR_CONF, conf_saved);

    std::printf("status workers: %.0f statements/s, direct over %d connections: %.0f statements/s, ratio %.2f (%d statements)\n",
                queued, workers, raw, queued / raw, n);
    return 0;
}
