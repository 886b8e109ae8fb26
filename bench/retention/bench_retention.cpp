// Retention under load: value tables bulk-loaded with 25 hours of values (about 20 million by
// default) at a one-day retention, so that a pass deletes the oldest hour, as an hourly pass
// does in the steady state; writer processes insert values at the rate of a given number of
// services (5 metrics each every 60 s), one multi-row insert a check as the workers store them.
// The writers' insert latency is measured first without a pass, then during one, in the same
// run, and printed with the pass time.
#include "bench_support.h"
#include "vantor_config.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"

#include <mysql.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const int kFirstHost = 300000;
const int kMetrics = 5;
const int kInterval = 60;
const int kHours = 25;  // a day kept and the hour a pass deletes
const int kWriters = 2;

void usage()
{
    std::fprintf(stderr, "usage: bench_retention [values, default 20000000] [hosts, default 1000] [services, default "
                         "100000] [--seconds N] [--chunk N] [--pause-ms N] [--db-cnf FILE|small]\n"
                         "  values      values in the tables before the pass (bulk-loaded, kept for later runs)\n"
                         "  services    the writers insert 5 values a service every 60 s\n"
                         "  --seconds N length of the measurement without a pass (default 60)\n"
                         "  --chunk N, --pause-ms N  the retention's pace (default: the settings' defaults)\n");
}

double now_s()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

std::string table(int h) { return "vtperf.service_perf_" + std::to_string(h); }

// A writer: statements of kMetrics values at rate a second into the hosts' tables in turn,
// until stopped; each line of out is "<start time> <latency us>".
[[noreturn]] void writer(int index, int hosts, double rate, const std::string &out)
{
    MYSQL *c = mysql_init(nullptr);
    if (!mysql_real_connect(c, DBHOST, DBUSER, DBPASS, "vtperf", static_cast<unsigned>(std::atoi(DBPORT)), nullptr, 0)) {
        std::fprintf(stderr, "writer: %s\n", mysql_error(c));
        _exit(1);
    }
    std::FILE *f = std::fopen(out.c_str(), "w");
    if (!f)
        _exit(1);
    const double start = now_s();
    for (long n = 0;; ++n) {
        const double due = start + static_cast<double>(n) / rate;
        double t = now_s();
        if (t < due) {
            vt_sleep_seconds(due - t);
            t = now_s();
        }
        const int h = kFirstHost + static_cast<int>((n * kWriters + index) % hosts);
        const long service = 1 + (n / hosts) % 100;
        std::string q = "INSERT INTO " + table(h) +
                        " (entry_time, service_id, metric_id, perf_value, warning, critical, baseline, lower_limit, "
                        "upper_limit) VALUES ";
        for (int m = 0; m < kMetrics; ++m)
            q += std::string(m ? "," : "") + "(NOW()," + std::to_string(service) + "," + std::to_string(m + 1) + "," +
                 std::to_string(n % 1000) + ",80,90,NULL,0,100)";
        const double before = now_s();
        if (mysql_real_query(c, q.data(), q.size()) != 0) {
            std::fprintf(stderr, "writer: %s\n", mysql_error(c));
            _exit(1);
        }
        std::fprintf(f, "%.6f %.0f\n", before, (now_s() - before) * 1e6);
        if (n % 100 == 0)
            std::fflush(f);
    }
}

struct Latency {
    size_t n = 0;
    double p50 = 0, p99 = 0, max = 0;
};

