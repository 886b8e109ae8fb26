/* vantor-replay-failed: executes the statements kept in the failed-SQL file once more, keeps
 * those that fail again in a file of their own, and loses no line when it is interrupted. */
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
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned kDatabaseTimeoutSeconds = 10;

volatile sig_atomic_t stop_requested = 0;
void on_stop_signal(int) { stop_requested = 1; }

struct Counts {
    long executed = 0;
    long failed = 0;
    long left = 0;
};

enum class Outcome { Done, Interrupted, DatabaseGone, WriteFailed };

/* The file that receives statements failing again, opened on first use. */
class FailedFile {
public:
    explicit FailedFile(std::string path) : path_(std::move(path)) {}
    const std::string &path() const { return path_; }
    /* Appends the line whole or not at all: a write the disk (or a file-size limit) cuts
     * short is cut back to the last whole line, so that the file never holds part of a
     * statement, which a later replay would execute as it stands. */
    bool append(const std::string &line)
    {
        if (!fd_)
            fd_ = vt::safe::open_file(path_, O_WRONLY | O_APPEND | O_CREAT, 0640);
        if (!fd_)
            return false;
        vt::safe::narrow_mode(fd_.get(), 0640);
        struct stat st;
        if (fstat(fd_.get(), &st) != 0)
            return false;
        if (vt::write_all(fd_.get(), line + "\n"))
            return true;
        const int err = errno;
        if (ftruncate(fd_.get(), st.st_size) == 0)
            std::fprintf(stderr, "vantor-replay-failed: cannot write %s (%s): cut back to its last whole line\n",
                         path_.c_str(), std::strerror(err));
        else
            std::fprintf(stderr, "vantor-replay-failed: cannot write %s (%s) nor cut back its torn last line (%s)\n",
                         path_.c_str(), std::strerror(err), std::strerror(errno));
        errno = err;
        return false;
    }
    /* Statements only leave the work file once they are safely on disk here. */
    bool sync() { return !fd_ || fsync(fd_.get()) == 0; }

private:
    std::string path_;
    vt::Fd fd_;
};

/* Where the replay of the work file has got to, kept beside it: the work file's inode and
 * the offset of the first statement not yet executed, rewritten in place (a fixed-size
 * record, so that a full disk cannot refuse it once the file exists) at least every
 * half second. A run killed without a chance to shorten the work file re-executes only
 * what came after the last save. */
class Progress {
public:
    explicit Progress(std::string path) : path_(std::move(path)) {}
    /* The saved offset into the work file open as fd; 0 when none was saved for it. */
    off_t resume_offset(int fd)
    {
        struct stat st;
        if (fstat(fd, &st) != 0)
            return 0;
        inode_ = st.st_ino;
        vt::Fd in = vt::safe::open_file(path_, O_RDONLY, 0, vt::safe::Kind::Regular, vt::safe::Report::Quiet);
        char buf[kRecord + 1] = {0};
        unsigned long long ino = 0;
        long long offset = 0;
        if (!in || pread(in.get(), buf, kRecord, 0) != static_cast<ssize_t>(kRecord) ||
            std::sscanf(buf, "%llu %lld", &ino, &offset) != 2 || ino != inode_ || offset < 0 || offset > st.st_size)
            return 0;
        return static_cast<off_t>(offset);
    }
    /* Saves offset when the last save is half a second old (always when forced). The
     * statements that failed again are synced first: once the offset is past them, they
     * exist only in the failed file. */
    void save(off_t offset, FailedFile &failed, bool force = false)
    {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long ms = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
        if (!force && ms - last_ms_ < kEveryMs)
            return;
        last_ms_ = ms;
        if (!fd_)
            fd_ = vt::safe::open_file(path_, O_WRONLY | O_CREAT, 0640);
        if (fd_)
            vt::safe::narrow_mode(fd_.get(), 0640);
        if (!fd_ || !failed.sync())
            return;
        char buf[kRecord + 1];
        std::snprintf(buf, sizeof buf, "%020llu %020lld\n", static_cast<unsigned long long>(inode_),
                      static_cast<long long>(offset));
        if (pwrite(fd_.get(), buf, kRecord, 0) != static_cast<ssize_t>(kRecord) && !warned_) {
            warned_ = true;
            std::fprintf(stderr, "vantor-replay-failed: cannot save the progress in %s: %s\n", path_.c_str(),
                         std::strerror(errno));
        }
    }
    void remove()
    {
        fd_.reset();
        if (vt::safe::Location loc = vt::safe::locate(path_))
            vt::safe::remove_at(loc.dir.get(), loc.name);
    }

private:
    static constexpr size_t kRecord = 42;
    static constexpr long long kEveryMs = 500;
    std::string path_;
    vt::Fd fd_;
    ino_t inode_ = 0;
    long long last_ms_ = 0;
    bool warned_ = false;
};

