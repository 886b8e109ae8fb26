// Test helpers: the private servers, an independent admin SQL connection, job-server probes.
#include "test_support.h"
#include "vt_message_id.h"
#include "vt_batch.h"

#include "vantor_config.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_sign.h"

#include <libgearman/gearman.h>
#include <mysql.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vtt {

std::string root() { return VANTOR_ROOT; }
std::string path(const std::string &rel) { return root() + rel; }
int gearman_port() { return VANTOR_GEARMAN_PORT; }
int db_port() { return VT_TEST_DB_PORT; }

namespace {
void services(const char *cmd)
{
    std::string line = std::string(VT_SERVICES_SCRIPT) + " " + cmd + " " + VT_TEST_STATE_DIR + " " + root() + " " +
                       std::to_string(db_port()) + " " + std::to_string(gearman_port());
    if (std::system(line.c_str()) != 0)
        throw std::runtime_error("service command failed: " + line);
}

pid_t pid_from(const char *file)
{
    std::string p = read_file(std::string(VT_TEST_STATE_DIR) + "/" + file);
    return static_cast<pid_t>(std::strtol(p.c_str(), nullptr, 10));
}
pid_t gearmand_pid() { return pid_from("gearmand.pid"); }

// SIGSTOP, returning once the server shows as stopped.
void pause_process(pid_t p)
{
    if (p <= 0)
        return;
    kill(p, SIGSTOP);
    // The stop takes effect asynchronously: a server still busy could answer one more request.
    wait_until([&] {
        std::string stat = read_file("/proc/" + std::to_string(p) + "/stat");
        size_t close_paren = stat.rfind(')');
        return close_paren == std::string::npos || (close_paren + 2 < stat.size() && stat[close_paren + 2] == 'T');
    }, 5000);
}
}  // namespace

void gearmand_start() { services("gearmand-start"); }
void gearmand_stop() { services("gearmand-stop"); }
void mariadb_start() { services("mariadb-start"); }
void mariadb_stop() { services("mariadb-stop"); }
void gearmand_pause() { pause_process(gearmand_pid()); }
void gearmand_resume()
{
    pid_t p = gearmand_pid();
    if (p > 0)
        kill(p, SIGCONT);
}

MariadbPaused::MariadbPaused() : pid_(pid_from("mysql.pid")) { pause_process(pid_); }
MariadbPaused::~MariadbPaused()
{
    if (pid_ > 0)
        kill(pid_, SIGCONT);
}

void gearmand_kill()
{
    pid_t p = gearmand_pid();
    if (p <= 0)
        return;
    kill(p, SIGKILL);
    wait_until([&] { return kill(p, 0) != 0; }, 10000);
}

Sql::Sql() : conn_(nullptr)
{
    MYSQL *m = mysql_init(nullptr);
    my_bool reconnect = 1;  // tests restart the server under a live fixture
    mysql_options(m, MYSQL_OPT_RECONNECT, &reconnect);
    vt_db_refuse_local_files(m);
    std::string sock = std::string(VT_TEST_STATE_DIR) + "/mysql.sock";
    if (!mysql_real_connect(m, "localhost", "root", nullptr, nullptr, 0, sock.c_str(), 0)) {
        std::string err = mysql_error(m);
        mysql_close(m);
        throw std::runtime_error("admin connection failed: " + err);
    }
    mysql_set_character_set(m, "utf8mb4");
    conn_ = m;
}

Sql::~Sql() { mysql_close(static_cast<MYSQL *>(conn_)); }

void Sql::exec(const std::string &sql)
{
    MYSQL *m = static_cast<MYSQL *>(conn_);
    if (mysql_real_query(m, sql.data(), sql.size()) != 0)
        throw std::runtime_error("SQL failed: " + sql + ": " + mysql_error(m));
    mysql_free_result(mysql_store_result(m));
}

