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
    static void defaults()
    {
        VTSTATUS_WORKERS = 3;
        PERFDATA_WORKERS = 4;
        NOTIFY_WORKERS = 2;
        VT_MAX_METRICS = 100;
        VT_LOG_NOTIFICATIONS_COMMANDS = 0;
        VT_SEND_NOTIFICATIONS = 1;
    }
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

TEST_F(Conf, AllKeysAndTheSummaryLine)
{
    parse("vtstatus_workers=5\nperfdata_workers=6\nnotify_workers=7\nmax_metrics_per_service=8\n"
          "log_notifications_commands=1\nsend_notifications=0\n");
    EXPECT_EQ(5, VTSTATUS_WORKERS);
    EXPECT_EQ(6, PERFDATA_WORKERS);
    EXPECT_EQ(7, NOTIFY_WORKERS);
    EXPECT_EQ(8, VT_MAX_METRICS);
    EXPECT_EQ(1, VT_LOG_NOTIFICATIONS_COMMANDS);
    EXPECT_EQ(0, VT_SEND_NOTIFICATIONS);
    std::string log = vtt::read_file(logfile);
    EXPECT_NE(std::string::npos, log.find(std::string("Reading ") + VT_CONNECTOR_CONF +
                                          " read\n\tVTSTATUS_WORKERS 5\n\tPERFDATA_WORKERS 6\n\tNOTIFY_WORKERS 7\n"
                                          "\tVT_MAX_METRICS 8\n\tVT_LOG_NOTIFICATIONS_COMMANDS 1\n"
                                          "\tVT_SEND_NOTIFICATIONS 0\n\n"));
}

TEST_F(Conf, KeysMatchWholeAndExactly)
{
    parse("vtstatus_workers = 5\n#notify_workers=9\nVTSTATUS_WORKERS=9\nperfdata_workers=1=2\n=4\n\n"
          "notify_workers=  -3 trailing\n");
    EXPECT_EQ(3, VTSTATUS_WORKERS);
    EXPECT_EQ(1, PERFDATA_WORKERS);  // the value ends at the next "="
    EXPECT_EQ(-3, NOTIFY_WORKERS);   // leading blanks skipped, conversion stops at the first non-digit
}

TEST_F(Conf, EmptyValueIsZeroOnlyWithALineBreak)
{
    parse("perfdata_workers=\nnotify_workers=");
    EXPECT_EQ(0, PERFDATA_WORKERS);
    EXPECT_EQ(2, NOTIFY_WORKERS);
    parse("vtstatus_workers=1\nvtstatus_workers=2\n" + std::string(400, 'x') + "\nmax_metrics_per_service=x\n");
    EXPECT_EQ(2, VTSTATUS_WORKERS);  // the last of a repeated key wins; long lines are harmless
    EXPECT_EQ(0, VT_MAX_METRICS);
}

TEST_F(Conf, EmptyFileAndNoLineBreak)
{
    parse("");
    EXPECT_EQ(3, VTSTATUS_WORKERS);
    parse("vtstatus_workers=9");
    EXPECT_EQ(9, VTSTATUS_WORKERS);
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
