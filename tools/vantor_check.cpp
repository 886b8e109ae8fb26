/* vantor-check: inspects an installation (files, database rights and schemas, job servers, the
 * engine's configuration) and prints one line per finding with what to do about it. */
#include "vt_db.h"
#include "vt_tools.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <getopt.h>
#include <grp.h>
#include <map>
#include <poll.h>
#include <pwd.h>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

enum Level { kOk = 0, kWarning = 1, kError = 2 };

/* Collects the findings as they are printed; the worst one is the exit status. */
class Findings {
public:
    void ok(const std::string &text) { say(kOk, text); }
    void warning(const std::string &text) { say(kWarning, text); }
    void error(const std::string &text) { say(kError, text); }
    int worst() const { return worst_; }
    int count(Level l) const { return counts_[l]; }

private:
    void say(Level l, const std::string &text)
    {
        static const char *const names[] = {"OK", "WARNING", "ERROR"};
        std::printf("%-7s %s\n", names[l], text.c_str());
        std::fflush(stdout);
        worst_ = std::max(worst_, static_cast<int>(l));
        ++counts_[l];
    }
    int worst_ = kOk;
    int counts_[3] = {0, 0, 0};
};

struct Options {
    std::string engine_config;  // the engine's main configuration file; empty: not checked
    std::string engine;         // the engine's program; empty: looked for
    std::string engine_group;   // empty: naemon_group of the engine's configuration, or naemon
    int timeout = 5;
};

std::string mode_text(mode_t m) { return vt::format("%04o", static_cast<unsigned>(m & 07777)); }

/* A secret below etc/ (the database settings, the job key): a regular file of root's that the
 * engine's group may read, and nobody else. The key is refused by the daemon when its group
 * may write it, so that is an error there and only a warning for db.php. */
void check_secret(Findings &f, const std::string &path, const std::string &group, bool group_write_is_error,
                  const std::string &how_to_make)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        f.error(vt::format("%s: %s; %s", path.c_str(), std::strerror(errno), how_to_make.c_str()));
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        f.error(vt::format("%s is not a regular file; put the file itself there, not a link", path.c_str()));
        return;
    }
    const struct group *gr = getgrnam(group.c_str());
    const std::string fix = vt::format("chown root:%s %s && chmod 0640 %s", group.c_str(), path.c_str(), path.c_str());
    bool fine = true;
    if (st.st_mode & 07) {
        f.error(vt::format("%s is readable by every user (mode %s); %s", path.c_str(), mode_text(st.st_mode).c_str(),
                           fix.c_str()));
        fine = false;
    }
    if (!gr) {
        f.error(vt::format("%s: the engine's group %s does not exist; name it with --engine-group", path.c_str(),
                           group.c_str()));
        return;
    }
    if (st.st_gid != gr->gr_gid || !(st.st_mode & S_IRGRP)) {
        const struct group *own = getgrgid(st.st_gid);
        f.error(vt::format("%s cannot be read by the engine's group %s (group %s, mode %s); %s", path.c_str(),
                           group.c_str(), own ? own->gr_name : std::to_string(st.st_gid).c_str(),
                           mode_text(st.st_mode).c_str(), fix.c_str()));
        fine = false;
    }
    if (st.st_mode & S_IWGRP) {
        std::string text = vt::format("%s may be written by the group %s (mode %s); chmod 0640 %s", path.c_str(),
                                      group.c_str(), mode_text(st.st_mode).c_str(), path.c_str());
        if (group_write_is_error)
            f.error(text);
        else
            f.warning(text);
        fine = false;
    }
    if (st.st_uid != 0) {
        const struct passwd *pw = getpwuid(st.st_uid);
        f.warning(vt::format("%s belongs to %s, not root; %s", path.c_str(),
                             pw ? pw->pw_name : std::to_string(st.st_uid).c_str(), fix.c_str()));
        fine = false;
    }
    if (fine)
        f.ok(vt::format("%s readable by root and the group %s only", path.c_str(), group.c_str()));
}

/* Rights the system uses in each schema: the module's and workers' statements, the per-host
 * tables they make (CREATE; the procedures that make them run with the caller's rights) and
 * the retention's deletes. */
