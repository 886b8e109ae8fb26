// State history rows: state changes as they happen, and the initial states at engine start.
#include "vtdb_state_history.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "vantor_config.h"
#include "vt_batch.h"
#include "vt_display_status.h"
#include "vt_db.h"
#include "vt_delayed.h"
#include "vt_gearman_client.h"
#include "vt_identity.h"
#include "vt_log.h"
#include "vt_registry.h"
#include "vt_sender.h"
#include "vt_util.h"
#include "vtdb_scratch.h"

namespace {

const char *const STATUS_QUEUE = "vtdb_vtstatus";
const char *const PRIORITY_QUEUE = "vtdb_statuspri";
const char *const STATUS_SCHEMA = "vantor4";
const char *const WALK_LOCK_FILE = VT_PATH("/var/vtdb-initial-states.lock");
// Limit of the walk's database connection for connecting and for each read and write: a
// comparison is a small query, and one that takes longer means the database has stalled.
constexpr unsigned kWalkDbTimeoutSeconds = 5;
// How long the walk's final dump is tried again while another process holds the dump lock.
constexpr int kFinalDumpTries = 50;
// The most a message's identity adds to it (the buffer message_id_prefix writes into).
constexpr size_t kIdentityBytes = 64;
constexpr useconds_t kFinalDumpPauseUs = 100 * 1000;

// Engine process: the write end of the pipe the running walk watches. Closing it (a newer
// walk starts, the module goes away, the engine ends) tells that walk to stop.
int walk_pipe = -1;

__attribute__((destructor)) void close_walk_pipe() {
    if (walk_pipe >= 0)
        close(walk_pipe);
    walk_pipe = -1;
}

int hard_if_up(int current_state, int state_type) { return current_state == 0 ? 1 : state_type; }

std::string history_row(int kind, void *object, const char *sla_breach_end, const char *comment,
                        unsigned long long seconds, unsigned long long microseconds, bool &ids_missing) {
    const unsigned long long entry_time_ms = seconds * 1000ULL + microseconds / 1000ULL;
    vt::CString date;
    const char *entry_time = vt::date_or_null(date, static_cast<time_t>(seconds));
    const char *sla = sla_breach_end ? sla_breach_end : "NULL";
    const char *note = comment ? comment : "NULL";
    ids_missing = false;

    if (kind == 1) {
        auto *s = static_cast<service *>(object);
        char *hid = nullptr, *sid = nullptr;
        vt_get_service_id_by_macro(s, &hid, &sid);
        vt::CString host_id(hid), service_id(sid);
        if (!host_id || !service_id) {
            vt_logf("vtdb_handle_state_change: could not find host_id or service_id for %s - %s",
                    vt::col_or_empty(s->host_name), vt::col_or_empty(s->description));
            ids_missing = true;
            return std::string();
        }
        const char *out = vt::escape_into(&output, s->plugin_output);
        const char *long_out = vt::escape_into(&long_plugin_output, s->long_plugin_output);
        return vt::format_statement("INSERT INTO %s.service_state_change_%s (entry_time, service_id, current_state, "
                          "state_type, current_attempt, plugin_output, initial_log_state, display_status, "
                          "sla_breach_end, comment, long_plugin_output, entry_time_ms) VALUES "
                          "(%s,%s,%d,%d,%d,%s,0,%d,%s,%s,%s,%llu);",
                          STATUS_SCHEMA, host_id.get(), entry_time, service_id.get(), s->current_state,
                          hard_if_up(s->current_state, s->state_type), s->current_attempt, out, vt_display_status(s),
                          sla, note, long_out, entry_time_ms);
    }
    auto *h = static_cast<host *>(object);
    char *hid = nullptr;
    vt_get_host_custom_macro("$_HOSTHOST_ID$", h, &hid);
    vt::CString host_id(hid);
    if (!host_id) {
        vt_logf("vtdb_handle_state_change: could not find host_id %s - %d", vt::col_or_empty(h->name),
                vt_display_status(h));
        ids_missing = true;
        return std::string();
    }
    const char *out = vt::escape_into(&output, h->plugin_output);
    const char *long_out = vt::escape_into(&long_plugin_output, h->long_plugin_output);
    return vt::format_statement("INSERT INTO %s.host_state_change_%s (entry_time, current_state, state_type, "
                      "current_attempt, plugin_output, initial_log_state, display_status, sla_breach_end, "
                      "comment, long_plugin_output, entry_time_ms) VALUES (%s,%d,%d,%d,%s,0,%d,%s,%s,%s,%llu);",
                      STATUS_SCHEMA, host_id.get(), entry_time, h->current_state,
                      hard_if_up(h->current_state, h->state_type), h->current_attempt, out, vt_display_status(h), sla,
                      note, long_out, entry_time_ms);
}

// Whether the latest row of a last-state query equals (state, type, attempt).
int same_last_state(const std::string &query, int state, int type, int attempt) {
    int status = 0;
    vt::Result res(db_query_exec(query.c_str(), STATUS_SCHEMA, &status, 1));
    if (status != 0 || !res)
        return -2;
    int result = -2;
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
        if (mysql_num_fields(res.get()) < 3 || !row[0] || !row[1] || !row[2])
            continue;
        if (atoi(row[0]) == state && atoi(row[1]) == type && atoi(row[2]) == attempt)
            result = 0;
    }
    return result;
}