std::vector<Row> Sql::rows(const std::string &sql)
{
    MYSQL *m = static_cast<MYSQL *>(conn_);
    if (mysql_real_query(m, sql.data(), sql.size()) != 0)
        throw std::runtime_error("SQL failed: " + sql + ": " + mysql_error(m));
    std::vector<Row> out;
    MYSQL_RES *res = mysql_store_result(m);
    if (!res)
        return out;
    unsigned n = mysql_num_fields(res);
    while (MYSQL_ROW r = mysql_fetch_row(res)) {
        unsigned long *len = mysql_fetch_lengths(res);
        Row row;
        for (unsigned i = 0; i < n; ++i)
            row.push_back(r[i] ? std::optional<std::string>(std::string(r[i], len[i])) : std::nullopt);
        out.push_back(std::move(row));
    }
    mysql_free_result(res);
    return out;
}

std::string Sql::scalar(const std::string &sql)
{
    auto r = rows(sql);
    if (r.empty() || r[0].empty())
        return "";
    return r[0][0] ? *r[0][0] : "NULL";
}

long Sql::count(const std::string &table_and_where)
{
    return std::stol(scalar("SELECT COUNT(*) FROM " + table_and_where));
}

void init_runtime(const char *module)
{
    static std::string mod, log, aux;
    mod = module;
    log = path("/var/" + mod + ".log");
    aux = log + ".1";
    VTMODULE = const_cast<char *>(mod.c_str());
    logfile = const_cast<char *>(log.c_str());
    logfile_aux = const_cast<char *>(aux.c_str());
    mkdir(path("/var").c_str(), 0755);
    mkdir(path("/var/delayed-messages").c_str(), 0755);
    mkdir(path("/var/rw").c_str(), 0755);
    mkdir(path("/var/run").c_str(), 0755);
    if (parse_db_conf() != 0)
        throw std::runtime_error("db.php missing under " + root());
    load_sandbox_key();  // as the daemon does before it forks its workers
}

std::vector<std::string> gearman_admin(const std::string &command)
{
    std::vector<std::string> out;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return out;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(gearman_port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const std::string line_out = command + "\n";
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        write(fd, line_out.data(), line_out.size()) != static_cast<ssize_t>(line_out.size())) {
        close(fd);
        return out;
    }
    std::string buf;
    char chunk[4096];
    while (buf.find("\n.\n") == std::string::npos && buf.rfind(".\n", 0) != 0) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        buf.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    std::istringstream in(buf);
    std::string line;
    while (std::getline(in, line) && line != ".")
        out.push_back(line);
    return out;
}

std::map<std::string, QueueStatus> gearman_status()
{
    std::map<std::string, QueueStatus> out;
    for (const std::string &line : gearman_admin("status")) {
        std::istringstream f(line);
        std::string name;
        QueueStatus s;
        if (std::getline(f, name, '\t') && (f >> s.total >> s.running >> s.workers))
            out[name] = s;
    }
    return out;
}

long gearman_queued(const std::string &queue)
{
    auto st = gearman_status();
    auto it = st.find(queue);
    return it == st.end() ? 0 : it->second.total - it->second.running;
}

namespace {
struct Collected {
    std::vector<std::string> *jobs;
    bool raw = false;
};
void *collect(gearman_job_st *job, void *context, size_t *result_size, gearman_return_t *ret)
{
    auto *c = static_cast<Collected *>(context);
    if (c->raw) {
        c->jobs->emplace_back(static_cast<const char *>(gearman_job_workload(job)), gearman_job_workload_size(job));
        *result_size = 0;
        *ret = GEARMAN_SUCCESS;
        return nullptr;
    }
    // A batch counts as the messages it holds, in their order; a signed job as the job inside;
    // a message as its text without the identity the module puts in front.
    const char *data = nullptr;
    size_t size = 0;
    vt::open_job(gearman_job_function_name(job), static_cast<const char *>(gearman_job_workload(job)),
                 gearman_job_workload_size(job), &data, &size);
    vt::for_each_message(data, size, [&](const char *text, size_t len) {
        vt::MessageId id;
        const size_t at = vt::parse_message_id(text, len, &id);
        c->jobs->emplace_back(text + at, len - at);
    });
    *result_size = 0;
    *ret = GEARMAN_SUCCESS;
    return nullptr;
}
}  // namespace