const std::map<std::string, std::vector<std::string>> kNeededRights = {
    {"vantor4", {"SELECT", "INSERT", "UPDATE", "DELETE", "CREATE", "EXECUTE"}},
    {"vtcfg", {"SELECT", "INSERT", "UPDATE", "DELETE"}},
    {"vtperf", {"SELECT", "INSERT", "DELETE", "CREATE", "EXECUTE"}},
};
/* Global rights that let the account read or write files of the server's host, or bypass the
 * server's limits: whoever gets db.php would get them too. */
const std::set<std::string> kDangerousRights = {"FILE", "SUPER", "ALL PRIVILEGES", "SHUTDOWN", "PROCESS",
                                                "CREATE USER", "GRANT OPTION"};

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

struct Grant {
    std::string object;             // "*.*", "vantor4.*", "vantor4.host_status"
    std::vector<std::string> privs;  // upper case, without column lists
};

/* One line of SHOW GRANTS, e.g. "GRANT SELECT, INSERT ON `vantor4`.* TO `vantor`@`localhost`";
 * false for the lines that grant no privileges on an object (roles, proxies). */
bool parse_grant(const std::string &line, Grant &out)
{
    if (line.compare(0, 6, "GRANT ") != 0)
        return false;
    size_t on = line.find(" ON ");
    if (on == std::string::npos || line.find("PROXY ON") != std::string::npos)
        return false;
    size_t to = line.find(" TO ", on);
    std::string object = line.substr(on + 4, to == std::string::npos ? std::string::npos : to - on - 4);
    object.erase(std::remove(object.begin(), object.end(), '`'), object.end());
    out.object = trim(object);
    out.privs.clear();
    std::string list = line.substr(6, on - 6), cur;
    int depth = 0;
    for (char c : list + ",") {
        if (c == '(')
            ++depth;
        if (depth == 0 && c == ',') {
            std::string p = upper(trim(cur));
            if (size_t paren = p.find(" ("); paren != std::string::npos)
                p = trim(p.substr(0, paren));
            if (!p.empty())
                out.privs.push_back(p);
            cur.clear();
            continue;
        }
        if (depth == 0)
            cur += c;
        if (c == ')')
            --depth;
    }
    if (line.find("WITH GRANT OPTION") != std::string::npos)
        out.privs.push_back("GRANT OPTION");
    return true;
}

bool query_rows(MYSQL *db, const std::string &sql, std::vector<std::vector<std::string>> &rows, std::string &err)
{
    if (mysql_query(db, sql.c_str()) != 0) {
        err = vt::format("%u %s", mysql_errno(db), mysql_error(db));
        return false;
    }
    vt::Result res(mysql_store_result(db));
    rows.clear();
    if (!res)
        return true;
    unsigned n = mysql_num_fields(res.get());
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
        std::vector<std::string> r;
        for (unsigned i = 0; i < n; ++i)
            r.push_back(row[i] ? row[i] : "");
        rows.push_back(r);
    }
    return true;
}

