// Performance-data throughput: the parser alone on one core, and values stored by four worker
// processes fed through the job server against value inserts sent directly over four
// connections in the same run (one statement per value, and one per record as the workers do).
// With --message-record: batches of records with message identities (each carried-out record
// recorded) against the same batches without.
#include "test_support.h"
#include "vt_batch.h"
#include "vt_perfdata_internal.h"
#include "vantor_config.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_message_id.h"
#include "vt_perfdata.h"

#include <libgearman/gearman.h>
#include <mysql.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Typical performance data: the shapes plugins print most, 1 to 20 metrics a record.
std::vector<std::string> typical_records(size_t count, unsigned seed, size_t *metrics)
{
    static const char *shapes[] = {
        "load%d=0.5;5;10;0",          "'disk /%d'=45%%;80;90;0;100", "time%d=12ms",
        "rta%d=0.123ms;100.000;500.000;0;", "pl%d=0%%;20;60;0",      "users%d=3;20;50;0",
        "swap%d=1024MB;200;100;0;4096",
    };
    std::mt19937 rng(seed);
    std::vector<std::string> out;
    *metrics = 0;
    for (size_t r = 0; r < count; ++r) {
        int k = 1 + static_cast<int>(rng() % 20);
        std::string s;
        for (int i = 0; i < k; ++i) {
            char buf[128];
            std::snprintf(buf, sizeof buf, shapes[rng() % (sizeof shapes / sizeof *shapes)], i);
            if (i)
                s += ' ';
            s += buf;
        }
        out.push_back(s);
        *metrics += static_cast<size_t>(k);
    }
    return out;
}

void count_metric(perf_metric *m, void *context) { *static_cast<size_t *>(context) += m->value[0] != '\0'; }

double parser_rate(size_t rounds)
{
    size_t per_round = 0;
    std::vector<std::string> recs = typical_records(1000, 1, &per_round);
    size_t seen = 0;
    auto start = Clock::now();
    for (size_t i = 0; i < rounds; ++i)
        for (const std::string &s : recs)
            vt_parse_perfdata(s.c_str(), count_metric, &seen);
    double secs = seconds_since(start);
    if (seen != per_round * rounds) {
        std::fprintf(stderr, "parser saw %zu of %zu metrics\n", seen, per_round * rounds);
        std::exit(1);
    }
    return static_cast<double>(seen) / secs;
}

// ---- end to end ----------------------------------------------------------------------------

constexpr int kFirstHost = 9000, kHosts = 10, kServices = 5, kWorkers = 4;

struct PerfJob {
    int host, service;
    std::string perf;
};

std::vector<PerfJob> jobs(size_t values_wanted, size_t *values)
{
    std::vector<PerfJob> out;
    *values = 0;
    std::mt19937 rng(7);
    // The same record text for each service every time: a service's metrics do not change
    // from check to check.
    std::map<std::pair<int, int>, std::string> per_service;
    for (int h = 0; h < kHosts; ++h)
        for (int s = 1; s <= kServices; ++s) {
            size_t n = 0;
            per_service[{kFirstHost + h, s}] = typical_records(1, static_cast<unsigned>(h * 100 + s), &n)[0];
        }
    while (*values < values_wanted) {
        int h = kFirstHost + static_cast<int>(rng() % kHosts), s = 1 + static_cast<int>(rng() % kServices);
        PerfJob j{h, s, per_service[{h, s}]};
        size_t n = 0;
        vt_parse_perfdata(j.perf.c_str(), count_metric, &n);
        *values += n;
        out.push_back(j);
    }
    return out;
}

std::string record(long long t, const PerfJob &j)
{
    return std::to_string(t) + "\t" + std::to_string(j.host) + "\t" + std::to_string(j.service) + "\t" + j.perf;
}

struct Collect {
    std::vector<std::string> *statements;  // one insert per value
    std::string rows;                      // the value rows of the record, for its one insert
    const PerfJob *job;
    long long t;
    std::map<std::tuple<int, int, std::string>, std::string> *ids;
};

std::string insert_head(int host)
{
    return "INSERT INTO vtperf.service_perf_" + std::to_string(host) +
           " (\tentry_time,\tservice_id,\tmetric_id,\tperf_value,\twarning,\tcritical,\tbaseline,\tlower_limit,"
           "\tupper_limit) VALUES ";
}