long count_lines(int fd, off_t from)
{
    long lines = 0;
    char buf[65536];
    ssize_t n;
    bool partial = false;
    while ((n = pread(fd, buf, sizeof buf, from)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            lines += buf[i] == '\n';
        partial = buf[n - 1] != '\n';
        from += n;
    }
    return lines + (partial ? 1 : 0);
}

/* Replaces the work file by its part from offset on (the statements not yet executed),
 * through a synced temporary file and a rename: at every moment the work file holds
 * either all of its lines or exactly the rest. */
bool keep_rest(int fd, const std::string &work, off_t offset)
{
    vt::safe::Location loc = vt::safe::locate(work);
    const std::string tmp = loc.name + ".tmp";
    vt::Fd out = loc ? vt::safe::open_at(loc.dir.get(), tmp, O_WRONLY | O_CREAT | O_TRUNC, 0640,
                                         vt::safe::Kind::Regular, work + ".tmp")
                     : vt::Fd();
    if (!out)
        return false;
    char buf[65536];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, offset)) > 0) {
        if (!vt::write_all(out.get(), std::string(buf, static_cast<size_t>(n))))
            return false;
        offset += n;
    }
    return n == 0 && fsync(out.get()) == 0 && renameat(loc.dir.get(), tmp.c_str(), loc.dir.get(), loc.name.c_str()) == 0;
}

/* Whether the file has grown past what was read: a worker that opened the failed-SQL file
 * just before it was moved aside appends its line to the moved file. Writers append under
 * an exclusive lock, so taking it waits for a line being written; when nothing was added
 * the lock stays held (true is returned with it released). */
bool appended_meanwhile(int fd, off_t consumed)
{
    vt::safe::lock_briefly(fd, VT_FAILED_SQL_FILE);
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > consumed) {
        flock(fd, LOCK_UN);
        return true;
    }
    return false;
}

bool database_reachable()
{
    std::string err;
    return static_cast<bool>(vt::tools::connect_db(5, err));
}

/* Executes the lines of the work file in order. Stops before the next statement when a
 * stop was asked for, and at a statement that failed while the database is unreachable
 * (it did not fail on its own merits, so it is kept for the next run, not counted failed). */