// ---- The initial-state walk, in its own process. ----

class Walk {
public:
    Walk(pid_t engine, int superseded_fd) : engine_(engine), superseded_fd_(superseded_fd) {}

    [[noreturn]] void run() {
        adopt_process();
        if (!take_turn())
            farewell();
        stamp_time();
        // Without the database every comparison would fail after a connection attempt
        // and its pause; the rows are written all the same, so the walk does not wait
        // for them.
        vt_db_io_timeout = kWalkDbTimeoutSeconds;
        db_reachable_ = db_connect() == 0;
        if (!db_reachable_)
            vt_write_to_log("Log initial states - database unreachable, every object gets its initial row");
        else
            make_history_tables();
        for (host *h = host_list; h; h = h->next)
            walk_host(h);
        vt_logf("Initial states totals: hosts: %d / services %d", hosts_, services_);
        finish();
    }

private:
    // The history tables of the hosts the registry recorded at load, made before their first
    // row (theirs, or this walk's). Here rather than on the engine's thread: a first start
    // with thousands of hosts makes two tables for each.
    void make_history_tables() {
        for (int id : vt_registry_new_host_ids()) {
            for (const char *table : {"host_state_change", "service_state_change"}) {
                const std::string sql =
                    vt::format("CREATE TABLE IF NOT EXISTS %s.%s_%d LIKE %s.%s", STATUS_SCHEMA, table, id,
                               STATUS_SCHEMA, table);
                int status = 0;
                mysql_free_result(db_query_exec(sql.c_str(), STATUS_SCHEMA, &status, 0));
                if (status != 0) {
                    vt_logf("ERROR Log initial states - cannot create %s.%s_%d: %s; grant the user of db.php "
                            "CREATE on %s (the status workers make a missing table at its first row)",
                            STATUS_SCHEMA, table, id, vt_db_last_error().c_str(), STATUS_SCHEMA);
                    return;
                }
            }
        }
    }