// The value row the store writes for a known metric, as its own insert and into the record's.
void value_insert(perf_metric *m, void *context)
{
    auto *c = static_cast<Collect *>(context);
    auto nul = [](const char *s) { return s ? std::string(s) : std::string("NULL"); };
    std::string id = (*c->ids)[{c->job->host, c->job->service, m->label}];
    char buf[1024];
    std::snprintf(buf, sizeof buf, "(\tfrom_unixtime(%lld),\t'%d',\t'%s',\t'%s',\t %s, \t %s, \t %s, \t %s, \t %s )",
                  c->t, c->job->service, id.c_str(), m->value, nul(m->warning).c_str(), nul(m->critical).c_str(),
                  nul(m->baseline).c_str(), nul(m->lower_limit).c_str(), nul(m->upper_limit).c_str());
    c->statements->push_back(insert_head(c->job->host) + buf + ";");
    c->rows += (c->rows.empty() ? "" : ", ") + std::string(buf);
}

long stored_rows(vtt::Sql &sql)
{
    long n = 0;
    for (int h = 0; h < kHosts; ++h)
        n += sql.count("vtperf.service_perf_" + std::to_string(kFirstHost + h));
    return n;
}

// Runs the statements over kWorkers connections of their own; returns values per second.
double direct_rate(const std::vector<std::string> &statements, size_t values)
{
    auto start = Clock::now();
    std::vector<pid_t> children;
    for (int c = 0; c < kWorkers; ++c) {
        pid_t p = fork();
        if (p == 0) {
            MYSQL *m = mysql_init(nullptr);
            vt_db_refuse_local_files(m);
            unsigned port = static_cast<unsigned>(std::strtol(DBPORT, nullptr, 10));
            if (!mysql_real_connect(m, DBHOST, DBUSER, DBPASS, "vtperf", port, nullptr, 0))
                _exit(2);
            mysql_query(m, "SET NAMES utf8mb4");
            int failed = 0;
            for (size_t i = static_cast<size_t>(c); i < statements.size(); i += kWorkers) {
                failed += mysql_real_query(m, statements[i].data(), statements[i].size()) != 0;
            }
            mysql_close(m);
            _exit(failed ? 1 : 0);
        }
        children.push_back(p);
    }
    bool ok = true;
    for (pid_t p : children) {
        int st = 0;
        waitpid(p, &st, 0);
        ok = ok && WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }
    double secs = seconds_since(start);
    if (!ok) {
        std::fprintf(stderr, "direct inserts failed\n");
        std::exit(1);
    }
    return static_cast<double>(values) / secs;
}

// Waits until the queue is empty; values per second since start, all values having arrived.
double values_per_second(Clock::time_point start, long before, size_t values, vtt::Sql &sql)
{
    bool done = vtt::wait_until([] {
        auto st = vtt::gearman_status();
        return st.count("vtdb_perfdata") && st["vtdb_perfdata"].total == 0;
    }, 600000);
    double secs = seconds_since(start);
    long stored = stored_rows(sql) - before;
    if (!done || stored != static_cast<long>(values)) {
        std::fprintf(stderr, "only %ld of %zu values arrived\n", stored, values);
        std::exit(1);
    }
    return static_cast<double>(values) / secs;
}

// Values per second stored by the workers, from the first submission until the queue is empty;
// *submitting gets the seconds the submissions alone took (the workers run meanwhile).
double store_rate(const std::vector<PerfJob> &js, long long t0, size_t values, vtt::Sql &sql, double *submitting)
{
    long before = stored_rows(sql);
    gearman_client_st *c = gearman_client_create(nullptr);
    gearman_client_add_server(c, "127.0.0.1", VANTOR_GEARMAN_PORT);
    auto start = Clock::now();
    for (size_t i = 0; i < js.size(); ++i) {
        std::string r = vtt::signed_job("vtdb_perfdata", record(t0 + static_cast<long long>(i), js[i]));
        gearman_job_handle_t h;
        if (gearman_client_do_high_background(c, "vtdb_perfdata", nullptr, r.data(), r.size(), h) != GEARMAN_SUCCESS) {
            std::fprintf(stderr, "submission failed: %s\n", gearman_client_error(c));
            std::exit(1);
        }
    }
    gearman_client_free(c);
    *submitting = seconds_since(start);
    return values_per_second(start, before, values, sql);
}

