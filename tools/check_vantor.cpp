/* check_vantor: a plugin for the monitoring engine that checks this system itself: job-server
 * queues and workers, dump files, failed statements, program-status freshness, the daemon. */
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_tools.h"
#include "vt_safe_file.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <map>
#include <netdb.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

enum State { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
const char *const kStateNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

/* Which of two states is worse: CRITICAL over WARNING over UNKNOWN over OK, so that a part
 * that could not be read does not hide a real problem found elsewhere. */
int severity(int state)
{
    static const int rank[] = {0, 2, 3, 1};
    return rank[state];
}

struct Thresholds {
    long warn;
    long crit;
};

struct Options {
    Thresholds queue{1000, 5000};     // jobs waiting on one queue, all servers together
    Thresholds dumps{5, 50};          // dump files not yet replayed
    Thresholds errors{1, 1000};       // lines in the failed-SQL file
    Thresholds age{300, 900};         // seconds since program_status.entry_time
    std::vector<vt::tools::JobServer> servers;  // empty: the daemon's list from vtcfg
    int timeout = 10;
};

/* What the checks found: problems with their states, an OK summary, performance data. */
class Report {
public:
    void problem(int state, const std::string &text) { problems_.push_back({state, text}); }
    void note(const std::string &text) { notes_.push_back(text); }
    void perf(const std::string &label, long value, const char *unit, const std::string &levels)
    {
        perf_ += vt::format("%s'%s'=%ld%s;%s", perf_.empty() ? "" : " ", label.c_str(), value, unit, levels.c_str());
    }
    /* Takes over what other found, after what this report holds. */
    void append(const Report &other)
    {
        problems_.insert(problems_.end(), other.problems_.begin(), other.problems_.end());
        notes_.insert(notes_.end(), other.notes_.begin(), other.notes_.end());
        if (!other.perf_.empty())
            perf_ += (perf_.empty() ? "" : " ") + other.perf_;
    }
    /* Prints the one line and returns the exit status. */
    int finish() const
    {
        int state = kOk;
        for (const auto &p : problems_)
            if (severity(p.first) > severity(state))
                state = p.first;
        std::vector<std::pair<int, std::string>> sorted = problems_;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const auto &a, const auto &b) { return severity(a.first) > severity(b.first); });
        std::string text;
        for (const auto &p : sorted)
            text += (text.empty() ? "" : "; ") + p.second;
        if (text.empty())
            for (const auto &n : notes_)
                text += (text.empty() ? "" : ", ") + n;
        std::printf("VANTOR %s - %s|%s\n", kStateNames[state], text.c_str(), perf_.c_str());
        return state;
    }

private:
    std::vector<std::pair<int, std::string>> problems_;
    std::vector<std::string> notes_;
    std::string perf_;
};

std::string levels(const Thresholds &t) { return vt::format("%ld;%ld;0", t.warn, t.crit); }

int level_of(long value, const Thresholds &t)
{
    return value >= t.crit ? kCritical : value >= t.warn ? kWarning : kOk;
}

struct QueueStatus {
    long total = 0, running = 0, workers = 0;
};

/* The one time limit of the whole run (-t), shared by every connection and every wait. */
class Deadline {
public:
    explicit Deadline(int seconds) : seconds_(seconds), end_(now_ms() + seconds * 1000LL) {}
    /* Milliseconds left, 0 once the limit has passed. */
    int left_ms() const { return static_cast<int>(std::max(0LL, end_ - now_ms())); }
    bool passed() const { return left_ms() == 0; }
    int seconds() const { return seconds_; }

private:
    static long long now_ms()
    {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
    }
    int seconds_;
    long long end_;
};

/* The text a part reports when the time limit ran out while it was waiting. */
std::string out_of_time(const Deadline &d, const std::string &what)
{
    return vt::format("time limit of %d s ran out %s", d.seconds(), what.c_str());
}

/* The database side of the run, on the client library's non-blocking interface, so that
 * every wait ends with the run's deadline, however the server stalls. */
class DbSession {
public:
    explicit DbSession(const Deadline &deadline) : deadline_(deadline) {}
    ~DbSession() { close(); }
    DbSession(const DbSession &) = delete;
    DbSession &operator=(const DbSession &) = delete;

