// Queue client against the private gearmand: outages, flush order, priorities, throttle, stalls, forks.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_delayed.h"
#include "vt_gearman_client.h"
#include "vt_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <cstdio>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Msg = std::pair<std::string, std::string>;
using Jobs = std::vector<std::string>;

const std::vector<std::string> kQueues = {"vtdb_vtstatus", "vtdb_perfdata", "vtdb_notify", "vt_eventguard",
                                          "vtdb_statuspri"};

std::vector<Msg> queued()
{
    std::vector<Msg> out;
    for (delayed_msg *m = get_root(); m; m = m->next)
        out.emplace_back(m->queue, vtt::without_id(m->job));
    return out;
}

long long elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

// Marks the current client so that a test can tell whether it was replaced: a new client
// always gets the 2000 ms timeout.
void mark_client()
{
    ASSERT_NE(gearman_client, nullptr);
    gearman_client_set_timeout(gearman_client, 1234);
}
bool client_was_rebuilt() { return gearman_client && gearman_client_timeout(gearman_client) == 2000; }

class QueueClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtt::init_runtime("vtdb");
        vtt::gearmand_resume();
        vtt::gearmand_start();
        for (const auto &q : kQueues)
            vtt::gearman_drain(q);
        destroy_all_delayed();
        last_logged_error = 0;
        log_start_ = vtt::read_file(logfile).size();
        vt_connect_gearman();
    }
    void TearDown() override
    {
        vtt::gearmand_resume();
        vtt::gearmand_start();
        for (const auto &q : kQueues)
            vtt::gearman_drain(q);
        destroy_all_delayed();
        vt_disconnect_gearman();
    }
    // Log lines written since the test began that contain needle.
    long logged(const std::string &needle) const { return vtt::count_since(logfile, log_start_, needle); }
    size_t log_start_ = 0;
};

TEST_F(QueueClient, OutageQueuesInArrivalOrderAndFirstSuccessFlushesOldestFirst)
{
    ASSERT_EQ(vt_send_gearman_job("vtdb_vtstatus", "S0"), 0);  // a live connection before the outage
    vtt::gearmand_stop();
    const std::vector<Msg> refused = {{"vtdb_vtstatus", "S1"},
                                      {"vtdb_notify", "/bin/notify --host a"},
                                      {"vtdb_perfdata", "1700000000\t1\t2\tload=0.5"},
                                      {"vt_eventguard", "guard record"},
                                      {"vtdb_vtstatus", "S2"}};
    for (const auto &m : refused) {
        auto t0 = std::chrono::steady_clock::now();
        int rc = m.first == "vtdb_perfdata" ? vt_send_gearman_job_high(m.first.c_str(), m.second.c_str())
                                            : vt_send_gearman_job(m.first.c_str(), m.second.c_str());
        EXPECT_NE(rc, 0) << m.second;
        EXPECT_LT(elapsed_ms(t0), 1000) << "a refused connection must not stall";
        EXPECT_NE(gearman_client, nullptr);
    }
    EXPECT_EQ(queued(), refused);

    vtt::gearmand_start();
    ASSERT_EQ(vt_send_gearman_job("vtdb_vtstatus", "S3"), 0);
    EXPECT_EQ(get_count_delayed(), 0);  // flushed at once, by the same call

    // S0 waited in the job server's persistent queue through its restart.
    EXPECT_EQ(vtt::gearman_take("vtdb_vtstatus", 4, 5000), (Jobs{"S0", "S3", "S1", "S2"}));
    EXPECT_EQ(vtt::gearman_take("vtdb_notify", 1, 5000), (Jobs{"/bin/notify --host a"}));
    EXPECT_EQ(vtt::gearman_take("vtdb_perfdata", 1, 5000), (Jobs{"1700000000\t1\t2\tload=0.5"}));
    EXPECT_EQ(vtt::gearman_take("vt_eventguard", 1, 5000), (Jobs{"guard record"}));
    EXPECT_EQ(vtt::gearman_queued("vtdb_vtstatus"), 0);
}