// The same, with the records submitted in batches of kBatch as the module's sender does.
constexpr size_t kBatch = 200;
// With run, each record carries an identity of that run as the module gives them, and the
// workers record the batch's records as carried out.
double batch_store_rate(const std::vector<PerfJob> &js, long long t0, size_t values, vtt::Sql &sql,
                        const std::string *run = nullptr)
{
    long before = stored_rows(sql);
    gearman_client_st *c = gearman_client_create(nullptr);
    gearman_client_add_server(c, "127.0.0.1", VANTOR_GEARMAN_PORT);
    auto start = Clock::now();
    for (size_t i = 0; i < js.size(); i += kBatch) {
        std::string batch;
        for (size_t k = i; k < std::min(js.size(), i + kBatch); ++k) {
            std::string r = record(t0 + static_cast<long long>(k), js[k]);
            if (run)
                r = vt::message_id_prefix(*run, k + 1) + r;
            vt::batch_append(batch, r.data(), r.size());
        }
        batch = vtt::signed_job("vtdb_perfdata", batch);
        gearman_job_handle_t h;
        if (gearman_client_do_high_background(c, "vtdb_perfdata", nullptr, batch.data(), batch.size(), h) !=
            GEARMAN_SUCCESS) {
            std::fprintf(stderr, "submission failed: %s\n", gearman_client_error(c));
            std::exit(1);
        }
    }
    gearman_client_free(c);
    return values_per_second(start, before, values, sql);
}

// Worker processes of the run, ended at any exit of the benchmark.
std::vector<pid_t> g_workers;
void end_workers()
{
    vtt::kill_and_reap(g_workers);
    g_workers.clear();
}

