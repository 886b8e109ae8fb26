/* The connector daemon: start-up, detaching, and the supervisor that keeps every worker running. */
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

enum class Role { ExternalCommands, DelayedMessages, StatusPri, Perfdata, Notify, Status };

/* One kind of child: how to start it, how many (nullptr: exactly one), and what the
 * supervisor logs when it has died. Entries stand in the order children are started. */
struct ChildKind {
    Role role;
    pid_t (*start)(void);
    const int *count;
    const char *died_format;
    std::vector<pid_t> pids;
};

std::vector<ChildKind> child_table()
{
    return {
        {Role::ExternalCommands, vt_external_command_dispatcher, nullptr, "ERROR external commands child died %d, restarting", {}},
        {Role::DelayedMessages, vt_delayed_message_dispatcher, nullptr, "ERROR delayed messahes child died %d, restarting", {}},
        {Role::StatusPri, vt_vtstatuspri_gm_dispatcher, nullptr, "ERROR pid_vtstatuspri_gm child died %d, restarting", {}},
        {Role::Perfdata, vt_perfdata_gm_dispatcher, &PERFDATA_WORKERS, "ERROR perfdata_gm child died %d, restarting", {}},
        {Role::Status, vt_vtstatus_gm_dispatcher, &VTSTATUS_WORKERS, "ERROR vtstatus_gm child died %d, restarting", {}},
    };
}

/* Ended children are matched against the kinds in this order. */
const Role kRestartOrder[] = {Role::Status,    Role::Perfdata,         Role::Notify,
                              Role::StatusPri, Role::ExternalCommands, Role::DelayedMessages};

ChildKind *find_kind(std::vector<ChildKind> &table, Role role)
{
    for (ChildKind &k : table)
        if (k.role == role)
            return &k;
    return nullptr;
}

void start_children(std::vector<ChildKind> &table)
{
    for (ChildKind &k : table) {
        int n = k.count ? *k.count : 1;
        for (int i = 0; i < n; ++i)
            k.pids.push_back(k.start());
    }
}

/* " 12 " for the first id, then " <text so far> 13 " for each further one. */
std::string id_text(std::vector<ChildKind> &table, Role role)
{
    std::string text;
    if (ChildKind *k = find_kind(table, role))
        for (size_t i = 0; i < k->pids.size(); ++i)
            text = i == 0 ? vt::format(" %d ", k->pids[i]) : vt::format(" %s %d ", text.c_str(), k->pids[i]);
    return text;
}

int single_pid(std::vector<ChildKind> &table, Role role)
{
    ChildKind *k = find_kind(table, role);
    return k && !k->pids.empty() ? k->pids[0] : -1;
}

[[noreturn]] void supervise(std::vector<ChildKind> &table)
{
    time_t last_alive = time(nullptr);
    for (;;) {
        time_t now = time(nullptr);
        if (now - last_alive > 3600) {
            last_alive = now;
            vt_logf("Alive - Pid %d", static_cast<int>(getpid()));
        }
        pid_t ended = waitpid(-1, nullptr, WNOHANG);
        for (Role role : kRestartOrder) {
            ChildKind *k = find_kind(table, role);
            if (!k)
                continue;
            for (pid_t &pid : k->pids) {
                if (pid != ended)
                    continue;
                vt_logf(k->died_format, static_cast<int>(ended));
                pid = k->start();
            }
        }
        vt_sleep_seconds(2);
    }
}

}  // namespace

int main()
{
#ifdef VT_CONNECTOR_DEBUG_BUILD
    DEBUG = 1; /* the foreground test build */
#endif
    if (DEBUG)
        std::setvbuf(stdout, nullptr, _IOLBF, 0); /* a foreground run shows each line as it comes */
    static std::string module = "vantorconnector";
    static std::string log = vt::format(VT_PATH("/var/%s.log"), module.c_str());
    static std::string log_aux = vt::format(VT_PATH("/var/%s.log.1"), module.c_str());
    VTMODULE = &module[0];
    logfile = &log[0];
    logfile_aux = &log_aux[0];
    /* Notification workers run as an unprivileged user and still have to log, so a log
     * file the daemon (re)creates, at start or after a rotation, is writable by all. */
    vt_log_create_mode = 0666;

    if (parse_db_conf() == -2)
        return 3;
    if (DEBUG)
        std::printf("Logfiles: \n\t%s\n\t%s\n", logfile, logfile_aux);
    chmod(logfile, 0666);
    vt_logf("Starting vantorconnector V. %s", VANTOR_VERSION);
    parse_vantorconnector_conf();
    if (!DEBUG)
        vt_daemon_init();
    vtdb_populate_job_servers_list();
    if (DEBUG) {
        /* A foreground test run: only the replay, in this process. */
        std::printf("Debug activated\n");
        std::printf("Starting vt_delayed_message_dispatcher\n");
        std::fflush(stdout);
        vt_delayed_message_dispatcher();
        return 0;
    }
    vt_write_to_log("finished daemonizing");
    while (db_connect() != 0)
        vt_sleep_seconds(2);

    std::vector<ChildKind> table = child_table();
    start_children(table);
    vt_logf("PIDs Main process %d Child process External CMDs %d - Child process delayed messages %d - perfdata_gm %s "
            "- status_gm %s - notify_gm %s",
            static_cast<int>(getpid()), single_pid(table, Role::ExternalCommands),
            single_pid(table, Role::DelayedMessages), id_text(table, Role::Perfdata).c_str(),
            id_text(table, Role::Status).c_str(), id_text(table, Role::Notify).c_str());
    supervise(table);
}
