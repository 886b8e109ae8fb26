// The installation check against the real database and job server: a sound installation,
// then each fault alone, which must turn its finding into a warning or an error.
#include "tools_fixture.h"
#include "vantor_config.h"

#include <functional>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using vtt::run_tool;

const std::string kTool = VT_CHECK_TOOL;
const std::string kModule = VT_PATH("/lib/vtdb.so");
const std::string kBuiltFor = VT_PATH("/lib/vtdb.engine-version");
const std::string kSqlDir = VT_PATH("/share/sql");

class InstallCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtt::init_runtime("vantor-check");
        char tmpl[] = "/tmp/vt-install-check.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        db_conf_ = vtt::read_file(VT_DB_CONF_FILE);
        key_ = vtt::read_file(VT_JOB_KEY_FILE);
        vtt::gearmand_start();
        // What the package installs beside the daemon, in the sandbox's root.
        ASSERT_EQ(0, system(("mkdir -p " VT_PATH("/lib ") + kSqlDir + " && cp " VT_SOURCE_DIR "/sql/upgrade-*.sql " +
                             kSqlDir + "/ && touch " + kModule)
                                .c_str()));
        vtt::write_file(kBuiltFor, "1.5.2\n");
        vtt::write_file(dir_ + "/naemon", "#!/bin/sh\necho 'Naemon Core 1.5.2'\n");
        chmod((dir_ + "/naemon").c_str(), 0755);
        write_engine_config(kSoundConfig);
        set_secret_modes();
        sql.exec("DELETE FROM vtcfg.job_servers");
        sql.exec("INSERT IGNORE INTO vtcfg.schema_upgrades (name) VALUES ('upgrade-status-purge-index')");
    }
    void TearDown() override
    {
        // Either may have been replaced by a link: write files of their own again.
        unlink(VT_DB_CONF_FILE);
        unlink(VT_JOB_KEY_FILE);
        vtt::write_file(VT_DB_CONF_FILE, db_conf_);
        vtt::write_file(VT_JOB_KEY_FILE, key_);
        set_secret_modes();
        sql.exec("DELETE FROM vtcfg.job_servers");
        sql.exec("DROP USER IF EXISTS 'vtchk'@'127.0.0.1'");
        vtt::remove_file(kModule);
        vtt::remove_file(kBuiltFor);
        system(("rm -rf " + dir_).c_str());
    }
    /* root:root 0640: with the engine's group root, as sound as an installation gets. */
    static void set_secret_modes()
    {
        for (const char *f : {VT_DB_CONF_FILE, VT_JOB_KEY_FILE}) {
            chown(f, 0, 0);
            chmod(f, 0640);
        }
    }
    void write_engine_config(const std::string &text) { vtt::write_file(dir_ + "/naemon.cfg", text); }
    vtt::ToolRun check(const std::string &extra = "")
    {
        return run_tool(kTool + " --engine-config " + dir_ + "/naemon.cfg --engine " + dir_ + "/naemon -t 3 " + extra);
    }
    /* db.php naming a database account of its own, with the given rights. */
    void use_account(const std::vector<std::string> &grants)
    {
        sql.exec("DROP USER IF EXISTS 'vtchk'@'127.0.0.1'");
        sql.exec("CREATE USER 'vtchk'@'127.0.0.1' IDENTIFIED BY 'chk'");
        for (const std::string &g : grants)
            sql.exec("GRANT " + g + " TO 'vtchk'@'127.0.0.1'");
        vtt::write_file(VT_DB_CONF_FILE, "<?php\n$DBHOST = '127.0.0.1';\n$DBUSER = 'vtchk';\n$DBPASS = 'chk';\n$DBPORT = '" +
                                             std::to_string(vtt::db_port()) + "';\n?>\n");
    }

    const std::string kSoundConfig = "# the engine\nnaemon_group=root\nbroker_module=" + kModule +
                                     " keep_comment_shell_chars=0\ncommand_file=" VT_CMD_PIPE
                                     "\nevent_broker_options=-1\nillegal_macro_output_chars=`~$&|'\"<>\n";
    vtt::Sql sql;
    std::string dir_, db_conf_, key_;
};

TEST_F(InstallCheck, SoundInstallationIsAllWell)
{
    auto r = check();
    EXPECT_EQ(0, r.status) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("\n0 errors, 0 warnings\n")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("OK      job server 127.0.0.1:")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("OK      the module is built for the engine's release 1.5.2")) << r.output;
    // Without the engine's configuration only the installation itself is looked at.
    auto bare = run_tool(kTool + " --engine-group root");
    EXPECT_EQ(0, bare.status) << bare.output;
    EXPECT_EQ(std::string::npos, bare.output.find("broker_module")) << bare.output;
}

