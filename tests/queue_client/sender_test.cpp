// The sender thread against the private gearmand: batches and their framing, order, refusals,
// a hung server, the full queue, stopping, forks.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_batch.h"
#include "vt_sign.h"
#include "vt_delayed.h"
#include "vt_gearman_client.h"
#include "vt_log.h"
#include "vt_message_id.h"
#include "vt_sender.h"
#include "vt_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Jobs = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

struct RawJob {
    std::string workload, unique;  // the workload inside its signed envelope
    vt::JobCheck check;
};

void *keep_raw(gearman_job_st *job, void *context, size_t *result_size, gearman_return_t *ret)
{
    const char *inner = nullptr;
    size_t inner_size = 0;
    const vt::JobCheck check = vt::open_job(gearman_job_function_name(job), static_cast<const char *>(gearman_job_workload(job)),
                                            gearman_job_workload_size(job), &inner, &inner_size);
    static_cast<std::vector<RawJob> *>(context)->push_back(
        {std::string(inner, inner_size), gearman_job_unique(job) ? gearman_job_unique(job) : "", check});
    *result_size = 0;
    *ret = GEARMAN_SUCCESS;
    return nullptr;
}

// Every job of queue as the job server hands it out, until none came for idle_ms.
std::vector<RawJob> take_raw(const std::string &queue, int idle_ms = 700)
{
    std::vector<RawJob> jobs;
    gearman_worker_st *w = gearman_worker_create(nullptr);
    gearman_worker_add_server(w, "127.0.0.1", static_cast<in_port_t>(vtt::gearman_port()));
    gearman_worker_add_function(w, queue.c_str(), 0, keep_raw, &jobs);
    gearman_worker_set_timeout(w, 100);
    auto last = Clock::now();
    while (Clock::now() - last < std::chrono::milliseconds(idle_ms)) {
        size_t before = jobs.size();
        gearman_worker_work(w);
        if (jobs.size() != before)
            last = Clock::now();
    }
    gearman_worker_free(w);
    return jobs;
}

Jobs messages_of(const std::vector<RawJob> &jobs)
{
    Jobs out;
    for (const RawJob &j : jobs)
        EXPECT_TRUE(vt::for_each_message(j.workload.data(), j.workload.size(),
                                         [&](const char *t, size_t n) { out.push_back(vtt::without_id(std::string(t, n))); }));
    return out;
}

Jobs delayed_jobs()
{
    std::lock_guard<std::mutex> g(vt::delayed_queue_lock());
    Jobs out;
    for (delayed_msg *m = get_root(); m; m = m->next)
        out.push_back(vtt::without_id(m->job));
    return out;
}

// Messages of every dump file in the delayed-messages directory (removed afterwards).
Jobs dumped_and_removed()
{
    Jobs out;
    const std::string dir = vtt::path("/var/delayed-messages");
    for (const std::string &f : vtt::list_dir(dir)) {
        std::string text = vtt::read_file(dir + "/" + f);
        for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
            std::string line = text.substr(at, nl - at);
            out.push_back(vtt::without_id(line.substr(line.find('\t') + 1)));
        }
        vtt::remove_file(dir + "/" + f);
    }
    return out;
}

const std::vector<std::string> kQueues = {"vtdb_vtstatus", "vtdb_perfdata", "vtdb_notify", "vt_eventguard"};

class Sender : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtt::init_runtime("vtdb");  // the job key too, as the module loads it
        vtt::gearmand_resume();
        vtt::gearmand_start();
        for (const auto &q : kQueues)
            vtt::gearman_drain(q);
        destroy_all_delayed();
        dumped_and_removed();
        last_logged_error = 0;
        log_start_ = vtt::read_file(logfile).size();
        vt_connect_gearman();
        ASSERT_EQ(0, vt_sender_start());
    }
    void TearDown() override
    {
        vtt::gearmand_resume();
        vtt::gearmand_start();
        vt_sender_stop(3000);
        for (const auto &q : kQueues)
            vtt::gearman_drain(q);
        destroy_all_delayed();
        dumped_and_removed();
        vt_disconnect_gearman();
    }
    long logged(const std::string &needle) const { return vtt::count_since(logfile, log_start_, needle); }
    // Submits and checks that the engine's side returned at once.
    void submit(const std::string &queue, const std::string &text, bool high = false)
    {
        auto t0 = Clock::now();
        int rc = high ? vt_send_gearman_job_high(queue.c_str(), text.c_str())
                      : vt_send_gearman_job(queue.c_str(), text.c_str());
        EXPECT_EQ(0, rc) << text;
        EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(50)) << "the engine's thread waited";
    }
    size_t log_start_ = 0;
};