    // The process is a copy of the engine: it must not act on the engine's signal
    // dispositions, connections or delayed messages.
    void adopt_process() {
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2})
            signal(sig, sig == SIGPIPE ? SIG_IGN : SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // Forgotten, never closed: their sockets are the engine's.
        vt_delayed_forget_inherited();
        vt_gearman_forget_inherited();
        db_disconnect();
        close_inherited_descriptors();
    }

    // The engine's descriptors (its sockets, the command pipe, files it keeps open) are
    // not the walk's to hold open while it runs; only the standard ones and the pipe that
    // tells it to stop stay.
    void close_inherited_descriptors() {
        std::vector<int> fds;
        if (DIR *d = opendir("/proc/self/fd")) {
            const int own = dirfd(d);
            while (struct dirent *e = readdir(d)) {
                char *end = nullptr;
                const long fd = std::strtol(e->d_name, &end, 10);
                if (end != e->d_name && *end == '\0' && fd > 2 && fd != own && fd != superseded_fd_)
                    fds.push_back(static_cast<int>(fd));
            }
            closedir(d);
        } else {
            const long max = sysconf(_SC_OPEN_MAX);
            for (int fd = 3; fd < (max > 0 ? max : 1024); ++fd)
                if (fd != superseded_fd_)
                    fds.push_back(fd);
        }
        for (int fd : fds)
            close(fd);
    }

    // True when the engine is gone or a newer walk has started.
    bool superseded() const {
        if (kill(engine_, 0) != 0)
            return true;
        struct pollfd p = {superseded_fd_, POLLIN, 0};
        return poll(&p, 1, 0) != 0;
    }

    // One walk at a time: waits for an older walk (which stops at its next object once it
    // sees the newer start) to let go of the lock. False when superseded meanwhile.
    bool take_turn() {
        lock_.reset(open(WALK_LOCK_FILE, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!lock_) {
            vt_logf("Log initial states - cannot open %s, walking unlocked", WALK_LOCK_FILE);
            return !superseded();
        }
        while (flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                return !superseded();
            if (superseded())
                return false;
            usleep(50 * 1000);
        }
        return !superseded();
    }

    void stamp_time() {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        entry_time_ms_ = static_cast<unsigned long long>(tv.tv_sec) * 1000ULL +
                         static_cast<unsigned long long>(tv.tv_usec) / 1000ULL;
        struct tm tm;
        localtime_r(&tv.tv_sec, &tm);
        char buf[25] = {0};
        strftime(buf, sizeof buf, "'%F %T'", &tm);
        entry_time_ = buf;
    }

    void check_engine() {
        if (superseded())
            farewell();
    }

    [[noreturn]] void farewell() {
        vt_write_to_log("Log initial states - naemon restarted, bye");
        finish();
    }

    // Whatever could not be submitted goes to the dump for the replay; the engine's own
    // delayed messages were never ours to send. Another process dumping at the same moment
    // holds the dump file's lock for a moment only: the dump is tried again for a few
    // seconds rather than losing the rows with the process.
    [[noreturn]] void finish() {
        flush();
        for (int i = 0; get_count_delayed() > 0 && dump_msgs() != 0; ++i) {
            if (i + 1 == kFinalDumpTries) {
                vt_logf("Log initial states - unable to dump messages: %d rows lost", get_count_delayed());
                break;
            }
            usleep(kFinalDumpPauseUs);
        }
        vt_disconnect_gearman();
        db_disconnect();
        _exit(0);
    }

    void walk_host(host *h) {
        hosts_++;
        char *hid = nullptr;
        vt_get_host_custom_macro("$_HOSTHOST_ID$", h, &hid);
        vt::CString host_id(hid);
        if (h->stalking_options == 0) {
            check_engine();
            // Without an id there is no table to compare with or write to.
            if (host_id) {
                if (h->current_state == 0)
                    h->state_type = 1;
                if (!db_reachable_ || compared([&] { return vtdb_check_host_last_state(h, host_id.get()); }) == -2)
                    submit(host_row(h, host_id.get()));
            }
        }
        std::string batch;
        for (servicesmember *m = h->services; m; m = m->next) {
            services_++;
            service *s = m->service_ptr;
            if (!s || s->stalking_options != 0)
                continue;
            check_engine();
            if (!host_id)
                continue;
            if (s->current_state == 0)
                s->state_type = 1;
            char *shid = nullptr, *sid = nullptr;
            vt_get_service_id_by_macro(s, &shid, &sid);
            vt::CString service_host_id(shid), service_id(sid);
            if (!service_host_id || !service_id)
                continue;
            if (db_reachable_ && compared([&] {
                    return vtdb_check_service_last_state(s, service_host_id.get(), service_id.get());
                }) != -2)
                continue;
            if (!batch.empty())
                batch += ',';
            batch += service_tuple(s, service_id.get());
        }
        if (!batch.empty())
            submit(vt::format("INSERT INTO %s.service_state_change_%s (entry_time, service_id, current_state, "
                              "state_type, current_attempt, plugin_output, initial_log_state, display_status, "
                              "sla_breach_end, comment, long_plugin_output, entry_time_ms) VALUES %s;",
                              STATUS_SCHEMA, host_id.get(), batch.c_str()));
    }

    // Runs one comparison. One that ran into the connection's time limit marks the database
    // as stalled: the objects after it get their rows without waiting for it, so a stalled
    // database neither drags the walk out nor keeps it alive after the engine has gone.
    template <typename Compare>
    int compared(Compare compare) {
        struct timespec start, end;
        clock_gettime(CLOCK_MONOTONIC, &start);
        const int rc = compare();
        clock_gettime(CLOCK_MONOTONIC, &end);
        if (rc == -2 && end.tv_sec - start.tv_sec >= static_cast<time_t>(kWalkDbTimeoutSeconds)) {
            db_reachable_ = false;
            vt_write_to_log("Log initial states - database stalled, every further object gets its initial row");
        }
        return rc;
    }

    std::string host_row(host *h, const char *host_id) {
        vt::ScratchTexts scratch{&output, &long_plugin_output};
        return vt::format_statement("INSERT INTO %s.host_state_change_%s (entry_time, current_state, state_type, "
                          "current_attempt, plugin_output, initial_log_state, display_status, sla_breach_end, "
                          "comment, long_plugin_output, entry_time_ms) VALUES (%s,%d,%d,%d,%s,1,%d,NULL,NULL,%s,"
                          "%llu);",
                          STATUS_SCHEMA, host_id, entry_time_.c_str(), h->current_state, h->state_type,
                          h->current_attempt, vt::escape_into(&output, h->plugin_output), vt_display_status(h),
                          vt::escape_into(&long_plugin_output, h->long_plugin_output), entry_time_ms_);
    }

    std::string service_tuple(service *s, const char *service_id) {
        vt::ScratchTexts scratch{&output, &long_plugin_output};
        return vt::format("(%s,%s,%d,%d,%d,%s,1,%d,NULL,NULL,%s,%llu)", entry_time_.c_str(), service_id,
                          s->current_state, s->state_type, s->current_attempt,
                          vt::escape_into(&output, s->plugin_output), vt_display_status(s),
                          vt::escape_into(&long_plugin_output, s->long_plugin_output), entry_time_ms_);
    }

    // The rows go in batches, as the sender sends the engine's: one job and one transaction
    // for up to a batch of them rather than one each, which at a first start with tens of
    // thousands of hosts is most of what the walk costs the job server and the database. A
    // batch waits at most a second, so that rows do not wait behind a slow comparison.
    // A batch holds what the sender's would: up to kBatchBytes of messages, their identities
    // counted at the most they take (a longer message goes alone).
    void submit(std::string statement) {
        const size_t bytes = statement.size() + kIdentityBytes;
        if (!batch_.empty() && batch_bytes_ + bytes > vt::kBatchBytes)
            flush();
        if (batch_.empty())
            batch_since_ = time(nullptr);
        batch_bytes_ += bytes;
        batch_.push_back(std::move(statement));
        if (batch_.size() >= vt::kBatchMessages || batch_bytes_ >= vt::kBatchBytes || time(nullptr) - batch_since_ >= 1)
            flush();
    }

    // Submits the rows waiting; a refused batch is kept in the delayed queue for the dump.
    void flush() {
        if (batch_.empty())
            return;
        vt::send_batch(PRIORITY_QUEUE, batch_);
        batch_.clear();
        batch_bytes_ = 0;
    }

    pid_t engine_;
    int superseded_fd_;
    vt::Fd lock_;
    std::string entry_time_;
    unsigned long long entry_time_ms_ = 0;
    int hosts_ = 0;
    int services_ = 0;
    bool db_reachable_ = true;
    std::vector<std::string> batch_;
    size_t batch_bytes_ = 0;
    time_t batch_since_ = 0;
};

