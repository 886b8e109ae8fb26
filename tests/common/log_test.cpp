// Log file: rotation at the size limit, the error throttle, date literals, debug output.
#include "test_support.h"
#include "vt_log.h"
#include "vt_util.h"

#include <gtest/gtest.h>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtt::init_runtime("logtest");
        log = logfile;
        aux = logfile_aux;
        vtt::remove_file(log);
        vtt::remove_file(aux);
        DEBUG = 0;
        vt_log_create_mode = -1;
    }
    void TearDown() override
    {
        vtt::remove_file(log);
        vtt::remove_file(aux);
        DEBUG = 0;
        vt_log_create_mode = -1;
    }
    static void make_sparse(const std::string &p, off_t size)
    {
        vtt::write_file(p, "old-generation-marker\n");
        ASSERT_EQ(0, truncate(p.c_str(), size));
    }
    std::string log, aux;
};

TEST_F(LogTest, EntryIsStampedAndVerbatim)
{
    ASSERT_EQ(0, vt_write_to_log("first line\nsecond line"));
    ASSERT_EQ(0, vt_write_to_log("100% done %s %n"));
    std::string text = vtt::read_file(log);
    // "[YYYY-MM-DD HH:MM:SS] " then the message exactly, once stamped.
    ASSERT_GE(text.size(), 22u);
    EXPECT_EQ('[', text[0]);
    EXPECT_EQ(']', text[20]);
    EXPECT_EQ("first line\nsecond line\n", text.substr(22, 23));
    EXPECT_NE(std::string::npos, text.find("] 100% done %s %n\n"));
    EXPECT_EQ(2, std::count(text.begin(), text.end(), '['));
}

// Text from outside reaches the log through the %s arguments of the system's own formats:
// there every control character is escaped, so it cannot end its entry and forge others,
// while the format's own line breaks and every other conversion come out as printf makes them.
TEST_F(LogTest, FormattedArgumentsStayOnTheirEntrysLine)
{
    const std::string forged = "ok\n[2026-01-01 00:00:00] ERROR forged\r\x1b[2J\ttab\x7f\\n";
    vt_logf("DONE: CMD=( %s ) output=%s", "echo\nx", forged.c_str());
    vt_logf("n=%d l=%ld z=%zu u=%u x=%#x f=%.3f p=%06lu c=%c w=[%5s|%-4s|%.2s] %% %s|%*d|%-*.*s|", -7, 1234567890123L,
            static_cast<size_t>(42), 7u, 255, 1.5, 12UL, 'q', "ab", "cd", "xyz\n", "-",
            4, 9, 6, 2, "a\nbc");
    vt_logf("Reading %s read\n\tWORKERS %d\n", "conf\nfile", 3);
    const std::string text = vtt::read_file(log);
    EXPECT_NE(std::string::npos,
              text.find("] DONE: CMD=( echo\\nx ) output=ok\\n[2026-01-01 00:00:00] ERROR forged\\r\\x1b[2J\\ttab"
                        "\\x7f\\n\n"))
        << text;
    EXPECT_NE(std::string::npos, text.find("] n=-7 l=1234567890123 z=42 u=7 x=0xff f=1.500 p=000012 c=q "
                                           "w=[   ab|cd  |xy] % -|   9|a\\n    |\n"))
        << text;
    EXPECT_NE(std::string::npos, text.find("] Reading conf\\nfile read\n\tWORKERS 3\n\n")) << text;
    EXPECT_EQ(std::string::npos, text.find("\n[2026-01-01 00:00:00] ERROR forged"));
    EXPECT_EQ(5, std::count(text.begin(), text.end(), '\n'));  // one each, three of the format's own
}

TEST_F(LogTest, RotatesOnlyAboveTheLimit)
{
    make_sparse(log, 100000000);
    vt_write_to_log("at the limit");
    EXPECT_FALSE(vtt::exists(aux));
    struct stat st;
    ASSERT_EQ(0, stat(log.c_str(), &st));
    EXPECT_GT(st.st_size, 100000000);

    make_sparse(aux, 10);  // an earlier generation is replaced by the rotation
    make_sparse(log, 100000001);
    vt_write_to_log("fresh file");
    ASSERT_EQ(0, stat(aux.c_str(), &st));
    EXPECT_EQ(100000001, st.st_size);
    std::string fresh = vtt::read_file(log);
    EXPECT_NE(std::string::npos, fresh.find("] fresh file\n"));
    EXPECT_LT(fresh.size(), 100u);
}

TEST_F(LogTest, ConcurrentRotatorsKeepTheRotatedGeneration)
{
    make_sparse(log, 100000001);
    std::vector<pid_t> kids;
    for (int i = 0; i < 4; ++i) {
        pid_t p = fork();
        if (p == 0) {
            for (int j = 0; j < 50; ++j)
                vt_write_to_log("racer");
            _exit(0);
        }
        kids.push_back(p);
    }
    for (pid_t p : kids)
        waitpid(p, nullptr, 0);
    struct stat st;
    ASSERT_EQ(0, stat(aux.c_str(), &st));
    EXPECT_EQ(100000001, st.st_size);  // no second rotation threw the big generation away
    EXPECT_EQ(200, vtt::count_lines_containing(log, "] racer"));
}