    bool connect(std::string &err)
    {
        db_ = mysql_init(nullptr);
        if (!db_) {
            err = "out of memory";
            return false;
        }
        mysql_options(db_, MYSQL_OPT_NONBLOCK, nullptr);
        vt_db_refuse_local_files(db_);
        unsigned int t = static_cast<unsigned int>(deadline_.seconds());
        for (mysql_option o : {MYSQL_OPT_CONNECT_TIMEOUT, MYSQL_OPT_READ_TIMEOUT, MYSQL_OPT_WRITE_TIMEOUT})
            mysql_options(db_, o, &t);
        unsigned int no_local_files = 0;
        mysql_options(db_, MYSQL_OPT_LOCAL_INFILE, &no_local_files);
        MYSQL *ret = nullptr;
        int st = mysql_real_connect_start(&ret, db_, DBHOST, DBUSER, DBPASS, "vantor4",
                                          static_cast<unsigned int>(std::strtoul(DBPORT, nullptr, 10)), nullptr, 0);
        while (st != 0) {
            if ((st = wait(st)) < 0) {
                err = out_of_time(deadline_, "while connecting");
                close();
                return false;
            }
            st = mysql_real_connect_cont(&ret, db_, st);
        }
        if (!ret) {
            err = vt::format("%s (%s port %s)", mysql_error(db_), DBHOST, DBPORT);
            close();
            return false;
        }
        return true;
    }
    bool connected() const { return db_ != nullptr; }

    /* Runs query and hands out its result set; null with the reason in err (the session
     * is closed when the time ran out). */
    vt::Result query(const char *query, const char *what, std::string &err)
    {
        if (!db_) {
            err = "not connected";
            return vt::Result();
        }
        int rc = 0;
        int st = mysql_real_query_start(&rc, db_, query, static_cast<unsigned long>(std::strlen(query)));
        while (st != 0) {
            if ((st = wait(st)) < 0)
                return timed_out(what, err);
            st = mysql_real_query_cont(&rc, db_, st);
        }
        if (rc != 0) {
            err = mysql_error(db_);
            return vt::Result();
        }
        MYSQL_RES *res = nullptr;
        st = mysql_store_result_start(&res, db_);
        while (st != 0) {
            if ((st = wait(st)) < 0)
                return timed_out(what, err);
            st = mysql_store_result_cont(&res, db_, st);
        }
        if (!res)
            err = mysql_errno(db_) ? mysql_error(db_) : "no result";
        return vt::Result(res);
    }

private:
    vt::Result timed_out(const char *what, std::string &err)
    {
        err = out_of_time(deadline_, std::string("while reading ") + what);
        close();
        return vt::Result();
    }
    /* Waits for what the library asks for, at most until the deadline. The events for the
     * library's next step, or -1 when the deadline passed. */
    int wait(int status)
    {
        pollfd p{static_cast<int>(mysql_get_socket(db_)), 0, 0};
        if (status & MYSQL_WAIT_READ)
            p.events |= POLLIN;
        if (status & MYSQL_WAIT_WRITE)
            p.events |= POLLOUT;
        if (status & MYSQL_WAIT_EXCEPT)
            p.events |= POLLPRI;
        int left = deadline_.left_ms();
        const bool library_limit = (status & MYSQL_WAIT_TIMEOUT) && mysql_get_timeout_value_ms(db_) < static_cast<unsigned>(left);
        if (library_limit)
            left = static_cast<int>(mysql_get_timeout_value_ms(db_));
        int n;
        while ((n = poll(&p, 1, left)) < 0 && errno == EINTR) {
        }
        if (n > 0)
            return (p.revents & (POLLIN | POLLHUP | POLLERR) ? MYSQL_WAIT_READ : 0) |
                   (p.revents & POLLOUT ? MYSQL_WAIT_WRITE : 0) | (p.revents & POLLPRI ? MYSQL_WAIT_EXCEPT : 0);
        return library_limit ? MYSQL_WAIT_TIMEOUT : -1;
    }
    /* A session abandoned mid-operation is cut off first, so that closing it sends nothing
     * to a server that does not answer. */
    void close()
    {
        if (!db_)
            return;
        int fd = static_cast<int>(mysql_get_socket(db_));
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
        mysql_close(db_);
        db_ = nullptr;
    }

    const Deadline &deadline_;
    MYSQL *db_ = nullptr;
};

/* Reads the job server's answer to the text admin command "status": one line per function
 * ("name\ttotal\trunning\tworkers"), ended by a line holding a full stop. false, with the
 * reason in err, when the server cannot be asked within the timeout. */
