// Delayed-message queue: order and limit, dump file contents and names, failed and concurrent dumps.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_delayed.h"
#include "vt_log.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Msg = std::pair<std::string, std::string>;  // queue, job

const std::string kDir = VT_DELAYED_DIR;
const std::string kDump = VT_DUMP_FILE;

// Walks the queue from the head, checking the back links and the count on the way.
std::vector<Msg> queued()
{
    std::vector<Msg> out;
    delayed_msg *prev = nullptr;
    for (delayed_msg *m = get_root(); m; m = m->next) {
        EXPECT_EQ(m->prev, prev);
        out.emplace_back(m->queue, m->job);
        prev = m;
    }
    EXPECT_EQ(static_cast<int>(out.size()), get_count_delayed());
    return out;
}

std::vector<std::string> dump_names() { return vtt::list_dir(kDir); }

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

// "delayed-messages.dump-<seconds>.<six digits of microseconds>"
bool is_dump_name(const std::string &n)
{
    const std::string prefix = "delayed-messages.dump-";
    if (n.compare(0, prefix.size(), prefix) != 0)
        return false;
    size_t dot = n.find('.', prefix.size());
    if (dot == std::string::npos || dot == prefix.size() || n.size() - dot - 1 != 6)
        return false;
    return n.find_first_not_of("0123456789", prefix.size()) == dot &&
           n.find_first_not_of("0123456789", dot + 1) == std::string::npos;
}

std::string line_of(const Msg &m) { return "\\" + m.first + "\t" + m.second; }  // marked: escapes follow

// The dump folder holds exactly one file, and it holds these messages after the prefix, in order.
void expect_one_dump_holding(const std::vector<Msg> &msgs, const std::string &prefix = "")
{
    auto names = dump_names();
    ASSERT_EQ(names.size(), 1u);
    std::string expected = prefix;
    for (const auto &m : msgs)
        expected += line_of(m) + "\n";
    EXPECT_EQ(vtt::read_file(kDir + names[0]), expected);
}

long long stamp_us(const struct timeval &tv) { return tv.tv_sec * 1000000LL + tv.tv_usec; }

long long now_us()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return stamp_us(tv);
}

std::string dump_name_for(long long us)
{
    char buf[64];
    snprintf(buf, sizeof buf, "delayed-messages.dump-%lld.%06lld", us / 1000000, us % 1000000);
    return buf;
}

class DelayedQueue : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtt::init_runtime("vtdb");
        destroy_all_delayed();
        vt_delayed_forget_inherited();  // also forgets an earlier test's failed dump
        clean_files();
    }
    void TearDown() override
    {
        destroy_all_delayed();
        clean_files();
    }
    static void clean_files()
    {
        rmdir(kDump.c_str());
        unlink(kDump.c_str());
        mkdir(kDir.c_str(), 0755);
        for (const auto &n : dump_names())
            unlink((kDir + n).c_str());
    }
    static std::vector<Msg> push_series(const std::string &tag, int n)
    {
        std::vector<Msg> pushed;
        for (int i = 0; i < n; ++i) {
            Msg m{i % 2 ? "vtdb_notify" : "vtdb_vtstatus", tag + "-" + std::to_string(i)};
            EXPECT_EQ(push_msg(m.first.c_str(), m.second.c_str(), 26), 0);
            pushed.push_back(m);
        }
        return pushed;
    }
};

TEST_F(DelayedQueue, KeepsPrivateCopiesInArrivalOrder)
{
    destroy_delayed(nullptr);  // ignored
    EXPECT_EQ(get_root(), nullptr);
    EXPECT_EQ(pop_msg(), nullptr);

    char queue[] = "vtdb_vtstatus";
    char job[] = "UPDATE a SET b=1";
    long long before = now_us();
    ASSERT_EQ(push_msg(queue, job, 47), 0);
    std::strcpy(queue, "changed_name!");  // the record must not share the caller's text
    std::strcpy(job, "changed text....");
    ASSERT_EQ(push_msg("vtdb_perfdata", "1\t2\t3\tload=1", 26), 0);
    ASSERT_EQ(push_msg("vt_eventguard", "guard", 14), 0);

    EXPECT_EQ(queued(), (std::vector<Msg>{{"vtdb_vtstatus", "UPDATE a SET b=1"},
                                          {"vtdb_perfdata", "1\t2\t3\tload=1"},
                                          {"vt_eventguard", "guard"}}));
    delayed_msg *root = get_root();
    EXPECT_EQ(root->rc, 47);
    ASSERT_NE(root->queued, nullptr);
    EXPECT_GE(stamp_us(*root->queued), before);
    EXPECT_EQ(get_count_delayed(), 3);  // looking did not take anything

    delayed_msg *first = pop_msg();
    ASSERT_EQ(first, root);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(first->prev, nullptr);
    destroy_delayed(first);
    destroy_delayed(pop_msg());
    destroy_delayed(pop_msg());
    EXPECT_EQ(get_count_delayed(), 0);
    EXPECT_EQ(get_root(), nullptr);

    // After emptying, a new message is head and tail at once.
    ASSERT_EQ(push_msg("vtdb_notify", "again", 1), 0);
    EXPECT_EQ(queued(), (std::vector<Msg>{{"vtdb_notify", "again"}}));
    EXPECT_EQ(get_root()->next, nullptr);
    EXPECT_EQ(get_root()->prev, nullptr);
    EXPECT_FALSE(vtt::exists(kDump));
}