void check_rights(Findings &f, MYSQL *db)
{
    std::vector<std::vector<std::string>> rows;
    std::string err;
    if (!query_rows(db, "SHOW GRANTS", rows, err)) {
        f.warning("cannot read the database account's rights (SHOW GRANTS: " + err + ")");
        return;
    }
    std::map<std::string, std::set<std::string>> have;  // schema -> rights
    std::set<std::string> global;
    for (const auto &r : rows) {
        Grant g;
        if (r.empty() || !parse_grant(r[0], g))
            continue;
        if (g.object == "*.*") {
            for (const std::string &p : g.privs)
                if (p != "USAGE")
                    global.insert(p);
            continue;
        }
        size_t dot = g.object.find('.');
        if (dot == std::string::npos || g.object.substr(dot + 1) != "*")
            continue;  // rights on single tables or routines do not cover tables made later
        std::string schema = g.object.substr(0, dot);
        // A grant on a pattern such as vantor\_4 names the schema with its wildcard escaped.
        schema.erase(std::remove(schema.begin(), schema.end(), '\\'), schema.end());
        have[schema].insert(g.privs.begin(), g.privs.end());
    }
    const std::string user = DBUSER, host = DBHOST;
    const std::string account = vt::format("'%s'@'%s'", user.c_str(), host == "127.0.0.1" || host == "localhost" ? host.c_str() : "%");
    bool fine = true;
    for (const auto &[schema, needed] : kNeededRights) {
        const auto &got = have[schema];
        std::string missing;
        for (const std::string &p : needed)
            if (!got.count(p) && !got.count("ALL PRIVILEGES") && !global.count(p) && !global.count("ALL PRIVILEGES"))
                missing += (missing.empty() ? "" : ", ") + p;
        if (!missing.empty()) {
            f.error(vt::format("the database account %s lacks %s on %s; as the server's root: GRANT %s ON %s.* TO %s",
                               user.c_str(), missing.c_str(), schema.c_str(), missing.c_str(), schema.c_str(),
                               account.c_str()));
            fine = false;
        }
    }
    if (!global.empty()) {
        std::string all, bad;
        for (const std::string &p : global) {
            all += (all.empty() ? "" : ", ") + p;
            if (kDangerousRights.count(p))
                bad += (bad.empty() ? "" : ", ") + p;
        }
        f.warning(vt::format("the database account %s has rights on every schema (*.*: %s)%s; the system needs "
                             "rights on vantor4, vtcfg and vtperf only: REVOKE ALL PRIVILEGES, GRANT OPTION FROM %s, "
                             "then grant those",
                             user.c_str(), all.c_str(),
                             bad.empty() ? "" : (", among them " + bad + ", which reach the server's files or its control").c_str(),
                             account.c_str()));
        fine = false;
    }
    if (fine)
        f.ok("the database account " + user + " has the rights the system needs and no others on *.*");
}

/* Names of the upgrade scripts installed beside the schema, without ".sql". */
std::vector<std::string> installed_upgrades(const std::string &dir)
{
    std::vector<std::string> out;
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir.c_str()), closedir);
    if (!d)
        return out;
    while (dirent *e = readdir(d.get())) {
        std::string n = e->d_name;
        if (n.size() > 12 && n.compare(0, 8, "upgrade-") == 0 && n.compare(n.size() - 4, 4, ".sql") == 0)
            out.push_back(n.substr(0, n.size() - 4));
    }
    std::sort(out.begin(), out.end());
    return out;
}

void check_schemas(Findings &f, MYSQL *db, const std::string &sql_dir)
{
    std::vector<std::vector<std::string>> rows;
    std::string err;
    const std::string load = vt::format("mariadb < %s/schema.sql", sql_dir.c_str());
    std::set<std::string> present;
    if (query_rows(db, "SELECT SCHEMA_NAME FROM information_schema.SCHEMATA", rows, err))
        for (const auto &r : rows)
            present.insert(r[0]);
    std::string missing;
    for (const char *s : {"vantor4", "vtcfg", "vtperf"})
        if (!present.count(s))
            missing += (missing.empty() ? "" : ", ") + std::string(s);
    if (!missing.empty()) {
        f.error(vt::format("the schema %s is missing (or the account may not see it); load the schema as the server's "
                           "root: %s", missing.c_str(), load.c_str()));
        return;
    }
    if (!query_rows(db, "SELECT name FROM vtcfg.schema_upgrades", rows, err)) {
        f.error(vt::format("the schemas predate the record of upgrades (vtcfg.schema_upgrades: %s); run every %s/upgrade-*.sql "
                           "in turn as the server's root (each may be run again)",
                           err.c_str(), sql_dir.c_str()));
        return;
    }
    std::set<std::string> applied;
    for (const auto &r : rows)
        applied.insert(r[0]);
    std::vector<std::string> scripts = installed_upgrades(sql_dir);
    bool fine = true;
    for (const std::string &s : scripts)
        if (!applied.count(s)) {
            f.error(vt::format("the database lacks the upgrade %s; as the server's root: mariadb < %s/%s.sql",
                               s.c_str(), sql_dir.c_str(), s.c_str()));
            fine = false;
        }
    if (fine)
        f.ok(vt::format("schemas vantor4, vtcfg and vtperf present, %zu upgrade%s applied", scripts.size(),
                        scripts.size() == 1 ? "" : "s"));
}

/* Asks host:port for its version over the job server's admin protocol: a port that answers
 * something else is not a job server. */