bool admin_status(const vt::tools::JobServer &server, const Deadline &deadline,
                  std::map<std::string, QueueStatus> &out, std::string &err)
{
    if (deadline.passed()) {
        err = out_of_time(deadline, "before it was asked");
        return false;
    }
    vt::Fd fd = vt::tools::connect_tcp_ms(server.host, server.port, deadline.left_ms(), err);
    if (!fd) {
        if (deadline.passed())
            err = out_of_time(deadline, "while connecting");
        return false;
    }
    if (!vt::write_all(fd.get(), "status\n")) {
        err = std::strerror(errno);
        return false;
    }
    std::string buf;
    char chunk[4096];
    while (buf.rfind(".\n", 0) != 0 && buf.find("\n.\n") == std::string::npos) {
        pollfd p{fd.get(), POLLIN, 0};
        int ready;
        while ((ready = poll(&p, 1, deadline.left_ms())) < 0 && errno == EINTR) {
        }
        if (ready == 0) {
            err = out_of_time(deadline, "while waiting for its answer");
            return false;
        }
        ssize_t n = read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n == 0 ? "connection closed" : std::strerror(errno == EAGAIN ? ETIMEDOUT : errno);
            return false;
        }
        buf.append(chunk, static_cast<size_t>(n));
    }
    std::istringstream in(buf);
    std::string line;
    while (std::getline(in, line) && line != ".") {
        std::istringstream fields(line);
        std::string name;
        QueueStatus s;
        if (std::getline(fields, name, '\t') && (fields >> s.total >> s.running >> s.workers))
            out[name] = s;
    }
    return true;
}

/* The queues the daemon serves and how many of its workers each server should list: the
 * priority-status worker registers only with the job server on 127.0.0.1. */
struct Queue {
    const char *name;
    const char *label;
    long expected;
    bool priority_only;
};

void check_job_servers(const Options &opt, const Deadline &deadline, Report &report)
{
    const Queue queues[] = {
        {"vtdb_vtstatus", "status", std::max(VTSTATUS_WORKERS, 0), false},
        {"vtdb_statuspri", "statuspri", 1, true},
        {"vtdb_perfdata", "perfdata", std::max(PERFDATA_WORKERS, 0), false},
        {"vtdb_notify", "notify", std::max(NOTIFY_WORKERS, 0), false},
    };
    std::map<std::string, long> waiting;
    std::map<std::string, long> fewest;  // the fewest workers any server lists for a queue
    long reachable = 0;
    for (const auto &server : opt.servers) {
        std::map<std::string, QueueStatus> status;
        std::string err;
        std::string where = server.host + ":" + std::to_string(server.port);
        if (!admin_status(server, deadline, status, err)) {
            report.problem(kCritical, "job server " + where + " unreachable: " + err);
            continue;
        }
        ++reachable;
        bool priority_server = (server.host == "127.0.0.1" || server.host == "localhost") &&
                               server.port == VANTOR_GEARMAN_PORT;
        for (const Queue &q : queues) {
            const QueueStatus &s = status[q.name];
            waiting[q.name] += std::max(s.total - s.running, 0L);
            if (q.priority_only && !priority_server)
                continue;
            auto f = fewest.find(q.name);
            if (f == fewest.end() || s.workers < f->second)
                fewest[q.name] = s.workers;
            if (s.workers < q.expected)
                report.problem(s.workers == 0 ? kCritical : kWarning,
                               vt::format("%s: %ld of %ld workers on %s", q.name, s.workers, q.expected, where.c_str()));
            else if (s.workers > q.expected)
                report.problem(kWarning, vt::format("%s: %ld workers on %s, %ld configured (another daemon?)", q.name,
                                                    s.workers, where.c_str(), q.expected));
        }
    }
    if (reachable == 0)
        return;
    long total_waiting = 0;
    for (const Queue &q : queues) {
        long w = waiting[q.name];
        total_waiting += w;
        if (int st = level_of(w, opt.queue))
            report.problem(st, vt::format("%s: %ld jobs waiting", q.name, w));
        report.perf(std::string(q.label) + "_waiting", w, "", levels(opt.queue));
        if (fewest.count(q.name))
            report.perf(std::string(q.label) + "_workers", fewest[q.name], "", vt::format(";;0;%ld", q.expected));
    }
    report.note(vt::format("%ld jobs waiting", total_waiting));
}