TEST_F(QueueClient, OnlyNormalPrioritySuccessFlushesAndDelayedRecordsReturnAtNormal)
{
    vtt::gearmand_stop();
    EXPECT_NE(vt_send_gearman_job_high("vtdb_perfdata", "1\t2\t3\tdelayed"), 0);
    vtt::gearmand_start();

    ASSERT_EQ(vt_send_gearman_job_high("vtdb_perfdata", "1\t2\t3\tfresh"), 0);
    ASSERT_EQ(vt_send_gearman_job_low("vtdb_statuspri", "low one"), 0);
    EXPECT_EQ(queued(), (std::vector<Msg>{{"vtdb_perfdata", "1\t2\t3\tdelayed"}}));
    EXPECT_EQ(vtt::gearman_take("vtdb_perfdata", 1, 5000), (Jobs{"1\t2\t3\tfresh"}));
    EXPECT_EQ(vtt::gearman_take("vtdb_statuspri", 1, 5000), (Jobs{"low one"}));

    ASSERT_EQ(vt_send_gearman_job("vtdb_vtstatus", "trigger"), 0);
    EXPECT_EQ(get_count_delayed(), 0);
    // A high-priority job queued after it still comes out first: the re-sent record is normal.
    vtt::gearman_submit("vtdb_perfdata", "later but high", true);
    EXPECT_EQ(vtt::gearman_take("vtdb_perfdata", 2, 5000), (Jobs{"later but high", "1\t2\t3\tdelayed"}));
    EXPECT_EQ(vtt::gearman_take("vtdb_vtstatus", 1, 5000), (Jobs{"trigger"}));
}

TEST_F(QueueClient, RefusalDuringFlushKeepsItAndYoungerSilently)
{
    // The library refuses a function name above its size limit: a refusal in mid-flush.
    const std::string unsendable(600, 'q');
    ASSERT_EQ(push_msg("vtdb_vtstatus", "D1", 26), 0);
    ASSERT_EQ(push_msg(unsendable.c_str(), "D2", 26), 0);
    ASSERT_EQ(push_msg("vtdb_notify", "D3", 26), 0);
    mark_client();

    ASSERT_EQ(vt_send_gearman_job("vtdb_vtstatus", "S"), 0);
    EXPECT_EQ(queued(), (std::vector<Msg>{{unsendable, "D2"}, {"vtdb_notify", "D3"}}));
    EXPECT_EQ(vtt::gearman_take("vtdb_vtstatus", 2, 5000), (Jobs{"S", "D1"}));
    EXPECT_EQ(vtt::gearman_queued("vtdb_notify"), 0);
    EXPECT_FALSE(client_was_rebuilt());

    // With the server gone the very first delayed message is refused: the same holds.
    destroy_delayed(pop_msg());
    vtt::gearmand_stop();
    ff_delayed_msgs();
    EXPECT_EQ(queued(), (std::vector<Msg>{{"vtdb_notify", "D3"}}));
    EXPECT_FALSE(client_was_rebuilt());
    EXPECT_EQ(logged("vt_send_gearman_job"), 0);
}

TEST_F(QueueClient, ThrottleLimitsFailureLinesButEveryFailureIsKeptAndRebuilt)
{
    EXPECT_EQ(logged("connected to gearman server 127.0.0.1"), 1);  // the connect at SetUp
    vtt::gearmand_stop();

    mark_client();
    EXPECT_NE(vt_send_gearman_job("vtdb_vtstatus", "F1"), 0);
    EXPECT_TRUE(client_was_rebuilt());
    EXPECT_EQ(logged("] vt_send_gearman_job "), 1);
    time_t logged_at = last_logged_error;
    EXPECT_GE(logged_at, time(nullptr) - 1);

    // Within 60 seconds of a logged failure: silent, but kept and rebuilt each time.
    last_logged_error = time(nullptr) - 30;
    for (const char *job : {"F2", "F3"}) {
        mark_client();
        EXPECT_NE(vt_send_gearman_job_high("vtdb_perfdata", job), 0);
        EXPECT_TRUE(client_was_rebuilt()) << job;
    }
    EXPECT_EQ(logged("] vt_send_gearman_job "), 1);
    EXPECT_EQ(queued(),
              (std::vector<Msg>{{"vtdb_vtstatus", "F1"}, {"vtdb_perfdata", "F2"}, {"vtdb_perfdata", "F3"}}));
    // Three reconnects while failures were being reported, none announced.
    EXPECT_EQ(logged("connected to gearman server 127.0.0.1"), 1);

    // More than 60 seconds later the next failure is logged again, and the reconnect
    // right after it stays quiet.
    last_logged_error = time(nullptr) - 61;
    EXPECT_NE(vt_send_gearman_job_low("vtdb_statuspri", "F4"), 0);
    EXPECT_EQ(logged("] vt_send_gearman_job "), 2);
    EXPECT_EQ(logged("connected to gearman server 127.0.0.1"), 1);

    // A quiet minute later a connect is announced, without moving the throttle.
    last_logged_error = time(nullptr) - 61;
    time_t before = last_logged_error;
    vt_connect_gearman();
    EXPECT_EQ(logged("connected to gearman server 127.0.0.1"), 2);
    EXPECT_EQ(last_logged_error, before);
    EXPECT_EQ(get_count_delayed(), 4);
}

