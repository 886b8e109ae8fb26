// The running daemon under a flood of jobs without a signature and of jobs larger than any the
// module sends, submitted by nobody, while the module's queue client sends its statements at a
// steady rate: every module statement must land (through the job server or the dump files),
// and the figure is how late, against the same rate without the flood.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_delayed.h"
#include "vt_gearman_client.h"
#include "vt_log.h"
#include "vt_sign.h"

#include <libgearman/gearman.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int seconds = 30;       // length of each phase
    int rate = 200;         // module statements a second
    int flooders = 2;       // processes submitting unsigned jobs as fast as they can
    int oversized = 10;     // jobs just over the default limit, submitted during the flood
};

double now_s()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Submits jobs as nobody until stop_at (seconds since the epoch); each process writes how many
// the job server took into its exit status's pipe.
pid_t flooder(int id, double stop_at, bool oversized, int limit, int out)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
        _exit(1);
    gearman_client_st *c = gearman_client_create(nullptr);
    gearman_client_add_server(c, "127.0.0.1", static_cast<in_port_t>(vtt::gearman_port()));
    gearman_client_set_timeout(c, 5000);
    const char *queues[] = {"vtdb_vtstatus", "vtdb_statuspri", "vtdb_perfdata", "vtdb_notify"};
    const std::string small = "INSERT INTO vt_test.bench_flood_pwned VALUES (1) /* " + std::string(120, 'f') + " */";
    const std::string big(vt::kLargestJobBytes + 1, 'x');
    long taken = 0;
    for (long i = 0; now_s() < stop_at && (!oversized || taken < limit); ++i) {
        const std::string &text = oversized ? big : small;
        gearman_job_handle_t h;
        if (gearman_client_do_background(c, queues[(i + id) % 4], nullptr, text.data(), text.size(), h) ==
            GEARMAN_SUCCESS)
            ++taken;
    }
    gearman_client_free(c);
    if (write(out, &taken, sizeof taken) != sizeof taken)
        _exit(1);
    _exit(0);
}

struct Phase {
    int sent = 0, refused = 0;
    long flood_jobs = 0, oversized_jobs = 0;
    double flood_seconds = 0, drain_seconds = 0;
    std::vector<double> latency_ms;
};

// One phase: the module's statements at the rate for the phase's length, optionally with the
// flood beside them; then the wait until every statement has landed.
Phase run_phase(vtt::Sql &sql, const Options &o, bool flood, int first_id)
{
    Phase p;
    int fds[2];
    if (pipe(fds) != 0)
        return p;
    std::vector<pid_t> kids;
    const double start = now_s(), stop_at = start + o.seconds;
    if (flood) {
        for (int i = 0; i < o.flooders; ++i)
            kids.push_back(flooder(i, stop_at, false, 0, fds[1]));
        if (o.oversized > 0)
            kids.push_back(flooder(o.flooders, stop_at, true, o.oversized, fds[1]));
    }
    close(fds[1]);
    const auto t0 = Clock::now();
    for (int i = 0; now_s() < stop_at; ++i) {
        std::this_thread::sleep_until(t0 + std::chrono::microseconds(static_cast<long>(1e6 * i / o.rate)));
        const std::string stmt = "INSERT INTO vt_test.bench_flood (n, sent) VALUES (" + std::to_string(first_id + i) +
                                 "," + std::to_string(now_s()) + ")";
        if (vt_send_gearman_job("vtdb_vtstatus", stmt.c_str()) != 0)
            ++p.refused;
        ++p.sent;
    }
    dump_msgs();  // as the module does at unload: what is still delayed goes to the dump files
    for (size_t i = 0; i < kids.size(); ++i) {
        long taken = 0;
        if (read(fds[0], &taken, sizeof taken) == sizeof taken)
            (o.oversized > 0 && flood && i + 1 == kids.size() ? p.oversized_jobs : p.flood_jobs) += taken;
    }
    for (pid_t k : kids)
        waitpid(k, nullptr, 0);
    close(fds[0]);
    p.flood_seconds = now_s() - start;
    const std::string range = "vt_test.bench_flood WHERE n >= " + std::to_string(first_id) + " AND n < " +
                              std::to_string(first_id + p.sent);
    vtt::wait_until([&] { return sql.count(range) == p.sent; }, 180000);
    p.drain_seconds = now_s() - start;
    for (const vtt::Row &r : sql.rows("SELECT (UNIX_TIMESTAMP(landed) - sent) * 1000 FROM " + range))
        if (r[0])
            p.latency_ms.push_back(std::strtod(r[0]->c_str(), nullptr));
    std::sort(p.latency_ms.begin(), p.latency_ms.end());
    if (p.latency_ms.size() != static_cast<size_t>(p.sent))
        for (const vtt::Row &r : sql.rows("SELECT n - 1 FROM (SELECT n, LAG(n) OVER (ORDER BY n) prev FROM " + range +
                                          ") t WHERE n - prev > 1"))
            std::printf("missing after %s\n", r[0] ? r[0]->c_str() : "?");
    return p;
}

