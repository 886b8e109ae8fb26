/* Delayed message replay: the module's dump files carried out oldest first, then deleted. */
#include "vt_replay.h"
#include "vt_batch_tx.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_notify.h"
#include "vt_perfdata.h"
#include "vt_delayed.h"
#include "vt_safe_file.h"
#include "vt_util.h"
#include "vt_worker.h"
#include "vantor_config.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <set>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

enum class Handling { Status, Perfdata, Notify };

struct QueueRule {
    const char *name;
    Handling handling;
};

/* Compared with the start of a line over the name's length, in this order. Lines of any
 * other queue (the event-guard records among them) are dropped. */
const QueueRule kQueues[] = {
    {"vtdb_vtstatus", Handling::Status},
    {"vtdb_statuspri", Handling::Status},
    {"vtdb_perfdata", Handling::Perfdata},
    {"vtdb_notify", Handling::Notify},
};

/* Lines this short cannot hold a queue name, a tab and a job. */
constexpr ssize_t kShortestLine = 15;

/* The largest job the module writes is 16 MiB; escaped in a dump line it may take twice
 * that. A longer line is no dump line of the module and is skipped without being held. */
constexpr size_t kMaxDumpLine = 2 * (16u << 20) + 64;

/* Holes a dump file may have before it counts as sparse: the module only appends, so its
 * files hold what their size says (small files may be stored inline, with no blocks). */
constexpr off_t kSparseSlack = 1 << 20;

/* Suffix of a dump file moved aside as too large or sparse: never read again. */
const char *const kRejected = ".rejected";

/* Reads the next line, its line feed included, into line. A line longer than kMaxDumpLine
 * is read to its end without being kept: line is then empty and too_long set. False at the
 * end of the file (or a read error). */
bool read_bounded_line(FILE *in, std::string &line, bool &too_long)
{
    line.clear();
    too_long = false;
    bool any = false;
    int c;
    while ((c = getc_unlocked(in)) != EOF) {
        any = true;
        if (!too_long) {
            if (line.size() >= kMaxDumpLine) {
                too_long = true;
                std::string().swap(line);
            } else {
                /* Past the first 64 KiB the room for the longest line is taken at once:
                 * doubling would allocate twice that and touch it while copying. */
                if (line.size() == line.capacity() && line.size() >= (1u << 16))
                    line.reserve(kMaxDumpLine + 1);
                line.push_back(static_cast<char>(c));
            }
        }
        if (c == '\n')
            break;
    }
    return any;
}

/* Why the opened dump file is not to be read at all, or "" when it may be. */
std::string why_rejected(const struct stat &st)
{
    const off_t max = static_cast<off_t>(VT_MAX_DUMP_FILE_MB > 0 ? VT_MAX_DUMP_FILE_MB : 0) << 20;
    if (st.st_size > max)
        return vt::format("%lld bytes, more than the %d MiB of max_dump_file_mb", static_cast<long long>(st.st_size),
                          VT_MAX_DUMP_FILE_MB);
    if (st.st_size - static_cast<off_t>(st.st_blocks) * 512 > kSparseSlack)
        return vt::format("%lld bytes of which only %lld are on disk (a sparse file)",
                          static_cast<long long>(st.st_size), static_cast<long long>(st.st_blocks) * 512);
    return "";
}