TEST_F(DelayedQueue, EleventhPushDumpsTheTenOlderInOrder)
{
    EXPECT_EQ(dump_msgs(), 0);  // empty queue: nothing to write
    EXPECT_FALSE(vtt::exists(kDump));
    EXPECT_TRUE(dump_names().empty());

    std::vector<Msg> pushed = push_series("job", 9);
    const Msg perf{"vtdb_perfdata", "1700000000\t12\t34\trta=0.1ms;100;500 pl=0%"};
    ASSERT_EQ(push_msg(perf.first.c_str(), perf.second.c_str(), 26), 0);
    pushed.push_back(perf);
    EXPECT_EQ(get_count_delayed(), 10);
    EXPECT_TRUE(dump_names().empty());
    EXPECT_FALSE(vtt::exists(kDump));

    ASSERT_EQ(push_msg("vtdb_vtstatus", "eleventh", 26), 0);
    EXPECT_EQ(queued(), (std::vector<Msg>{{"vtdb_vtstatus", "eleventh"}}));
    auto names = dump_names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(is_dump_name(names[0])) << names[0];
    EXPECT_FALSE(vtt::exists(kDump));

    std::string expected;
    for (const auto &m : pushed)
        expected += line_of(m) + "\n";
    EXPECT_EQ(vtt::read_file(kDir + names[0]), expected);

    // A second dump straight after gets a name of its own.
    ASSERT_EQ(dump_msgs(), 0);
    names = dump_names();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(get_count_delayed(), 0);
    int eleventh = vtt::read_file(kDir + names[0]) == "\\vtdb_vtstatus\televenth\n" ? 0 : 1;
    EXPECT_EQ(vtt::read_file(kDir + names[eleventh]), "\\vtdb_vtstatus\televenth\n");
    EXPECT_EQ(vtt::read_file(kDir + names[1 - eleventh]), expected);
}