Latency latency_between(const std::vector<std::string> &files, double from, double to)
{
    std::vector<double> v;
    for (const std::string &file : files) {
        std::ifstream in(file);
        double t, us;
        while (in >> t >> us)
            if (t >= from && t < to)
                v.push_back(us);
    }
    Latency l;
    l.n = v.size();
    if (v.empty())
        return l;
    std::sort(v.begin(), v.end());
    l.p50 = v[v.size() / 2];
    l.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    l.max = v.back();
    return l;
}

}  // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int values = 20000000, hosts = 1000, services = 100000, seconds = 60;
    std::string cnf = vtb::default_db_cnf();
    const bool parsed = vtb::parse_command_line(
        argc, argv, {&values, &hosts, &services},
        {{"--seconds", [&](const char *v) { return (seconds = std::atoi(v)) > 0; }},
         {"--chunk", [&](const char *v) { return (VT_RETENTION_CHUNK = std::atoi(v)) > 0; }},
         {"--pause-ms", [&](const char *v) { return (VT_RETENTION_PAUSE_MS = std::atoi(v)) >= 0; }},
         {"--db-cnf", [&](const char *v) { return !(cnf = v).empty(); }}});
    if (!parsed || values <= 0 || hosts <= 0 || services <= 0) {
        usage();
        return 1;
    }
    const std::unique_ptr<vtt::Sql> sql = vtb::database_with(cnf);
    vtt::init_runtime("vantorconnector");
    vtt::remove_file(logfile);

    // Loaded afresh each run, dated against now: the oldest hour is what a one-day retention
    // expires.
    const long per_host = values / hosts, steps = static_cast<long>(kHours) * 3600 / kInterval;
    const auto t0 = Clock::now();
    for (int h = kFirstHost; h < kFirstHost + hosts; h++) {
        sql->exec("DROP TABLE IF EXISTS " + table(h));
        sql->exec("CREATE TABLE " + table(h) + " LIKE vtperf.service_perf");
        // One interval's values of a host's metrics land together, oldest first, as the
        // workers write them.
        const long per_step = std::max(1L, per_host / steps);
        sql->exec("INSERT INTO " + table(h) +
                  " (entry_time, service_id, metric_id, perf_value, warning, critical, baseline, lower_limit, "
                  "upper_limit) SELECT NOW() - INTERVAL " + std::to_string(kHours * 3600) + " SECOND + INTERVAL (seq DIV " +
                  std::to_string(per_step) + ") * " + std::to_string(kInterval) + " SECOND, 1 + (seq % " +
                  std::to_string(per_step) + ") DIV 5, 1 + seq % 5, seq % 1000, 80, 90, NULL, 0, 100 FROM vtperf.seq_0_to_" +
                  std::to_string(per_host - 1));
    }
    std::printf("loaded %ld values into %d tables in %.0f s\n", per_host * hosts, hosts,
                std::chrono::duration<double>(Clock::now() - t0).count());
    long total = 0;
    for (int h = kFirstHost; h < kFirstHost + hosts; h++)
        total += sql->count(table(h));
    const long expired = std::atol(
        sql->scalar("SELECT COUNT(*) FROM " + table(kFirstHost) + " WHERE entry_time < NOW() - INTERVAL 1 DAY").c_str()) *
        hosts;

    const double rate = services / static_cast<double>(kInterval);  // statements of 5 values a second
    std::vector<pid_t> writers;
    std::vector<std::string> files;
    for (int i = 0; i < kWriters; ++i) {
        files.push_back(vtt::path("/var/bench-retention-writer-" + std::to_string(i) + ".txt"));
        const pid_t p = fork();
        if (p == 0)
            writer(i, hosts, rate / kWriters, files.back());
        writers.push_back(p);
    }
    const double quiet_from = now_s() + 5;  // past the writers' connecting
    vt_sleep_seconds(5 + seconds);
    const double quiet_to = now_s();

    PERFDATA_RETENTION_DAYS = 1;
    VT_RETENTION_INTERVAL_S = 604800;
    if (db_connect() != 0) {
        std::fprintf(stderr, "no database\n");
        return 1;
    }
    const double pass_from = now_s();
    const pid_t retention = vt_perfdata_retention_dispatcher();
    const bool ended = vtt::wait_until([] { return vtt::count_lines_containing(logfile, "perfdata retention: deleted ") > 0; },
                                       3600 * 1000);
    const double pass_to = now_s();
    kill(retention, SIGKILL);
    waitpid(retention, nullptr, 0);
    for (pid_t p : writers)
        kill(p, SIGKILL);
    for (pid_t p : writers)
        waitpid(p, nullptr, 0);
    if (!ended) {
        std::fprintf(stderr, "the pass did not end within an hour\n");
        return 1;
    }
    const Latency quiet = latency_between(files, quiet_from, quiet_to), pass = latency_between(files, pass_from, pass_to);
    for (const std::string &f : files)
        vtt::remove_file(f);
    const long left = [&] {
        long n = 0;
        for (int h = kFirstHost; h < kFirstHost + hosts; h++)
            n += sql->count(table(h));
        return n;
    }();
    std::printf("%ld values in %d tables, %ld of them expired; writers at %d services (%.0f values/s, %d processes)\n",
                total, hosts, expired, services, rate * kMetrics, kWriters);
    const std::string log = vtt::read_file(logfile);
    const size_t at = log.find("perfdata retention: deleted ");
    const long deleted = at == std::string::npos ? 0 : std::atol(log.c_str() + at + 28);
    std::printf("pass: %.1f s, %ld values deleted (%.0f values/s), %ld left; chunks of %d rows, %d ms pause\n",
                pass_to - pass_from, deleted, static_cast<double>(deleted) / (pass_to - pass_from), left,
                VT_RETENTION_CHUNK, VT_RETENTION_PAUSE_MS);
    std::printf("insert latency without a pass: p50 %.0f us, p99 %.0f us, max %.0f us (%zu inserts)\n", quiet.p50,
                quiet.p99, quiet.max, quiet.n);
    std::printf("insert latency during the pass: p50 %.0f us, p99 %.0f us, max %.0f us (%zu inserts)\n", pass.p50,
                pass.p99, pass.max, pass.n);
    if (quiet.p50 > 0 && quiet.p99 > 0)
        std::printf("during against without: p50 %.2f, p99 %.2f\n", pass.p50 / quiet.p50, pass.p99 / quiet.p99);
    return 0;
}
