// Performance values into tables that already hold hours of data: a sample of hosts is filled by
// bulk load with hours of values at a 60-second interval and kept for later runs; the workers
// then store the same rounds of values into those tables and into as many empty ones, and the
// cost per value (time, MariaDB's CPU, its disk reads and writes) is compared. The disk each
// value takes in the filled tables gives what a day and a week of values cost.
#include "bench_support.h"
#include "vantor_config.h"
#include "vt_batch.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_perfdata.h"

#include <libgearman/gearman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const int kFilledFirst = 200000;  // hosts whose tables hold hours of values
const int kEmptyFirst = 210000;   // as many hosts whose tables hold none
const int kServices = 10;
const int kMetrics = 5;
const int kInterval = 60;
const int kWorkers = 4;
const size_t kBatch = 200;  // records a job, as the module's sender batches them
// One record's performance data: five metrics, as the end-to-end benchmark's checks report.
const char kPerfdata[] = "rta=0.512ms;100.000;500.000;0; pl=0%;20;60;0;100 load1=0.42;5;10;0; users=3;20;50;0; "
                         "disk=41%;80;90;0;100";
const char *const kLabels[kMetrics] = {"rta", "pl", "load1", "users", "disk"};

void usage() {
    std::fprintf(stderr, "usage: bench_perf_history [hosts, default 1000] [hours, default 6] [--rounds N] "
                         "[--db-cnf FILE|small]\n"
                         "  --rounds N        intervals of values measured in each kind of table (default 3)\n"
                         "  --db-cnf FILE     server settings (default: the checkout's etc/mariadb/vantor.cnf)\n");
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string table(int host) { return "vtperf.service_perf_" + std::to_string(host); }

std::string record(long long t, int host, int service) {
    return std::to_string(t) + "\t" + std::to_string(host) + "\t" + std::to_string(service) + "\t" + kPerfdata;
}

// Registers every metric of the hosts' services through the store (which makes the value
// tables), after removing what an earlier run left.
void register_metrics(vtt::Sql &sql, int first, int hosts, long long t) {
    for (int h = first; h < first + hosts; h++) {
        const std::string id = std::to_string(h);
        sql.exec("DELETE FROM vtcfg.service_metric WHERE host_id=" + id);
        sql.exec("DROP TABLE IF EXISTS " + table(h));
        for (int s = 1; s <= kServices; s++) {
            sql.exec("INSERT IGNORE INTO vantor4.service_status (host_id, service_id, host_name, service_description) "
                     "VALUES (" + id + "," + std::to_string(s) + ",'bench" + id + "','svc" + std::to_string(s) + "')");
            vt_process_perfdata(record(t, h, s).c_str());
        }
    }
}

// Fills a host's table with hours of values ending before t by one bulk load from a generated
// file; returns the rows loaded.
long fill(vtt::Sql &sql, int host, int hours, long long t, const std::string &file) {
    std::map<std::pair<int, std::string>, std::string> ids;
    for (const vtt::Row &r : sql.rows("SELECT service_id, metric, metric_id FROM vtcfg.service_metric WHERE host_id=" +
                                      std::to_string(host)))
        ids[{std::stoi(*r[0]), *r[1]}] = *r[2];
    std::ofstream out(file, std::ios::trunc);
    long rows = 0;
    for (long long when = t - hours * 3600LL; when < t; when += kInterval)
        for (int s = 1; s <= kServices; s++)
            for (int m = 0; m < kMetrics; m++) {
                const auto id = ids.find({s, kLabels[m]});
                if (id == ids.end()) {
                    std::fprintf(stderr, "metric %s of host %d service %d is not registered\n", kLabels[m], host, s);
                    std::exit(1);
                }
                out << when << '\t' << s << '\t' << id->second << '\t' << (when / kInterval + s * 7 + m) % 1000 / 10.0
                    << "\t80\t90\t\\N\t0\t100\n";
                rows++;
            }
    out.close();
    sql.exec("LOAD DATA INFILE '" + file + "' INTO TABLE " + table(host) +
             " (@t, service_id, metric_id, perf_value, warning, critical, baseline, lower_limit, upper_limit)"
             " SET entry_time = FROM_UNIXTIME(@t)");
    return rows;
}

// Values of the hosts' tables.
long values_in(vtt::Sql &sql, int first, int hosts) {
    long n = 0;
    for (int h = first; h < first + hosts; h++)
        n += sql.count(table(h));
    return n;
}

struct Cost {
    long values = 0;
    double seconds = 0, mariadb_cpu = 0, reads = 0, pages_written = 0, redo = 0;
};

// One interval of values of every service of the hosts, stored by the running workers: the
// records go to the job server in batches, and the time runs until the workers have taken the
// last job and finished it.
void store_round(vtt::Sql &sql, int first, int hosts, long long t, Cost &cost) {
    std::vector<std::string> jobs;
    std::string batch;
    size_t in_batch = 0;
    for (int h = first; h < first + hosts; h++)
        for (int s = 1; s <= kServices; s++) {
            const std::string r = record(t, h, s);
            vt::batch_append(batch, r.data(), r.size());
            if (++in_batch == kBatch) {
                jobs.push_back(batch);
                batch.clear();
                in_batch = 0;
            }
        }
    if (!batch.empty())
        jobs.push_back(batch);
    const long before = values_in(sql, first, hosts);
    const vtb::Counters db0 = vtb::db_counters(sql);
    const pid_t mariadb = vtb::server_pid("mysql.pid");
    const double cpu0 = vtb::cpu_of(mariadb);
    const auto start = Clock::now();
    gearman_client_st *c = gearman_client_create(nullptr);
    gearman_client_add_server(c, "127.0.0.1", VANTOR_GEARMAN_PORT);
    for (const std::string &plain : jobs) {
        const std::string j = vtt::signed_job("vtdb_perfdata", plain);
        gearman_job_handle_t handle;
        if (gearman_client_do_high_background(c, "vtdb_perfdata", nullptr, j.data(), j.size(), handle) !=
            GEARMAN_SUCCESS) {
            std::fprintf(stderr, "submission failed: %s\n", gearman_client_error(c));
            std::exit(1);
        }
    }
    gearman_client_free(c);
    const bool done = vtt::wait_until([] {
        auto st = vtt::gearman_status();
        return st["vtdb_perfdata"].total == 0 && st["vtdb_perfdata"].running == 0;
    }, 1800000);
    cost.seconds += seconds_since(start);
    cost.mariadb_cpu += vtb::cpu_of(mariadb) - cpu0;
    const vtb::Counters db1 = vtb::db_counters(sql);
    cost.reads += vtb::delta(db0, db1, "Innodb_buffer_pool_reads");
    cost.pages_written += vtb::delta(db0, db1, "Innodb_pages_written");
    cost.redo += vtb::delta(db0, db1, "Innodb_os_log_written");
    const long stored = values_in(sql, first, hosts) - before, wanted = static_cast<long>(hosts) * kServices * kMetrics;
    if (!done || stored != wanted) {
        std::fprintf(stderr, "only %ld of %ld values arrived\n", stored, wanted);
        std::exit(1);
    }
    cost.values += stored;
}

void print_cost(const char *what, const Cost &c) {
    const double per = c.values > 0 ? 1.0 / static_cast<double>(c.values) : 0;
    std::printf("  %-26s %8.0f values/s, MariaDB %6.1f us CPU a value, %.4f pages read from disk, %.4f pages "
                "written, %.0f bytes of redo log (%ld values)\n",
                what, c.seconds > 0 ? static_cast<double>(c.values) / c.seconds : 0, c.mariadb_cpu * per * 1e6,
                c.reads * per, c.pages_written * per, c.redo * per, c.values);
}

// Bytes the hosts' value tables take: their files (allocated blocks), and data and index as
// InnoDB counts them (after fresh statistics).
struct Disk {
    double file = 0, data = 0, index = 0;
};
Disk disk_of(vtt::Sql &sql, int first, int hosts) {
    Disk d;
    std::string tables;
    for (int h = first; h < first + hosts; h++) {
        struct stat st {};
        const std::string f =
            std::string(VT_TEST_STATE_DIR) + "/mysql/vtperf/service_perf_" + std::to_string(h) + ".ibd";
        if (stat(f.c_str(), &st) == 0)
            d.file += static_cast<double>(st.st_blocks) * 512.0;
        tables += (tables.empty() ? "" : ", ") + table(h);
        if ((h - first) % 100 == 99 || h == first + hosts - 1) {
            sql.rows("ANALYZE TABLE " + tables);
            tables.clear();
        }
    }
    for (const vtt::Row &r : sql.rows("SELECT SUM(data_length), SUM(index_length) FROM information_schema.TABLES "
                                      "WHERE table_schema='vtperf' AND table_name BETWEEN 'service_perf_" +
                                      std::to_string(first) + "' AND 'service_perf_" +
                                      std::to_string(first + hosts - 1) + "'")) {
        d.data = r[0] ? std::atof(r[0]->c_str()) : 0;
        d.index = r[1] ? std::atof(r[1]->c_str()) : 0;
    }
    return d;
}

std::vector<pid_t> g_workers;
void end_workers() {
    vtt::kill_and_reap(g_workers);
    g_workers.clear();
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int hosts = 1000, hours = 6, rounds = 3;
    std::string cnf = vtb::default_db_cnf();
    const bool parsed = vtb::parse_command_line(
        argc, argv, {&hosts, &hours},
        {{"--rounds", [&](const char *v) { return (rounds = std::atoi(v)) > 0; }},
         {"--db-cnf", [&](const char *v) { return !(cnf = v).empty(); }}});
    if (!parsed || hosts <= 0 || hosts > kEmptyFirst - kFilledFirst || hours <= 0 || rounds <= 0) {
        usage();
        return 1;
    }
    const std::unique_ptr<vtt::Sql> sql = vtb::database_with(cnf);  // writes the sandbox's db.php
    vtt::gearmand_start();
    vtt::init_runtime("vantorconnector");
    if (db_connect() != 0) {
        std::fprintf(stderr, "no database\n");
        return 1;
    }
    const long long now = time(nullptr) / kInterval * kInterval;
    const long per_host = static_cast<long>(hours) * 3600 / kInterval * kServices * kMetrics;

    // The filled tables are kept for later runs with as many hours: filling takes long.
    auto t0 = Clock::now();
    int refilled = 0;
    long loaded = 0;
    const std::string file = vtt::path("/var/bench-perf-history.tsv");
    for (int h = kFilledFirst; h < kFilledFirst + hosts; h++) {
        long n = 0;
        try {
            n = sql->count(table(h));
        } catch (const std::exception &) {  // no table yet
        }
        const long registered = sql->count("vtcfg.service_metric WHERE host_id=" + std::to_string(h));
        if (registered == kServices * kMetrics && n >= per_host && n < per_host * 2)
            continue;
        register_metrics(*sql, h, 1, now - hours * 3600LL - kInterval);
        loaded += fill(*sql, h, hours, now, file);
        refilled++;
    }
    vtt::remove_file(file);
    if (refilled > 0)
        std::printf("filled %d hosts' tables with %d h of values: %ld values in %.0f s (%.0f values/s by bulk load)\n",
                    refilled, hours, loaded, seconds_since(t0), static_cast<double>(loaded) / seconds_since(t0));
    else
        std::printf("the %d hosts' tables hold %d h of values from an earlier run\n", hosts, hours);
    t0 = Clock::now();
    register_metrics(*sql, kEmptyFirst, hosts, now - kInterval);
    std::printf("metrics of %d hosts with empty tables registered in %.0f s\n", hosts, seconds_since(t0));

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

    // Alternating, so that the load of the machine falls on both alike; the filled tables'
    // values go after their hours of values, as the next checks' would.
    Cost empty, filled;
    for (int r = 0; r < rounds; r++) {
        const long long t = now + static_cast<long long>(r) * kInterval + kInterval;
        store_round(*sql, kEmptyFirst, hosts, t, empty);
        store_round(*sql, kFilledFirst, hosts, t, filled);
    }
    end_workers();
    std::printf("storing %d rounds of values of %d hosts x %d services x %d metrics, %d workers:\n", rounds, hosts,
                kServices, kMetrics, kWorkers);
    print_cost("into empty tables", empty);
    print_cost(("into tables of " + std::to_string(hours) + " h").c_str(), filled);
    if (empty.values > 0 && filled.values > 0 && empty.mariadb_cpu > 0)
        std::printf("  tables of %d h against empty ones: MariaDB CPU a value %.2f, time a value %.2f\n", hours,
                    (filled.mariadb_cpu / filled.values) / (empty.mariadb_cpu / empty.values),
                    (filled.seconds / filled.values) / (empty.seconds / empty.values));

    const Disk d = disk_of(*sql, kFilledFirst, hosts);
    const double values = static_cast<double>(values_in(*sql, kFilledFirst, hosts));
    const double metrics = static_cast<double>(hosts) * kServices * kMetrics;
    const double file_per_value = d.file / values, counted_per_value = (d.data + d.index) / values;
    std::printf("disk per value in the tables of %d h (%.0f values): %.1f bytes in the files, %.1f counted by "
                "InnoDB (data %.1f, index %.1f)\n",
                hours, values, file_per_value, counted_per_value, d.data / values, d.index / values);
    // A day at a 60-second interval is 1,440 values a metric. InnoDB's count carries over
    // linearly to larger tables; the files of small tables are mostly space reserved ahead (they
    // grow by whole extents), so their bytes per value are an upper bound that falls as the
    // tables grow.
    const double day_10k = 10000.0 * kMetrics * 1440;
    std::printf("a day of values per 10,000 services (%d metrics each, %d s): %.0f values, %.2f GB (by the files "
                "at this size, at most %.2f GB); a week at 100,000 services: %.0f GB (at most %.0f GB)\n",
                kMetrics, kInterval, day_10k, day_10k * counted_per_value / 1e9, day_10k * file_per_value / 1e9,
                day_10k * 10 * 7 * counted_per_value / 1e9, day_10k * 10 * 7 * file_per_value / 1e9);
    // Each metric's values sit together in the index: once they fill more than a page, the
    // values of one interval land on one page per metric, all of which the buffer pool must hold.
    const double index_per_metric = d.index / metrics;
    std::printf("the values' index: %.1f KB a metric after %d h; the pages one interval's values land on: about "
                "%.0f MB per 10,000 services\n",
                index_per_metric / 1024, hours,
                std::min(index_per_metric, 16384.0) * 10000.0 * kMetrics / (1024.0 * 1024.0));
    return 0;
}
