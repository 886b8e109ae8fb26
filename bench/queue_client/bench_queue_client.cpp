// Throughput of the queue client against the library's own background submission, and the cost of a refusal.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_delayed.h"
#include "vt_gearman_client.h"
#include "vt_log.h"
#include "vt_sender.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kQueue = "vtdb_bench";
constexpr int kJobsPerRound = 10000;
constexpr int kRounds = 7;
constexpr int kRefusals = 1000;

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool gearmand_reachable()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(VANTOR_GEARMAN_PORT));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// The texts the module sends most: status statements of a few hundred bytes and
// performance-data records.
std::vector<std::string> workloads()
{
    std::vector<std::string> w;
    for (int i = 0; i < 16; ++i) {
        w.push_back("INSERT INTO vantor4.service_status (host_id, service_id, current_state, output) VALUES (" +
                    std::to_string(100 + i) + ", " + std::to_string(2000 + i) +
                    ", 0, 'OK - load average: 0.12, 0.10, 0.09') ON DUPLICATE KEY UPDATE current_state=0, "
                    "output='OK - load average: 0.12, 0.10, 0.09', last_check='2026-12-07 05:25:04'");
        w.push_back("1765081504\t" + std::to_string(100 + i) + "\t" + std::to_string(2000 + i) +
                    "\tload1=0.120;5.000;10.000;0; load5=0.100;4.000;6.000;0; load15=0.090;3.000;4.000;0;");
    }
    return w;
}

gearman_client_st *raw_client()
{
    gearman_client_st *c = gearman_client_create(nullptr);
    if (c) {
        gearman_client_add_server(c, "127.0.0.1", VANTOR_GEARMAN_PORT);
        gearman_client_set_timeout(c, 2000);
    }
    return c;
}

constexpr int kBlock = 500;

// Submits one block of the workloads and returns its duration in seconds.
double raw_block(gearman_client_st *c, const std::vector<std::string> &w, int *failed)
{
    gearman_job_handle_t handle;
    auto t0 = Clock::now();
    for (int i = 0; i < kBlock; ++i) {
        const char *text = w[static_cast<size_t>(i) % w.size()].c_str();
        if (gearman_client_do_background(c, kQueue, nullptr, text, std::strlen(text), handle) != GEARMAN_SUCCESS)
            ++*failed;
    }
    return seconds_since(t0);
}