namespace {
std::vector<std::string> take(const std::string &queue, size_t count, int timeout_ms, bool raw)
{
    std::vector<std::string> jobs;
    load_sandbox_key();
    Collected c{&jobs, raw};
    gearman_worker_st *w = gearman_worker_create(nullptr);
    if (!w)
        return jobs;
    gearman_worker_add_server(w, "127.0.0.1", static_cast<in_port_t>(gearman_port()));
    gearman_worker_add_function(w, queue.c_str(), 0, collect, &c);
    gearman_worker_set_timeout(w, 200);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (jobs.size() < count && std::chrono::steady_clock::now() < deadline) {
        gearman_return_t rc = gearman_worker_work(w);
        if (rc != GEARMAN_SUCCESS && rc != GEARMAN_TIMEOUT && rc != GEARMAN_IO_WAIT && rc != GEARMAN_NO_JOBS)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    gearman_worker_free(w);
    return jobs;
}
}  // namespace

std::string without_id(const std::string &text)
{
    vt::MessageId id;
    return text.substr(vt::parse_message_id(text.data(), text.size(), &id));
}

std::vector<std::string> gearman_take(const std::string &queue, size_t count, int timeout_ms)
{
    return take(queue, count, timeout_ms, false);
}

std::vector<std::string> gearman_take_raw(const std::string &queue, size_t count, int timeout_ms)
{
    return take(queue, count, timeout_ms, true);
}

void gearman_drain(const std::string &queue)
{
    // A take of as many messages as jobs wait never waits for jobs that are not there (a
    // batch job yields several messages); what a batch left waiting is taken next time.
    for (int i = 0; i < 1000; ++i) {
        long waiting = gearman_queued(queue);
        if (waiting <= 0)
            break;
        gearman_take(queue, static_cast<size_t>(waiting), 10000);
    }
}

void load_sandbox_key()
{
    if (vt::job_key_loaded())
        return;
    std::string why;
    if (!vt::load_job_key(path("/etc/vantor.key"), why))
        throw std::runtime_error("no job key: " + why);
}

std::string signed_job(const std::string &queue, const std::string &text)
{
    if (queue == "vt_eventguard")
        return text;  // read outside the system, never signed
    load_sandbox_key();
    return vt::sign_job(queue.c_str(), text.data(), text.size());
}

void gearman_submit(const std::string &queue, const std::string &text, bool high)
{
    gearman_submit_unsigned(queue, signed_job(queue, text), high);
}

void gearman_submit_unsigned(const std::string &queue, const std::string &text, bool high)
{
    gearman_client_st *c = gearman_client_create(nullptr);
    if (!c)
        throw std::runtime_error("gearman_client_create failed");
    gearman_client_add_server(c, "127.0.0.1", static_cast<in_port_t>(gearman_port()));
    gearman_job_handle_t handle;
    gearman_return_t rc = high ? gearman_client_do_high_background(c, queue.c_str(), nullptr, text.data(), text.size(), handle)
                               : gearman_client_do_background(c, queue.c_str(), nullptr, text.data(), text.size(), handle);
    std::string err = gearman_client_error(c) ? gearman_client_error(c) : "";
    gearman_client_free(c);
    if (rc != GEARMAN_SUCCESS)
        throw std::runtime_error("submission to " + queue + " failed: " + err);
}

void gearman_submit_all(const std::string &queue, const std::vector<std::string> &texts)
{
    gearman_client_st *c = gearman_client_create(nullptr);
    if (!c)
        throw std::runtime_error("gearman_client_create failed");
    gearman_client_add_server(c, "127.0.0.1", static_cast<in_port_t>(gearman_port()));
    for (const std::string &message : texts) {
        gearman_job_handle_t handle;
        const std::string text = signed_job(queue, message);
        if (gearman_client_do_background(c, queue.c_str(), nullptr, text.data(), text.size(), handle) != GEARMAN_SUCCESS) {
            std::string err = gearman_client_error(c) ? gearman_client_error(c) : "";
            gearman_client_free(c);
            throw std::runtime_error("submission to " + queue + " failed: " + err);
        }
    }
    gearman_client_free(c);
}

std::string read_file(const std::string &p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &p, const std::string &content)
{
    {
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << content;
    }
    if (p == VT_DB_CONF_FILE)  // it holds the password: keep the mode it is installed with
        chmod(p.c_str(), 0640);
}

bool exists(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

void remove_file(const std::string &p) { unlink(p.c_str()); }

std::vector<std::string> list_dir(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

long count_lines_containing(const std::string &p, const std::string &needle)
{
    std::ifstream in(p);
    std::string line;
    long n = 0;
    while (std::getline(in, line))
        if (line.find(needle) != std::string::npos)
            ++n;
    return n;
}

long count_since(const std::string &p, size_t from, const std::string &needle)
{
    const std::string text = read_file(p);
    long n = 0;
    for (size_t at = text.find(needle, from); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

std::string daemon_binary() { return std::string(VT_BINARY_DIR) + "/connector/vantorconnector"; }
std::string daemon_log() { return path("/var/vantorconnector.log"); }

KeptFile::KeptFile(std::string path) : path_(std::move(path)), saved_(read_file(path_)) {}

KeptFile::~KeptFile()
{
    unlink(path_.c_str());
    write_file(path_, saved_);
    chmod(path_.c_str(), 0640);
}

pid_t start_daemon(int timeout_ms, const std::string &binary)
{
    std::string log = daemon_log();
    size_t offset = read_file(log).size();
    pid_t pid = fork();
    if (pid == 0) {
        execl(binary.c_str(), "vantorconnector", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    pid_t supervisor = 0;
    wait_until([&] {
        std::string text = read_file(log);
        if (text.size() < offset || text.find("PIDs Main process ", offset) == std::string::npos)
            return false;
        supervisor = static_cast<pid_t>(std::strtol(read_file(path("/var/run/vantorconnector.lock")).c_str(), nullptr, 10));
        return supervisor > 0;
    }, timeout_ms);
    return supervisor;
}

ScopedDaemon::ScopedDaemon(const std::string &conf)
{
    const std::string file = VT_CONNECTOR_CONF;
    const std::string saved = read_file(file);
    write_file(file, conf);
    pid_ = start_daemon();
    write_file(file, saved);
}

pid_t spawn_simulator(const std::string &sim, const std::vector<std::string> &args, const std::string &out_path)
{
    std::vector<std::string> argv_text = {"vantor-engine-sim"};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_text)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || dup2(out, STDOUT_FILENO) < 0)
            _exit(126);
        execv(sim.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

bool run_simulator(const std::string &sim, const std::vector<std::string> &args, const std::string &out_path)
{
    pid_t pid = spawn_simulator(sim, args, out_path);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void stop_daemon(pid_t supervisor)
{
    if (supervisor <= 0)
        return;
    kill(-supervisor, SIGKILL);
    kill(supervisor, SIGKILL);
    // Reap whatever of it was reparented to us (tests that act as a subreaper).
    wait_until([&] {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        return kill(supervisor, 0) != 0 && children_of(supervisor).empty();
    }, 10000);
}

std::vector<pid_t> children_of(pid_t ppid)
{
    std::vector<pid_t> out;
    for (const std::string &name : list_dir("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat = read_file("/proc/" + name + "/stat");
        size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos)
            continue;
        std::istringstream f(stat.substr(close_paren + 2));
        char state = 0;
        long parent = 0;
        f >> state >> parent;
        if (parent == ppid && state != 'Z')
            out.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return out;
}

void kill_and_reap(const std::vector<pid_t> &pids)
{
    for (pid_t p : pids)
        if (p > 0) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
}

bool wait_until(const std::function<bool()> &pred, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace vtt