bool ends_with(const std::string &s, const char *suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

/* Names of refused directory entries already reported by this child, so that a link left
 * in the directory is logged once, not on every pass. */
std::set<std::string> &reported_entries()
{
    static std::set<std::string> reported;
    return reported;
}

/* The dump files of the open directory, oldest modification first; files of the same moment
 * in name order, which is the order the module wrote them in. Only regular files count: a
 * link, a pipe or a directory placed there is never read (and logged once). */
std::vector<std::string> dump_files_oldest_first(int dir)
{
    std::vector<vt::safe::Entry> files;
    std::set<std::string> still_there;
    for (vt::safe::Entry &e : vt::safe::list(dir)) {
        if (e.name[0] == '.' || e.name.find('\n') != std::string::npos || ends_with(e.name, kRejected))
            continue;
        if (!S_ISREG(e.st.st_mode)) {
            still_there.insert(e.name);
            if (reported_entries().insert(e.name).second)
                vt_logf("ERROR refused %s%s: it is %s, not a regular file", VT_DELAYED_DIR, e.name.c_str(),
                        vt::safe::kind_of(e.st.st_mode));
            continue;
        }
        files.push_back(std::move(e));
    }
    for (auto it = reported_entries().begin(); it != reported_entries().end();)
        it = still_there.count(*it) ? std::next(it) : reported_entries().erase(it);
    std::sort(files.begin(), files.end(), [](const vt::safe::Entry &a, const vt::safe::Entry &b) {
        if (a.st.st_mtim.tv_sec != b.st.st_mtim.tv_sec)
            return a.st.st_mtim.tv_sec < b.st.st_mtim.tv_sec;
        if (a.st.st_mtim.tv_nsec != b.st.st_mtim.tv_nsec)
            return a.st.st_mtim.tv_nsec < b.st.st_mtim.tv_nsec;
        return a.name < b.name;
    });
    std::vector<std::string> names;
    for (vt::safe::Entry &f : files)
        names.push_back(std::move(f.name));
    return names;
}

/* Writes this pass's listing into the list file, made anew in var/ and never through a link
 * someone put there. The file is a record for the operator only: the pass works from the
 * listing in memory, since the engine's user could rewrite the file before it is read. */
void write_listing(const std::vector<std::string> &names)
{
    vt::safe::Location list = vt::safe::locate(VT_DELAYED_LIST);
    if (!list)
        return;
    if (unlinkat(list.dir.get(), list.name.c_str(), 0) != 0 && errno != ENOENT) {
        vt_logf("ERROR could not delete %s: %s", VT_DELAYED_LIST, std::strerror(errno));
        return;
    }
    vt::Fd fd = vt::safe::open_at(list.dir.get(), list.name, O_WRONLY | O_CREAT | O_EXCL, 0644,
                                  vt::safe::Kind::Regular, VT_DELAYED_LIST);
    if (!fd) {
        vt_logf("ERROR could not create %s: %s", VT_DELAYED_LIST, std::strerror(errno));
        return;
    }
    std::string listing;
    for (const std::string &name : names)
        listing += name + '\n';
    if (!vt::write_all(fd.get(), listing))
        vt_logf("ERROR could not write %s: %s", VT_DELAYED_LIST, std::strerror(errno));
}

void remove_listing()
{
    vt::safe::Location list = vt::safe::locate(VT_DELAYED_LIST);
    if (!list || unlinkat(list.dir.get(), list.name.c_str(), 0) != 0)
        vt_write_to_log("ERROR could not delete " VT_DELAYED_LIST);
}

/* Keeps the lines of the file name in dir from offset on (the refused one first) for a later
 * pass, with the file's modification time, so that it keeps its place among the dump files.
 * Lines before offset were carried out and are not repeated. False when the file could not
 * be rewritten; then it stays whole. */
bool keep_rest_of_file(int dir, const std::string &name, FILE *in, off_t offset)
{
    struct stat st;
    if (fstat(fileno(in), &st) != 0 || fseeko(in, offset, SEEK_SET) != 0)
        return false;
    const std::string tmp = ".replay-rest";
    unlinkat(dir, tmp.c_str(), 0);
    /* the rest of a dump file, as closed to others as the dump file itself */
    vt::Fd out = vt::safe::open_at(dir, tmp, O_WRONLY | O_CREAT | O_EXCL, 0640, vt::safe::Kind::Regular,
                                   VT_DELAYED_DIR + tmp);
    if (!out)
        return false;
    char buf[65536];
    size_t n;
    bool ok = true;
    while (ok && (n = std::fread(buf, 1, sizeof buf, in)) > 0)
        ok = vt::write_all(out.get(), std::string(buf, n));
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ok = ok && !std::ferror(in) && futimens(out.get(), times) == 0 && close(out.release()) == 0 &&
         renameat(dir, tmp.c_str(), dir, name.c_str()) == 0;
    if (!ok)
        unlinkat(dir, tmp.c_str(), 0);
    return ok;
}

/* Carries out one status statement; a failing one goes to the failed-SQL file. */
void run_status_statement(const std::string &sql)
{
    int status = 0;
    vt::Result res(db_query_exec_real(sql.c_str(), "vantor4", &status, 1, static_cast<int>(sql.size())));
    if (status != 0)
        vt_write_failed_sql(sql.c_str());
}

/* Carries out a status statement of queue that carries an identity in a transaction that
 * records it, unless it was carried out before (submitted and dumped both, a dump replayed
 * twice). */
void run_identified_statement(const char *queue, const std::string &sql, const vt::MessageId &id)
{
    const std::vector<std::string> stmts{sql};
    vt::BatchPlan batch;
    batch.schema = "vantor4";
    batch.what = "replayed statement";
    batch.statements = &stmts;
    batch.units.push_back(vt::BatchUnit{std::string(), {0}});
    batch.run_alone = [&sql](size_t) { run_status_statement(sql); };
    batch.queue = queue;
    batch.ids.push_back(id);
    vt::run_batch(batch);
}

}  // namespace