TEST_F(Sender, BatchesHoldEachMessageByteForByteInOrderWithFreshUniqueIds)
{
    // Texts with every byte but NUL, the framing's own header bytes, line feeds and tabs.
    std::string odd;
    for (int c = 1; c < 256; ++c)
        odd += static_cast<char>(c);
    Jobs status, perf;
    for (int i = 0; i < 450; ++i) {
        status.push_back("UPDATE t SET x=" + std::to_string(i) + (i % 50 == 0 ? odd : std::string()));
        perf.push_back(std::to_string(1700000000 + i) + "\t1\t2\tload=" + std::to_string(i) + (i == 7 ? "\nVTB1" : ""));
        submit("vtdb_vtstatus", status.back());
        submit("vtdb_perfdata", perf.back(), true);
        if (i % 150 == 0) {
            submit("vtdb_notify", "/bin/notify " + std::to_string(i));
            submit("vt_eventguard", "guard " + std::to_string(i));
        }
    }
    std::vector<RawJob> s = take_raw("vtdb_vtstatus"), p = take_raw("vtdb_perfdata");
    EXPECT_EQ(status, messages_of(s));
    EXPECT_EQ(perf, messages_of(p));
    EXPECT_GE(s.size(), 3u);  // at most 200 messages (or 64 KB) a job
    EXPECT_LE(s.size(), 60u);  // and not one job a message
    std::set<std::string> uniques;
    for (const auto *jobs : {&s, &p})
        for (const RawJob &j : *jobs) {
            EXPECT_TRUE(vt::is_batch(j.workload.data(), j.workload.size()) || j.workload.find('\0') == std::string::npos);
            EXPECT_EQ(vt::JobCheck::Signed, j.check);
            uniques.insert(j.unique);
        }
    EXPECT_EQ(s.size() + p.size(), uniques.size()) << "a repeated unique id would merge jobs";
    EXPECT_EQ(0u, uniques.count(""));

    // Outside consumers and long-running commands get one plain message a job.
    for (const std::string q : {"vtdb_notify", "vt_eventguard"}) {
        std::vector<RawJob> one = take_raw(q);
        ASSERT_EQ(3u, one.size()) << q;
        for (const RawJob &j : one) {
            EXPECT_FALSE(vt::is_batch(j.workload.data(), j.workload.size())) << j.workload;
            // signed for the daemon's workers; the event guard's reader is outside the system
            EXPECT_EQ(q == std::string("vtdb_notify") ? vt::JobCheck::Signed : vt::JobCheck::Unsigned, j.check) << q;
        }
    }
    EXPECT_EQ(0, vt_unaccepted_count());
}

TEST_F(Sender, RefusedJobsAreDelayedCountedAndFlushedAfterTheNextSuccess)
{
    vtt::gearmand_stop();
    for (const char *j : {"R1", "R2", "R3"})
        submit("vtdb_vtstatus", j);
    submit("vtdb_perfdata", "1\t2\t3\tR4", true);
    EXPECT_EQ(4, vt_unaccepted_count());  // waiting for the sender or delayed, never uncounted
    ASSERT_TRUE(vtt::wait_until([] { return delayed_jobs().size() == 4; }, 3000));
    EXPECT_EQ((Jobs{"R1", "R2", "R3", "1\t2\t3\tR4"}), delayed_jobs());
    EXPECT_EQ(4, vt_unaccepted_count());
    EXPECT_EQ(1, logged("] vt_send_gearman_job "));

    // Ten more: the eleventh message dumps the ten older ones, as a refusal always did.
    for (int i = 5; i <= 11; ++i)
        submit("vtdb_vtstatus", "R" + std::to_string(i));
    ASSERT_TRUE(vtt::wait_until([] { return vt_unaccepted_count() == 1; }, 3000));
    Jobs dumped = dumped_and_removed();
    EXPECT_EQ(10u, dumped.size());
    EXPECT_EQ("R1", dumped.front());

    vtt::gearmand_start();
    submit("vtdb_vtstatus", "after");
    ASSERT_TRUE(vtt::wait_until([] { return vt_unaccepted_count() == 0; }, 5000));
    EXPECT_EQ((Jobs{"after", "R11"}), messages_of(take_raw("vtdb_vtstatus")));
}

