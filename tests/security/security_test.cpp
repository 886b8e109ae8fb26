// The root daemon beside an unprivileged owner of var/: each attack of that user is run against
// the daemon, which touches nothing outside its root, runs nothing it was handed, and keeps working.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sys/file.h>
#include <vector>
#include <grp.h>
#include <pwd.h>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"
#include "vt_batch.h"
#include "vt_delayed.h"
#include "vt_log.h"
#include "vantor_config.h"

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

class SecurityTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: the daemon runs as root and the attacks as nobody";
        armed = true;
        vtt::init_runtime("securitytest");
        ASSERT_EQ(0, system(("rm -rf '" + outside + "'").c_str()));
        ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
        for (const char *d : {"/var", "/var/delayed-messages", "/var/rw"})
            ASSERT_EQ(0, chown(vtt::path(d).c_str(), kNobody, kNogroup)) << d;
        clear_var();
        sql.exec("CREATE DATABASE IF NOT EXISTS vt_test");
        sql.exec("DROP TABLE IF EXISTS vt_test.sec");
        sql.exec("DROP TABLE IF EXISTS vt_test.pwned");
        sql.exec("CREATE TABLE vt_test.sec (n INT AUTO_INCREMENT PRIMARY KEY, v TEXT)");
        sql.exec("DELETE FROM vantor4.vantor_cmd");
        log_offset = vtt::read_file(vtt::daemon_log()).size();
    }
    void TearDown() override
    {
        if (!armed)
            return;
        vtt::stop_daemon(daemon);
        if (reader >= 0)
            close(reader);
        end_holder(holder);
        struct stat st;
        if (lstat(vtt::path("/var/run.away").c_str(), &st) == 0) {
            system(("rm -rf '" + vtt::path("/var/run") + "'").c_str());
            rename(vtt::path("/var/run.away").c_str(), vtt::path("/var/run").c_str());
        }
        unlink(vtt::path("/var/vantorconnector.lock").c_str());
        clear_var();
        for (const char *d : {"/var", "/var/delayed-messages", "/var/rw"})
            chown(vtt::path(d).c_str(), 0, 0);
        system(("rm -rf '" + outside + "'").c_str());
        sql.exec("DELETE FROM vantor4.vantor_cmd");
    }
    // Whatever an attack left in var/: the folders back as real folders, no planted name left.
    void clear_var()
    {
        for (const char *d : {"/var/delayed-messages", "/var/rw"}) {
            struct stat st;
            if (lstat(vtt::path(d).c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
                unlink(vtt::path(d).c_str());
            if (lstat(vtt::path(std::string(d) + ".away").c_str(), &st) == 0)
                rename(vtt::path(std::string(d) + ".away").c_str(), vtt::path(d).c_str());
        }
        for (const std::string &f : vtt::list_dir(VT_DELAYED_DIR))
            unlink((VT_DELAYED_DIR + f).c_str());
        for (const char *f : {"/var/vtsql.errors", "/var/rw/vantor.cmd", "/var/rw/engine.fifo", "/var/rw/swap",
                              "/var/vantorconnector-delayed-messages.txt"})
            unlink(vtt::path(f).c_str());
        unlink(VT_DUMP_FILE);
        struct stat st;
        if (lstat(vtt::daemon_log().c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            unlink(vtt::daemon_log().c_str());
    }
    // Runs what the unprivileged user does, in a child switched to nobody; true when it
    // returned true.
    static bool as_nobody(const std::function<bool()> &attack)
    {
        pid_t pid = fork();
        if (pid == 0) {
            bool ok = setgroups(0, nullptr) == 0 && setgid(kNogroup) == 0 && setuid(kNobody) == 0 && attack();
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    // Runs setup as nobody in a child that then stays (holding what setup opened or locked)
    // until it is killed; its pid once setup returned true, else -1.
    static pid_t hold_as_nobody(const std::function<bool()> &setup)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return -1;
        pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            bool ok = setgroups(0, nullptr) == 0 && setgid(kNogroup) == 0 && setuid(kNobody) == 0 && setup();
            char c = ok ? 'y' : 'n';
            if (write(ready[1], &c, 1) != 1 || !ok)
                _exit(1);
            for (;;)
                pause();
        }
        close(ready[1]);
        char c = 0;
        bool ok = pid > 0 && read(ready[0], &c, 1) == 1 && c == 'y';
        close(ready[0]);
        if (!ok && pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        return ok ? pid : -1;
    }
    static void end_holder(pid_t &pid)
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    // Starts the daemon binary as an operator does; its exit status.
    static int run_daemon_binary()
    {
        pid_t pid = fork();
        if (pid == 0) {
            execl(vtt::daemon_binary().c_str(), "vantorconnector", static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // The supervisor once the daemon logged its children, or 0.
    pid_t running_daemon()
    {
        pid_t pid = 0;
        vtt::wait_until([&] {
            if (!logged("PIDs Main process "))
                return false;
            pid = static_cast<pid_t>(std::strtol(vtt::read_file(VT_LOCK_FILE).c_str(), nullptr, 10));
            return pid > 0 && kill(pid, 0) == 0;
        }, 20000);
        return pid;
    }
    // The daemon started with these settings (the file is restored afterwards).
    pid_t start_daemon_with(const std::string &conf)
    {
        const std::string saved = vtt::read_file(VT_CONNECTOR_CONF);
        vtt::write_file(VT_CONNECTOR_CONF, conf);
        pid_t pid = vtt::start_daemon();
        vtt::write_file(VT_CONNECTOR_CONF, saved);
        return pid;
    }
    // Pids the daemon's log names after "<what> - pid ", since the test began.
    std::vector<pid_t> logged_pids(const std::string &what)
    {
        std::vector<pid_t> pids;
        const std::string text = new_log(), key = what + " - pid ";
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1))
            pids.push_back(static_cast<pid_t>(std::strtol(text.c_str() + at + key.size(), nullptr, 10)));
        return pids;
    }
    static std::string proc_field(pid_t pid, const std::string &field)
    {
        const std::string status = vtt::read_file("/proc/" + std::to_string(pid) + "/status");
        size_t at = status.find("\n" + field + ":");
        return at == std::string::npos ? "" : status.substr(at + field.size() + 2, status.find('\n', at + 1) - at - field.size() - 2);
    }

    // A dump file as the module moves it in, written by nobody, with the given age.
    static bool plant_dump(const std::string &name, const std::string &lines, int age = 0)
    {
        const std::string tmp = vtt::path("/var/plant.tmp"), target = VT_DELAYED_DIR + name;
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        bool ok = fd >= 0 && write(fd, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size());
        const struct timespec t[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
        ok = ok && futimens(fd, t) == 0 && close(fd) == 0;
        return ok && rename(tmp.c_str(), target.c_str()) == 0;
    }
    // A file of the given size made by truncate: all of it a hole.
    static bool truncate_new(const std::string &p, off_t size)
    {
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        return fd >= 0 && ftruncate(fd, size) == 0 && close(fd) == 0;
    }
    static bool plant_file(const std::string &p, const std::string &text)
    {
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        return fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && close(fd) == 0;
    }
    static std::string insert(const std::string &v)
    {
        return "vtdb_vtstatus\tINSERT INTO vt_test.sec (v) VALUES ('" + v + "')\n";
    }
    long rows_with(const std::string &v) { return sql.count("vt_test.sec WHERE v='" + v + "'"); }
    std::string new_log() { return vtt::read_file(vtt::daemon_log()).substr(log_offset); }
    bool logged(const std::string &text) { return new_log().find(text) != std::string::npos; }
    // The daemon's replay still carries out a dump file nobody plants.
    void expect_replay_works(const std::string &v)
    {
        ASSERT_TRUE(as_nobody([&] { return plant_dump("delayed-messages.dump-99.000000", insert(v)); }));
        EXPECT_TRUE(vtt::wait_until([&] { return rows_with(v) == 1; }, 15000)) << new_log();
    }
    static std::string mode_and_text(const std::string &p)
    {
        struct stat st;
        if (stat(p.c_str(), &st) != 0)
            return "missing";
        return std::to_string(st.st_mode & 07777) + ":" + std::to_string(st.st_uid) + ":" + vtt::read_file(p);
    }

    const std::string outside = vtt::path("/../security-outside");
    vtt::Sql sql;
    size_t log_offset = 0;
    pid_t daemon = 0;
    int reader = -1;
    pid_t holder = -1;
    bool armed = false;
};

// A linked delayed-messages folder: the replay must neither read nor delete what it names.
TEST_F(SecurityTest, ReplayFollowsNoLinkedFolder)
{
    for (int i = 1; i <= 3; ++i)
        vtt::write_file(outside + "/delayed-messages.dump-" + std::to_string(i) + ".000000", insert("outside"));
    daemon = vtt::start_daemon();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(as_nobody([&] {
        return rename(VT_PATH("/var/delayed-messages"), VT_PATH("/var/delayed-messages.away")) == 0 &&
               symlink(outside.c_str(), VT_PATH("/var/delayed-messages")) == 0;
    }));
    sleep(8);  // more than one pass
    EXPECT_EQ(3u, vtt::list_dir(outside).size());
    EXPECT_EQ(0, rows_with("outside"));
    EXPECT_TRUE(logged("ERROR refused " VT_PATH("/var/delayed-messages") ": it is a symbolic link, not a directory"))
        << new_log();

    ASSERT_TRUE(as_nobody([&] {
        return unlink(VT_PATH("/var/delayed-messages")) == 0 &&
               rename(VT_PATH("/var/delayed-messages.away"), VT_PATH("/var/delayed-messages")) == 0;
    }));
    expect_replay_works("after the link");
}

// A failing planted statement must not reach a file that a link at vtsql.errors names.
TEST_F(SecurityTest, FailedStatementIsNotAppendedThroughALink)
{
    const std::string cron = outside + "/cron-entry";
    const std::string line = "* * * * * root /bin/sh -c id>" + outside + "/executed";
    daemon = vtt::start_daemon();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(as_nobody([&] {
        return symlink(cron.c_str(), VT_FAILED_SQL_FILE) == 0 &&
               plant_dump("delayed-messages.dump-1.000000", "vtdb_vtstatus\t" + line + "\n");
    }));
    ASSERT_TRUE(vtt::wait_until([] { return vtt::list_dir(VT_DELAYED_DIR).empty(); }, 15000));
    EXPECT_TRUE(vtt::wait_until([&] { return logged("ERROR refused " VT_FAILED_SQL_FILE); }, 3000)) << new_log();
    EXPECT_EQ("missing", mode_and_text(cron));
    EXPECT_FALSE(vtt::exists(outside + "/executed"));

    // With the link gone the failed statement is kept where it belongs, and the replay goes on.
    ASSERT_TRUE(as_nobody([&] {
        return unlink(VT_FAILED_SQL_FILE) == 0 && plant_dump("delayed-messages.dump-2.000000", "vtdb_vtstatus\t" + line + "\n");
    }));
    EXPECT_TRUE(vtt::wait_until([&] { return vtt::read_file(VT_FAILED_SQL_FILE) == line + "\n"; }, 15000));
    expect_replay_works("after the link");
}

// A command pipe that is a link, to a pipe or to a root-owned file in turn: nothing is written
// through it and no row is taken as relayed; a real pipe is served afterwards.
TEST_F(SecurityTest, RelayWritesOnlyIntoTheRealPipe)
{
    const std::string victim = outside + "/victim";
    vtt::write_file(victim, "precious\n");
    for (int i = 1; i <= 3; ++i)
        sql.exec("INSERT INTO vantor4.vantor_cmd (command) VALUES ('[" + std::to_string(i) + "] CMD')");
    const std::string fifo = vtt::path("/var/rw/engine.fifo");
    ASSERT_TRUE(as_nobody([&] { return mkfifo(fifo.c_str(), 0600) == 0; }));
    reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    daemon = vtt::start_daemon();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(as_nobody([&] {
        const std::string tmp = VT_PATH("/var/rw/swap");
        for (int i = 0; i < 4000; ++i) {
            unlink(tmp.c_str());
            if (symlink(i % 2 ? victim.c_str() : fifo.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), VT_CMD_PIPE) != 0)
                return false;
            usleep(i % 2 ? 300 : 700);
        }
        return true;
    }));
    EXPECT_EQ("420:0:precious\n", mode_and_text(victim));
    EXPECT_EQ(3, sql.count("vantor4.vantor_cmd"));
    char buf[4096];
    EXPECT_LE(read(reader, buf, sizeof buf), 0);
    EXPECT_TRUE(logged("ERROR refused " VT_CMD_PIPE ": it is a symbolic link, not a named pipe")) << new_log();

    ASSERT_TRUE(as_nobody([&] { return unlink(VT_CMD_PIPE) == 0 && rename(fifo.c_str(), VT_CMD_PIPE) == 0; }));
    ASSERT_TRUE(vtt::wait_until([&] { return sql.count("vantor4.vantor_cmd") == 0; }, 5000));
    std::string got;
    ASSERT_TRUE(vtt::wait_until([&] {
        ssize_t n;
        while ((n = read(reader, buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
        return got.size() >= 24;
    }, 3000));
    EXPECT_EQ("[1] CMD\n[2] CMD\n[3] CMD\n", got);
}

// A link at the daemon's log when it starts: the file it names keeps its mode and its text.
TEST_F(SecurityTest, LogIsNeverChangedThroughALink)
{
    const std::string victim = outside + "/log-victim";
    vtt::write_file(victim, "secret\n");
    ASSERT_EQ(0, chmod(victim.c_str(), 0600));
    const std::string saved = vtt::daemon_log() + ".saved";
    ASSERT_EQ(0, rename(vtt::daemon_log().c_str(), saved.c_str()));
    ASSERT_TRUE(as_nobody([&] { return symlink(victim.c_str(), vtt::daemon_log().c_str()) == 0; }));

    const std::string err = outside + "/daemon.stderr";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDERR_FILENO);
        execl(vtt::daemon_binary().c_str(), "vantorconnector", static_cast<char *>(nullptr));
        _exit(127);
    }
    waitpid(pid, nullptr, 0);
    // Without a log it still runs: its pid in the lock file, its children started.
    EXPECT_TRUE(vtt::wait_until([&] {
        daemon = static_cast<pid_t>(std::strtol(vtt::read_file(VT_LOCK_FILE).c_str(), nullptr, 10));
        return daemon > 0 && kill(daemon, 0) == 0 && vtt::children_of(daemon).size() >= 5;
    }, 20000));
    EXPECT_EQ("384:0:secret\n", mode_and_text(victim));
    EXPECT_NE(std::string::npos, vtt::read_file(err).find("ERROR refused " + vtt::daemon_log() + ": it is a symbolic link"))
        << vtt::read_file(err);
    vtt::stop_daemon(daemon);
    daemon = 0;
    unlink(vtt::daemon_log().c_str());
    rename(saved.c_str(), vtt::daemon_log().c_str());
    log_offset = vtt::read_file(vtt::daemon_log()).size();
}

// A listed dump file swapped for a named pipe while the replay is busy with an older one: the
// replay must not wait on the pipe for ever, and later dump files are still carried out.
TEST_F(SecurityTest, ReplayIsNotBlockedByAPipeSwappedIn)
{
    ASSERT_TRUE(as_nobody([&] {
        return plant_dump("delayed-messages.dump-1.000000", "vtdb_vtstatus\tSELECT SLEEP(3)\n", 30) &&
               plant_dump("delayed-messages.dump-2.000000", insert("swapped"), 20);
    }));
    daemon = vtt::start_daemon();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(vtt::wait_until([&] {
        return sql.count("information_schema.processlist WHERE info = 'SELECT SLEEP(3)'") == 1;
    }, 15000));
    ASSERT_TRUE(as_nobody([&] {
        const std::string tmp = VT_PATH("/var/delayed-messages/.pipe");
        return mkfifo(tmp.c_str(), 0600) == 0 && rename(tmp.c_str(), VT_DELAYED_DIR "delayed-messages.dump-2.000000") == 0;
    }));
    expect_replay_works("after the pipe");
    EXPECT_EQ(0, rows_with("swapped"));
    EXPECT_TRUE(logged("ERROR refused " VT_DELAYED_DIR "delayed-messages.dump-2.000000: it is a named pipe")) << new_log();
}

// A job holding line feeds, as the module running as the engine's user dumps it: the replay
// carries out that one message, byte for byte, and nothing its text pretends to be.
TEST_F(SecurityTest, NewlineInAJobAddsNoMessage)
{
    const std::string comment = "looking\nvtdb_vtstatus\tCREATE TABLE vt_test.pwned (i INT) -- \r\nand\\more\ttabs";
    std::string quoted;
    for (char c : comment)
        quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
    ASSERT_TRUE(as_nobody([&] {
        return push_msg("vtdb_vtstatus", ("INSERT INTO vt_test.sec (v) VALUES ('" + quoted + "')").c_str(), 0) == 0 &&
               dump_msgs() == 0;
    }));
    ASSERT_EQ(1u, vtt::list_dir(VT_DELAYED_DIR).size());
    daemon = vtt::start_daemon();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(vtt::wait_until([] { return vtt::list_dir(VT_DELAYED_DIR).empty(); }, 15000));
    ASSERT_TRUE(vtt::wait_until([&] { return logged("processed "); }, 3000));
    EXPECT_TRUE(logged("processed 1 delayed messages")) << new_log();
    EXPECT_EQ(comment, sql.scalar("SELECT v FROM vt_test.sec"));
    EXPECT_EQ(0, sql.count("information_schema.tables WHERE table_schema='vt_test' AND table_name='pwned'"));
}

// Whoever reaches the job server submits jobs; nobody cannot read the key, so what it submits,
// on every queue and framed every way, is dropped: no command runs, no statement is executed,
// no value stored. The module's own signed jobs are carried out all the while.
TEST_F(SecurityTest, JobsWithoutTheKeyRunNothing)
{
    ASSERT_EQ(0, chmod(outside.c_str(), 0777));  // where the notification user could write
    const std::string conf_saved = vtt::read_file(VT_CONNECTOR_CONF);
    vtt::write_file(VT_CONNECTOR_CONF, "vtstatus_workers=1\nperfdata_workers=1\nnotify_workers=1\n");
    daemon = vtt::start_daemon();
    vtt::write_file(VT_CONNECTOR_CONF, conf_saved);
    ASSERT_GT(daemon, 0);
    const std::string now = std::to_string(time(nullptr));
    std::string batch;
    for (const std::string &m : {std::string("INSERT INTO vt_test.sec (v) VALUES ('batch')"),
                                 std::string("INSERT INTO vt_test.sec (v) VALUES ('batch too')")})
        vt::batch_append(batch, m.data(), m.size());
    const struct {
        const char *queue;
        std::string job;
    } attacks[] = {
        {"vtdb_notify", "touch " + outside + "/pwned"},
        {"vtdb_vtstatus", "CREATE TABLE vt_test.pwned (i INT)"},
        {"vtdb_statuspri", "INSERT INTO vt_test.sec (v) VALUES ('pri')"},
        {"vtdb_perfdata", now + "\t2147483000\t1\tload=1;5;10"},
        {"vtdb_vtstatus", batch},
        {"vtdb_notify", vtt::signed_job("vtdb_vtstatus", "touch " + outside + "/pwned-signed")},
    };
    ASSERT_TRUE(as_nobody([&] {
        if (open(vtt::path("/etc/vantor.key").c_str(), O_RDONLY) >= 0)
            return false;  // the key must stay out of its reach
        for (const auto &a : attacks)
            vtt::gearman_submit_unsigned(a.queue, a.job, a.queue == std::string("vtdb_perfdata"));
        return true;
    }));
    // The module's own jobs, after the attacks on each queue (one worker a queue, in order).
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.sec (v) VALUES ('module')");
    vtt::gearman_submit("vtdb_statuspri", "INSERT INTO vt_test.sec (v) VALUES ('module pri')");
    vtt::gearman_submit("vtdb_perfdata", now + "\t4243\t1\tload=1;5;10", true);
    vtt::gearman_submit("vtdb_notify", "touch " + outside + "/module");
    EXPECT_TRUE(vtt::wait_until([&] { return rows_with("module") == 1 && rows_with("module pri") == 1; }, 15000));
    EXPECT_TRUE(vtt::wait_until([&] { return vtt::exists(outside + "/module"); }, 15000)) << new_log();
    EXPECT_TRUE(vtt::wait_until([&] {
        return sql.count("information_schema.tables WHERE table_schema='vtperf' AND table_name='service_perf_4243'") == 1;
    }, 15000)) << new_log();

    EXPECT_FALSE(vtt::exists(outside + "/pwned"));
    EXPECT_FALSE(vtt::exists(outside + "/pwned-signed"));
    EXPECT_EQ(0, sql.count("information_schema.tables WHERE table_schema='vt_test' AND table_name='pwned'"));
    EXPECT_EQ(0, sql.count("information_schema.tables WHERE table_schema='vtperf' AND table_name='service_perf_2147483000'"));
    EXPECT_EQ(0, sql.count("vt_test.sec WHERE v NOT LIKE 'module%'"));
    for (const char *q : {"vtdb_notify", "vtdb_vtstatus", "vtdb_statuspri", "vtdb_perfdata"})
        EXPECT_TRUE(logged(std::string("ERROR ") + q + ": job refused, it carries ")) << q << new_log();
    sql.exec("DROP TABLE IF EXISTS vtperf.service_perf_4243");
}

// The lock file is root's alone: a lock file the engine's user plants where it used to be, or
// a read lock it holds on the one a crash left, no longer keeps the daemon from starting; a
// lock folder that is not root's refuses the start, and a failed start says so by its status.
TEST_F(SecurityTest, LockFileCannotBeHeldOrPlantedByOthers)
{
    EXPECT_TRUE(as_nobody([] {
        int fd = open(VT_RUN_DIR "/planted", O_WRONLY | O_CREAT, 0644);
        return fd < 0 && errno == EACCES;
    }));

    // A file at the old place, holding a root process's pid under a write lock.
    holder = hold_as_nobody([] {
        int fd = open(VT_PATH("/var/vantorconnector.lock"), O_RDWR | O_CREAT, 0644);
        struct flock lk {};
        lk.l_type = F_WRLCK;
        return fd >= 0 && write(fd, "1\n", 2) == 2 && fcntl(fd, F_SETLK, &lk) == 0;
    });
    ASSERT_GT(holder, 0);
    EXPECT_EQ(0, run_daemon_binary());
    daemon = running_daemon();
    ASSERT_GT(daemon, 0) << new_log();
    EXPECT_EQ("1\n", vtt::read_file(VT_PATH("/var/vantorconnector.lock")));
    vtt::stop_daemon(daemon);
    daemon = 0;
    end_holder(holder);

    // The file a crash left, read-locked by nobody: replaced, and the start goes on.
    vtt::write_file(VT_LOCK_FILE, "4000000\n");
    ASSERT_EQ(0, chmod(VT_LOCK_FILE, 0644));
    holder = hold_as_nobody([] {
        int fd = open(VT_LOCK_FILE, O_RDONLY);
        struct flock lk {};
        lk.l_type = F_RDLCK;
        return fd >= 0 && fcntl(fd, F_SETLK, &lk) == 0;
    });
    ASSERT_GT(holder, 0);
    log_offset = vtt::read_file(vtt::daemon_log()).size();
    EXPECT_EQ(0, run_daemon_binary());
    daemon = running_daemon();
    ASSERT_GT(daemon, 0) << new_log();
    EXPECT_TRUE(logged("is read-locked by pid " + std::to_string(holder))) << new_log();
    expect_replay_works("after the read lock");
    EXPECT_EQ(254, run_daemon_binary());  // a second instance still refuses, and says so
    vtt::stop_daemon(daemon);
    daemon = 0;
    end_holder(holder);

    // A lock folder that nobody owns (here nobody owns var/ and may swap it): refused.
    ASSERT_TRUE(as_nobody([] {
        return rename(VT_RUN_DIR, VT_PATH("/var/run.away")) == 0 && mkdir(VT_RUN_DIR, 0755) == 0 &&
               plant_file(VT_LOCK_FILE, "1\n");
    }));
    log_offset = vtt::read_file(vtt::daemon_log()).size();
    EXPECT_EQ(254, run_daemon_binary());
    EXPECT_TRUE(logged("ERROR Failed to obtain lock on file " VT_LOCK_FILE ": " VT_RUN_DIR " belongs to uid 65534"))
        << new_log();
    EXPECT_EQ("420:65534:1\n", mode_and_text(VT_LOCK_FILE));
}

// The lock folder is made again at every start that finds it missing, as root's alone; one
// the engine's user made in its place (it may write var/) refuses the start with the fix.
TEST_F(SecurityTest, RunFolderIsMadeWhereMissingAndAForeignOneRefused)
{
    struct stat var;
    ASSERT_EQ(0, stat(VT_PATH("/var"), &var));
    struct Restore {
        mode_t mode;
        ~Restore() { chmod(VT_PATH("/var"), mode); }
    } restore{var.st_mode & 07777};
    ASSERT_EQ(0, rename(VT_RUN_DIR, VT_PATH("/var/run.away")));
    ASSERT_EQ(0, chmod(VT_PATH("/var"), 02775));  // a set-group-id var/ hands its group down
    EXPECT_EQ(0, run_daemon_binary());
    daemon = running_daemon();
    ASSERT_GT(daemon, 0) << new_log();
    struct stat st;
    ASSERT_EQ(0, lstat(VT_RUN_DIR, &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0u, st.st_gid);
    EXPECT_EQ(0755u, st.st_mode & 07777);
    EXPECT_EQ(0, access(VT_LOCK_FILE, F_OK));
    vtt::stop_daemon(daemon);
    daemon = 0;

    ASSERT_EQ(0, system(("rm -rf '" VT_RUN_DIR "'")));
    ASSERT_TRUE(as_nobody([] { return mkdir(VT_RUN_DIR, 0755) == 0; }));
    log_offset = vtt::read_file(vtt::daemon_log()).size();
    EXPECT_EQ(254, run_daemon_binary());
    EXPECT_TRUE(logged("ERROR Failed to obtain lock on file " VT_LOCK_FILE ": " VT_RUN_DIR " belongs to uid 65534 with "
                       "mode 2755; it must be this daemon's own and writable by nobody else: remove it (rm -r " VT_RUN_DIR
                       ") and start again, the daemon makes it itself"))
        << new_log();
}

// The log and the failed statements hold plugin output and command lines: no other user
// reads or writes them, also where an earlier version left them wider; the notification
// workers, which run as vtuser, still log (through a relay). A lock the engine's user holds
// on a file it may read delays the workers by one bounded wait, not one per statement.
TEST_F(SecurityTest, DaemonFilesAreClosedAndTheirLocksBlockNothing)
{
    vtt::write_file(VT_FAILED_SQL_FILE, "old\n");
    ASSERT_EQ(0, chmod(VT_FAILED_SQL_FILE, 0666));
    int log_fd = open(vtt::daemon_log().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    ASSERT_GE(log_fd, 0);
    close(log_fd);
    ASSERT_EQ(0, chmod(vtt::daemon_log().c_str(), 0666));
    daemon = start_daemon_with("log_notifications_commands=1\n");
    ASSERT_GT(daemon, 0);
    EXPECT_EQ("416:0", mode_and_text(vtt::daemon_log()).substr(0, 5));
    EXPECT_TRUE(as_nobody([] {
        return open(VT_PATH("/var/vantorconnector.log"), O_WRONLY | O_APPEND) < 0 &&
               open(VT_PATH("/var/vantorconnector.log"), O_RDONLY) < 0;
    }));
    vtt::gearman_submit("vtdb_notify", "echo relayed-by-root");
    EXPECT_TRUE(vtt::wait_until([&] { return logged("NOTIFICATION DONE: CMD=( echo relayed-by-root )"); }, 10000))
        << new_log();

    ASSERT_TRUE(as_nobody([] { return plant_dump("delayed-messages.dump-1.000000", "vtdb_vtstatus\tINSERT INTO vt_test.none VALUES (0)\n"); }));
    ASSERT_TRUE(vtt::wait_until([] { return vtt::count_lines_containing(VT_FAILED_SQL_FILE, "vt_test.none") == 1; }, 15000));
    EXPECT_EQ("416:0:old\n", mode_and_text(VT_FAILED_SQL_FILE).substr(0, 10));
    EXPECT_TRUE(as_nobody([] { return open(VT_FAILED_SQL_FILE, O_RDONLY) < 0; }));

    // The engine's user, in the folder's group, may read it and so lock it.
    ASSERT_EQ(0, chown(VT_FAILED_SQL_FILE, 0, kNogroup));
    holder = hold_as_nobody([] {
        int fd = open(VT_FAILED_SQL_FILE, O_RDONLY);
        return fd >= 0 && flock(fd, LOCK_EX) == 0;
    });
    ASSERT_GT(holder, 0);
    std::string dump;
    for (int i = 0; i < 10; ++i)
        dump += "vtdb_vtstatus\tINSERT INTO vt_test.none VALUES (" + std::to_string(i + 1) + ")\n";
    ASSERT_TRUE(as_nobody([&] { return plant_dump("delayed-messages.dump-2.000000", dump); }));
    ASSERT_TRUE(vtt::wait_until([] { return vtt::count_lines_containing(VT_FAILED_SQL_FILE, "vt_test.none") >= 2; }, 15000));
    const time_t begin = time(nullptr);
    EXPECT_TRUE(vtt::wait_until([] { return vtt::count_lines_containing(VT_FAILED_SQL_FILE, "vt_test.none") == 11; }, 30000));
    EXPECT_LE(time(nullptr) - begin, 5) << "each statement waited for the lock";
    EXPECT_EQ(1, vtt::count_since(vtt::daemon_log(), log_offset, "stays locked by another process")) << new_log();
    end_holder(holder);
    expect_replay_works("after the lock");
}

// Dump files no module writes: one larger than max_dump_file_mb, a sparse one, and a line far
// longer than any job. The first two are moved aside once, never read; the long line is
// skipped without being held in memory and the file's other messages are carried out.
TEST_F(SecurityTest, ReplayRefusesHugeSparseAndOverlongDumps)
{
    const std::string dir = VT_DELAYED_DIR;
    ASSERT_TRUE(as_nobody([&] {
        return truncate_new(dir + "delayed-messages.dump-1.000001", 512 << 20) &&
               truncate_new(dir + "delayed-messages.dump-2.000001", 150 << 20) &&
               plant_dump("delayed-messages.dump-3.000001",
                          "vtdb_vtstatus\t" + std::string(100 << 20, 'x') + "\n" + insert("after the long line"));
    }));
    daemon = start_daemon_with("max_dump_file_mb=200\n");
    ASSERT_GT(daemon, 0);
    EXPECT_TRUE(vtt::wait_until([&] { return rows_with("after the long line") == 1; }, 30000)) << new_log();
    // The long line's file may come first (the planted file's time has no fraction of a
    // second): the other two are moved aside after it, by the same pass.
    const std::vector<std::string> aside = {"delayed-messages.dump-1.000001.rejected",
                                            "delayed-messages.dump-2.000001.rejected"};
    EXPECT_TRUE(vtt::wait_until([&] { return vtt::list_dir(dir) == aside; }, 10000));
    EXPECT_EQ(aside, vtt::list_dir(dir));
    EXPECT_TRUE(logged(dir + "delayed-messages.dump-1.000001 not replayed: 536870912 bytes, more than the 200 MiB"))
        << new_log();
    EXPECT_TRUE(logged(dir + "delayed-messages.dump-2.000001 not replayed: 157286400 bytes of which only"));
    EXPECT_TRUE(logged(dir + "delayed-messages.dump-3.000001: the line at byte 0 is longer than"));
    std::vector<pid_t> replay = logged_pids("processing delayed messages");
    ASSERT_EQ(1u, replay.size());  // logged before the first pass
    EXPECT_LT(std::strtol(proc_field(replay[0], "VmHWM").c_str(), nullptr, 10), 120 * 1024) << "kB at the peak";
    sleep(6);  // another pass: moved aside files are not looked at again
    EXPECT_EQ(1, vtt::count_since(vtt::daemon_log(), log_offset, "dump-1.000001 not replayed"));
    expect_replay_works("after the refused files");
}

// A notification command runs as vtuser, its worker under an account of its own with only the
// rights to start and end commands: the command can neither stop, signal nor trace the worker,
// nor look at its descriptors, and has no capability and no socket of the worker's.
TEST_F(SecurityTest, NotificationCommandsCannotTouchTheirWorkers)
{
    struct passwd *worker_account = getpwnam("vtnotify");
    ASSERT_NE(nullptr, worker_account) << "the test services create vtnotify";
    const std::string probe = "/tmp/vt-security-probe-" + std::to_string(getpid());  // open to vtuser
    ASSERT_EQ(0, system(("rm -rf '" + probe + "' && mkdir -m 0777 '" + probe + "'").c_str()));
    daemon = start_daemon_with("log_notifications_commands=1\n");
    ASSERT_GT(daemon, 0);
    std::vector<pid_t> workers;
    ASSERT_TRUE(vtt::wait_until([&] { return (workers = logged_pids("processing vtdb_notify queue")).size() == 2; }, 10000));
    for (pid_t w : workers) {
        EXPECT_TRUE(vtt::wait_until([&] {
            return proc_field(w, "Uid").find("\t" + std::to_string(worker_account->pw_uid) + "\t") != std::string::npos;
        }, 5000)) << proc_field(w, "Uid");
        EXPECT_EQ("\t00000000000000e0", proc_field(w, "CapEff")) << "only CAP_KILL, CAP_SETGID and CAP_SETUID";
    }
    std::string attack = "exec > " + probe + "/out.tmp 2>&1; id -un; grep CapPrm /proc/self/status; ls -l /proc/$$/fd;";
    for (pid_t w : workers) {
        const std::string p = std::to_string(w);
        attack += " kill -STOP " + p + "; echo stop=$?; kill -TERM " + p + "; echo term=$?; kill -0 " + p +
                  "; echo zero=$?; perl -e 'print \"trace=\", syscall(101, 16, " + p +
                  ", 0, 0) == -1 ? \"refused\" : \"attached\", \"\\n\"'; ls /proc/" + p + "/fd >/dev/null; echo fds=$?;";
    }
    attack += " mv " + probe + "/out.tmp " + probe + "/out";
    vtt::gearman_submit("vtdb_notify", attack);
    ASSERT_TRUE(vtt::wait_until([&] { return vtt::exists(probe + "/out"); }, 15000)) << new_log();
    const std::string out = vtt::read_file(probe + "/out");
    EXPECT_EQ(0u, out.rfind("vtuser\nCapPrm:\t0000000000000000\n", 0)) << out;
    EXPECT_EQ(std::string::npos, out.find("socket:")) << out;
    for (const char *refused : {"stop=1", "term=1", "zero=1", "trace=refused", "fds=2"})
        EXPECT_EQ(2, vtt::count_lines_containing(probe + "/out", refused)) << refused << "\n" << out;
    for (pid_t w : workers) {
        EXPECT_EQ(0, kill(w, 0));
        EXPECT_EQ(std::string::npos, proc_field(w, "State").find("T (")) << w;
    }
    vtt::gearman_submit("vtdb_notify", "echo after-the-attack");
    EXPECT_TRUE(vtt::wait_until([&] { return logged("NOTIFICATION DONE: CMD=( echo after-the-attack )"); }, 10000));
    EXPECT_EQ(0, vtt::count_since(vtt::daemon_log(), log_offset, "child died")) << new_log();
    system(("rm -rf '" + probe + "'").c_str());
}

// A worker stopped all the same (only root may now) is not dead: the supervisor notices it,
// kills and restarts it, and later notifications run.
TEST_F(SecurityTest, StoppedNotificationWorkersAreRestarted)
{
    daemon = start_daemon_with("log_notifications_commands=1\n");
    ASSERT_GT(daemon, 0);
    std::vector<pid_t> workers;
    ASSERT_TRUE(vtt::wait_until([&] { return (workers = logged_pids("processing vtdb_notify queue")).size() == 2; }, 10000));
    for (pid_t w : workers)
        ASSERT_EQ(0, kill(w, SIGSTOP));
    ASSERT_TRUE(vtt::wait_until([&] {
        return proc_field(workers[0], "State").find("T (") != std::string::npos &&
               proc_field(workers[1], "State").find("T (") != std::string::npos;
    }, 10000));
    for (pid_t w : workers)
        EXPECT_TRUE(vtt::wait_until([&] { return logged("ERROR notify_gm child died " + std::to_string(w)); }, 60000))
            << new_log();
    EXPECT_EQ(2, vtt::count_since(vtt::daemon_log(), log_offset, "has been stopped for"));
    vtt::gearman_submit("vtdb_notify", "echo after-the-stop");
    EXPECT_TRUE(vtt::wait_until([&] { return logged("NOTIFICATION DONE: CMD=( echo after-the-stop )"); }, 10000));
}

// A LOAD DATA LOCAL statement, from a dump file the engine's user writes and in a job signed
// with the key, would have the root daemon send the server a file only root may read. The
// server allows it here: the daemon's own connections must refuse, and it goes on working.
TEST_F(SecurityTest, LoadDataLocalReadsNoFile)
{
    const std::string secret = outside + "/shadow";
    vtt::write_file(secret, "root:secret-hash:19000:0:99999:7:::\n");
    ASSERT_EQ(0, chmod(secret.c_str(), 0600));
    sql.exec("CREATE TABLE vt_test.pwned (line TEXT)");
    const std::string saved_local = sql.scalar("SELECT @@GLOBAL.local_infile");
    sql.exec("SET GLOBAL local_infile = 1");
    struct Restore {
        vtt::Sql &sql;
        std::string value;
        ~Restore() { sql.exec("SET GLOBAL local_infile = " + value); }
    } restore{sql, saved_local == "1" ? "1" : "0"};
    daemon = start_daemon_with("vtstatus_workers=1\n");
    ASSERT_GT(daemon, 0);
    const std::string load = "LOAD DATA LOCAL INFILE '" + secret + "' INTO TABLE vt_test.pwned";
    ASSERT_TRUE(as_nobody([&] { return plant_dump("delayed-messages.dump-1.000000", "vtdb_vtstatus\t" + load + "\n"); }));
    ASSERT_TRUE(vtt::wait_until([] { return vtt::list_dir(VT_DELAYED_DIR).empty(); }, 15000)) << new_log();
    vtt::gearman_submit("vtdb_vtstatus", load);
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.sec (v) VALUES ('module')");
    EXPECT_TRUE(vtt::wait_until([&] { return rows_with("module") == 1; }, 15000)) << new_log();
    EXPECT_EQ(0, sql.count("vt_test.pwned"));
    EXPECT_EQ(2, vtt::count_lines_containing(VT_FAILED_SQL_FILE, load)) << new_log();
    expect_replay_works("after the load");
}

// The dump files hold statements and command lines with secrets expanded into them: whatever
// the umask, also where an earlier version left the file wider, no other user reads them.
TEST_F(SecurityTest, DumpFilesAreClosedToOthers)
{
    for (const bool left_wider : {false, true}) {
        SCOPED_TRACE(left_wider ? "a dump file left 0644" : "a new dump file");
        const mode_t saved = umask(022);
        if (left_wider) {
            vtt::write_file(VT_DUMP_FILE, "vtdb_vtstatus\tINSERT INTO vt_test.sec (v) VALUES ('older')\n");
            chmod(VT_DUMP_FILE, 0644);
        }
        const bool dumped = push_msg("vtdb_notify", "mail --password=s3cret", 0) == 0 && dump_msgs() == 0;
        umask(saved);
        ASSERT_TRUE(dumped);
        const std::vector<std::string> files = vtt::list_dir(VT_DELAYED_DIR);
        ASSERT_EQ(1u, files.size());
        const std::string dump = VT_DELAYED_DIR + files[0];
        EXPECT_EQ("416:0:", mode_and_text(dump).substr(0, 6));
        EXPECT_TRUE(as_nobody([&] { return open(dump.c_str(), O_RDONLY) < 0 && errno == EACCES; }));
        unlink(dump.c_str());
    }
}

// A job far larger than any the module sends, without a signature or signed with the key: the
// worker refuses it before it copies or reads it, so its memory grows by no more than the
// library's own buffers for the jobs, and the module's jobs are carried out right after them.
TEST_F(SecurityTest, OversizedJobsAreRefusedUnread)
{
    daemon = start_daemon_with("vtstatus_workers=1\nmax_job_bytes=1048576\n");
    ASSERT_GT(daemon, 0);
    std::vector<pid_t> workers;
    ASSERT_TRUE(vtt::wait_until([&] { return (workers = logged_pids("processing vtdb_vtstatus queue")).size() == 1; },
                                10000));
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.sec (v) VALUES ('warm')");
    ASSERT_TRUE(vtt::wait_until([&] { return rows_with("warm") == 1; }, 15000));
    const long before = std::strtol(proc_field(workers[0], "VmHWM").c_str(), nullptr, 10);
    constexpr size_t kBig = 12 << 20;
    const std::string big = "INSERT INTO vt_test.sec (v) VALUES ('" + std::string(kBig, 'x') + "')";
    ASSERT_TRUE(as_nobody([&] {
        vtt::gearman_submit_unsigned("vtdb_vtstatus", big);
        return true;
    }));
    vtt::gearman_submit("vtdb_vtstatus", big);
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.sec (v) VALUES ('module')");
    EXPECT_TRUE(vtt::wait_until([&] { return rows_with("module") == 1; }, 30000)) << new_log();
    EXPECT_EQ(0, sql.count("vt_test.sec WHERE LENGTH(v) > 1000"));
    const long after = std::strtol(proc_field(workers[0], "VmHWM").c_str(), nullptr, 10);
    // At most the library's buffer of each of the two jobs, which an allocator may keep apart
    // (a sanitizer's quarantine does); a worker that copies and runs them takes several times that.
    EXPECT_LT(after - before, static_cast<long>(kBig / 1024 * 3)) << "kB more at the peak";
    EXPECT_TRUE(logged("ERROR vtdb_vtstatus: job refused, it is " + std::to_string(big.size()) +
                       " bytes, more than the 1048576 of max_job_bytes (1 refused by this worker since it started)"))
        << new_log().substr(0, 2000);
}

// A notification command's output is outside text in the daemon's log: it stays on the
// line of its entry, whatever line breaks it holds.
TEST_F(SecurityTest, CommandOutputForgesNoLogLine)
{
    daemon = start_daemon_with("log_notifications_commands=1\n");
    ASSERT_GT(daemon, 0);
    vtt::gearman_submit("vtdb_notify", "printf 'sent\\n[2026-01-01 00:00:00] ERROR forged by vtuser\\r\\033[2J'; id -un");
    ASSERT_TRUE(vtt::wait_until([&] { return logged("forged by vtuser"); }, 15000)) << new_log();
    EXPECT_TRUE(vtt::wait_until([&] { return logged("output=sent\\n[2026-01-01 00:00:00] ERROR forged by vtuser\\r\\x1b[2J"); }, 3000))
        << new_log();
    EXPECT_EQ(std::string::npos, new_log().find("\n[2026-01-01 00:00:00] ERROR forged")) << new_log();
}

// A key nobody drew at random is refused with a line that says how to make a good one.
TEST_F(SecurityTest, WeakKeysAreRefused)
{
    const std::string key = VT_JOB_KEY_FILE;
    const vtt::KeptFile restore(key);
    for (const std::string &weak : {std::string(64, '0') + "\n", std::string(32, '\0'), std::string("hunter2!hunter2!hunter2!hunter2!")}) {
        unlink(key.c_str());
        vtt::write_file(key, weak);
        chmod(key.c_str(), 0640);
        log_offset = vtt::read_file(vtt::daemon_log()).size();
        unlink(VT_LOCK_FILE);
        EXPECT_EQ(3, run_daemon_binary());
        EXPECT_TRUE(logged("ERROR cannot use the job key " + key + ": it is not a random key: its 32 bytes take only "))
            << new_log();
        EXPECT_TRUE(logged("make one with (umask 027; od -An -vtx1 -N32 /dev/urandom | tr -d ' \\n' > " + key + ")"))
            << new_log();
        EXPECT_FALSE(vtt::exists(VT_LOCK_FILE));
        if (vtt::wait_until([] { return vtt::exists(VT_LOCK_FILE); }, 500))  // one that started after all
            vtt::stop_daemon(static_cast<pid_t>(std::strtol(vtt::read_file(VT_LOCK_FILE).c_str(), nullptr, 10)));
    }
}

// The job server's queue file holds every queued job in clear text: it and its folder are
// closed to other users.
TEST_F(SecurityTest, JobServerQueueFileIsClosedToOthers)
{
    std::string folder;
    for (const std::string &f : {"/dev/shm/vantor-test-gearmand-" + std::to_string(vtt::gearman_port()),
                                 std::string(VT_TEST_STATE_DIR "/gearmand-queue")})
        if (vtt::exists(f + "/queue.sqlite"))
            folder = f;
    ASSERT_FALSE(folder.empty());
    struct stat st;
    ASSERT_EQ(0, stat(folder.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    ASSERT_EQ(0, stat((folder + "/queue.sqlite").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_TRUE(as_nobody([&] { return open((folder + "/queue.sqlite").c_str(), O_RDONLY) < 0 && errno == EACCES; }));
}

}  // namespace