TEST_F(InstallCheck, EachFaultAloneIsReportedWithItsFix)
{
    struct Case {
        const char *what;
        std::function<void()> fault;
        int status;
        std::string text;
    };
    const std::string cfg = kSoundConfig;
    auto without = [&](const std::string &key) {
        size_t at = cfg.find("\n" + key + "=");
        size_t end = cfg.find('\n', at + 1);
        return cfg.substr(0, at) + cfg.substr(end);
    };
    const Case cases[] = {
        {"db.php readable by all", [] { chmod(VT_DB_CONF_FILE, 0644); }, 2,
         "ERROR   " VT_DB_CONF_FILE " is readable by every user (mode 0644); chown root:root"},
        {"db.php of another group", [] { chown(VT_DB_CONF_FILE, 0, getgrnam("daemon")->gr_gid); }, 2,
         "ERROR   " VT_DB_CONF_FILE " cannot be read by the engine's group root (group daemon, mode 0640)"},
        {"db.php not readable by its group", [] { chmod(VT_DB_CONF_FILE, 0600); }, 2,
         "cannot be read by the engine's group root (group root, mode 0600)"},
        {"db.php missing", [] { unlink(VT_DB_CONF_FILE); }, 2, "ERROR   " VT_DB_CONF_FILE ": No such file or directory"},
        {"key writable by its group", [] { chmod(VT_JOB_KEY_FILE, 0660); }, 2,
         "ERROR   " VT_JOB_KEY_FILE " may be written by the group root (mode 0660); chmod 0640"},
        {"key a link", [] { unlink(VT_JOB_KEY_FILE); symlink(VT_DB_CONF_FILE, VT_JOB_KEY_FILE); }, 2,
         VT_JOB_KEY_FILE " is not a regular file"},
        {"database refuses the account", [&] { use_account({}); sql.exec("DROP USER 'vtchk'@'127.0.0.1'"); }, 2,
         "ERROR   database unreachable as vtchk: Access denied"},
        {"rights missing",
         [&] { use_account({"SELECT ON vantor4.*", "ALL ON vtcfg.*", "SELECT, INSERT, DELETE, CREATE, EXECUTE ON vtperf.*"}); },
         2, "lacks INSERT, UPDATE, DELETE, CREATE, EXECUTE on vantor4; as the server's root: GRANT INSERT, UPDATE, "
            "DELETE, CREATE, EXECUTE ON vantor4.* TO 'vtchk'@'127.0.0.1'"},
        {"rights on every schema",
         [&] { use_account({"ALL ON vantor4.*", "ALL ON vtcfg.*", "ALL ON vtperf.*", "FILE ON *.*"}); }, 1,
         "WARNING the database account vtchk has rights on every schema (*.*: FILE), among them FILE"},
        {"upgrade not applied",
         [&] { sql.exec("DELETE FROM vtcfg.schema_upgrades WHERE name = 'upgrade-status-purge-index'"); }, 2,
         "ERROR   the database lacks the upgrade upgrade-status-purge-index; as the server's root: mariadb < " +
             kSqlDir + "/upgrade-status-purge-index.sql"},
        {"job server down", [&] { sql.exec("INSERT INTO vtcfg.job_servers (host, port) VALUES ('127.0.0.1', 1)"); }, 2,
         "ERROR   job server 127.0.0.1:1: Connection refused; start it"},
        {"a port that is no job server",
         [&] { sql.exec("INSERT INTO vtcfg.job_servers (host, port) VALUES ('127.0.0.1', " +
                        std::to_string(vtt::db_port()) + ")"); }, 2,
         "answers, but not as a job server"},
        {"module not loaded", [&] { write_engine_config(without("broker_module")); }, 2,
         "has no line broker_module=" + kModule + ": the engine does not load the module; add that line"},
        {"module's file gone", [&] { vtt::remove_file(kModule); }, 2,
         "broker_module=" + kModule + " names a file that is not there (No such file or directory): the engine will not "
                                      "start; remove the line"},
        {"command file elsewhere", [&] { write_engine_config(without("command_file") + "command_file=/var/lib/naemon/naemon.cmd\n"); },
         2, "command_file is /var/lib/naemon/naemon.cmd, not the relay's pipe"},
        {"no event_broker_options", [&] { write_engine_config(without("event_broker_options")); }, 2,
         "/naemon.cfg: event_broker_options is not set, so the engine raises no event for modules"},
        {"event_broker_options without notifications",
         [&] { write_engine_config(without("event_broker_options") + "event_broker_options=" +
                                   std::to_string(1048575 & ~64) + "\n"); }, 2,
         "/naemon.cfg: event_broker_options=1048511 leaves out events the module needs"},
        {"no illegal characters", [&] { write_engine_config(without("illegal_macro_output_chars")); }, 1,
         "/naemon.cfg: illegal_macro_output_chars is not set: characters a shell treats specially"},
        {"engine of another release", [&] { vtt::write_file(kBuiltFor, "1.5.1\n"); }, 2,
         "/naemon is release 1.5.2: the module will not load; rebuild the package"},
    };
    for (const Case &c : cases) {
        c.fault();
        auto r = check();
        EXPECT_EQ(c.status, r.status) << c.what << ":\n" << r.output;
        EXPECT_NE(std::string::npos, r.output.find(c.text)) << c.what << ":\n" << r.output;
        // Only that finding: the others stay sound.
        const std::string summary = c.status == 2 ? "\n1 error, 0 warnings\n" : "\n0 errors, 1 warning\n";
        if (std::string(c.what) != "database refuses the account" && std::string(c.what) != "db.php missing") {
            EXPECT_NE(std::string::npos, r.output.find(summary)) << c.what << ":\n" << r.output;
        }
        TearDown();
        SetUp();
    }
}

TEST_F(InstallCheck, DaemonProgramRunsTheCheck)
{
    // "vantorconnector --check" hands over to the installed tool; without it, it says so.
    auto r = run_tool(vtt::daemon_binary() + " --check");
    if (access(VT_PATH("/bin/vantor-check"), X_OK) == 0)
        GTEST_SKIP() << "the tool is installed in the sandbox";
    EXPECT_EQ(2, r.status) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("cannot run " VT_PATH("/bin/vantor-check"))) << r.output;
}

}  // namespace