// A server that accepts connections but never answers costs the sender one timeout, then a
// probe a second; the engine's thread never waits, and nothing is lost.
TEST_F(Sender, HungServerOpensTheBreakerAndLosesNothing)
{
    submit("vtdb_vtstatus", "warm");
    ASSERT_TRUE(vtt::wait_until([] { return vt_unaccepted_count() == 0; }, 3000));
    vtt::gearmand_pause();
    Jobs sent;
    auto t0 = Clock::now();
    while (Clock::now() - t0 < std::chrono::seconds(6)) {
        sent.push_back("H" + std::to_string(sent.size()));
        submit("vtdb_vtstatus", sent.back());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Without the breaker each batch would wait out its own timeout: far fewer would be
    // settled (delayed or dumped) by now.
    EXPECT_TRUE(vtt::wait_until([&] { return vt_unaccepted_count() <= 10; }, 3000)) << vt_unaccepted_count();
    EXPECT_GE(logged("one probe a second"), 1);

    vtt::gearmand_resume();
    submit("vtdb_vtstatus", "awake");
    ASSERT_TRUE(vtt::wait_until([] { return vt_unaccepted_count() == 0; }, 10000));
    Jobs got = messages_of(take_raw("vtdb_vtstatus", 1500));
    Jobs dumped = dumped_and_removed();
    std::multiset<std::string> all(got.begin(), got.end());
    all.insert(dumped.begin(), dumped.end());
    for (const std::string &j : sent)
        EXPECT_GE(all.count(j), 1u) << j << " lost";
    EXPECT_EQ(1u, all.count("awake"));
}

TEST_F(Sender, AFullQueueSendsTheJobToTheDelayedQueueWithoutWaiting)
{
    vtt::gearmand_pause();  // the sender sits in a submission that times out
    const std::string big(60 * 1024, 'b');
    Jobs refused;
    int taken = 0;
    for (int i = 0; i < 600; ++i) {
        std::string text = std::to_string(i) + big;
        auto t0 = Clock::now();
        int rc = vt_send_gearman_job("vtdb_vtstatus", text.c_str());
        EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(200));
        if (rc == 0)
            ++taken;
        else
            refused.push_back(text);
    }
    EXPECT_LE(taken * (big.size() + 16), static_cast<size_t>(VT_SENDER_MAX_BYTES));
    EXPECT_GE(refused.size(), 40u);  // 600 x 60 KB against the 32 MB bound
    EXPECT_GE(logged("the sender's queue is full"), 1);
    vt_sender_stop(0);  // everything still held goes to the delayed queue
    EXPECT_EQ(0, dump_msgs());
    Jobs dumped = dumped_and_removed();
    std::set<std::string> kept(dumped.begin(), dumped.end());
    vtt::gearmand_resume();
    Jobs got = messages_of(take_raw("vtdb_vtstatus", 1500));
    kept.insert(got.begin(), got.end());
    for (int i = 0; i < 600; ++i)
        EXPECT_EQ(1u, kept.count(std::to_string(i) + big)) << "message " << i << " lost";
}

TEST_F(Sender, StopDeliversThenDelaysWithinItsBoundAndLeavesSubmissionsSynchronous)
{
    for (const char *j : {"S1", "S2"})
        submit("vtdb_vtstatus", j);
    vt_sender_stop(3000);
    EXPECT_EQ((Jobs{"S1", "S2"}), messages_of(take_raw("vtdb_vtstatus")));

    ASSERT_EQ(0, vt_sender_start());
    vtt::gearmand_pause();
    for (const char *j : {"P1", "P2", "P3"})
        submit("vtdb_vtstatus", j);
    auto t0 = Clock::now();
    vt_sender_stop(1000);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(5000));
    EXPECT_EQ((Jobs{"P1", "P2", "P3"}), delayed_jobs());
    vtt::gearmand_resume();
    EXPECT_EQ(0, vt_send_gearman_job("vtdb_vtstatus", "sync"));  // made here: the flush follows it
    EXPECT_EQ(0, get_count_delayed());
    Jobs got = messages_of(take_raw("vtdb_vtstatus"));
    std::multiset<std::string> all(got.begin(), got.end());
    for (const char *j : {"P1", "P2", "P3", "sync"})
        EXPECT_GE(all.count(j), 1u) << j;
}