bool mariadb_running()
{
    try {
        vtt::Sql probe;
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

bool gearmand_running()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(vtt::gearman_port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool up = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (fd >= 0)
        close(fd);
    return up;
}

}  // namespace

int main(int argc, char **argv)
{
    // --message-record [values] [rounds]: only the cost of the record of carried-out messages.
    const bool record_only = argc > 1 && std::string(argv[1]) == "--message-record";
    int record_rounds = 3;
    size_t rounds = 0, wanted = 30000;
    if (record_only) {
        wanted = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 30000;
        record_rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    } else {
        rounds = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 300;
        wanted = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 30000;
        double parsed = parser_rate(rounds);
        std::printf("perfdata parser: %.0f metrics/s\n", parsed);
        std::fflush(stdout);
    }

    // The private servers of the test build: started when they are not running, and then
    // stopped again at the end.
    const bool had_db = mariadb_running(), had_gearmand = gearmand_running();
    if (!had_db)
        vtt::mariadb_start();
    if (!had_gearmand)
        vtt::gearmand_start();
    vtt::init_runtime("vantorconnector");
    vtt::Sql sql;
    for (int h = 0; h < kHosts; ++h) {
        std::string host = std::to_string(kFirstHost + h);
        sql.exec("DELETE FROM vtcfg.service_metric WHERE host_id=" + host);
        sql.exec("DELETE FROM vantor4.service_status WHERE host_id=" + host);
        sql.exec("DROP TABLE IF EXISTS vtperf.service_perf_" + host);
        for (int s = 1; s <= kServices; ++s)
            sql.exec("INSERT INTO vantor4.service_status (host_id, service_id, host_name, service_description) VALUES (" +
                     host + "," + std::to_string(s) + ",'bench" + host + "','svc" + std::to_string(s) + "')");
    }
    if (db_connect() != 0) {
        std::fprintf(stderr, "no database\n");
        return 1;
    }
    size_t values = 0;
    std::vector<PerfJob> js = jobs(wanted, &values);

    // Register every metric (and create the tables) first, so that both runs measure values of
    // known metrics.
    for (int h = 0; h < kHosts; ++h)
        for (int s = 1; s <= kServices; ++s)
            for (const PerfJob &j : js)
                if (j.host == kFirstHost + h && j.service == s) {
                    vt_process_perfdata(record(1600000000, j).c_str());
                    break;
                }
    std::map<std::tuple<int, int, std::string>, std::string> ids;
    for (const vtt::Row &r : sql.rows("SELECT host_id, service_id, metric, metric_id FROM vtcfg.service_metric WHERE "
                                      "host_id >= 9000 AND host_id < 9010"))
        ids[{std::stoi(*r[0]), std::stoi(*r[1]), *r[2]}] = *r[3];
    std::vector<std::string> statements, record_statements;
    for (size_t i = 0; i < js.size(); ++i) {
        Collect c{&statements, std::string(), &js[i], 1650000000LL + static_cast<long long>(i), &ids};
        vt_parse_perfdata(js[i].perf.c_str(), value_insert, &c);
        record_statements.push_back(insert_head(js[i].host) + c.rows + ";");
    }

    vtt::gearman_drain("vtdb_perfdata");
    if (!job_servers_root)
        vtdb_populate_job_servers_list();
    std::atexit(end_workers);
    for (int i = 0; i < kWorkers; ++i)
        g_workers.push_back(vt_perfdata_gm_dispatcher());
    if (!vtt::wait_until([] { return vtt::gearman_status()["vtdb_perfdata"].workers == kWorkers; }, 30000)) {
        std::fprintf(stderr, "workers did not register\n");
        return 1;
    }

    if (record_only) {
        // The cost of the record of carried-out messages: the same batches with and without
        // identities, alternating, the best run of each (every value counted in both).
        std::mt19937_64 rng{std::random_device{}()};
        double with = 0, without = 0;
        long long t = 1720000000LL;
        const long records_before = sql.count("vtcfg.message_done WHERE queue='vtdb_perfdata'");
        for (int round = 0; round < record_rounds; ++round) {
            without = std::max(without, batch_store_rate(js, t, values, sql));
            t += 1000000;
            char run[vt::kMessageRunChars + 1];
            std::snprintf(run, sizeof run, "%016llx", static_cast<unsigned long long>(rng()));
            const std::string r = run;
            with = std::max(with, batch_store_rate(js, t, values, sql, &r));
            t += 1000000;
        }
        const long records = sql.count("vtcfg.message_done WHERE queue='vtdb_perfdata'") - records_before;
        end_workers();
        std::printf("perfdata store, batches of %zu records (%zu values, %zu records, %d workers, best of %d):\n", kBatch,
                    values, js.size(), kWorkers, record_rounds);
        std::printf("  with message record: %.0f values/s, without: %.0f values/s, ratio %.3f (cost %.1f %%)\n", with,
                    without, with / without, 100.0 * (1.0 - with / without));
        std::printf("  record rows written by the recorded runs: %ld\n", records);
        std::fflush(stdout);
        if (!had_gearmand)
            vtt::gearmand_stop();
        if (!had_db)
            vtt::mariadb_stop();
        return records > 0 ? 0 : 1;
    }

    // The machine may be busy with other work: alternate the runs and keep the best of each.
    double direct = 0, direct_records = 0, stored = 0, submitting = 0;
    for (int round = 0; round < 2; ++round) {
        direct = std::max(direct, direct_rate(statements, values));
        direct_records = std::max(direct_records, direct_rate(record_statements, values));
        double sub = 0, rate = store_rate(js, 1700000000LL, values, sql, &sub);
        if (rate > stored) {
            stored = rate;
            submitting = sub;
        }
    }
    end_workers();

    // Batches of records: each record in a transaction of its own (the store before), against
    // one transaction a batch. Workers of either kind alternate; the best run of each counts.
    double per_record = 0, per_batch = 0;
    long long t = 1710000000LL;
    for (int round = 0; round < 2; ++round) {
        for (bool one_transaction : {false, true}) {
            vt_perf::batch_in_one_transaction = one_transaction;
            for (int i = 0; i < kWorkers; ++i)
                g_workers.push_back(vt_perfdata_gm_dispatcher());
            if (!vtt::wait_until([] { return vtt::gearman_status()["vtdb_perfdata"].workers == kWorkers; }, 30000)) {
                std::fprintf(stderr, "workers did not register\n");
                return 1;
            }
            double rate = batch_store_rate(js, t, values, sql);
            t += 1000000;
            double &best = one_transaction ? per_batch : per_record;
            best = std::max(best, rate);
            end_workers();
            vtt::wait_until([] { return vtt::gearman_status()["vtdb_perfdata"].workers == 0; }, 30000);
        }
    }

    std::printf("perfdata store: %.0f values/s, direct inserts: %.0f values/s, ratio %.2f (%zu values, %zu records, "
                "%d workers)\n",
                stored, direct, stored / direct, values, js.size(), kWorkers);
    std::printf("perfdata store against the same multi-row inserts sent directly, one per record: %.0f values/s, "
                "ratio %.2f\n",
                direct_records, stored / direct_records);
    std::printf("  submitting the %zu records to the job server took %.2f s of the store's %.2f s\n", js.size(),
                submitting, static_cast<double>(values) / stored);
    std::printf("perfdata store, batches of %zu records: %.0f values/s with one transaction a batch, %.0f values/s "
                "with one a record, ratio %.2f\n",
                kBatch, per_batch, per_record, per_batch / per_record);
    std::fflush(stdout);
    if (!had_gearmand)
        vtt::gearmand_stop();
    if (!had_db)
        vtt::mariadb_stop();
    return 0;
}
