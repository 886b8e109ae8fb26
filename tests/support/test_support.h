// Test helpers: the private servers, an independent admin SQL connection, job-server probes.
#ifndef VT_TEST_SUPPORT_H
#define VT_TEST_SUPPORT_H

#include "failing_new.h"

#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>
#include <sys/types.h>

namespace vtt {

using Row = std::vector<std::optional<std::string>>;

// The build's install root (the sandbox of a test build).
std::string root();
std::string path(const std::string &rel);  // root() + rel

// Server control through scripts/test-services.sh (each call waits until done).
void gearmand_start();
void gearmand_stop();
void gearmand_pause();   // SIGSTOP: accepts connections in the kernel, never answers
void gearmand_resume();  // SIGCONT
void gearmand_kill();    // SIGKILL, as a crash: waits until it is gone
void mariadb_start();
void mariadb_stop();
// The private MariaDB stopped with SIGSTOP for as long as this lives (it accepts connections
// in the kernel and never answers), continued however the test ends.
class MariadbPaused {
public:
    MariadbPaused();
    ~MariadbPaused();
    MariadbPaused(const MariadbPaused &) = delete;
    MariadbPaused &operator=(const MariadbPaused &) = delete;
private:
    pid_t pid_;
};
int gearman_port();
int db_port();

// An admin connection as root over the private server's socket, independent of the code
// under test. Throws std::runtime_error on SQL errors.
class Sql {
public:
    Sql();
    ~Sql();
    Sql(const Sql &) = delete;
    Sql &operator=(const Sql &) = delete;
    void exec(const std::string &sql);
    std::vector<Row> rows(const std::string &sql);
    // First column of the first row, "" when no row, "NULL" for a NULL.
    std::string scalar(const std::string &sql);
    long count(const std::string &table_and_where);  // SELECT COUNT(*) FROM <arg>
private:
    void *conn_;
};

// Sets VTMODULE, logfile and logfile_aux for a unit under test, like a deliverable's start,
// and reads db.php and the job key. The log goes to <root>/var/<module>.log.
void init_runtime(const char *module);

// Job server probes over the admin protocol and a real worker/client.
struct QueueStatus { long total = 0, running = 0, workers = 0; };
// The lines of the job server's answer to an admin command, without the closing ".".
std::vector<std::string> gearman_admin(const std::string &command);
std::map<std::string, QueueStatus> gearman_status();
long gearman_queued(const std::string &queue);  // jobs waiting in queue
// Takes jobs from queue with a real worker until count messages (a batch job holds several)
// are in, waiting at most timeout_ms in all.
std::vector<std::string> gearman_take(const std::string &queue, size_t count, int timeout_ms);
// Takes count jobs (not messages) of queue as they stand, signed envelope and all, for a test
// to submit them again unchanged.
std::vector<std::string> gearman_take_raw(const std::string &queue, size_t count, int timeout_ms);
// text without the identity the module puts in front of a message (as it stands when it has none).
std::string without_id(const std::string &text);
// Drops every waiting job of queue (takes them and discards them).
void gearman_drain(const std::string &queue);
// Submits a background job directly with the library (high or normal priority), signed with
// the sandbox's key as the module signs (the event-guard queue's records go unsigned).
void gearman_submit(const std::string &queue, const std::string &text, bool high = false);
// The same, with text submitted byte for byte as it stands.
void gearman_submit_unsigned(const std::string &queue, const std::string &text, bool high = false);
// Submits every text, signed, as a normal-priority background job over one client connection.
void gearman_submit_all(const std::string &queue, const std::vector<std::string> &texts);
// text in the envelope the module would submit it in to queue (loads the sandbox's key).
std::string signed_job(const std::string &queue, const std::string &text);
// Loads <root>/etc/vantor.key into this process unless a key is loaded; throws when it cannot.
void load_sandbox_key();

// Files.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool exists(const std::string &path);
void remove_file(const std::string &path);
std::vector<std::string> list_dir(const std::string &dir);  // names, sorted
long count_lines_containing(const std::string &path, const std::string &needle);
// How often needle stands in the file path after its first from bytes (a log since a test began).
long count_since(const std::string &path, size_t from, const std::string &needle);

// A file a test changes: its content is put back, mode 0640, however the test ends.
class KeptFile {
public:
    explicit KeptFile(std::string path);
    ~KeptFile();
    KeptFile(const KeptFile &) = delete;
    KeptFile &operator=(const KeptFile &) = delete;
    const std::string &content() const { return saved_; }  // as it was
private:
    std::string path_, saved_;
};

// The connector daemon of this build, started as a user would (it detaches itself).
// start_daemon waits until its "PIDs Main process" line is logged and returns the
// supervisor's pid (0 on failure); stop_daemon ends its whole process group and waits.
// A benchmark may start another build's daemon (binary) with the same install root.
std::string daemon_binary();
std::string daemon_log();  // <root>/var/vantorconnector.log
pid_t start_daemon(int timeout_ms = 20000, const std::string &binary = daemon_binary());
void stop_daemon(pid_t supervisor);
// Pids of the live processes whose parent is ppid.
std::vector<pid_t> children_of(pid_t ppid);
// Kills each of these processes (those with a pid above 0) with SIGKILL and reaps it.
void kill_and_reap(const std::vector<pid_t> &pids);

// The daemon for one test, stopped whatever way the test leaves. With a configuration text,
// the daemon starts with it and the file's earlier content is put back at once.
class ScopedDaemon {
public:
    ScopedDaemon() : pid_(start_daemon()) {}
    explicit ScopedDaemon(const std::string &conf);
    ~ScopedDaemon() { stop_daemon(pid_); }
    ScopedDaemon(const ScopedDaemon &) = delete;
    ScopedDaemon &operator=(const ScopedDaemon &) = delete;
    pid_t pid() const { return pid_; }  // the supervisor, 0 when it did not start
private:
    pid_t pid_;
};

// Starts the simulated engine binary sim with args (after argv[0]), its standard output
// going to out_path (truncated). Returns the child's pid (the caller reaps it), or -1.
pid_t spawn_simulator(const std::string &sim, const std::vector<std::string> &args, const std::string &out_path);
// spawn_simulator, then waits for it; true when it exited with status 0.
bool run_simulator(const std::string &sim, const std::vector<std::string> &args, const std::string &out_path);

// Runs f with every allocation through operator new failing; returns whether an exception
// came out of it. The program must link support/failing_new.cpp.
template <typename F> bool throws_without_memory(F &&f)
{
    bool threw = false;
    {
        FailingAllocations failing;
        try {
            f();
        } catch (...) {
            threw = true;
        }
    }
    return threw;
}

// Polls pred every 50 ms until it holds or timeout_ms passed; returns its last value.
bool wait_until(const std::function<bool()> &pred, int timeout_ms);

// s with every event order value (a time in microseconds since the epoch: 15 digits and more)
// written as N, for comparing statement texts made at the time of the test.
inline std::string mask_event_order(const std::string &s)
{
    static const std::regex order("[0-9]{15,}");
    return std::regex_replace(s, order, "N");
}

// The update list that keeps the newer row: written out here on its own, independently of the
// code under test. cols are the updated columns, without the key and the order column.
inline std::string guarded_update(const std::vector<std::string> &cols)
{
    std::string out;
    for (const std::string &c : cols)
        out += c + "=IF(event_usec<=VALUES(event_usec),VALUES(" + c + ")," + c + "),";
    return out + "event_usec=GREATEST(event_usec,VALUES(event_usec))";
}

}  // namespace vtt

#endif