// Runs the walk in a grandchild of the engine: the intermediate child ends at once and is
// reaped here, so the engine, which does not collect children it did not start, is left
// with no zombie. Returns 0 when the walk was started.
int start_walk() {
    // A walk still running from an earlier start stops at its next object.
    close_walk_pipe();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -2;
    const pid_t engine = getpid();
    vt::sender_hold(true);
    const pid_t first = fork();
    vt::sender_hold(false);  // in the child there is no sender: nothing to let go
    if (first < 0) {
        close(fds[0]);
        close(fds[1]);
        return -2;
    }
    if (first == 0) {
        close(fds[1]);
        const pid_t walker = fork();
        if (walker == 0) {
            try {
                Walk(engine, fds[0]).run();
            } catch (...) {
                vt_write_to_log("Log initial states - walk abandoned");
                if (get_count_delayed() > 0)
                    dump_msgs();
            }
            _exit(0);
        }
        _exit(walker < 0 ? 1 : 0);
    }
    close(fds[0]);
    walk_pipe = fds[1];
    int status = 0;
    pid_t r;
    do
        r = waitpid(first, &status, 0);
    while (r < 0 && errno == EINTR);
    // ECHILD: an engine that collects every child took it first; the walk runs all the same.
    if (r == first && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        close_walk_pipe();
        return -2;
    }
    return 0;
}

}  // namespace