// A hold taken while a long delivery is under way stops it before its next submission, so
// that a fork finds the sender outside every library; letting go delivers the rest in order.
TEST_F(Sender, AHoldStopsADeliveryBetweenSubmissionsUntilLetGo)
{
    const std::string big(30 * 1024, 'h');
    constexpr int kMessages = 1000;  // 30 MB: some 500 batches of two
    for (int i = 0; i < kMessages; ++i)
        submit("vtdb_vtstatus", std::to_string(i) + big);
    ASSERT_TRUE(vtt::wait_until([] { return vtt::gearman_queued("vtdb_vtstatus") > 0; }, 5000));
    vt::sender_hold(true);
    const long at_hold = vtt::gearman_queued("vtdb_vtstatus");
    usleep(500 * 1000);
    const long later = vtt::gearman_queued("vtdb_vtstatus");
    vt::sender_hold(false);
    EXPECT_EQ(at_hold, later) << "submitted while held";
    EXPECT_LT(later, kMessages / 2) << "the hold came after the whole delivery";
    Jobs got = messages_of(take_raw("vtdb_vtstatus", 1500));
    ASSERT_EQ(static_cast<size_t>(kMessages), got.size());
    for (int i = 0; i < kMessages; ++i)
        EXPECT_EQ(std::to_string(i) + big, got[i]) << "message " << i;
}

// A fork while the sender works: the child has no sender (its submissions are synchronous,
// through its own client), inherits no held lock, and the parent's jobs stay the parent's.
TEST_F(Sender, ForkedChildSubmitsItselfAndTheParentsJobsStayThere)
{
    std::atomic<bool> busy{true};
    std::thread engine_load([&] {
        for (int i = 0; busy; ++i)
            vt_send_gearman_job("vtdb_perfdata", ("1\t2\t3\tbg" + std::to_string(i)).c_str());
    });
    int children_ok = 0;
    for (int k = 0; k < 20; ++k) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(10);  // a lock left held would hang the child: fail instead
            vt_delayed_forget_inherited();
            vt_gearman_forget_inherited();
            int rc = vt_send_gearman_job("vt_eventguard", ("child " + std::to_string(k)).c_str());
            _exit(rc == 0 && get_count_delayed() == 0 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        children_ok += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    busy = false;
    engine_load.join();
    EXPECT_EQ(20, children_ok);
    std::vector<RawJob> child_jobs = take_raw("vt_eventguard");
    EXPECT_EQ(20u, child_jobs.size());
    ASSERT_TRUE(vtt::wait_until([] { return vt_unaccepted_count() == 0; }, 5000));
}

// Every message of the daemon's queues carries the run's id and the next number of its queue,
// through batches and single jobs alike; a forked child that submits on its own numbers under a
// run of its own; the event guard's records, read outside the system, go as they are.
TEST_F(Sender, MessagesCarryTheRunAndTheNextNumberOfTheirQueue)
{
    for (int i = 0; i < 5; ++i) {
        submit("vtdb_vtstatus", "UPDATE t SET x=" + std::to_string(i));
        submit("vtdb_perfdata", "1\t2\t3\tload=" + std::to_string(i), true);
        submit("vt_eventguard", "guard " + std::to_string(i));
    }
    submit("vtdb_notify", "/bin/notify one");
    submit("vtdb_notify", "/bin/notify two");
    ASSERT_TRUE(vtt::wait_until([] { return vt_unaccepted_count() == 0; }, 5000));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(10);
        vt_delayed_forget_inherited();
        vt_gearman_forget_inherited();
        _exit(vt_send_gearman_job("vtdb_vtstatus", "child") == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    auto ids_of = [](const std::vector<RawJob> &jobs) {
        std::vector<std::pair<vt::MessageId, std::string>> out;
        for (const RawJob &j : jobs)
            vt::for_each_message(j.workload.data(), j.workload.size(), [&](const char *t, size_t n) {
                vt::MessageId id;
                const size_t at = vt::parse_message_id(t, n, &id);
                out.emplace_back(id, std::string(t + at, n - at));
            });
        return out;
    };
    auto status_ids = ids_of(take_raw("vtdb_vtstatus"));
    ASSERT_EQ(6u, status_ids.size());
    const std::string run = status_ids[0].first.run;
    ASSERT_EQ(16u, run.size());
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(run, status_ids[i].first.run);
        EXPECT_EQ(status_ids[0].first.seq + i, status_ids[i].first.seq);
        EXPECT_EQ("UPDATE t SET x=" + std::to_string(i), status_ids[i].second);
    }
    EXPECT_EQ("child", status_ids[5].second);
    EXPECT_TRUE(status_ids[5].first.valid());
    EXPECT_NE(run, status_ids[5].first.run) << "the child numbers under a run of its own";
    auto perf_ids = ids_of(take_raw("vtdb_perfdata"));
    ASSERT_EQ(5u, perf_ids.size());
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(run, perf_ids[i].first.run);
        EXPECT_EQ(perf_ids[0].first.seq + i, perf_ids[i].first.seq);
    }
    auto notify_ids = ids_of(take_raw("vtdb_notify"));
    ASSERT_EQ(2u, notify_ids.size());
    EXPECT_EQ(notify_ids[0].first.seq + 1, notify_ids[1].first.seq);
    EXPECT_EQ("/bin/notify two", notify_ids[1].second);
    for (const auto &g : ids_of(take_raw("vt_eventguard")))
        EXPECT_FALSE(g.first.valid()) << g.second;
}