void check_dump_files(const Options &opt, Report &report)
{
    long files = 0;
    vt::Fd dir = vt::safe::open_dir(VT_DELAYED_DIR, vt::safe::Report::Quiet);
    if (!dir) {
        report.problem(kUnknown, vt::format("cannot read %s: %s", VT_DELAYED_DIR, std::strerror(errno)));
        return;
    }
    for (const vt::safe::Entry &e : vt::safe::list(dir.get()))
        if (e.name.compare(0, 21, "delayed-messages.dump") == 0 && S_ISREG(e.st.st_mode))
            ++files;
    /* A dump that could not be moved into the folder waits beside it, unseen by the replay. */
    vt::safe::Location dump = vt::safe::locate(VT_DUMP_FILE, vt::safe::Report::Quiet);
    struct stat st;
    if (dump && vt::safe::stat_at(dump.dir.get(), dump.name, st))
        report.problem(kWarning, vt::format("%s could not be moved into %s", VT_DUMP_FILE, VT_DELAYED_DIR));
    if (int s = level_of(files, opt.dumps))
        report.problem(s, vt::format("%ld dump files waiting for replay", files));
    report.note(vt::format("%ld dump files", files));
    report.perf("dump_files", files, "", levels(opt.dumps));
}

void check_failed_sql(const Options &opt, Report &report)
{
    vt::Fd fd = vt::safe::open_file(VT_FAILED_SQL_FILE, O_RDONLY, 0, vt::safe::Kind::Regular, vt::safe::Report::Quiet);
    long lines = 0;
    if (!fd && errno != ENOENT) {
        report.problem(kUnknown, vt::format("cannot read %s: %s", VT_FAILED_SQL_FILE, std::strerror(errno)));
        return;
    }
    char buf[65536];
    ssize_t n;
    while (fd && (n = read(fd.get(), buf, sizeof buf)) > 0)
        lines += std::count(buf, buf + n, '\n');
    if (int s = level_of(lines, opt.errors))
        report.problem(s, vt::format("%ld failed statements in %s", lines, VT_FAILED_SQL_FILE));
    report.note(vt::format("%ld failed statements", lines));
    report.perf("failed_statements", lines, "", levels(opt.errors));
}

void check_program_status(DbSession &db, const std::string &db_error, Report &report, const Options &opt)
{
    if (!db.connected()) {
        report.problem(kCritical, "database unreachable: " + db_error);
        return;
    }
    const char *q = "SELECT TIMESTAMPDIFF(SECOND, MAX(entry_time), NOW()) FROM vantor4.program_status";
    std::string err;
    vt::Result res = db.query(q, "the program status", err);
    if (!res) {
        report.problem(kCritical, "program status unreadable: " + err);
        return;
    }
    MYSQL_ROW row = mysql_fetch_row(res.get());
    if (!row || !row[0]) {
        report.problem(kCritical, "no program status row: the module has not written one");
        return;
    }
    long age = std::strtol(row[0], nullptr, 10);
    if (int s = level_of(age, opt.age))
        report.problem(s, vt::format("program status %lds old", age));
    report.note(vt::format("program status %lds old", age));
    report.perf("status_age", age, "s", levels(opt.age));
}

/* The daemon holds a write lock on its lock file for its whole life; asking the kernel who
 * holds it tells a running daemon from a stale pid in the file. */
void check_daemon(Report &report)
{
    vt::Fd fd = vt::safe::open_file(VT_LOCK_FILE, O_RDONLY, 0, vt::safe::Kind::Regular, vt::safe::Report::Quiet);
    if (!fd) {
        report.problem(kCritical, errno == ENOENT ? std::string("daemon not running (no lock file)")
                                                  : vt::format("cannot read %s: %s", VT_LOCK_FILE, std::strerror(errno)));
        return;
    }
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    if (fcntl(fd.get(), F_GETLK, &lk) != 0) {
        report.problem(kUnknown, vt::format("cannot test the lock on %s: %s", VT_LOCK_FILE, std::strerror(errno)));
        return;
    }
    if (lk.l_type == F_UNLCK) {
        report.problem(kCritical, "daemon not running (nobody holds its lock)");
        return;
    }
    report.note(vt::format("daemon pid %d", static_cast<int>(lk.l_pid)));
}

void usage(FILE *to)
{
    std::fprintf(to,
        "Usage: check_vantor [options]\n"
        "Checks the connector daemon, its job servers and the status database.\n\n"
        "  -w, --queue-warning N     jobs waiting on one queue for WARNING (default 1000)\n"
        "  -c, --queue-critical N    ... for CRITICAL (default 5000)\n"
        "      --dumps-warning N     dump files waiting for replay for WARNING (default 5)\n"
        "      --dumps-critical N    ... for CRITICAL (default 50)\n"
        "      --errors-warning N    lines in %s for WARNING (default 1)\n"
        "      --errors-critical N   ... for CRITICAL (default 1000)\n"
        "      --age-warning S       seconds since program_status.entry_time for WARNING (default 300)\n"
        "      --age-critical S      ... for CRITICAL (default 900)\n"
        "  -H, --job-server H[:P]    job server to ask (repeatable; default: the daemon's list in\n"
        "                            vtcfg.job_servers, port %d where none is given)\n"
        "  -t, --timeout S           time limit of the whole check, all connections together\n"
        "                            (default 10); the part that ran out of it is named\n"
        "  -h, --help                this text\n\n"
        "Workers registered per queue are compared with %s; fewer is WARNING,\n"
        "none is CRITICAL, more is WARNING (a second daemon). A daemon whose lock nobody holds, an\n"
        "unreachable job server or database, or a missing program status row is CRITICAL.\n"
        "Exit status 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n",
        VT_FAILED_SQL_FILE, VANTOR_GEARMAN_PORT, VT_CONNECTOR_CONF);
}