double pct(const std::vector<double> &v, double q)
{
    return v.empty() ? -1 : v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

void report(const char *name, const Phase &p)
{
    std::printf("%-10s module statements %d sent, %zu landed (%d lost), %d refused by the job server (delayed or "
                "dumped); latency ms median %.1f p99 %.1f max %.1f; flood %ld unsigned jobs (%.0f/s), %ld oversized "
                "(%.1f MiB/s); all landed %.1f s after the start\n",
                name, p.sent, p.latency_ms.size(), p.sent - static_cast<int>(p.latency_ms.size()), p.refused,
                pct(p.latency_ms, 0.5), pct(p.latency_ms, 0.99), p.latency_ms.empty() ? -1 : p.latency_ms.back(),
                p.flood_jobs, p.flood_jobs / std::max(1.0, p.flood_seconds), p.oversized_jobs,
                p.oversized_jobs * (vt::kLargestJobBytes / 1048576.0) / std::max(1.0, p.flood_seconds),
                p.drain_seconds);
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        int *v = k == "--seconds" ? &o.seconds : k == "--rate" ? &o.rate : k == "--flooders" ? &o.flooders
                                                 : k == "--oversized" ? &o.oversized : nullptr;
        if (!v) {
            std::fprintf(stderr, "usage: %s [--seconds N] [--rate N] [--flooders N] [--oversized N]\n", argv[0]);
            return 2;
        }
        *v = std::atoi(argv[i + 1]);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (geteuid() != 0) {
        std::fprintf(stderr, "needs root: the daemon runs as root and the flood as nobody\n");
        return 2;
    }
    vtt::init_runtime("benchflood");
    vtt::load_sandbox_key();
    vtt::Sql sql;
    sql.exec("CREATE DATABASE IF NOT EXISTS vt_test");
    sql.exec("DROP TABLE IF EXISTS vt_test.bench_flood");
    sql.exec("CREATE TABLE vt_test.bench_flood (n INT PRIMARY KEY, sent DOUBLE, landed TIMESTAMP(6) NOT NULL "
             "DEFAULT CURRENT_TIMESTAMP(6))");
    sql.exec("CREATE TABLE IF NOT EXISTS vt_test.bench_flood_pwned (i INT)");
    for (const char *q : {"vtdb_vtstatus", "vtdb_statuspri", "vtdb_perfdata", "vtdb_notify"})
        vtt::gearman_drain(q);
    const pid_t daemon = vtt::start_daemon();
    if (daemon <= 0) {
        std::fprintf(stderr, "the daemon did not start\n");
        return 1;
    }
    vt_connect_gearman();
    std::printf("%d s a phase, %d module statements/s, %d flooders, %d oversized jobs of %zu bytes "
                "(max_job_bytes default)\n", o.seconds, o.rate, o.flooders, o.oversized, vt::kLargestJobBytes + 1);
    const Phase quiet = run_phase(sql, o, false, 0);
    report("quiet", quiet);
    const Phase flood = run_phase(sql, o, true, 10000000);
    report("flood", flood);
    const long pwned = sql.count("vt_test.bench_flood_pwned");
    std::printf("rows of the flood in the database: %ld; ratio of p99 latency flood/quiet %.1f\n", pwned,
                pct(flood.latency_ms, 0.99) / std::max(0.001, pct(quiet.latency_ms, 0.99)));
    vtt::stop_daemon(daemon);
    sql.exec("DROP TABLE vt_test.bench_flood");
    sql.exec("DROP TABLE vt_test.bench_flood_pwned");
    return quiet.latency_ms.size() == static_cast<size_t>(quiet.sent) &&
                   flood.latency_ms.size() == static_cast<size_t>(flood.sent) && pwned == 0
               ? 0
               : 1;
}
