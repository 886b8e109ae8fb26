// Statements per second carried by the status workers from the queue into MariaDB, signed jobs
// against unsigned ones, against minimal workers on the two libraries alone and against the same
// statements executed directly. With --message-record: batches with message identities (each
// carried-out message recorded) against the same batches without.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_db.h"
#include "vt_batch.h"
#include "vt_log.h"
#include "vt_message_id.h"
#include "vt_upsert.h"

#include <libgearman/gearman.h>
#include <mysql.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <cstdio>
#include <cstdlib>
#include <random>
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

/* The same upsert marked as mergeable, as the module sends its status upserts. */
std::string marked_statement(int i)
{
    const std::string state = std::to_string(i % 4);
    return vt::marked_upsert(2, "INSERT INTO vt_test.bench_status (host_id, service_id, current_state, plugin_output, "
                                "last_check) VALUES",
                             "(" + std::to_string(i % 500) + "," + std::to_string(i) + "," + state +
                                 ",'OK - load average: 0.12, 0.08, 0.05',NOW())",
                             " ON DUPLICATE KEY UPDATE current_state=" + state +
                                 ", plugin_output='OK - load average: 0.12, 0.08, 0.05', last_check=NOW()");
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
            vt_db_refuse_local_files(m);
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

/* Queues n statements, each a job of its own, signed as the module signs them or plain. */
void queue_all(int n, bool sign = false)
{
    gearman_client_st *c = gearman_client_create(nullptr);
    gearman_client_add_server(c, "127.0.0.1", VANTOR_GEARMAN_PORT);
    for (int i = 0; i < n; ++i) {
        std::string s = sign ? vtt::signed_job("vtdb_vtstatus", statement(i)) : statement(i);
        gearman_job_handle_t h;
        if (gearman_client_do_background(c, "vtdb_vtstatus", nullptr, s.data(), s.size(), h) != GEARMAN_SUCCESS) {
            std::fprintf(stderr, "submission failed: %s\n", gearman_client_error(c));
            std::exit(1);
        }
    }
    gearman_client_free(c);
}

/* The statements in batches of 200, as the module's sender submits them: marked, the workers
 * merge each batch's upserts into one statement; unmarked, they run them one by one. */
constexpr int kBatch = 200;
/* With run, each message carries an identity of that run, as the module gives them: the workers
 * then record the batch's messages as carried out. */
void queue_batches(int n, bool marked, const std::string *run = nullptr)
{
    gearman_client_st *c = gearman_client_create(nullptr);
    gearman_client_add_server(c, "127.0.0.1", VANTOR_GEARMAN_PORT);
    for (int i = 0; i < n; i += kBatch) {
        std::string batch;
        for (int k = i; k < std::min(n, i + kBatch); ++k) {
            std::string s = marked ? marked_statement(k) : statement(k);
            if (run)
                s = vt::message_id_prefix(*run, static_cast<unsigned long long>(k) + 1) + s;
            vt::batch_append(batch, s.data(), s.size());
        }
        batch = vtt::signed_job("vtdb_vtstatus", batch);
        gearman_job_handle_t h;
        if (gearman_client_do_background(c, "vtdb_vtstatus", nullptr, batch.data(), batch.size(), h) !=
            GEARMAN_SUCCESS) {
            std::fprintf(stderr, "submission failed: %s\n", gearman_client_error(c));
            std::exit(1);
        }
    }
    gearman_client_free(c);
}

/* Measures how fast started workers drain the queued statements into the table: from the
 * first percent of the rows to the last row, so that neither the submissions nor the
 * workers' start-up are in the figure. */
double drain_rate(int n, vtt::Sql &sql)
{
    const long first = n / 100;
    vtt::wait_until([&] { return sql.count("vt_test.bench_status") >= first; }, 60000);
    auto start = Clock::now();
    long start_rows = sql.count("vt_test.bench_status");
    bool done = vtt::wait_until([&] { return sql.count("vt_test.bench_status") == n; }, 300000);
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    if (!done) {
        std::fprintf(stderr, "only %ld of %d statements arrived\n", sql.count("vt_test.bench_status"), n);
        std::exit(1);
    }
    return (n - start_rows) / secs;
}

/* The daemon's status workers taking the queued statements: single jobs, signed or plain (the
 * daemon accepts plain ones only when told to), or signed batches of marked (merged) or
 * unmarked statements. */
enum class Jobs { Single, Batches, MergedBatches, RecordedBatches };
double through_daemon(int n, int workers, bool sign, vtt::Sql &sql, Jobs jobs = Jobs::Single)
{
    static std::mt19937_64 rng{std::random_device{}()};
    char run[vt::kMessageRunChars + 1];
    std::snprintf(run, sizeof run, "%016llx", static_cast<unsigned long long>(rng())); // fresh: nothing recorded
    vtt::write_file(VT_CONNECTOR_CONF, "vtstatus_workers=" + std::to_string(workers) +
                                           "\nperfdata_workers=0\nnotify_workers=0\naccept_unsigned_jobs=" +
                                           (sign ? "0" : "1") + "\n");
    if (jobs == Jobs::Single)
        queue_all(n, sign);
    else if (jobs == Jobs::RecordedBatches) {
        const std::string r = run;
        queue_batches(n, true, &r);
    } else
        queue_batches(n, jobs == Jobs::MergedBatches);
    pid_t daemon = vtt::start_daemon();
    if (daemon <= 0) {
        std::fprintf(stderr, "daemon did not start\n");
        std::exit(1);
    }
    double rate = drain_rate(n, sql);
    vtt::stop_daemon(daemon);
    return rate;
}

/* The least a worker can do, on the two libraries alone: take a job, run its statement. */
void *minimal_job(gearman_job_st *job, void *context, size_t *result_size, gearman_return_t *ret)
{
    MYSQL *m = static_cast<MYSQL *>(context);
    if (mysql_real_query(m, static_cast<const char *>(gearman_job_workload(job)), gearman_job_workload_size(job)) != 0)
        std::fprintf(stderr, "statement failed: %s\n", mysql_error(m));
    *result_size = 0;
    *ret = GEARMAN_SUCCESS;
    return nullptr;
}

[[noreturn]] void minimal_worker()
{
    MYSQL *m = mysql_init(nullptr);
    vt_db_refuse_local_files(m);
    int port = static_cast<int>(std::strtol(DBPORT, nullptr, 10));
    if (!mysql_real_connect(m, DBHOST, DBUSER, DBPASS, "vantor4", static_cast<unsigned>(port), nullptr, 0)) {
        std::fprintf(stderr, "connect failed: %s\n", mysql_error(m));
        _exit(1);
    }
    mysql_query(m, "SET NAMES utf8mb4");
    gearman_worker_st *w = gearman_worker_create(nullptr);
    gearman_worker_add_server(w, "127.0.0.1", VANTOR_GEARMAN_PORT);
    gearman_worker_add_function(w, "vtdb_vtstatus", 0, minimal_job, m);
    while (gearman_worker_work(w) == GEARMAN_SUCCESS) {
    }
    _exit(1);
}

/* As many minimal worker processes as the daemon has status workers, same queued statements. */
double through_minimal_workers(int n, int workers, vtt::Sql &sql)
{
    queue_all(n);
    std::vector<pid_t> pids;
    for (int i = 0; i < workers; ++i) {
        pid_t p = fork();
        if (p == 0)
            minimal_worker();
        pids.push_back(p);
    }
    double rate = drain_rate(n, sql);
    vtt::kill_and_reap(pids);
    return rate;
}

}  // namespace