TEST_F(DelayedQueue, MoveNeverReplacesAnExistingDump)
{
    // Take every name the move could pick during one millisecond, and dump just as it
    // begins: the move must skip them all rather than replace one of them.
    const int window = 1000;
    long long start = 0;
    for (int attempt = 0; attempt < 3 && start == 0; ++attempt) {
        clean_files();
        long long begin = now_us() + 3000000;
        for (int i = 0; i < window; ++i) {
            int fd = open((kDir + dump_name_for(begin + i)).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            ASSERT_GE(fd, 0);
            close(fd);
        }
        if (now_us() < begin - 20000)
            start = begin;
    }
    ASSERT_NE(start, 0) << "could not prepare the names in time";
    push_series("noreplace", 2);
    long long nap = start - now_us() - 10000;
    if (nap > 0)
        usleep(static_cast<useconds_t>(nap));
    while (now_us() < start) {
    }
    ASSERT_EQ(dump_msgs(), 0);
    long long after = now_us();
    ASSERT_LT(after, start + 100000) << "the dump was too slow for the names to matter";

    std::vector<std::string> written;
    for (const auto &n : dump_names())
        if (!vtt::read_file(kDir + n).empty())
            written.push_back(n);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(vtt::read_file(kDir + written[0]), "\\vtdb_vtstatus\tnoreplace-0\n\\vtdb_notify\tnoreplace-1\n");
    EXPECT_EQ(dump_names().size(), static_cast<size_t>(window) + 1);
    EXPECT_FALSE(vtt::exists(kDump));
}

TEST_F(DelayedQueue, UnopenableDumpFileLosesNothing)
{
    ASSERT_EQ(mkdir(kDump.c_str(), 0755), 0);  // root opens anything, but not a directory for writing
    std::vector<Msg> pushed = push_series("kept", 10);

    EXPECT_EQ(dump_msgs(), 1);
    EXPECT_EQ(queued(), pushed);
    // The eleventh push cannot make room: the dump failure is reported, and the message
    // waits behind the ten rather than being dropped.
    EXPECT_EQ(push_msg("vtdb_vtstatus", "kept too", 26), 1);
    pushed.push_back({"vtdb_vtstatus", "kept too"});
    EXPECT_EQ(queued(), pushed);
    EXPECT_TRUE(dump_names().empty());

    ASSERT_EQ(rmdir(kDump.c_str()), 0);
    ASSERT_EQ(dump_msgs(), 0);
    EXPECT_EQ(get_count_delayed(), 0);
    expect_one_dump_holding(pushed);
}

// Another process's dump holds the lock: the push that wants to dump does not wait, keeps
// everything queued, and the next attempt comes no sooner than a second later.
TEST_F(DelayedQueue, HeldDumpLockIsNeverWaitedForAndRetriedAfterASecond)
{
    int holder = open(kDump.c_str(), O_WRONLY | O_CREAT, 0666);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    std::vector<Msg> pushed = push_series("held", 10);
    long long t0 = now_us();
    EXPECT_EQ(push_msg("vtdb_vtstatus", "eleventh", 26), 1);
    EXPECT_EQ(dump_msgs(), 1);
    EXPECT_LT(now_us() - t0, 100000);
    pushed.push_back({"vtdb_vtstatus", "eleventh"});
    close(holder);  // free again, but the next try is due only a second after the failed one
    EXPECT_EQ(push_msg("vtdb_vtstatus", "twelfth", 26), 1);
    pushed.push_back({"vtdb_vtstatus", "twelfth"});
    EXPECT_EQ(queued(), pushed);
    EXPECT_TRUE(dump_names().empty());

    usleep(1100000);
    EXPECT_EQ(push_msg("vtdb_vtstatus", "after", 26), 0);
    EXPECT_EQ(queued(), (std::vector<Msg>{{"vtdb_vtstatus", "after"}}));
    expect_one_dump_holding(pushed);
}

// While no dump succeeds the queue keeps at most VT_DELAYED_MAX_BYTES: the oldest messages
// go, counted in throttled log lines (one at the first drop, the rest at the next dump).
TEST_F(DelayedQueue, MemoryLimitDropsTheOldestAndCountsThem)
{
    ASSERT_EQ(mkdir(kDump.c_str(), 0755), 0);  // every dump fails
    size_t log_offset = vtt::read_file(logfile).size();
    const std::string big(1 << 20, 'j');
    const int n = 70;
    for (int i = 0; i < n; ++i)
        push_msg("vtdb_vtstatus", (std::to_string(i) + ":" + big).c_str(), 26);
    long bytes = 0;
    for (const Msg &m : queued())
        bytes += static_cast<long>(m.first.size() + m.second.size() + 2);
    EXPECT_LE(bytes, VT_DELAYED_MAX_BYTES);
    EXPECT_GT(bytes, VT_DELAYED_MAX_BYTES - (2 << 20));
    const int kept = get_count_delayed(), dropped = n - kept;
    ASSERT_GT(dropped, 0);
    EXPECT_EQ(std::to_string(dropped) + ":", std::string(get_root()->job).substr(0, std::to_string(dropped).size() + 1));
    EXPECT_EQ(std::to_string(n - 1) + ":", std::string(queued().back().second).substr(0, std::to_string(n - 1).size() + 1));

    ASSERT_EQ(rmdir(kDump.c_str()), 0);
    ASSERT_EQ(dump_msgs(), 0);
    std::istringstream log(vtt::read_file(logfile).substr(log_offset));
    int lines = 0, reported = 0;
    for (std::string line; std::getline(log, line);) {
        size_t at = line.find("] ERROR delayed message queue over its limit of " + std::to_string(VT_DELAYED_MAX_BYTES) +
                              " bytes: dropped the ");
        if (at == std::string::npos)
            continue;
        ++lines;
        reported += std::atoi(line.c_str() + line.find("dropped the ") + 12);
    }
    EXPECT_EQ(lines, 2);
    EXPECT_EQ(reported, dropped);
    auto names = dump_names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(lines_of(vtt::read_file(kDir + names[0])).size(), static_cast<size_t>(kept));
}

TEST_F(DelayedQueue, ShortWriteIsUndoneAndReportedAsFailure)
{
    // A dump from an earlier failed move is still waiting at the dump path.
    const std::string earlier = "vtdb_vtstatus\tearlier\n";
    vtt::write_file(kDump, earlier);
    std::vector<Msg> pushed;
    for (int i = 0; i < 3; ++i) {
        pushed.push_back({"vtdb_vtstatus", "statement " + std::to_string(i) + std::string(40, 'x')});
        ASSERT_EQ(push_msg(pushed.back().first.c_str(), pushed.back().second.c_str(), 26), 0);
    }

    // Let the file grow by only 30 bytes: the write stops in the middle of the first line.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = earlier.size() + 30;
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int failed = dump_msgs();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(failed, 1);
    EXPECT_EQ(vtt::read_file(kDump), earlier);  // no partial line left behind
    EXPECT_EQ(queued(), pushed);
    EXPECT_TRUE(dump_names().empty());

    // With room again the whole file moves: the earlier line first, each message once.
    ASSERT_EQ(dump_msgs(), 0);
    expect_one_dump_holding(pushed, earlier);
    EXPECT_EQ(get_count_delayed(), 0);
}

TEST_F(DelayedQueue, FailedMoveLeavesTheFileForTheNextDump)
{
    std::string saved_dir = vtt::root() + "/var/delayed-messages.away";
    ASSERT_EQ(rename(kDir.c_str(), saved_dir.c_str()), 0);
    push_series("first", 2);
    int rc = dump_msgs();
    ASSERT_EQ(rename(saved_dir.c_str(), kDir.c_str()), 0);
    EXPECT_EQ(rc, 0);  // written whole: the messages are safe on disk
    EXPECT_EQ(get_count_delayed(), 0);
    EXPECT_EQ(vtt::read_file(kDump), "\\vtdb_vtstatus\tfirst-0\n\\vtdb_notify\tfirst-1\n");

    push_series("second", 1);
    ASSERT_EQ(dump_msgs(), 0);
    EXPECT_FALSE(vtt::exists(kDump));
    auto names = dump_names();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(vtt::read_file(kDir + names[0]),
              "\\vtdb_vtstatus\tfirst-0\n\\vtdb_notify\tfirst-1\n\\vtdb_vtstatus\tsecond-0\n");
}

// Several forked processes, each starting from an empty queue of its own, push and dump at
// the same moment. Every file must hold exactly one dump of one process (a line written
// into a file that was already moved would show up as a second batch), and every line must
// be there once, whole. The parent's queue must come through untouched.
TEST_F(DelayedQueue, ForkedProcessesDumpConcurrentlyWithoutMixing)
{
    const std::vector<Msg> parents = push_series("parent", 4);
    const int children = 4, per_child = 25, rounds = 4;
    const std::string pad(3000, 'p');
    auto job_for = [&](int round, int child, int seq) {
        char head[64];
        snprintf(head, sizeof head, "r%d-c%d-%03d", round, child, seq);
        return std::string(head) + "\t" + pad;  // a tab inside the job, as in performance data
    };

    for (int round = 0; round < rounds; ++round) {
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> pids;
        for (int c = 0; c < children; ++c) {
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                close(gate[1]);
                char b;
                if (read(gate[0], &b, 1) < 0)
                    _exit(10);
                vt_delayed_forget_inherited();
                int bad = get_count_delayed() != 0 || get_root() != nullptr;
                // A dump never waits for another's lock: one that finds it held keeps its
                // messages queued, so a push may report a failed dump and a final dump may
                // need another try.
                for (int s = 0; s < per_child; ++s)
                    push_msg("vtdb_perfdata", job_for(round, c, s).c_str(), 26);
                for (int tries = 0; dump_msgs() != 0; ++tries) {
                    if (tries == 10000)
                        _exit(2);
                    usleep(1000);
                }
                _exit(bad ? 1 : 0);
            }
            pids.push_back(pid);
        }
        close(gate[0]);
        close(gate[1]);  // opens the gate for all at once
        for (pid_t pid : pids) {
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
        }
    }

    EXPECT_FALSE(vtt::exists(kDump));
    std::map<std::string, int> seen;
    auto names = dump_names();
    EXPECT_GE(names.size(), static_cast<size_t>(rounds * children));
    for (const auto &n : names) {
        auto lines = lines_of(vtt::read_file(kDir + n));
        ASSERT_FALSE(lines.empty()) << n;
        int round = -1, child = -1, first = -1;
        for (size_t i = 0; i < lines.size(); ++i) {
            int r, c, s;
            ASSERT_EQ(sscanf(lines[i].c_str(), "\\vtdb_perfdata\tr%d-c%d-%d", &r, &c, &s), 3) << n;
            ASSERT_EQ(lines[i], "\\vtdb_perfdata\t" + job_for(r, c, s)) << n << " line " << i;
            if (i == 0) {
                round = r, child = c, first = s;
            }
            EXPECT_EQ(r, round) << n;
            EXPECT_EQ(c, child) << n;
            EXPECT_EQ(s, first + static_cast<int>(i)) << n;
            ++seen[job_for(r, c, s).substr(0, 12)];
        }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(rounds * children * per_child));
    for (const auto &kv : seen)
        EXPECT_EQ(kv.second, 1) << kv.first;

    EXPECT_EQ(queued(), parents);
}

}  // namespace