TEST_F(QueueClient, WithoutClientSubmissionIsDelayedAndANewClientTried)
{
    vt_disconnect_gearman();
    ASSERT_EQ(gearman_client, nullptr);
    EXPECT_NE(vt_send_gearman_job("vtdb_vtstatus", "no client"), 0);
    EXPECT_EQ(queued(), (std::vector<Msg>{{"vtdb_vtstatus", "no client"}}));
    ASSERT_NE(gearman_client, nullptr);
    EXPECT_EQ(logged("] vt_send_gearman_job "), 1);

    vt_disconnect_gearman();
    vt_disconnect_gearman();  // twice is harmless
    EXPECT_NE(vt_send_gearman_job_high("vtdb_perfdata", "still none"), 0);
    ASSERT_EQ(vt_send_gearman_job("vtdb_vtstatus", "with client"), 0);
    EXPECT_EQ(get_count_delayed(), 0);
    EXPECT_EQ(vtt::gearman_take("vtdb_vtstatus", 2, 5000), (Jobs{"with client", "no client"}));
    EXPECT_EQ(vtt::gearman_take("vtdb_perfdata", 1, 5000), (Jobs{"still none"}));
}

// A server that accepts connections but never answers: each submission gives up after about
// the client timeout, and the job is kept. A stalled server may still take the timed-out
// job once it wakes, so the job may arrive twice, but never not at all.
TEST_F(QueueClient, StalledServerCostsOneTimeoutPerSubmissionAndLosesNothing)
{
    ASSERT_EQ(vt_send_gearman_job("vtdb_vtstatus", "warm"), 0);
    vtt::gearmand_pause();
    for (const char *job : {"stalled 1", "stalled 2"}) {
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_NE(vt_send_gearman_job("vtdb_vtstatus", job), 0);
        long long ms = elapsed_ms(t0);
        // One timeout, not two: the client gives up and keeps the job instead of retrying.
        EXPECT_GE(ms, 1500) << job;
        EXPECT_LT(ms, 4000) << job;
    }
    EXPECT_EQ(queued(), (std::vector<Msg>{{"vtdb_vtstatus", "stalled 1"}, {"vtdb_vtstatus", "stalled 2"}}));

    vtt::gearmand_resume();
    ASSERT_EQ(vt_send_gearman_job("vtdb_vtstatus", "awake"), 0);
    EXPECT_EQ(get_count_delayed(), 0);
    Jobs got;
    vtt::wait_until([&] {
        Jobs more = vtt::gearman_take("vtdb_vtstatus", 10, 300);
        got.insert(got.end(), more.begin(), more.end());
        return more.empty() && !got.empty();
    }, 10000);
    auto count = [&](const std::string &j) { return std::count(got.begin(), got.end(), j); };
    EXPECT_EQ(count("warm"), 1);
    EXPECT_EQ(count("awake"), 1);
    EXPECT_GE(count("stalled 1"), 1);
    EXPECT_LE(count("stalled 1"), 2);
    EXPECT_GE(count("stalled 2"), 1);
    EXPECT_LE(count("stalled 2"), 2);
}