/* The runner's child switches to the notification user before the shell starts, and the
 * runner refuses (-2, nothing run) when that cannot be done while running as root. */
extern "C" int vt_replay_notification(const char *command)
{
    return vt_process_delayed_notification(command) == -2 ? -2 : 0;
}

namespace {

/* Carries out the messages of the dump file name in the open delayed-messages directory and
 * removes it once read to its end; returns how many were carried out. The file is opened
 * relative to the directory without following a link and without blocking, and read only
 * when it is a regular file: the engine's user may put anything under that name, a named
 * pipe that would block the replay for good among it. */
int process_file(int dir, const std::string &name)
{
    const std::string path = std::string(VT_DELAYED_DIR) + name;
    int count = 0;
    vt::Fd fd = vt::safe::open_at(dir, name, O_RDONLY, 0, vt::safe::Kind::Regular, path);
    struct stat opened;
    vt::File in(fd && fstat(fd.get(), &opened) == 0 ? fdopen(fd.get(), "r") : nullptr);
    if (!in) {
        vt_logf("ERROR could not open file %s", path.c_str());
        return 0;
    }
    fd.release();

    const std::string why = why_rejected(opened);
    if (!why.empty()) {
        in.reset();
        const std::string aside = name + kRejected;
        if (renameat(dir, name.c_str(), dir, aside.c_str()) == 0)
            vt_logf("ERROR %s not replayed: %s; moved aside as %s%s", path.c_str(), why.c_str(), VT_DELAYED_DIR,
                    aside.c_str());
        else if (vt::safe::remove_at(dir, name, &opened))
            vt_logf("ERROR %s not replayed: %s; removed, it could not be moved aside", path.c_str(), why.c_str());
        else
            vt_logf("ERROR %s not replayed: %s; it can be neither moved aside nor removed: %s", path.c_str(),
                    why.c_str(), std::strerror(errno));
        return 0;
    }

    std::string line;
    bool too_long = false;
    for (;;) {
        const off_t line_start = ftello(in.get());
        try {
            if (!read_bounded_line(in.get(), line, too_long))
                break;
        } catch (const std::bad_alloc &) {
            /* Read again from the start next pass: better twice than never. */
            vt_logf("ERROR out of memory reading %s, kept for the next pass", path.c_str());
            return count;
        }
        if (too_long) {
            vt_logf("ERROR %s: the line at byte %lld is longer than %zu bytes, no message of the module: skipped",
                    path.c_str(), static_cast<long long>(line_start), kMaxDumpLine);
            continue;
        }
        const ssize_t len = static_cast<ssize_t>(line.size());
        try {
            vt_dump_message m = vt_parse_dump_line(line.back() == '\n' ? line.substr(0, line.size() - 1) : line);
            /* The length rule of the raw form holds for a marked line without its mark. */
            if (len - (m.marked ? 1 : 0) <= kShortestLine)
                continue;
            for (const QueueRule &q : kQueues) {
                /* a raw line is matched over the name's length, a marked one as a whole */
                if (m.marked ? m.queue != q.name : line.compare(0, std::strlen(q.name), q.name) != 0)
                    continue;
                vt::MessageId id;
                vt_take_message_id(m.job, &id);
                switch (q.handling) {
                case Handling::Status:
                    if (id.valid())
                        run_identified_statement(q.name, m.job, id);
                    else
                        run_status_statement(m.job);
                    break;
                case Handling::Perfdata:
                    if (id.valid())
                        vt_perf::process_identified_record(q.name, m.job, id);
                    else
                        vt_process_perfdata(m.job.c_str());
                    break;
                case Handling::Notify: {
                    const vt::MessageLock lock(q.name, id, 90);
                    if (vt::message_recorded(q.name, id)) {
                        vt::log_skipped("replayed notification", 1);
                        break;
                    }
                    if (vt_replay_notification(m.job.c_str()) == -2) {
                        if (keep_rest_of_file(dir, name, in.get(), line_start))
                            vt_logf("ERROR notification not run as root, the rest of %s is kept for a later pass",
                                    path.c_str());
                        else
                            vt_logf("ERROR notification not run as root, %s is kept whole for a later pass",
                                    path.c_str());
                        return count;
                    }
                    vt::record_message(q.name, id);
                    break;
                }
                }
                ++count;
                break;
            }
        } catch (const std::bad_alloc &) {
            vt_logf("ERROR out of memory reading %s, kept for the next pass", path.c_str());
            return count;
        }
    }
    in.reset();
    /* Only the file that was read: one moved in under the same name meanwhile stays. */
    if (!vt::safe::remove_at(dir, name, &opened))
        vt_logf("ERROR could not delete %s: %s", path.c_str(), std::strerror(errno));
    return count;
}

/* One pass: list the dump files, carry out each, report. */
void replay_pass(int &total)
{
    vt::Fd dir = vt::safe::open_dir(VT_DELAYED_DIR);
    if (!dir)
        return;  /* missing, or refused (logged): nothing to replay */
    const std::vector<std::string> names = dump_files_oldest_first(dir.get());
    write_listing(names);
    for (const std::string &name : names)
        total += process_file(dir.get(), name);
    remove_listing();
    if (total > 0) {
        vt_logf("processed %d delayed messages", total);
        total = 0;
    }
}

}  // namespace

