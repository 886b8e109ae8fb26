// The notification command runner and the notification workers, run as root against the real
// job server: results, limits, output, the user commands run as and what they inherit.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_message_id.h"
#include "vt_notify.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Outcome {
    int result;
    int early;
    double seconds;
    std::string output;  // "(none)" when no output was handed out
};

Outcome run(const std::string &cmd, int timeout = 10, int max_output = 0)
{
    Outcome r{-1, -1, -1, "(none)"};
    char *out = nullptr;
    r.result = vt_system_r(cmd.c_str(), timeout, &r.early, &r.seconds, &out, max_output);
    if (out)
        r.output = out;
    free(out);
    return r;
}

// Gone, or a zombie nobody reaps yet: either way it runs no more.
bool not_running(pid_t pid)
{
    std::string stat = vtt::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && stat.compare(close + 2, 1, "Z") == 0);
}

class Runner : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtt::init_runtime("vantorconnector");
        vt_log_create_mode = 0666;
        vtt::remove_file(logfile);
        VT_SEND_NOTIFICATIONS = 1;
        VT_LOG_NOTIFICATIONS_COMMANDS = 1;
        // A place the notification user may write to.
        mkdir(dir.c_str(), 0777);
        chmod(dir.c_str(), 0777);
        for (const std::string &f : vtt::list_dir(dir))
            vtt::remove_file(dir + "/" + f);
    }
    void TearDown() override
    {
        vt_notify_user = "vtuser";
        vt_notify_group = "vtuser";
        vtt::kill_and_reap(workers);
        vtt::gearmand_start();
        vtt::gearman_drain("vtdb_notify");
    }
    static long log_lines(const std::string &needle) { return vtt::count_lines_containing(logfile, needle); }
    const std::string dir = vtt::path("/var/notify-test");
    std::vector<pid_t> workers;
};