// A forked child gets its own empty queue and its own client; the parent's connection and
// delayed messages are untouched by it, so nothing is sent twice or lost.
TEST_F(QueueClient, ForkedChildLeavesParentClientAndQueueAlone)
{
    ASSERT_EQ(vt_send_gearman_job("vtdb_vtstatus", "parent first"), 0);  // parent's connection is open
    ASSERT_EQ(push_msg("vtdb_vtstatus", "parent delayed 1", 26), 0);
    ASSERT_EQ(push_msg("vtdb_notify", "parent delayed 2", 26), 0);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        vt_delayed_forget_inherited();
        vt_gearman_forget_inherited();
        int rc = vt_send_gearman_job("vtdb_statuspri", "from child");
        _exit(rc == 0 && get_count_delayed() == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_EQ(get_count_delayed(), 2);
    mark_client();
    ASSERT_EQ(vt_send_gearman_job("vtdb_vtstatus", "parent after"), 0);  // same connection still works
    EXPECT_FALSE(client_was_rebuilt());
    EXPECT_EQ(get_count_delayed(), 0);
    EXPECT_EQ(vtt::gearman_take("vtdb_vtstatus", 3, 5000),
              (Jobs{"parent first", "parent after", "parent delayed 1"}));
    EXPECT_EQ(vtt::gearman_take("vtdb_notify", 1, 5000), (Jobs{"parent delayed 2"}));
    EXPECT_EQ(vtt::gearman_take("vtdb_statuspri", 1, 5000), (Jobs{"from child"}));
}

// Any local user can list the unique ids of the queued jobs (the job server's admin protocol
// answers anyone) and submit jobs under ids of their choosing; the job server merges a job into
// a queued one of the same id and still answers it accepted. Ids made from the clock, as the
// job-server library makes them (its clock sequence and node are those of the id seen, the time
// goes in steps of a microsecond), are known in advance: jobs placed under the ids of every
// microsecond of a coming moment must swallow none of the module's jobs sent in that moment.
TEST_F(QueueClient, NoJobIsMergedIntoOnesQueuedUnderTheIdsOfTheMomentItIsSent)
{
    const char *queue = "vt_eventguard";  // its records go unsigned: the cheapest to place
    const std::vector<std::string> before = vtt::gearman_admin("show unique jobs");
    ASSERT_EQ(vt_send_gearman_job(queue, "seen"), 0);
    std::vector<std::string> seen;
    for (const std::string &u : vtt::gearman_admin("show unique jobs"))
        if (std::find(before.begin(), before.end(), u) == before.end())
            seen.push_back(u);
    ASSERT_EQ(seen.size(), 1u);
    const std::string tail = seen[0].size() == 36 ? seen[0].substr(19) : "8000-000000000000";
    auto now_us = [] {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        return static_cast<long long>(tv.tv_sec) * 1000000 + tv.tv_usec;
    };
    // The moment: 5 ms starting 1.5 s from now, one id for each of its microseconds.
    const long long from = now_us() + 1500000, to = from + 5000;
    gearman_client_st *guesser = gearman_client_create(nullptr);
    gearman_client_add_server(guesser, "127.0.0.1", static_cast<in_port_t>(vtt::gearman_port()));
    std::vector<std::string> ids;
    for (long long us = from; us < to; ++us) {
        const unsigned long long t = static_cast<unsigned long long>(us) * 10 + 0x01B21DD213814000ULL;
        char id[40];
        std::snprintf(id, sizeof id, "%08llx-%04llx-%04llx-%s", t & 0xffffffffULL, (t >> 32) & 0xffffULL,
                      ((t >> 48) & 0x0fffULL) | 0x1000ULL, tail.c_str());
        ids.push_back(id);
    }
    for (const std::string &id : ids) {
        gearman_return_t rc;
        gearman_client_add_task_background(guesser, nullptr, nullptr, queue, id.c_str(), "x", 1, &rc);
    }
    ASSERT_EQ(gearman_client_run_tasks(guesser), GEARMAN_SUCCESS);
    gearman_client_free(guesser);
    ASSERT_LT(now_us(), from) << "the jobs were placed too late for the test to mean anything";
    while (now_us() < from)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    long sent = 0;
    while (now_us() < to)
        ASSERT_EQ(vt_send_gearman_job(queue, ("in the moment " + std::to_string(sent++)).c_str()), 0);
    EXPECT_EQ(vtt::gearman_queued(queue), static_cast<long>(ids.size()) + 1 + sent)
        << sent << " jobs sent in the moment: those merged by the job server are lost";
}

}  // namespace
