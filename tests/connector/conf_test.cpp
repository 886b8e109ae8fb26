// The daemon's configuration file: key parsing, values, defaults.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_connector.h"
#include "vt_log.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Conf : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtt::init_runtime("conftest");
        vtt::remove_file(logfile);
        saved = vtt::read_file(VT_CONNECTOR_CONF);
        had = vtt::exists(VT_CONNECTOR_CONF);
        defaults();
    }
    void TearDown() override
    {
        if (had)
            vtt::write_file(VT_CONNECTOR_CONF, saved);
        else
            vtt::remove_file(VT_CONNECTOR_CONF);
        defaults();
    }
    static void defaults() { vt_settings_defaults(); }
    static void parse(const std::string &text)
    {
        vtt::write_file(VT_CONNECTOR_CONF, text);
        ASSERT_EQ(0, parse_vantorconnector_conf());
    }
    std::string saved;
    bool had = false;
};

TEST_F(Conf, MissingFileKeepsDefaults)
{
    vtt::remove_file(VT_CONNECTOR_CONF);
    EXPECT_EQ(-2, parse_vantorconnector_conf());
    EXPECT_EQ(3, VTSTATUS_WORKERS);
    EXPECT_EQ(4, PERFDATA_WORKERS);
    EXPECT_EQ(2, NOTIFY_WORKERS);
    EXPECT_EQ(1, vtt::count_lines_containing(logfile, std::string("Could no open file ") + VT_CONNECTOR_CONF));
}

// The values the globals start with, read before any test changes them.
const int kStartValues[] = {VTSTATUS_WORKERS, PERFDATA_WORKERS, NOTIFY_WORKERS, VT_MAX_METRICS,
                            VT_SEND_NOTIFICATIONS, PERFDATA_RETENTION_DAYS, VT_RETENTION_CHUNK,
                            VT_RETENTION_PAUSE_MS, VT_RETENTION_INTERVAL_S, VT_MAX_DUMP_FILE_MB};

TEST_F(Conf, TableDefaultsAreTheStartValues)
{
    const int now[] = {VTSTATUS_WORKERS, PERFDATA_WORKERS, NOTIFY_WORKERS, VT_MAX_METRICS,
                       VT_SEND_NOTIFICATIONS, PERFDATA_RETENTION_DAYS, VT_RETENTION_CHUNK,
                       VT_RETENTION_PAUSE_MS, VT_RETENTION_INTERVAL_S, VT_MAX_DUMP_FILE_MB};
    for (size_t i = 0; i < sizeof now / sizeof now[0]; ++i)
        EXPECT_EQ(kStartValues[i], now[i]) << i;
}

TEST_F(Conf, AllKeysAndTheSummaryLine)
{
    parse("vtstatus_workers=5\nperfdata_workers=6\nnotify_workers=7\nmax_metrics_per_service=8\n"
          "log_notifications_commands=1\nsend_notifications=0\naccept_unsigned_jobs=1\nmax_dump_file_mb=9\n"
          "perfdata_retention_days=10\nstate_history_retention_days=11\nacknowledgement_retention_days=12\n"
          "notification_retention_days=13\nended_comment_downtime_retention_days=14\n"
          "flapping_retention_days=15\nretention_chunk_rows=16\nretention_pause_ms=17\n"
          "retention_interval_seconds=18\n");
    EXPECT_EQ(5, VTSTATUS_WORKERS);
    EXPECT_EQ(6, PERFDATA_WORKERS);
    EXPECT_EQ(7, NOTIFY_WORKERS);
    EXPECT_EQ(8, VT_MAX_METRICS);
    EXPECT_EQ(1, VT_LOG_NOTIFICATIONS_COMMANDS);
    EXPECT_EQ(0, VT_SEND_NOTIFICATIONS);
    EXPECT_EQ(18, VT_RETENTION_INTERVAL_S);
    std::string log = vtt::read_file(logfile);
    EXPECT_NE(std::string::npos,
              log.find(std::string("Reading ") + VT_CONNECTOR_CONF +
                       " read\n\tVTSTATUS_WORKERS 5\n\tPERFDATA_WORKERS 6\n\tNOTIFY_WORKERS 7\n"
                       "\tVT_MAX_METRICS 8\n\tVT_LOG_NOTIFICATIONS_COMMANDS 1\n\tVT_SEND_NOTIFICATIONS 0\n"
                       "\tVT_ACCEPT_UNSIGNED_JOBS 1\n\tVT_MAX_DUMP_FILE_MB 9\n\tPERFDATA_RETENTION_DAYS 10\n"
                       "\tVT_STATE_HISTORY_RETENTION_DAYS 11\n\tVT_ACKNOWLEDGEMENT_RETENTION_DAYS 12\n"
                       "\tVT_NOTIFICATION_RETENTION_DAYS 13\n\tVT_ENDED_COMMENT_DOWNTIME_RETENTION_DAYS 14\n"
                       "\tVT_FLAPPING_RETENTION_DAYS 15\n\tVT_RETENTION_CHUNK 16\n\tVT_RETENTION_PAUSE_MS 17\n"
                       "\tVT_RETENTION_INTERVAL_S 18\n\tVT_MESSAGE_WINDOW_DAYS 7\n\tVT_MAX_JOB_BYTES 16843618\n"
                       "\tVT_METRICS_LISTEN off\n\n"))
        << log;
    EXPECT_EQ(0, vtt::count_lines_containing(logfile, "not taken"));
}