TEST_F(Runner, ResultsOutputAndLogLines)
{
    struct Case {
        const char *cmd;
        int result;
        const char *output;
    } cases[] = {
        {"printf 'first line\\nsecond line\\n'; exit 0", 0, "first line\nsecond line\n"},
        {"echo warn; exit 1", 1, "warn\n"},
        {"exit 2", 2, "(none)"},
        {"exit 7", 3, "(none)"},
        {"/no/such/notifier --now", 3, "(none)"},  // the shell's 127
        {"kill -TERM $$", 3, "(none)"},           // ended by a signal: a failure, not success
    };
    for (const Case &c : cases) {
        Outcome r = run(c.cmd);
        EXPECT_EQ(c.result, r.result) << c.cmd;
        EXPECT_EQ(0, r.early) << c.cmd;
        EXPECT_EQ(c.output, r.output) << c.cmd;
    }
    EXPECT_EQ(1, log_lines("NOTIFICATION DONE: CMD=( printf 'first line\\nsecond line\\n'; exit 0 ) Execution time="));
    EXPECT_EQ(1, log_lines("early timeout=0, result=0, output=first line"));
    EXPECT_EQ(1, log_lines("NOTIFICATION WARNING: Warning: Attempting to execute the command \"/no/such/notifier --now\" "
                           "resulted in a return code of 127."));
    EXPECT_EQ(6, log_lines("NOTIFICATION BEFORE RUN : CMD=( "));

    // The cut, and no output wanted at all.
    EXPECT_EQ("abc", run("echo abcdef", 10, 3).output);
    EXPECT_EQ(0, vt_system_r("echo x", 10, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(0, vt_system_r(nullptr, 10, nullptr, nullptr, nullptr, 0));

    // Execution time to the millisecond.
    Outcome timed = run("sleep 0.25");
    EXPECT_GE(timed.seconds, 0.25);
    EXPECT_LT(timed.seconds, 1.0);
    EXPECT_NEAR(0.0, timed.seconds * 1000 - std::round(timed.seconds * 1000), 1e-6);
}

TEST_F(Runner, SendingSwitchedOffRunsNothing)
{
    VT_SEND_NOTIFICATIONS = 0;
    std::string marker = dir + "/ran";
    EXPECT_EQ(0, run("touch " + marker).result);
    EXPECT_FALSE(vtt::exists(marker));
    EXPECT_EQ(1, log_lines("NOTIFICATION DEBUG : CMD=( touch " + marker + " )"));
    EXPECT_EQ(0, log_lines("NOTIFICATION BEFORE RUN"));
}

TEST_F(Runner, TimeoutEndsTheWholeProcessGroup)
{
    std::string pids = dir + "/pids";
    Outcome r = run("sleep 30 & echo $! > " + pids + "; echo $$ >> " + pids + "; sleep 30", 1);
    EXPECT_EQ(2, r.result);
    EXPECT_EQ(1, r.early);
    EXPECT_EQ("(none)", r.output);
    EXPECT_GE(r.seconds, 1.0);
    EXPECT_LT(r.seconds, 3.0);
    std::string text = vtt::read_file(pids);
    ASSERT_FALSE(text.empty());
    std::istringstream in(text);
    for (pid_t p; in >> p;)
        EXPECT_TRUE(vtt::wait_until([&] { return not_running(p); }, 3000)) << "process " << p << " survived";
    EXPECT_EQ(1, log_lines("early timeout=1, result=2, output=(null)"));
}

// What a command starts and detaches (setsid, a session of its own that no signal to its
// group reaches) is still ended at the command's limit; what it leaves running is waited for
// up to that limit, and no longer.
TEST_F(Runner, DetachedProcessesEndAtTheLimit)
{
    auto pid_in = [](const std::string &file) {
        vtt::wait_until([&] { return !vtt::read_file(file).empty(); }, 3000);
        return static_cast<pid_t>(std::atol(vtt::read_file(file).c_str()));
    };
    auto detached = [&](const std::string &file) {
        return "setsid sh -c 'echo $$ > " + dir + "/" + file + "; exec sleep 30' </dev/null >/dev/null 2>&1 &";
    };

    Outcome overran = run(detached("overran") + " sleep 30", 2);
    EXPECT_EQ(2, overran.result);
    EXPECT_EQ(1, overran.early);
    EXPECT_LT(overran.seconds, 5.0);
    pid_t p = pid_in(dir + "/overran");
    ASSERT_GT(p, 0);
    EXPECT_TRUE(not_running(p)) << "the detached process outlived the limit";

    Outcome left = run(detached("left"), 2);
    EXPECT_EQ(0, left.result);
    EXPECT_EQ(0, left.early);
    EXPECT_GE(left.seconds, 2.0);
    EXPECT_LT(left.seconds, 5.0);
    p = pid_in(dir + "/left");
    ASSERT_GT(p, 0);
    EXPECT_TRUE(not_running(p)) << "what the command left outlived its limit";
    EXPECT_EQ(1, log_lines("left processes running that were ended at its 2-second limit"));

    // Something left behind that ends by itself is waited for, not ended.
    Outcome waited = run("(sleep 0.3; echo done > " + dir + "/later) >/dev/null 2>&1 &", 10);
    EXPECT_EQ(0, waited.result);
    EXPECT_LT(waited.seconds, 5.0);
    EXPECT_EQ("done\n", vtt::read_file(dir + "/later"));
}

TEST_F(Runner, CommandsRunAsTheNotificationUserWithNothingInherited)
{
    ASSERT_EQ(0u, getuid()) << "the tests run as root";
    struct passwd *pw = getpwnam("vtuser");
    ASSERT_NE(nullptr, pw) << "the test services create vtuser";
    // Descriptors without close-on-exec, as a worker's database and job-server sockets are.
    std::string marker = dir + "/leak-marker";
    int leaked_file = open(marker.c_str(), O_RDWR | O_CREAT, 0644);
    int leaked_socket = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(leaked_file, 0);
    ASSERT_GE(leaked_socket, 0);
    // Root's own supplementary groups, which a command must not keep.
    gid_t root_groups[] = {0, 4};
    ASSERT_EQ(0, setgroups(2, root_groups));

    Outcome r = run("id -u; id -G; ls -l /proc/$$/fd");
    close(leaked_file);
    close(leaked_socket);
    ASSERT_EQ(0, r.result) << r.output;
    int ngroups = 64;
    gid_t groups[64];
    ASSERT_GE(getgrouplist("vtuser", pw->pw_gid, groups, &ngroups), 0);
    std::string expected = std::to_string(pw->pw_uid) + "\n";
    for (int i = 0; i < ngroups; i++)
        expected += (i ? " " : "") + std::to_string(groups[i]);
    EXPECT_EQ(0u, r.output.rfind(expected + "\n", 0)) << r.output;  // no root group left
    EXPECT_NE(std::string::npos, r.output.find("pipe:")) << r.output;
    EXPECT_EQ(std::string::npos, r.output.find("leak-marker")) << r.output;
    EXPECT_EQ(std::string::npos, r.output.find("socket:")) << r.output;

    // Nothing of the worker's environment, working directory or file-creation mask either.
    ASSERT_EQ(0, setenv("VT_TEST_SECRET", "hunter2", 1));
    ASSERT_EQ(0, setenv("LANG", "C.UTF-8", 1));
    ASSERT_EQ(0, chdir(dir.c_str()));
    mode_t old_mask = umask(0);
    r = run("env | sort; pwd; umask");
    umask(old_mask);
    chdir("/");
    unsetenv("VT_TEST_SECRET");
    ASSERT_EQ(0, r.result) << r.output;
    EXPECT_EQ(std::string("HOME=") + pw->pw_dir + "\nLANG=C.UTF-8\nLOGNAME=vtuser\nPATH=/usr/local/bin:/usr/bin:/bin\n"
              "PWD=/\nSHELL=/bin/sh\nUSER=vtuser\n/\n0077\n", r.output);

    // A notification user that cannot be used: nothing runs as root.
    vt_notify_user = "no-such-vt-user";
    std::string ran = dir + "/ran-as-root";
    EXPECT_EQ(3, run("touch " + ran).result);
    EXPECT_EQ(-2, vt_process_delayed_notification(("touch " + ran).c_str()));
    EXPECT_FALSE(vtt::exists(ran));
}

TEST_F(Runner, GrowableBuffer)
{
    dbuf db;
    ASSERT_EQ(0, dbuf_init(&db, 8));
    EXPECT_EQ(nullptr, db.buf);
    EXPECT_EQ(-2, dbuf_strcat(&db, nullptr));
    EXPECT_EQ(-2, dbuf_strcat(nullptr, "x"));
    EXPECT_EQ(0, dbuf_strcat(&db, "12345678"));  // needs 9: two chunks
    EXPECT_EQ(16u, db.allocated_size);
    EXPECT_EQ(0, dbuf_strcat(&db, "9"));
    EXPECT_EQ("123456789", std::string(db.buf));
    EXPECT_EQ(9u, db.used_size);
    EXPECT_EQ(0, dbuf_free(&db));
    EXPECT_EQ(nullptr, db.buf);
    EXPECT_EQ(0u, db.allocated_size);
    EXPECT_EQ(-2, dbuf_free(nullptr));
}

// The worker frame with the notification job function: as root it takes no job until it
// can run as the notification user, then runs them as that user.
TEST_F(Runner, WorkerWaitsForItsUserThenRunsJobsAsIt)
{
    vtdb_populate_job_servers_list();
    vtt::gearmand_start();
    vtt::gearman_drain("vtdb_notify");
    vt_notify_user_retry_seconds = 1;
    vt_notify_user = "no-such-vt-user";
    workers.push_back(vt_notify_gm_dispatcher());
    ASSERT_GT(workers.back(), 0);
    std::string out = dir + "/delivered";
    vtt::gearman_submit("vtdb_notify", "id -un >> " + out);
    ASSERT_TRUE(vtt::wait_until([] { return log_lines("takes no jobs until it can run as no-such-vt-user") >= 2; }, 8000));
    EXPECT_EQ(1, vtt::gearman_queued("vtdb_notify"));
    EXPECT_FALSE(vtt::exists(out));
    EXPECT_EQ(0u, vtt::gearman_status()["vtdb_notify"].workers);

    vt_notify_user = "vtuser";
    workers.push_back(vt_notify_gm_dispatcher());
    ASSERT_TRUE(vtt::wait_until([&] { return vtt::read_file(out) == "vtuser\n"; }, 10000)) << vtt::read_file(out);
    struct stat st;
    ASSERT_EQ(0, stat(out.c_str(), &st));
    EXPECT_EQ(getpwnam("vtuser")->pw_uid, st.st_uid);
    EXPECT_EQ(0, vtt::gearman_queued("vtdb_notify"));
    EXPECT_EQ(1, log_lines("processing vtdb_notify queue - pid " + std::to_string(workers.back())));
}


// A notification run while the database was away is recorded once it is back (with the next
// job), so that a copy of it replayed from a dump file then is skipped instead of run again.
TEST_F(Runner, NotificationRunWhileTheDatabaseWasAwayIsRecordedLater)
{
    vtdb_populate_job_servers_list();
    vtt::gearmand_start();
    vtt::gearman_drain("vtdb_notify");
    const std::string run = "00c0ffee00000078";
    vtt::Sql().exec("DELETE FROM vtcfg.message_done WHERE run_id='" + run + "'");
    workers.push_back(vt_notify_gm_dispatcher());
    ASSERT_GT(workers.back(), 0);
    const std::string out = dir + "/away";
    vtt::gearman_submit("vtdb_notify", "echo up >> " + out);  // the worker runs, with the database
    ASSERT_TRUE(vtt::wait_until([&] { return vtt::read_file(out) == "up\n"; }, 10000));
    vtt::remove_file(out);
    vtt::mariadb_stop();
    vtt::gearman_submit("vtdb_notify", vt::message_id_prefix(run, 1) + "echo a >> " + out);
    const bool ran = vtt::wait_until([&] { return vtt::read_file(out) == "a\n"; }, 10000);
    vtt::mariadb_start();
    ASSERT_TRUE(ran) << "the notification did not run while the database was away";
    vtt::gearman_submit("vtdb_notify", vt::message_id_prefix(run, 2) + "echo b >> " + out);
    ASSERT_TRUE(vtt::wait_until([&] { return vtt::read_file(out) == "a\nb\n"; }, 10000)) << vtt::read_file(out);
    vtt::Sql sql;
    EXPECT_TRUE(vtt::wait_until([&] { return sql.count("vtcfg.message_done WHERE run_id='" + run + "'") == 2; }, 5000))
        << "the notification run while the database was away was never recorded";
    EXPECT_EQ(1, sql.count("vtcfg.message_done WHERE run_id='" + run + "' AND first_seq=1 AND last_seq=1"));
    sql.exec("DELETE FROM vtcfg.message_done WHERE run_id='" + run + "'");
}
}  // namespace

namespace {

// The daemon as a user runs it: the PIDs line names the notification workers, they run as
// the notification user, deliver jobs, and one that dies is replaced.
TEST_F(Runner, DaemonSupervisesNotificationWorkers)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string conf_saved = vtt::read_file(VT_CONNECTOR_CONF);
    vtt::write_file(VT_CONNECTOR_CONF, "vtstatus_workers=1\nperfdata_workers=0\nnotify_workers=2\n");
    vtt::remove_file(VT_LOCK_FILE);
    vtt::gearmand_start();
    vtt::gearman_drain("vtdb_notify");
    pid_t supervisor = vtt::start_daemon();
    vtt::write_file(VT_CONNECTOR_CONF, conf_saved);
    ASSERT_GT(supervisor, 0);

    std::string text = vtt::read_file(logfile);
    size_t at = text.find(" - notify_gm ");
    ASSERT_NE(std::string::npos, at);
    std::istringstream ids(text.substr(at + 13, text.find('\n', at) - at - 13));
    std::vector<pid_t> notify;
    for (pid_t p; ids >> p;)
        notify.push_back(p);
    ASSERT_EQ(2u, notify.size()) << text;
    uid_t vtnotify = getpwnam("vtnotify")->pw_uid;
    for (pid_t p : notify) {
        EXPECT_TRUE(vtt::wait_until([&] {
            std::string status = vtt::read_file("/proc/" + std::to_string(p) + "/status");
            return status.find("\nUid:\t" + std::to_string(vtnotify) + "\t") != std::string::npos;
        }, 5000)) << "worker " << p << " does not run as vtnotify";
    }

    std::string out = dir + "/daemon-delivered";
    vtt::gearman_submit("vtdb_notify", "id -un >> " + out);
    EXPECT_TRUE(vtt::wait_until([&] { return vtt::read_file(out) == "vtuser\n"; }, 10000));

    kill(notify[0], SIGKILL);
    EXPECT_TRUE(vtt::wait_until(
        [&] { return log_lines("ERROR notify_gm child died " + std::to_string(notify[0]) + ", restarting") == 1; },
        8000));
    EXPECT_TRUE(vtt::wait_until([&] { return vtt::gearman_status()["vtdb_notify"].workers == 2; }, 8000));
    vtt::stop_daemon(supervisor);
}

// Stopping the daemon while notification commands run ends them and what they detached too,
// and the workers stop within their grace instead of being killed.
TEST_F(Runner, DaemonStopEndsRunningCommands)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    vtt::gearmand_start();
    vtt::gearman_drain("vtdb_notify");
    vtt::ScopedDaemon daemon("vtstatus_workers=2\nperfdata_workers=1\nnotify_workers=2\n");
    ASSERT_GT(daemon.pid(), 0);
    std::vector<std::string> pid_files;
    for (int i = 0; i < 2; i++) {
        pid_files.push_back(dir + "/stop-pids-" + std::to_string(i));
        // A background child and the shell itself, both in the command's group, and a
        // process in a session of its own.
        const std::string f = pid_files.back();
        vtt::gearman_submit("vtdb_notify", "setsid sh -c 'echo $$ > " + f + ".s; exec sleep 15' </dev/null >/dev/null 2>&1 & "
                                           "sleep 15 & echo $! > " + f + ".tmp; echo $$ >> " + f + ".tmp; "
                                           "while [ ! -s " + f + ".s ]; do sleep 0.05; done; cat " + f + ".s >> " + f +
                                           ".tmp; mv " + f + ".tmp " + f + "; sleep 15");
    }
    ASSERT_TRUE(vtt::wait_until([&] { return vtt::exists(pid_files[0]) && vtt::exists(pid_files[1]); }, 10000));
    std::vector<pid_t> commands;
    for (const std::string &f : pid_files) {
        std::istringstream in(vtt::read_file(f));
        for (pid_t p; in >> p;)
            commands.push_back(p);
    }
    ASSERT_EQ(6u, commands.size());

    ASSERT_EQ(0, kill(daemon.pid(), SIGTERM));
    EXPECT_TRUE(vtt::wait_until([&] {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        return kill(daemon.pid(), 0) != 0;
    }, 12000));
    for (pid_t p : commands)
        EXPECT_TRUE(not_running(p)) << "command process " << p << " outlived the daemon";
    EXPECT_EQ(2, log_lines("ended with its process group on signal 15"));
    EXPECT_EQ(1, log_lines(", 0 of them killed after"));
    for (pid_t p : commands)
        if (!not_running(p))
            kill(p, SIGKILL);  // what a failed run left
}