// A rotation lock held by another process (any that may read the log can take it): the first
// entry waits about a second and is written without rotating, which is logged once, later
// ones do not wait at all, and once the lock is free again the next entry rotates.
TEST_F(LogTest, StuckRotationLockDelaysOneEntryOnly)
{
    make_sparse(log, 100000001);
    vt::Fd holder(open(log.c_str(), O_RDONLY));
    ASSERT_EQ(0, flock(holder.get(), LOCK_EX));
    auto timed = [](const char *msg) {
        auto t0 = std::chrono::steady_clock::now();
        vt_write_to_log(msg);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    double first = timed("while stuck"), second = timed("still stuck");
    EXPECT_GT(first, 0.9);
    EXPECT_LT(first, 3.0);
    EXPECT_LT(second, 0.5);
    EXPECT_FALSE(vtt::exists(aux));
    EXPECT_EQ(1, vtt::count_lines_containing(log, "rotation lock is held by another process"));
    EXPECT_EQ(2, vtt::count_lines_containing(log, "] still") + vtt::count_lines_containing(log, "] while stuck"));
    holder.reset();
    EXPECT_LT(timed("free again"), 0.5);
    EXPECT_TRUE(vtt::exists(aux));
    EXPECT_NE(std::string::npos, vtt::read_file(log).find("] free again\n"));
}

TEST_F(LogTest, DaemonCreatedLogIsWritableByAll)
{
    mode_t old = umask(022);
    vt_log_create_mode = 0666;
    vt_write_to_log("created");
    umask(old);
    struct stat st;
    ASSERT_EQ(0, stat(log.c_str(), &st));
    EXPECT_EQ(0666u, st.st_mode & 0777);
}

// A process that may not write the log sends its entries through a pipe to one that may: each
// arrives whole (line feeds included) and in order; a frame longer than any entry, which no
// writer of this code sends, ends the relay instead of being held in memory.
TEST_F(LogTest, PipedEntriesReachTheLogThroughTheRelay)
{
    struct Case {
        std::vector<std::string> messages;
        std::string raw_tail;  // bytes written after the messages
        std::string expected;  // the log's entries, time stamps taken off
    } cases[] = {
        {{"one", "two\nlines"}, "", "one\ntwo\nlines\n"},
        {{"before"}, std::string("\xff\xff\xff\x7f", 4) + "junk", "before\n"},
        {{std::string(3 << 20, 'x')}, "", std::string((1 << 20) - 23, 'x') + "\n"},
    };
    for (const Case &c : cases) {
        vtt::remove_file(log);
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        pid_t relay = fork();
        if (relay == 0) {
            close(fds[1]);
            vt_log_relay(fds[0]);
            _exit(0);
        }
        close(fds[0]);
        vt_log_pipe_fd = fds[1];
        for (const std::string &m : c.messages)
            EXPECT_EQ(0, vt_write_to_log(m.c_str()));
        vt_log_pipe_fd = -1;
        ASSERT_TRUE(vt::write_all(fds[1], c.raw_tail));
        close(fds[1]);
        waitpid(relay, nullptr, 0);
        std::string text = vtt::read_file(log), bare;
        for (size_t at = 0; at < text.size();) {
            if (text[at] == '[')
                at += 22;  // "[YYYY-MM-DD HH:MM:SS] "
            size_t end = text.find("\n[", at);
            end = end == std::string::npos ? text.size() : end + 1;
            bare += text.substr(at, end - at);
            at = end;
        }
        EXPECT_EQ(c.expected.size(), bare.size());
        EXPECT_TRUE(c.expected == bare) << bare.substr(0, 200);
    }
}

TEST_F(LogTest, UnopenableLogLosesTheEntryOnly)
{
    std::string saved = logfile;
    static char missing[] = "/nonexistent-dir/for/log";
    logfile = missing;
    testing::internal::CaptureStdout();
    EXPECT_EQ(-2, vt_write_to_log("lost"));
    std::string out = testing::internal::GetCapturedStdout();
    logfile = const_cast<char *>(log.c_str());
    EXPECT_EQ("Could not open /nonexistent-dir/for/log for write\n", out);
}

TEST_F(LogTest, DebugModePrintsWithBarAndWritesNoFile)
{
    DEBUG = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, vt_write_to_log("dbg"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(vtt::exists(log));
    ASSERT_GE(out.size(), 26u);
    EXPECT_EQ("] dbg|\n", out.substr(20));
}

TEST(Throttle, SixtySecondsIsStillTooSoon)
{
    last_logged_error = time(nullptr) - 60;
    EXPECT_EQ(0, vt_throttle_allows(1));
    last_logged_error = time(nullptr) - 61;
    time_t before = last_logged_error;
    EXPECT_EQ(1, vt_throttle_allows(0));
    EXPECT_EQ(before, last_logged_error);  // a non-advancing site leaves the stamp alone
    EXPECT_EQ(1, vt_throttle_allows(1));
    EXPECT_EQ(timenow, last_logged_error);
    EXPECT_EQ(0, vt_throttle_allows(1));  // and the next failure is dropped
    last_logged_error = 0;
}

TEST(LongDate, ZeroIsNullOtherwiseQuotedLocalTime)
{
    char *out = reinterpret_cast<char *>(1);
    timestamp_to_longdate(&out, 0);
    EXPECT_EQ(nullptr, out);
    setenv("TZ", "UTC", 1);
    tzset();
    timestamp_to_longdate(&out, 1);
    vt::CString owned(out);
    ASSERT_NE(nullptr, out);
    EXPECT_STREQ("'1970-01-01 00:00:01'", out);
    timestamp_to_longdate(&out, 1796621104);  // 2026-12-07 05:25:04 UTC
    vt::CString second(out);
    EXPECT_STREQ("'2026-12-07 05:25:04'", out);
}

}  // namespace