bool parse_count(const char *text, long &out)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < 0)
        return false;
    out = v;
    return true;
}

/* 0 to go on, otherwise the exit status. */
int parse_options(int argc, char **argv, Options &opt)
{
    enum { kDumpsW = 256, kDumpsC, kErrW, kErrC, kAgeW, kAgeC };
    static const option longs[] = {
        {"queue-warning", required_argument, nullptr, 'w'}, {"queue-critical", required_argument, nullptr, 'c'},
        {"dumps-warning", required_argument, nullptr, kDumpsW}, {"dumps-critical", required_argument, nullptr, kDumpsC},
        {"errors-warning", required_argument, nullptr, kErrW}, {"errors-critical", required_argument, nullptr, kErrC},
        {"age-warning", required_argument, nullptr, kAgeW}, {"age-critical", required_argument, nullptr, kAgeC},
        {"job-server", required_argument, nullptr, 'H'}, {"timeout", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    long timeout = opt.timeout;
    int c;
    while ((c = getopt_long(argc, argv, "w:c:H:t:h", longs, nullptr)) != -1) {
        long *target = nullptr;
        switch (c) {
        case 'w': target = &opt.queue.warn; break;
        case 'c': target = &opt.queue.crit; break;
        case kDumpsW: target = &opt.dumps.warn; break;
        case kDumpsC: target = &opt.dumps.crit; break;
        case kErrW: target = &opt.errors.warn; break;
        case kErrC: target = &opt.errors.crit; break;
        case kAgeW: target = &opt.age.warn; break;
        case kAgeC: target = &opt.age.crit; break;
        case 't': target = &timeout; break;
        case 'H': {
            vt::tools::JobServer s;
            if (!vt::tools::parse_job_server(optarg, VANTOR_GEARMAN_PORT, s)) {
                std::printf("VANTOR UNKNOWN - invalid job server '%s'\n", optarg);
                return kUnknown;
            }
            opt.servers.push_back(s);
            continue;
        }
        case 'h': usage(stdout); return kUnknown;
        default: usage(stderr); return kUnknown;
        }
        if (!parse_count(optarg, *target)) {
            std::printf("VANTOR UNKNOWN - thresholds and the timeout are numbers of 0 or more, not '%s'\n", optarg);
            return kUnknown;
        }
    }
    if (optind < argc) {
        std::printf("VANTOR UNKNOWN - unexpected argument '%s'\n", argv[optind]);
        return kUnknown;
    }
    opt.timeout = static_cast<int>(std::clamp(timeout, 1L, 3600L));
    return kOk;
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (int st = parse_options(argc, argv, opt))
        return st;
    if (!vt::tools::init_quiet_runtime("check_vantor")) {
        std::printf("VANTOR UNKNOWN - cannot read %s\n", VT_DB_CONF_FILE);
        return kUnknown;
    }
    signal(SIGPIPE, SIG_IGN);
    const Deadline deadline(opt.timeout);
    parse_vantorconnector_conf();
    Report report;
    check_daemon(report);
    /* The database is asked first, the job servers with the time that is left; the line
     * keeps its order all the same. */
    DbSession db(deadline);
    std::string db_error;
    if (db.connect(db_error) && opt.servers.empty()) {
        std::string err;
        vt::Result res = db.query("select * from vtcfg.job_servers", "the job-server list", err);
        if (!res && !db.connected())
            db_error = err;  // the time ran out: the program status is not asked for either
        opt.servers = vt::tools::job_servers_from(res.get());
    } else if (opt.servers.empty()) {
        opt.servers = vt::tools::job_servers_from(nullptr);
    }
    Report program_status;
    check_program_status(db, db_error, program_status, opt);
    check_job_servers(opt, deadline, report);
    check_dump_files(opt, report);
    check_failed_sql(opt, report);
    report.append(program_status);
    return report.finish();
}