extern "C" int vt_process_delayed_file(const char *name)
{
    if (!name)
        return 0;
    try {
        vt::Fd dir = vt::safe::open_dir(VT_DELAYED_DIR);
        if (!dir) {
            vt_logf("ERROR could not open file %s%s", VT_DELAYED_DIR, name);
            return 0;
        }
        return process_file(dir.get(), name);
    } catch (const std::exception &e) {
        vt_logf("ERROR replay of %s failed: %s", name, e.what());
        return 0;
    }
}

extern "C" pid_t vt_delayed_message_dispatcher(void)
{
    return vt_fork_child("delayed messages process", "ERROR Could not fork for delayed messages process", [] {
        if (!DEBUG) {
            signal(SIGTERM, SIG_DFL);
            signal(SIGINT, SIG_DFL);
            signal(SIGHUP, SIG_DFL);
        }
        vt_logf("processing delayed messages - pid %d", static_cast<int>(getpid()));
        /* A connection of its own: sharing the supervisor's session, a killed child's unread
         * reply would become the answer to the next child's first statement. */
        db_connect();
        int total = 0;
        for (;;) {
            try {
                replay_pass(total);
            } catch (const std::exception &e) {
                vt_logf("ERROR delayed message pass failed: %s", e.what());
            }
            vt_sleep_seconds(5);
        }
        return 0;
    }, DEBUG != 0);
}