Outcome replay(const std::string &work, FailedFile &failed, Counts &counts)
{
    vt::Fd fd = vt::safe::open_file(work, O_RDONLY);
    if (!fd) {
        std::fprintf(stderr, "vantor-replay-failed: cannot open %s: %s\n", work.c_str(), std::strerror(errno));
        return Outcome::WriteFailed;
    }
    Progress progress(work + ".progress");
    off_t line_start = progress.resume_offset(fd.get());
    if (lseek(fd.get(), line_start, SEEK_SET) != line_start)
        line_start = 0;
    vt::File in(fdopen(dup(fd.get()), "r"));
    if (!in)
        return Outcome::WriteFailed;
    char *raw = nullptr;
    size_t cap = 0;
    Outcome outcome = Outcome::Done;
    for (ssize_t n;; line_start += n) {
        progress.save(line_start, failed);
        if ((n = getline(&raw, &cap, in.get())) <= 0) {
            if (!appended_meanwhile(fd.get(), line_start))
                break;
            clearerr(in.get());
            n = 0;
            continue;
        }
        if (stop_requested) {
            outcome = Outcome::Interrupted;
            break;
        }
        std::string line(raw, static_cast<size_t>(n));
        if (line.back() == '\n')
            line.pop_back();
        if (line.empty())
            continue;
        int status = 0;
        mysql_free_result(db_query_exec_real(line.c_str(), "vantor4", &status, 0,
                                             static_cast<int>(std::min<size_t>(line.size(), INT_MAX))));
        if (status == 0) {
            ++counts.executed;
            continue;
        }
        /* Failed while a stop was asked for: most likely the wait for a database that does
         * not answer ran out. The statement is kept, as for a database that has gone. */
        if (stop_requested) {
            outcome = Outcome::Interrupted;
            break;
        }
        if (!database_reachable()) {
            outcome = Outcome::DatabaseGone;
            break;
        }
        if (!failed.append(line)) {
            std::fprintf(stderr, "vantor-replay-failed: cannot write %s: %s\n", failed.path().c_str(), std::strerror(errno));
            outcome = Outcome::WriteFailed;
            break;
        }
        ++counts.failed;
    }
    std::free(raw);
    if (!failed.sync()) {
        std::fprintf(stderr, "vantor-replay-failed: cannot sync %s: %s\n", failed.path().c_str(), std::strerror(errno));
        return Outcome::WriteFailed;  // the work file stays whole: nothing is lost, some may run twice
    }
    if (outcome == Outcome::Done) {
        progress.remove();
        vt::safe::Location loc = vt::safe::locate(work);
        struct stat read_st;
        if (loc && fstat(fd.get(), &read_st) == 0)
            vt::safe::remove_at(loc.dir.get(), loc.name, &read_st);  // still under the writers' lock
        return outcome;
    }
    counts.left += count_lines(fd.get(), line_start);
    if (keep_rest(fd.get(), work, line_start)) {
        progress.remove();
    } else {
        const int err = errno;
        if (vt::safe::Location loc = vt::safe::locate(work + ".tmp"))
            vt::safe::remove_at(loc.dir.get(), loc.name);
        progress.save(line_start, failed, true);
        std::fprintf(stderr, "vantor-replay-failed: could not shorten %s (%s); the next run starts after what "
                     "was executed\n", work.c_str(), std::strerror(err));
    }
    return outcome;
}

std::string default_failed_path(const std::string &input)
{
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    return vt::format("%s.failed-%s-%d", input.c_str(), stamp, static_cast<int>(getpid()));
}