bool job_server_answers(const vt::tools::JobServer &s, int timeout, std::string &err)
{
    vt::Fd fd = vt::tools::connect_tcp(s.host, s.port, timeout, err);
    if (!fd)
        return false;
    if (!vt::write_all(fd.get(), "version\n")) {
        err = std::strerror(errno);
        return false;
    }
    char buf[128];
    ssize_t n = read(fd.get(), buf, sizeof buf - 1);
    if (n <= 0) {
        err = n == 0 ? "closed the connection" : std::strerror(errno);
        return false;
    }
    buf[n] = '\0';
    if (std::strncmp(buf, "OK", 2) != 0) {
        err = "answers, but not as a job server";
        return false;
    }
    return true;
}

void check_job_servers(Findings &f, MYSQL *db, int timeout)
{
    std::vector<vt::tools::JobServer> servers = vt::tools::configured_job_servers(db);
    // The module submits to the local server whatever the list says.
    vt::tools::JobServer local{"127.0.0.1", VANTOR_GEARMAN_PORT};
    if (std::none_of(servers.begin(), servers.end(),
                     [&](const auto &s) { return s.host == local.host && s.port == local.port; }))
        servers.insert(servers.begin(), local);
    for (const auto &s : servers) {
        std::string err;
        const std::string where = vt::format("%s:%d", s.host.c_str(), s.port);
        if (job_server_answers(s, timeout, err))
            f.ok("job server " + where + " answers");
        else
            f.error(vt::format("job server %s: %s; start it (systemctl start gearman-job-server) or correct "
                               "vtcfg.job_servers",
                               where.c_str(), err.c_str()));
    }
}

/* The settings of the engine's main configuration file, in order; comments and blank lines
 * left out. Keys may repeat (broker_module). */
bool read_engine_config(const std::string &path, std::vector<std::pair<std::string, std::string>> &out,
                        std::string &err)
{
    std::ifstream in(path);
    if (!in) {
        err = std::strerror(errno);
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        std::string t = trim(line);
        if (t.empty() || t[0] == '#' || t[0] == ';')
            continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos)
            continue;
        out.push_back({trim(t.substr(0, eq)), trim(t.substr(eq + 1))});
    }
    return true;
}

std::string setting(const std::vector<std::pair<std::string, std::string>> &cfg, const std::string &key, bool &found)
{
    found = false;
    std::string value;
    for (const auto &kv : cfg)
        if (kv.first == key) {
            value = kv.second;
            found = true;
        }
    return value;
}

/* Runs program --version within timeout seconds and returns what it printed (first 4 KiB). */
bool engine_version_output(const std::string &program, int timeout, std::string &out, std::string &err)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        err = std::strerror(errno);
        return false;
    }
    vt::Fd rd(p[0]), wr(p[1]);
    pid_t pid = fork();
    if (pid < 0) {
        err = std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        dup2(wr.get(), 1);
        dup2(wr.get(), 2);
        execl(program.c_str(), program.c_str(), "--version", static_cast<char *>(nullptr));
        _exit(127);
    }
    wr.reset();
    const long long end = static_cast<long long>(time(nullptr)) + timeout;
    char buf[512];
    for (;;) {
        int left = static_cast<int>(std::max(0LL, end - time(nullptr))) * 1000;
        pollfd pf{rd.get(), POLLIN, 0};
        if (poll(&pf, 1, left) <= 0) {
            kill(pid, SIGKILL);
            err = vt::format("gave no answer within %d s", timeout);
            break;
        }
        ssize_t n = read(rd.get(), buf, sizeof buf);
        if (n <= 0)
            break;
        if (out.size() < 4096)
            out.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        err = "cannot be run";
        return false;
    }
    return err.empty();
}