/* Rows of the record of this run's messages, the way to tell that the recorded runs recorded. */
long record_rows(vtt::Sql &sql) { return sql.count("vtcfg.message_done WHERE queue='vtdb_vtstatus'"); }

/* The cost of the record of carried-out messages: the same merged batches with and without
 * identities, alternating, the best of rounds runs of each (every row counted in both). */
int message_record(int n, int workers, int rounds, vtt::Sql &sql)
{
    double with = 0, without = 0;
    const long records_before = record_rows(sql);
    for (int round = 0; round < rounds; ++round) {
        reset_table(sql);
        without = std::max(without, through_daemon(n, workers, true, sql, Jobs::MergedBatches));
        reset_table(sql);
        with = std::max(with, through_daemon(n, workers, true, sql, Jobs::RecordedBatches));
    }
    const long records = record_rows(sql) - records_before;
    std::printf("status workers, batches of %d merged upserts (%d statements, %d processes, best of %d):\n", kBatch,
                n, workers, rounds);
    std::printf("  with message record: %.0f statements/s, without: %.0f statements/s, ratio %.3f (cost %.1f %%)\n",
                with, without, with / without, 100.0 * (1.0 - with / without));
    std::printf("  record rows written by the recorded runs: %ld\n", records);
    if (records <= 0) {
        std::fprintf(stderr, "the recorded runs left no record: is upgrade-message-done applied?\n");
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    const bool record_only = argc > 1 && std::string(argv[1]) == "--message-record";
    if (record_only) {
        --argc;
        ++argv;
    }
    int n = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int workers = 3;
    vtt::init_runtime("vantorconnector");
    vtt::Sql sql;
    std::string conf_saved = vtt::read_file(VT_CONNECTOR_CONF);
    vtt::gearman_drain("vtdb_vtstatus");
    if (record_only) {
        const int rc = message_record(n, workers, argc > 2 ? std::atoi(argv[2]) : 3, sql);
        vtt::write_file(VT_CONNECTOR_CONF, conf_saved);
        return rc;
    }

    reset_table(sql);
    double raw = direct(n, workers);

    // The two worker kinds alternate, and the best run of each counts: on a shared machine
    // a slow moment then touches either alike.
    double minimal = 0, queued = 0, unsigned_queued = 0;
    for (int round = 0; round < 2; ++round) {
        reset_table(sql);
        minimal = std::max(minimal, through_minimal_workers(n, workers, sql));
        reset_table(sql);
        queued = std::max(queued, through_daemon(n, workers, true, sql));
        reset_table(sql);
        unsigned_queued = std::max(unsigned_queued, through_daemon(n, workers, false, sql));
    }
    // Batches as the sender makes them: the same statements run one by one in each batch's
    // transaction, and merged into one upsert per batch.
    double batched = 0, merged = 0;
    for (int round = 0; round < 2; ++round) {
        reset_table(sql);
        batched = std::max(batched, through_daemon(n, workers, true, sql, Jobs::Batches));
        reset_table(sql);
        merged = std::max(merged, through_daemon(n, workers, true, sql, Jobs::MergedBatches));
    }
    vtt::write_file(VT_CONNECTOR_CONF, conf_saved);

    std::printf("status workers: %.0f statements/s signed (%d statements, %d processes)\n", queued, n, workers);
    std::printf("  unsigned (accept_unsigned_jobs=1): %.0f statements/s, signed/unsigned ratio %.2f\n",
                unsigned_queued, queued / unsigned_queued);
    std::printf("  minimal libgearman+MariaDB workers: %.0f statements/s, ratio %.2f\n", minimal, queued / minimal);
    std::printf("  direct over %d connections: %.0f statements/s, ratio %.2f\n", workers, raw, queued / raw);
    std::printf("status workers, batches of %d with merged upserts: %.0f statements/s\n", kBatch, merged);
    std::printf("  the same batches as single statements: %.0f statements/s, ratio %.2f\n", batched, merged / batched);
    std::printf("  direct over %d connections: %.0f statements/s, ratio %.2f\n", workers, raw, merged / raw);
    return 0;
}