// A notification whose command is about to end when the daemon is stopped is let finish and
// recorded: it is neither cut short nor run again by the daemon started next.
TEST_F(Runner, DaemonStopLetsAShortCommandFinishAndRunOnce)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    vtt::gearmand_start();
    vtt::gearman_drain("vtdb_notify");
    const std::string run = "00c0ffee00000077";
    vtt::Sql sql;
    sql.exec("DELETE FROM vtcfg.message_done WHERE run_id='" + run + "'");
    const std::string started = dir + "/finish-started", out = dir + "/finish-done";
    const std::string conf = "vtstatus_workers=1\nperfdata_workers=0\nnotify_workers=1\n";
    {
        vtt::ScopedDaemon daemon(conf);
        ASSERT_GT(daemon.pid(), 0);
        vtt::gearman_submit("vtdb_notify", vt::message_id_prefix(run, 1) + "touch " + started + "; sleep 1; echo done >> " +
                                               out);
        ASSERT_TRUE(vtt::wait_until([&] { return vtt::exists(started); }, 10000));
        ASSERT_EQ(0, kill(daemon.pid(), SIGTERM));
        EXPECT_TRUE(vtt::wait_until([&] {
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            return kill(daemon.pid(), 0) != 0;
        }, 12000));
        EXPECT_EQ("done\n", vtt::read_file(out)) << "the command was cut short by the stop";
        EXPECT_EQ(0, log_lines("ended with its process group on signal"));
    }
    EXPECT_EQ(1, sql.count("vtcfg.message_done WHERE run_id='" + run + "'"));
    vtt::ScopedDaemon again(conf);
    ASSERT_GT(again.pid(), 0);
    EXPECT_TRUE(vtt::wait_until([&] { return vtt::gearman_status()["vtdb_notify"].workers == 1; }, 10000));
    sleep(2);
    EXPECT_EQ("done\n", vtt::read_file(out)) << "the notification ran again after the restart";
    EXPECT_EQ(0, vtt::gearman_queued("vtdb_notify"));
    sql.exec("DELETE FROM vtcfg.message_done WHERE run_id='" + run + "'");
}

}  // namespace