double client_block(const std::vector<std::string> &w, int *failed)
{
    auto t0 = Clock::now();
    for (int i = 0; i < kBlock; ++i)
        if (vt_send_gearman_job(kQueue, w[static_cast<size_t>(i) % w.size()].c_str()) != 0)
            ++*failed;
    return seconds_since(t0);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// CPU seconds (user and system) the process has used so far.
double cpu_seconds(pid_t pid)
{
    std::string stat = vtt::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    if (at == std::string::npos)
        return 0;
    std::vector<std::string> f;
    for (size_t i = at + 2, j; i < stat.size(); i = j + 1) {
        j = stat.find(' ', i);
        if (j == std::string::npos)
            j = stat.size();
        f.push_back(stat.substr(i, j - i));
    }
    // fields 14 and 15 of the whole line (utime, stime) are 12 and 13 after the name
    return f.size() > 12 ? (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(sysconf(_SC_CLK_TCK)) : 0;
}

constexpr int kMessagesPerRound = 20000;

struct Rate {
    double per_second, gearmand_us_per_message;
};

// The module's path: the engine hands each message to the sender thread, which submits
// batches; timed until the job server has accepted every message.
Rate sender_round(const std::vector<std::string> &w, pid_t gearmand)
{
    const double cpu0 = cpu_seconds(gearmand);
    auto t0 = Clock::now();
    for (int i = 0; i < kMessagesPerRound; ++i) {
        const std::string &text = w[static_cast<size_t>(i) % w.size()];
        if (i % 2 == 0)
            vt_send_gearman_job("vtdb_vtstatus", text.c_str());
        else
            vt_send_gearman_job_high("vtdb_perfdata", text.c_str());
    }
    while (vt_unaccepted_count() > 0)
        usleep(200);
    const double s = seconds_since(t0);
    return {kMessagesPerRound / s, (cpu_seconds(gearmand) - cpu0) / kMessagesPerRound * 1e6};
}

// The raw library in a loop: one background job (and one round trip) per message.
Rate raw_round(gearman_client_st *c, const std::vector<std::string> &w, pid_t gearmand, int *failed)
{
    const double cpu0 = cpu_seconds(gearmand);
    gearman_job_handle_t handle;
    auto t0 = Clock::now();
    for (int i = 0; i < kMessagesPerRound; ++i) {
        const std::string &text = w[static_cast<size_t>(i) % w.size()];
        gearman_return_t rc =
            i % 2 == 0 ? gearman_client_do_background(c, "vtdb_vtstatus", nullptr, text.data(), text.size(), handle)
                       : gearman_client_do_high_background(c, "vtdb_perfdata", nullptr, text.data(), text.size(), handle);
        if (rc != GEARMAN_SUCCESS)
            ++*failed;
    }
    const double s = seconds_since(t0);
    return {kMessagesPerRound / s, (cpu_seconds(gearmand) - cpu0) / kMessagesPerRound * 1e6};
}

// Messages per second through the sender against the raw loop, rounds alternating, the
// queues drained between rounds; then the sender is stopped again (the parts after this
// one measure the synchronous path that a forked child of the module still takes).
void sender_throughput(const std::vector<std::string> &w)
{
    const pid_t gearmand = static_cast<pid_t>(std::atol(vtt::read_file(std::string(VT_TEST_STATE_DIR) + "/gearmand.pid").c_str()));
    gearman_client_st *raw = raw_client();
    vt_sender_start();
    int failed = 0;
    std::vector<double> ours, theirs, ratios, our_cpu, their_cpu;
    for (int r = 0; r < 5; ++r) {
        for (const char *q : {"vtdb_vtstatus", "vtdb_perfdata"})
            vtt::gearman_drain(q);
        Rate a = sender_round(w, gearmand);
        for (const char *q : {"vtdb_vtstatus", "vtdb_perfdata"})
            vtt::gearman_drain(q);
        Rate b = raw_round(raw, w, gearmand, &failed);
        ours.push_back(a.per_second);
        theirs.push_back(b.per_second);
        ratios.push_back(a.per_second / b.per_second);
        our_cpu.push_back(a.gearmand_us_per_message);
        their_cpu.push_back(b.gearmand_us_per_message);
        std::printf("round %d: sender %.0f messages/s (gearmand %.1f us CPU a message), raw loop %.0f messages/s "
                    "(gearmand %.1f us)\n",
                    r + 1, a.per_second, a.gearmand_us_per_message, b.per_second, b.gearmand_us_per_message);
    }
    for (const char *q : {"vtdb_vtstatus", "vtdb_perfdata"})
        vtt::gearman_drain(q);
    vt_sender_stop(3000);
    gearman_client_free(raw);
    std::printf("sender: %.0f messages/s, raw gearman_client_do_background loop: %.0f messages/s, ratio %.2f; "
                "gearmand CPU per message %.1f us against %.1f us (medians of 5 rounds of %d messages, half status "
                "statements, half performance records)\n",
                median(ours), median(theirs), median(ratios), median(our_cpu), median(their_cpu), kMessagesPerRound);
    if (failed)
        std::printf("warning: %d raw submissions failed\n", failed);
}

// Submits n refused jobs of about 1 KB each and prints what one cost: the mean, the mean
// over the submissions that found 500, 1500 and n queued, median, 99th percentile, worst.
void refusals_with_failing_dumps(const char *label, int n)
{
    destroy_all_delayed();
    vt_delayed_forget_inherited();  // no back-off left from an earlier part
    const std::string job = "INSERT INTO vantor4.service_status VALUES (" + std::string(1000, 'x') + ")";
    std::vector<double> each;
    for (int i = 0; i < n; ++i) {
        auto t1 = Clock::now();
        vt_send_gearman_job(kQueue, job.c_str());
        each.push_back(seconds_since(t1));
    }
    auto window_mean = [&](int at) {  // the 100 submissions before `at` queued messages
        int from = std::max(0, at - 100), to = std::min(n, at);
        double sum = 0;
        for (int i = from; i < to; ++i)
            sum += each[static_cast<size_t>(i)];
        return to > from ? sum / (to - from) * 1e6 : 0.0;
    };
    double mean = 0;
    for (double e : each)
        mean += e;
    mean = mean / n * 1e6;
    double at500 = window_mean(500), at1500 = window_mean(1500), at_n = window_mean(n);
    std::sort(each.begin(), each.end());
    std::printf("refused while %s: %.1f us per submission (%.1f us at 500 queued, %.1f at 1500, %.1f at %d; "
                "median %.1f us, 99th percentile %.1f us, worst %.1f us), %d messages kept\n",
                label, mean, at500, at1500, at_n, n, each[each.size() / 2] * 1e6, each[each.size() * 99 / 100] * 1e6,
                each.back() * 1e6, get_count_delayed());
    destroy_all_delayed();
    vt_delayed_forget_inherited();
}

}  // namespace

int main()
{
    static std::string log = VT_PATH("/var/bench_queue_client.log");
    static std::string aux = log + ".1";
    VTMODULE = const_cast<char *>("vtdb");
    logfile = &log[0];
    logfile_aux = &aux[0];

    mkdir(VT_VAR_DIR, 0755);
    mkdir(VT_DELAYED_DIR, 0755);
    try {
        bool started_here = !gearmand_reachable();
        if (started_here)
            vtt::gearmand_start();
        vtt::gearman_drain(kQueue);
        const std::vector<std::string> w = workloads();

        vt_connect_gearman();
        sender_throughput(w);
        gearman_client_st *raw = raw_client();
        if (!raw || !gearman_client) {
            std::fprintf(stderr, "bench_queue_client: cannot create a client\n");
            return 1;
        }
        // Warm both connections.
        int failed = 0;
        gearman_job_handle_t handle;
        gearman_client_do_background(raw, kQueue, nullptr, "warm", 4, handle);
        vt_send_gearman_job(kQueue, "warm");
        vtt::gearman_drain(kQueue);

        // Each round interleaves blocks of both kinds, so that the drift of a shared machine
        // touches both alike; the job server's queue is drained between rounds.
        std::vector<double> ours, theirs, ratios;
        for (int r = 0; r < kRounds; ++r) {
            double t_ours = 0, t_theirs = 0;
            for (int b = 0; b < kJobsPerRound / kBlock; ++b) {
                if (b % 2 == 0) {
                    t_theirs += raw_block(raw, w, &failed);
                    t_ours += client_block(w, &failed);
                } else {
                    t_ours += client_block(w, &failed);
                    t_theirs += raw_block(raw, w, &failed);
                }
            }
            vtt::gearman_drain(kQueue);
            double a = kJobsPerRound / t_ours, b = kJobsPerRound / t_theirs;
            ours.push_back(a);
            theirs.push_back(b);
            ratios.push_back(a / b);
            std::printf("round %d: queue_client %.0f jobs/s, raw library %.0f jobs/s\n", r + 1, a, b);
        }
        std::printf("queue_client: %.0f jobs/s, raw library: %.0f jobs/s, ratio %.3f (medians of %d rounds of %d jobs each)\n",
                    median(ours), median(theirs), median(ratios), kRounds, kJobsPerRound);
        if (failed)
            std::printf("warning: %d submissions failed during the throughput rounds\n", failed);

        // Refused connections: the job server is down, every submission goes to the delayed
        // queue and rebuilds the client; every tenth refusal also dumps the queue to disk.
        std::set<std::string> dumps_before;
        for (const auto &n : vtt::list_dir(VT_DELAYED_DIR))
            dumps_before.insert(n);
        vtt::gearmand_stop();
        std::vector<double> each;
        auto t0 = Clock::now();
        for (int i = 0; i < kRefusals; ++i) {
            auto t1 = Clock::now();
            vt_send_gearman_job(kQueue, w[static_cast<size_t>(i) % w.size()].c_str());
            each.push_back(seconds_since(t1));
        }
        double per_refusal = seconds_since(t0) / kRefusals;
        std::sort(each.begin(), each.end());
        gearman_client_st *down = raw_client();
        t0 = Clock::now();
        for (int i = 0; i < kRefusals; ++i)
            gearman_client_do_background(down, kQueue, nullptr, "x", 1, handle);
        double raw_refusal = seconds_since(t0) / kRefusals;
        gearman_client_free(down);
        std::printf("refused connection: queue_client %.1f us per submission (median %.1f us, 99th percentile "
                    "%.1f us, worst %.1f us; includes the delayed queue, the client rebuild and a dump to disk "
                    "every 10th), raw library %.1f us\n",
                    per_refusal * 1e6, each[each.size() / 2] * 1e6, each[each.size() * 99 / 100] * 1e6,
                    each.back() * 1e6, raw_refusal * 1e6);

        // The dumps fail too: first because the dump file cannot be opened, then because a
        // process that stopped holds its lock. Each refused job must stay cheap.
        std::printf("(each next to the figure with working dumps above; 1 KB jobs)\n");
        destroy_all_delayed();
        std::rename(VT_DUMP_FILE, VT_PATH("/var/delayed-messages.dump.bench-saved"));
        if (mkdir(VT_DUMP_FILE, 0755) == 0) {
            refusals_with_failing_dumps("the dump file cannot be opened", 3000);
            rmdir(VT_DUMP_FILE);
        }
        int ready[2];
        if (pipe(ready) == 0) {
            pid_t holder = fork();
            if (holder == 0) {
                int fd = open(VT_DUMP_FILE, O_WRONLY | O_CREAT, 0666);
                if (fd >= 0 && flock(fd, LOCK_EX) == 0 && write(ready[1], "l", 1) == 1)
                    raise(SIGSTOP);
                _exit(0);
            }
            char b;
            if (holder > 0 && read(ready[0], &b, 1) == 1)
                refusals_with_failing_dumps("a stopped process holds the dump lock", 3000);
            if (holder > 0) {
                kill(holder, SIGKILL);
                waitpid(holder, nullptr, 0);
            }
            close(ready[0]);
            close(ready[1]);
        }
        unlink(VT_DUMP_FILE);
        std::rename(VT_PATH("/var/delayed-messages.dump.bench-saved"), VT_DUMP_FILE);

        // Leave things as found: the bench's dump files removed, the delayed queue empty.
        for (const auto &n : vtt::list_dir(VT_DELAYED_DIR))
            if (!dumps_before.count(n))
                vtt::remove_file(std::string(VT_DELAYED_DIR) + n);
        destroy_all_delayed();
        vtt::gearmand_start();
        vtt::gearman_drain(kQueue);
        gearman_client_free(raw);
        vt_disconnect_gearman();
        if (started_here)
            vtt::gearmand_stop();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_queue_client: %s\n", e.what());
        return 1;
    }
    return 0;
}