// Any local user can list the unique ids of the queued jobs (the job server's admin protocol
// answers anyone) and submit jobs under ids of their choosing; the job server merges a job
// into a queued one of the same id and answers it accepted. Jobs placed under the ids that
// follow the one seen must swallow none of the module's next jobs.
TEST_F(Sender, NoJobIsMergedIntoOnesQueuedUnderTheIdsThatFollowOneSeen)
{
    const std::vector<std::string> before = vtt::gearman_admin("show unique jobs");
    submit("vtdb_vtstatus", "UPDATE t SET x=0");
    ASSERT_TRUE(vtt::wait_until([] { return vt_unaccepted_count() == 0; }, 5000));
    std::vector<std::string> seen;
    for (const std::string &u : vtt::gearman_admin("show unique jobs"))
        if (std::find(before.begin(), before.end(), u) == before.end())
            seen.push_back(u);
    ASSERT_EQ(1u, seen.size());
    // The id with its last number (hexadecimal, after the last '-') counted on.
    const size_t dash = seen[0].rfind('-');
    ASSERT_NE(std::string::npos, dash);
    const unsigned long long last = std::stoull(seen[0].substr(dash + 1), nullptr, 16);
    gearman_client_st *guesser = gearman_client_create(nullptr);
    gearman_client_add_server(guesser, "127.0.0.1", static_cast<in_port_t>(vtt::gearman_port()));
    int placed = 0;
    for (unsigned long long k = 1; k <= 300; ++k) {
        const std::string unique = seen[0].substr(0, dash + 1) + vt::format("%llx", last + k);
        gearman_job_handle_t h;
        placed += gearman_client_do_background(guesser, "vtdb_vtstatus", unique.c_str(), "x", 1, h) == GEARMAN_SUCCESS;
    }
    gearman_client_free(guesser);
    ASSERT_EQ(300, placed);
    Jobs sent = {"UPDATE t SET x=0"};
    for (int i = 1; i <= 40; ++i) {
        sent.push_back("UPDATE t SET x=" + std::to_string(i));
        submit("vtdb_vtstatus", sent.back());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // jobs of their own, mostly
    }
    ASSERT_TRUE(vtt::wait_until([] { return vt_unaccepted_count() == 0; }, 5000));
    std::vector<RawJob> jobs = take_raw("vtdb_vtstatus");
    std::vector<RawJob> module;
    for (const RawJob &j : jobs)
        if (j.check == vt::JobCheck::Signed)
            module.push_back(j);
    EXPECT_EQ(sent, messages_of(module));
    EXPECT_EQ(300u + module.size(), jobs.size());
}

}  // namespace