// Blanks around the key, the "=" and the value are taken; comments and blank lines are quiet;
// every other line is logged once with its number and what was expected, and leaves the
// setting as it was.
TEST_F(Conf, EachLineNotTakenIsLoggedWithItsNumber)
{
    parse("vtstatus_workers = 5\n"                   // 1 taken
          "  # notify_workers=9\n"                   // 2 comment
          "VTSTATUS_WORKERS=9\n"                     // 3 unknown key
          "perfdata_workers=1=2\n"                   // 4 not a number
          "\n"                                       // 5 blank
          "\tnotify_workers=\t7 \r\n"                 // 6 taken
          "notify_workers=  -3 trailing\n"           // 7 not a number
          "max_metrics_per_service=\n"               // 8 no number
          "send_notifications=2\n"                   // 9 out of range
          "retention_chunk_rows=0\n"                 // 10 out of range
          "vtstatus_workers=99999999999\n"           // 11 beyond any int
          "just some words\n"                        // 12 no "="
          "=4\n"                                     // 13 no key
          "perfdata_workers=6");                     // 14 taken without a line break
    EXPECT_EQ(5, VTSTATUS_WORKERS);
    EXPECT_EQ(6, PERFDATA_WORKERS);
    EXPECT_EQ(7, NOTIFY_WORKERS);
    EXPECT_EQ(100, VT_MAX_METRICS);
    EXPECT_EQ(1, VT_SEND_NOTIFICATIONS);
    EXPECT_EQ(5000, VT_RETENTION_CHUNK);
    const std::string at = std::string("ERROR ") + VT_CONNECTOR_CONF + " line ";
    const std::pair<int, std::string> wrong[] = {
        {3, "unknown key \"VTSTATUS_WORKERS\""},
        {4, "\"1=2\" is not a whole number: expected perfdata_workers=<-2147483648..256> (kept 4)"},
        {7, "\"-3 trailing\" is not a whole number: expected notify_workers=<-2147483648..256> (kept 7)"},
        {8, "\"\" is not a whole number: expected max_metrics_per_service=<0..1000000> (kept 100)"},
        {9, "2 is out of range: expected send_notifications=<0..1> (kept 1)"},
        {10, "0 is out of range: expected retention_chunk_rows=<1..1000000> (kept 5000)"},
        {11, "\"99999999999\" is not a whole number: expected vtstatus_workers=<-2147483648..256> (kept 5)"},
        {12, "no \"=\": expected key=number"},
        {13, "unknown key \"\""},
    };
    for (const auto &w : wrong)
        EXPECT_EQ(1, vtt::count_lines_containing(logfile, at + std::to_string(w.first) + " not taken: " + w.second))
            << w.first << "\n" << vtt::read_file(logfile);
    EXPECT_EQ(static_cast<long>(sizeof wrong / sizeof wrong[0]), vtt::count_lines_containing(logfile, "not taken"));
}

TEST_F(Conf, RepeatedKeysAndLongLines)
{
    parse("vtstatus_workers=1\nvtstatus_workers=2\n" + std::string(400, 'x') + "\nmax_metrics_per_service=7\n");
    EXPECT_EQ(2, VTSTATUS_WORKERS);  // the last of a repeated key wins
    EXPECT_EQ(7, VT_MAX_METRICS);    // a long line is one line, not several
    EXPECT_EQ(1, vtt::count_lines_containing(logfile, " line 3 not taken: no \"=\""));
    parse("");
    EXPECT_EQ(2, VTSTATUS_WORKERS);
}

}  // namespace

namespace {

// Runs drop_privileges in a child (it changes the process's ids for good) and reports its
// result and the user it ended up as.
struct DropResult {
    int result;
    uid_t uid;
    gid_t gid;
};
DropResult drop_in_child(const char *user, const char *group)
{
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    pid_t p = fork();
    if (p == 0) {
        DropResult r{drop_privileges(user, group), getuid(), getgid()};
        if (write(fds[1], &r, sizeof r) != sizeof r)
            _exit(1);
        _exit(0);
    }
    close(fds[1]);
    DropResult r{99, 0, 0};
    EXPECT_EQ(static_cast<ssize_t>(sizeof r), read(fds[0], &r, sizeof r));
    close(fds[0]);
    waitpid(p, nullptr, 0);
    return r;
}

TEST_F(Conf, DropPrivilegesByNameAndNumber)
{
    struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nullptr, nobody);
    DropResult r = drop_in_child("nobody", std::to_string(nobody->pw_gid).c_str());
    EXPECT_EQ(0, r.result);
    EXPECT_EQ(nobody->pw_uid, r.uid);
    EXPECT_EQ(nobody->pw_gid, r.gid);
}

TEST_F(Conf, UnknownGroupStillSwitchesTheUser)
{
    struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nullptr, nobody);
    DropResult r = drop_in_child("nobody", "no-such-group-here");
    EXPECT_EQ(-2, r.result);
    EXPECT_EQ(nobody->pw_uid, r.uid);
    EXPECT_EQ(1, vtt::count_lines_containing(logfile, "Warning: Could not get group entry for 'no-such-group-here'"));
    EXPECT_EQ(1, vtt::count_lines_containing(logfile, "Warning: Could not set effective GID=-1"));
    r = drop_in_child("no-such-user-here", nullptr);
    EXPECT_EQ(-2, r.result);
    EXPECT_EQ(0u, r.uid);
    EXPECT_EQ(1, vtt::count_lines_containing(logfile, "Warning: Could not get passwd entry for 'no-such-user-here'"));
}

}  // namespace