extern "C" int vtdb_log_state(int kind, void *object, const char *sla_breach_end, const char *comment,
                              unsigned long long seconds, unsigned long long microseconds) {
    if (DEBUG)
        puts("vtdb_handle_state_change");
    if (!object)
        return -2;
    try {
        vt::ScratchTexts scratch{&output, &long_plugin_output};
        bool ids_missing = false;
        const std::string statement =
            history_row(kind, object, sla_breach_end, comment, seconds, microseconds, ids_missing);
        if (ids_missing)
            return -2;
        vt_send_gearman_job(STATUS_QUEUE, statement.c_str());
        return 0;
    } catch (...) {
        vt_write_to_log("unable to insert state change");
        return -2;
    }
}

extern "C" int vtdb_handle_state_change(int callback_type, void *data) {
    (void)callback_type;
    if (DEBUG)
        puts("vtdb_handle_state_change");
    const auto *sc = static_cast<const nebstruct_statechange_data *>(data);
    if (!sc || sc->type != NEBTYPE_STATECHANGE_END || (sc->statechange_type != 0 && sc->statechange_type != 1) ||
        !sc->object_ptr)
        return 0;
    const unsigned int stalking = sc->statechange_type == 1
                                      ? static_cast<const service *>(sc->object_ptr)->stalking_options
                                      : static_cast<const host *>(sc->object_ptr)->stalking_options;
    if (stalking != 0)
        return 0;
    vtdb_log_state(sc->statechange_type, sc->object_ptr, nullptr, nullptr,
                   static_cast<unsigned long long>(sc->timestamp.tv_sec),
                   static_cast<unsigned long long>(sc->timestamp.tv_usec));
    return 0;
}

extern "C" int insert_initial_states(void) {
    int rc = -2;
    try {
        rc = start_walk();
    } catch (...) {
        rc = -2;
    }
    if (rc != 0)
        vt_write_to_log("Error: unable to fork() initial states child");
    return rc;
}

extern "C" int vtdb_check_host_last_state(host *hst, const char *host_id) {
    if (!hst || !host_id)
        return -2;
    try {
        return same_last_state(vt::format("SELECT current_state, state_type, current_attempt from "
                                          "host_state_change_%s ORDER BY entry_time_ms DESC LIMIT 1",
                                          host_id),
                               hst->current_state, hst->state_type, hst->current_attempt);
    } catch (...) {
        return -2;
    }
}

extern "C" int vtdb_check_service_last_state(service *svc, const char *host_id, const char *service_id) {
    if (!svc || !host_id || !service_id)
        return -2;
    try {
        return same_last_state(vt::format("SELECT current_state, state_type, current_attempt from "
                                          "service_state_change_%s WHERE service_id = '%s' ORDER BY "
                                          "entry_time_ms DESC LIMIT 1",
                                          host_id, service_id),
                               svc->current_state, svc->state_type, svc->current_attempt);
    } catch (...) {
        return -2;
    }
}