std::string find_engine(const std::string &given)
{
    if (!given.empty())
        return given;
    std::vector<std::string> dirs;
    if (const char *path = getenv("PATH")) {
        std::string p = path, cur;
        for (char c : p + ":") {
            if (c == ':') {
                if (!cur.empty())
                    dirs.push_back(cur);
                cur.clear();
            } else {
                cur += c;
            }
        }
    }
    for (const char *d : {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin"})
        dirs.push_back(d);
    for (const std::string &d : dirs) {
        std::string f = d + "/naemon";
        if (access(f.c_str(), X_OK) == 0)
            return f;
    }
    return "";
}

void check_engine_release(Findings &f, const Options &o)
{
    const std::string built_file = VT_PATH("/lib/vtdb.engine-version");
    std::ifstream in(built_file);
    std::string built;
    if (!in || !std::getline(in, built) || trim(built).empty()) {
        f.warning(vt::format("%s cannot be read: the release the module was built for is unknown; reinstall the package",
                             built_file.c_str()));
        return;
    }
    built = trim(built);
    const std::string engine = find_engine(o.engine);
    if (engine.empty()) {
        f.warning("the engine's program (naemon) is not on the PATH: its release cannot be compared with " + built +
                  "; name it with --engine");
        return;
    }
    std::string out, err;
    if (!engine_version_output(engine, o.timeout, out, err)) {
        f.warning(vt::format("%s --version %s: its release cannot be compared with %s; name the engine with --engine",
                             engine.c_str(), err.c_str(), built.c_str()));
        return;
    }
    std::smatch m;
    static const std::regex version(R"((\d+\.\d+\.\d+))");
    if (!std::regex_search(out, m, version)) {
        f.warning(vt::format("%s --version names no release: it cannot be compared with %s", engine.c_str(), built.c_str()));
        return;
    }
    if (m[1] != built)
        f.error(vt::format("the module is built for engine release %s, but %s is release %s: the module will not load; "
                           "rebuild the package against this engine's headers (VTDB_ENGINE=system) and reinstall it",
                           built.c_str(), engine.c_str(), m[1].str().c_str()));
    else
        f.ok(vt::format("the module is built for the engine's release %s (%s)", built.c_str(), engine.c_str()));
}

void check_engine_config(Findings &f, const Options &o, const std::vector<std::pair<std::string, std::string>> &cfg)
{
    const std::string module = VT_PATH("/lib/vtdb.so");
    const std::string &path = o.engine_config;
    bool loads_ours = false, names_ours = false;
    for (const auto &kv : cfg) {
        if (kv.first != "broker_module")
            continue;
        std::string file = kv.second.substr(0, kv.second.find_first_of(" \t"));
        names_ours = names_ours || file == module;
        struct stat st;
        if (stat(file.c_str(), &st) != 0) {
            f.error(vt::format("%s: broker_module=%s names a file that is not there (%s): the engine will not start; "
                               "remove the line, or reinstall what it loads",
                               path.c_str(), file.c_str(), std::strerror(errno)));
            continue;
        }
        if (file == module)
            loads_ours = true;
        else if (file.size() >= 8 && file.compare(file.size() - 8, 8, "/vtdb.so") == 0)
            f.warning(vt::format("%s: broker_module=%s loads a module other than the installed %s; name %s there",
                                 path.c_str(), file.c_str(), module.c_str(), module.c_str()));
    }
    if (loads_ours)
        f.ok(vt::format("%s loads %s", path.c_str(), module.c_str()));
    else if (!names_ours)
        f.error(vt::format("%s has no line broker_module=%s: the engine does not load the module; add that line",
                           path.c_str(), module.c_str()));

    bool found;
    const std::string cmd = setting(cfg, "command_file", found);
    if (cmd != VT_CMD_PIPE)
        f.error(vt::format("%s: command_file is %s, not the relay's pipe: queued commands never reach the engine; set "
                           "command_file=%s",
                           path.c_str(), found ? cmd.c_str() : "not set", VT_CMD_PIPE));
    else
        f.ok(vt::format("%s: command_file is the relay's pipe", path.c_str()));

    /* The engine raises an event for modules only when its kind is named here, and names none
     * when the line is missing; the module refuses to load without the kinds it registers for
     * (program state, retention, notifications, state changes, comments, host and service
     * checks, downtimes, acknowledgements, flapping, status, external commands). */
    const unsigned long needed = 250829;
    const std::string events = setting(cfg, "event_broker_options", found);
    const unsigned long options = events == "-1" ? ~0UL : std::strtoul(events.c_str(), nullptr, 0);
    if (!found)
        f.error(vt::format("%s: event_broker_options is not set, so the engine raises no event for modules: the module "
                           "will not load; set event_broker_options=-1",
                           path.c_str()));
    else if ((options & needed) != needed)
        f.error(vt::format("%s: event_broker_options=%s leaves out events the module needs: it will not load; set "
                           "event_broker_options=-1",
                           path.c_str(), events.c_str()));
    else
        f.ok(vt::format("%s: event_broker_options raises the events the module needs", path.c_str()));

    const std::string illegal = setting(cfg, "illegal_macro_output_chars", found);
    if (illegal.empty())
        f.warning(vt::format("%s: illegal_macro_output_chars is not set: characters a shell treats specially in plugin "
                             "output reach notification commands; set illegal_macro_output_chars=`~$&|'\"<>",
                             path.c_str()));
    else
        f.ok(vt::format("%s: illegal_macro_output_chars is set", path.c_str()));
}

void usage(FILE *to)
{
    std::fprintf(to,
                 "usage: vantor-check [--engine-config FILE] [--engine PROGRAM] [--engine-group GROUP] [-t SECONDS]\n"
                 "Inspects this installation below %s and prints one line per finding, with what to do.\n"
                 "  --engine-config FILE  the engine's main configuration (naemon.cfg): its broker_module=,\n"
                 "                        command_file=, event_broker_options= and illegal_macro_output_chars= lines,\n"
                 "                        and its release\n"
                 "  --engine PROGRAM      the engine's program (default: naemon on the PATH)\n"
                 "  --engine-group GROUP  the engine's group (default: naemon_group of FILE, or naemon)\n"
                 "  -t SECONDS            time limit of each connection (default 5)\n"
                 "Exit status: 0 all well, 1 warnings, 2 errors.\n",
                 VANTOR_ROOT);
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    static const option longs[] = {{"engine-config", required_argument, nullptr, 'c'},
                                   {"engine", required_argument, nullptr, 'e'},
                                   {"engine-group", required_argument, nullptr, 'g'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "c:e:g:t:h", longs, nullptr)) != -1;) {
        switch (c) {
        case 'c': o.engine_config = optarg; break;
        case 'e': o.engine = optarg; break;
        case 'g': o.engine_group = optarg; break;
        case 't': o.timeout = std::max(1, std::atoi(optarg)); break;
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    Findings f;
    std::vector<std::pair<std::string, std::string>> cfg;
    bool have_cfg = false;
    if (!o.engine_config.empty()) {
        std::string err;
        have_cfg = read_engine_config(o.engine_config, cfg, err);
        if (!have_cfg)
            f.error(vt::format("cannot read the engine's configuration %s: %s; name it with --engine-config",
                               o.engine_config.c_str(), err.c_str()));
    }
    if (o.engine_group.empty()) {
        bool found;
        o.engine_group = have_cfg ? setting(cfg, "naemon_group", found) : "";
        if (o.engine_group.empty())
            o.engine_group = "naemon";
    }

    check_secret(f, VT_DB_CONF_FILE, o.engine_group, false,
                 "write the database account into it as $DBHOST, $DBUSER, $DBPASS and $DBPORT (see the README's quick start)");
    check_secret(f, VT_JOB_KEY_FILE, o.engine_group, true,
                 vt::format("make it: (umask 027; od -An -vtx1 -N32 /dev/urandom | tr -d ' \\n' > %s) && chgrp %s %s",
                            VT_JOB_KEY_FILE, o.engine_group.c_str(), VT_JOB_KEY_FILE));

    if (!vt::tools::init_quiet_runtime("vantor-check")) {
        f.error(vt::format("cannot read %s: the database cannot be checked", VT_DB_CONF_FILE));
    } else {
        std::string err;
        vt::tools::Connection db = vt::tools::connect_db(o.timeout, err);
        if (!db) {
            f.error(vt::format("database unreachable as %s: %s; start MariaDB, or correct $DBHOST, $DBUSER, $DBPASS "
                               "and $DBPORT in %s",
                               DBUSER, err.c_str(), VT_DB_CONF_FILE));
        } else {
            f.ok(vt::format("database reachable as %s at %s", DBUSER, DBHOST));
            check_rights(f, db.get());
            check_schemas(f, db.get(), VT_PATH("/share/sql"));
        }
        check_job_servers(f, db.get(), o.timeout);
    }
    if (have_cfg)
        check_engine_config(f, o, cfg);
    if (have_cfg || !o.engine.empty())
        check_engine_release(f, o);

    std::printf("%d error%s, %d warning%s\n", f.count(kError), f.count(kError) == 1 ? "" : "s", f.count(kWarning),
                f.count(kWarning) == 1 ? "" : "s");
    return f.worst();
}