void usage(FILE *to)
{
    std::fprintf(to,
                 "Usage: vantor-replay-failed [-o FAILED] [FILE]\n"
                 "Executes the statements in FILE (default %s) once more, in schema vantor4.\n"
                 "FILE is first moved aside to FILE.replaying, so the daemon goes on appending to a\n"
                 "new FILE meanwhile. Statements that fail again are appended to FAILED (default\n"
                 "FILE.failed-<date>-<pid>), which can be replayed the same way after a fix.\n"
                 "SIGINT or SIGTERM stops after the running statement; the statements not yet\n"
                 "executed stay in FILE.replaying and the next run takes them first; a run that is\n"
                 "killed leaves FILE.replaying.progress, and the next run re-executes at most the\n"
                 "last second of its statements. A database that stops answering fails the running\n"
                 "statement after %u seconds.\n"
                 "Exit status: 0 all executed, 1 some failed again or were left, 2 nothing done.\n",
                 VT_FAILED_SQL_FILE, kDatabaseTimeoutSeconds);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string input = VT_FAILED_SQL_FILE, failed_path;
    int c;
    while ((c = getopt(argc, argv, "o:h")) != -1) {
        if (c == 'o')
            failed_path = optarg;
        else {
            usage(c == 'h' ? stdout : stderr);
            return c == 'h' ? 0 : 2;
        }
    }
    if (optind + 1 < argc) {
        usage(stderr);
        return 2;
    }
    if (optind < argc)
        input = argv[optind];
    if (failed_path.empty())
        failed_path = default_failed_path(input);
    const std::string work = input + ".replaying";

    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sa.sa_flags = SA_RESTART;  // the running statement finishes; the loop stops before the next
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);

    if (!vt::tools::init_quiet_runtime("vantor-replay-failed")) {
        std::fprintf(stderr, "vantor-replay-failed: cannot read %s\n", VT_DB_CONF_FILE);
        return 2;
    }
    std::string lock_path = work + ".lock";
    /* 0600: a lock file others may open, others may lock, refusing every run. */
    vt::Fd lock = vt::safe::open_file(lock_path, O_RDWR | O_CREAT, 0600);
    if (lock)
        vt::safe::narrow_mode(lock.get(), 0600);
    if (!lock || flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "vantor-replay-failed: %s: %s\n", lock_path.c_str(),
                     lock ? "another replay of this file is running" : std::strerror(errno));
        return 2;
    }
    /* A database that stops answering must not hold the run: connecting and every read
     * and write give up after this long, and a stop asked for meanwhile is then acted on. */
    vt_db_io_timeout = kDatabaseTimeoutSeconds;
    if (db_connect() != 0) {
        std::string err;
        vt::tools::connect_db(5, err);
        std::fprintf(stderr, "vantor-replay-failed: database unreachable: %s; nothing was moved\n", err.c_str());
        return 2;
    }

    FailedFile failed(failed_path);
    Counts counts;
    Outcome outcome = Outcome::Done;
    /* A work file left by an interrupted run holds older statements: they go first, then
     * the current file is moved aside and replayed. */
    bool took_input = false;
    while (outcome == Outcome::Done && !took_input) {
        /* input and its work file share a folder, worked on by its descriptor alone */
        vt::safe::Location in_loc = vt::safe::locate(input);
        struct stat work_st;
        if (!in_loc) {
            std::fprintf(stderr, "vantor-replay-failed: cannot open the folder of %s: %s\n", input.c_str(),
                         std::strerror(errno));
            return 2;
        }
        if (!vt::safe::stat_at(in_loc.dir.get(), in_loc.name + ".replaying", work_st)) {
            /* A progress record without its work file is stale: the file about to become
             * the work file starts from its beginning. */
            vt::safe::remove_at(in_loc.dir.get(), in_loc.name + ".replaying.progress");
            if (renameat(in_loc.dir.get(), in_loc.name.c_str(), in_loc.dir.get(), (in_loc.name + ".replaying").c_str()) != 0) {
                if (errno == ENOENT)
                    break;
                std::fprintf(stderr, "vantor-replay-failed: cannot move %s aside: %s\n", input.c_str(), std::strerror(errno));
                return 2;
            }
            took_input = true;
            /* A worker that opened the file just before the move finishes its one write
             * into the moved file; give it that moment before reading to the end. */
            usleep(200 * 1000);
        }
        outcome = replay(work, failed, counts);
    }
    db_disconnect();

    const char *why = outcome == Outcome::Interrupted    ? "interrupted"
                      : outcome == Outcome::DatabaseGone ? "database unreachable"
                      : outcome == Outcome::WriteFailed  ? "write error"
                                                         : "";
    std::printf("%ld executed, %ld failed again", counts.executed, counts.failed);
    if (counts.failed > 0)
        std::printf(" (kept in %s)", failed.path().c_str());
    if (outcome != Outcome::Done)
        std::printf(", %ld left in %s (%s)", counts.left, work.c_str(), why);
    std::printf("\n");
    return counts.failed > 0 || outcome != Outcome::Done ? 1 : 0;
}
