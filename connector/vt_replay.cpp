/* Delayed message replay: the module's dump files carried out oldest first, then deleted. */
#include "vt_replay.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_notify.h"
#include "vt_perfdata.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
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

struct FileEntry {
    std::string name;
    struct timespec mtime;
};

/* The dump files of the directory, oldest modification first; files of the same moment in
 * name order, which is the order the module wrote them in. Only plain files count: a link
 * or a directory placed there is never read. */
std::vector<std::string> dump_files_oldest_first()
{
    std::vector<FileEntry> files;
    DIR *dir = opendir(VT_DELAYED_DIR);
    if (!dir)
        return {};
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.' || std::strchr(e->d_name, '\n'))
            continue;
        struct stat st;
        if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        files.push_back({e->d_name, st.st_mtim});
    }
    closedir(dir);
    std::sort(files.begin(), files.end(), [](const FileEntry &a, const FileEntry &b) {
        if (a.mtime.tv_sec != b.mtime.tv_sec)
            return a.mtime.tv_sec < b.mtime.tv_sec;
        if (a.mtime.tv_nsec != b.mtime.tv_nsec)
            return a.mtime.tv_nsec < b.mtime.tv_nsec;
        return a.name < b.name;
    });
    std::vector<std::string> names;
    for (FileEntry &f : files)
        names.push_back(std::move(f.name));
    return names;
}

/* Writes this pass's listing into the list file. The var folder is writable by the
 * engine's user, so the file is made anew and never through a link someone put there. */
bool write_listing()
{
    if (unlink(VT_DELAYED_LIST) != 0 && errno != ENOENT) {
        vt_logf("ERROR could not delete %s: %s", VT_DELAYED_LIST, std::strerror(errno));
        return false;
    }
    vt::Fd fd(open(VT_DELAYED_LIST, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        vt_logf("ERROR could not create %s: %s", VT_DELAYED_LIST, std::strerror(errno));
        return false;
    }
    std::string listing;
    for (const std::string &name : dump_files_oldest_first())
        listing += name + '\n';
    if (!vt::write_all(fd.get(), listing)) {
        vt_logf("ERROR could not write %s: %s", VT_DELAYED_LIST, std::strerror(errno));
        return false;
    }
    return true;
}

/* Keeps the lines of path from offset on (the refused one first) for a later pass, with
 * the file's modification time, so that it keeps its place among the dump files. Lines
 * before offset were carried out and are not repeated. False when the file could not be
 * rewritten; then it stays whole. */
bool keep_rest_of_file(const std::string &path, FILE *in, off_t offset)
{
    struct stat st;
    if (fstat(fileno(in), &st) != 0 || fseeko(in, offset, SEEK_SET) != 0)
        return false;
    const std::string tmp = std::string(VT_DELAYED_DIR) + ".replay-rest";
    unlink(tmp.c_str());
    vt::Fd out(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out)
        return false;
    char buf[65536];
    size_t n;
    bool ok = true;
    while (ok && (n = std::fread(buf, 1, sizeof buf, in)) > 0)
        ok = vt::write_all(out.get(), std::string(buf, n));
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ok = ok && !std::ferror(in) && futimens(out.get(), times) == 0 && close(out.release()) == 0 &&
         rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok)
        unlink(tmp.c_str());
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

}  // namespace

/* The runner's child switches to the notification user before the shell starts, and the
 * runner refuses (-2, nothing run) when that cannot be done while running as root. */
extern "C" int vt_replay_notification(const char *command)
{
    return vt_process_delayed_notification(command) == -2 ? -2 : 0;
}

extern "C" int vt_process_delayed_file(const char *name)
{
    if (!name)
        return 0;
    const std::string path = std::string(VT_DELAYED_DIR) + name;
    int count = 0;
    vt::Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    vt::File in(fd ? fdopen(fd.get(), "r") : nullptr);
    if (!in) {
        vt_logf("ERROR could not open file %s", path.c_str());
        return 0;
    }
    fd.release();

    char *raw = nullptr;
    size_t cap = 0;
    vt::CString line_holder;
    for (;;) {
        const off_t line_start = ftello(in.get());
        errno = 0;
        const ssize_t len = getline(&raw, &cap, in.get());
        line_holder.release();
        line_holder.reset(raw);
        if (len < 0) {
            if (errno == ENOMEM) {
                /* Read again from the start next pass: better twice than never. */
                vt_logf("ERROR out of memory reading %s, kept for the next pass", path.c_str());
                return count;
            }
            break;
        }
        if (len <= kShortestLine)
            continue;
        try {
            std::string line(raw, static_cast<size_t>(len));
            if (line.back() == '\n')
                line.pop_back();
            const size_t tab = line.find('\t');
            const std::string job = tab == std::string::npos ? std::string() : line.substr(tab + 1);
            for (const QueueRule &q : kQueues) {
                if (line.compare(0, std::strlen(q.name), q.name) != 0)
                    continue;
                switch (q.handling) {
                case Handling::Status: run_status_statement(job); break;
                case Handling::Perfdata: vt_process_perfdata(job.c_str()); break;
                case Handling::Notify:
                    if (vt_replay_notification(job.c_str()) == -2) {
                        if (keep_rest_of_file(path, in.get(), line_start))
                            vt_logf("ERROR notification not run as root, the rest of %s is kept for a later pass",
                                    path.c_str());
                        else
                            vt_logf("ERROR notification not run as root, %s is kept whole for a later pass",
                                    path.c_str());
                        return count;
                    }
                    break;
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
    if (unlink(path.c_str()) != 0)
        vt_logf("ERROR could not delete %s: %s", path.c_str(), std::strerror(errno));
    return count;
}

namespace {

/* One pass: list the dump files, carry out each, report. */
void replay_pass(int &total)
{
    if (!write_listing())
        return;
    {
        vt::Fd fd(open(VT_DELAYED_LIST, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        vt::File list(fd ? fdopen(fd.get(), "r") : nullptr);
        if (!list) {
            vt_write_to_log("ERROR could not open file " VT_DELAYED_LIST);
            return;
        }
        fd.release();
        char *raw = nullptr;
        size_t cap = 0;
        ssize_t len;
        while ((len = getline(&raw, &cap, list.get())) > 0) {
            if (raw[len - 1] == '\n')
                raw[len - 1] = '\0';
            total += vt_process_delayed_file(raw);
        }
        std::free(raw);
    }
    if (unlink(VT_DELAYED_LIST) != 0)
        vt_write_to_log("ERROR could not delete " VT_DELAYED_LIST);
    if (total > 0) {
        vt_logf("processed %d delayed messages", total);
        total = 0;
    }
}

}  // namespace

extern "C" pid_t vt_delayed_message_dispatcher(void)
{
    pid_t pid = DEBUG ? 0 : fork();
    if (pid < 0) {
        vt_write_to_log("ERROR Could not fork for delayed messages process");
        return pid;
    }
    if (pid > 0)
        return pid;
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
}
