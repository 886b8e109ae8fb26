/* Delayed-message queue: refused jobs kept in memory, dumped to disk when full or asked. */
#include "vt_delayed.h"
#include "vantor_config.h"
#include "vt_log.h"
#include "vt_safe_file.h"
#include "vt_util.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kQueueLimit = 10;
constexpr int kOpenAttempts = 100;
constexpr mode_t kDumpFileMode = 0640;
/* How long a move keeps looking for a free name before it leaves the file in place. */
constexpr long kMoveRetryUs = 100000;
/* After a dump that a full queue triggered has failed, the next such attempt waits this long:
 * a refused job must not pay for a dump that will fail again. */
constexpr long kDumpRetryMs = 1000;
/* At most one line a minute reports messages dropped at the memory limit. */
constexpr long kDropReportMs = 60000;
/* Dump text is written in pieces of this size, not built whole. */
constexpr size_t kWriteChunk = 64 * 1024;

delayed_msg *head = nullptr;
delayed_msg *tail = nullptr;
int count = 0;
long held_bytes = 0;  /* dump-line bytes of the queued messages */

long last_failed_dump_ms = -1;  /* monotonic time of the last failed triggered dump */
unsigned long dropped_unreported = 0;
long last_drop_report_ms = -1;

long monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000L + ts.tv_nsec / 1000000L;
}

long line_bytes(const delayed_msg *m)
{
    return static_cast<long>((m->queue ? std::strlen(m->queue) : 0) + (m->job ? std::strlen(m->job) : 0) + 2);
}

void report_drops(bool force)
{
    if (dropped_unreported == 0)
        return;
    long now = monotonic_ms();
    if (!force && last_drop_report_ms >= 0 && now - last_drop_report_ms < kDropReportMs)
        return;
    last_drop_report_ms = now;
    vt_logf("ERROR delayed message queue over its limit of %ld bytes: dropped the %lu oldest messages",
            static_cast<long>(VT_DELAYED_MAX_BYTES), dropped_unreported);
    dropped_unreported = 0;
}

/* Drops the oldest messages until adding incoming bytes stays within the limit. */
void make_room(long incoming)
{
    while (head && held_bytes + incoming > VT_DELAYED_MAX_BYTES) {
        destroy_delayed(pop_msg());
        ++dropped_unreported;
    }
    report_drops(false);
}

/* Opens the dump file for appending and takes its lock without waiting: the caller is the
 * engine's thread, which must not stall on another process's dump (or on one that stopped
 * holding the lock). The descriptor must still be the file the path names once locked, else
 * we would append to a file that has already been handed to the replay. Returns an invalid
 * Fd when the file cannot be opened or its lock is held. */
vt::Fd open_locked_dump()
{
    for (int i = 0; i < kOpenAttempts; ++i) {
        /* The messages hold command lines with their secrets expanded: root and the engine's
         * group may read them, no one else, whatever the engine's umask, also in a file an
         * earlier version left wider. */
        vt::Fd fd(open(VT_DUMP_FILE, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kDumpFileMode));
        if (!fd)
            return vt::Fd();
        vt::safe::narrow_mode(fd.get(), kDumpFileMode);
        int locked;
        while ((locked = flock(fd.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
        }
        if (locked != 0)
            return vt::Fd();
        struct stat held, named;
        if (fstat(fd.get(), &held) != 0)
            return vt::Fd();
        if (stat(VT_DUMP_FILE, &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino)
            return fd;
        /* moved (or removed) between our open and our lock: start again on the path's new file */
    }
    return vt::Fd();
}

/* Writes every queued message as its dump line, in pieces. False on any failure. */
bool write_queue(int fd)
{
    std::string chunk;
    chunk.reserve(kWriteChunk);
    for (delayed_msg *m = head; m; m = m->next) {
        chunk += vt_dump_line(m->queue, m->job);
        if (chunk.size() >= kWriteChunk) {
            if (!vt::write_all(fd, chunk))
                return false;
            chunk.clear();
        }
    }
    return chunk.empty() || vt::write_all(fd, chunk);
}

std::string target_name(const struct timeval &tv)
{
    return vt::format("%s-%lu.%06lu", VT_DELAYED_BASE, static_cast<unsigned long>(tv.tv_sec),
                      static_cast<unsigned long>(tv.tv_usec));
}

/* Moves the (locked) dump file into the delayed-messages directory under a name stamped
 * with the current time, never replacing a file already there: a name that exists is
 * retried with a fresh stamp. Failures other than a taken name leave the file in place;
 * the next dump appends to it and moves it whole. */
void move_dump()
{
    struct timeval first, last = {0, 0};
    gettimeofday(&first, nullptr);
    for (;;) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        long waited = (now.tv_sec - first.tv_sec) * 1000000L + (now.tv_usec - first.tv_usec);
        if (waited > kMoveRetryUs || waited < 0)
            return;
        if (now.tv_sec == last.tv_sec && now.tv_usec == last.tv_usec) {
            usleep(1);
            continue;
        }
        last = now;
        std::string target = target_name(now);
        if (renameat2(AT_FDCWD, VT_DUMP_FILE, AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return;
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            return;
        /* file system without no-replace renames: a hard link never replaces either */
        if (link(VT_DUMP_FILE, target.c_str()) == 0) {
            unlink(VT_DUMP_FILE);
            return;
        }
        if (errno != EEXIST)
            return;
    }
}

void release_all_linked()
{
    while (delayed_msg *m = pop_msg())
        destroy_delayed(m);
}

}  // namespace

extern "C" int create_delayed(struct delayed_msg **msg)
{
    if (!msg)
        return 1;
    *msg = nullptr;
    auto *m = static_cast<delayed_msg *>(std::calloc(1, sizeof(delayed_msg)));
    auto *tv = static_cast<struct timeval *>(std::calloc(1, sizeof(struct timeval)));
    if (!m || !tv) {
        std::free(m);
        std::free(tv);
        return 1;
    }
    m->queued = tv;
    *msg = m;
    return 0;
}

extern "C" void destroy_delayed(struct delayed_msg *msg)
{
    if (!msg)
        return;
    std::free(msg->job);
    std::free(msg->queue);
    std::free(msg->queued);
    std::free(msg);
}

/* The new record is owned here until it is linked; on every failure it is released. */
extern "C" int push_msg(const char *queue, const char *job, int rc)
{
    if (!queue || !job)
        return 1;
    try {
        delayed_msg *m = nullptr;
        if (create_delayed(&m) != 0)
            return 1;
        /* A full queue goes to disk first. When the dump fails the new message is queued all
         * the same: the queue then grows beyond ten until a dump succeeds (tried again at most
         * once a second), since dropping the job would lose it while both the job server and
         * the disk refuse it. Only the memory limit drops messages, the oldest first. */
        int dumped = 0;
        if (count >= kQueueLimit)
            dumped = last_failed_dump_ms < 0 || monotonic_ms() - last_failed_dump_ms >= kDumpRetryMs ? dump_msgs() : 1;
        gettimeofday(m->queued, nullptr);
        m->rc = rc;
        m->job = strdup(job);
        m->queue = strdup(queue);
        if (!m->job || !m->queue) {
            destroy_delayed(m);
            return 1;
        }
        make_room(line_bytes(m));
        m->prev = tail;
        m->next = nullptr;
        if (tail)
            tail->next = m;
        else
            head = m;
        tail = m;
        ++count;
        held_bytes += line_bytes(m);
        return dumped;
    } catch (...) {
        return 1;
    }
}

/* The caller owns the returned record, unlinked from the queue, and releases it with
 * destroy_delayed. */
extern "C" struct delayed_msg *pop_msg(void)
{
    delayed_msg *m = head;
    if (!m)
        return nullptr;
    head = m->next;
    if (head)
        head->prev = nullptr;
    else
        tail = nullptr;
    m->next = nullptr;
    m->prev = nullptr;
    --count;
    held_bytes -= line_bytes(m);
    if (!head)
        held_bytes = 0;
    return m;
}

extern "C" struct delayed_msg *get_root(void)
{
    return head;
}

extern "C" int get_count_delayed(void)
{
    return count;
}

/* All or nothing: the queue is emptied only once every line has reached the dump file.
 * On failure (file not openable, its lock held by another dump, a short write) the file is
 * cut back to the size it had, every message stays queued, and 1 is returned. The file stays
 * locked from opening until it has been moved, so dumps of several processes never mix lines
 * and never write into a file the replay may already read. */
static int dump_queue()
{
    try {
        vt::Fd fd = open_locked_dump();
        if (!fd)
            return 1;
        struct stat before;
        if (fstat(fd.get(), &before) != 0)
            return 1;
        /* Written through a second descriptor so that its close, where a file system may
         * report deferred write errors, is checked while the lock (held by fd) remains. */
        vt::Fd writer(dup(fd.get()));
        bool whole = writer && write_queue(writer.get());
        if (whole)
            whole = close(writer.release()) == 0;
        if (!whole) {
            if (ftruncate(fd.get(), before.st_size) != 0) {
                /* nothing more can be done; the messages stay queued */
            }
            return 1;
        }
        /* the lines are on disk from here on: whatever the move does, they leave the queue */
        try {
            move_dump();
        } catch (...) {
        }
        release_all_linked();
        report_drops(true);
        return 0;  /* fd closes here, releasing the lock after the move */
    } catch (...) {
        return 1;
    }
}

extern "C" int dump_msgs(void)
{
    if (!head)
        return 0;
    int rc = dump_queue();
    last_failed_dump_ms = rc ? monotonic_ms() : -1;  /* paces the dumps a full queue triggers */
    return rc;
}

extern "C" void destroy_all_delayed(void)
{
    release_all_linked();
}

/* The child's copy-on-write pages of the parent's records are simply abandoned: freeing
 * them would be harmless to the parent, but delivering or dumping them would duplicate
 * what the parent still owns and will deliver itself. */
extern "C" void vt_delayed_forget_inherited(void)
{
    head = nullptr;
    tail = nullptr;
    count = 0;
    held_bytes = 0;
    last_failed_dump_ms = -1;
    dropped_unreported = 0;
    last_drop_report_ms = -1;
}

/* Why a mark at the start of the line and not escapes alone: dump files written before the
 * escapes hold status statements full of backslashes ("\\'" inside escaped texts), which an
 * unescaping reader would change. Raw lines always begin with a queue name, never with '\\',
 * so the mark tells the two forms apart line by line; files of the old form read exactly as
 * before, and so does a file that holds both (an old dump the new writer appended to after
 * the old one could not be moved). */
namespace {

constexpr char kEscape = '\\';

void escape_into(std::string &out, const char *text, bool tab_too)
{
    for (const char *p = text ? text : ""; *p; ++p) {
        switch (*p) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t':
            if (tab_too) {
                out += "\\t";
                break;
            }
            out += '\t';
            break;
        default: out += *p;
        }
    }
}

/* Undoes escape_into; an escape the writer never makes is kept as it stands. */
std::string unescape(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != kEscape || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (text[i + 1]) {
        case '\\': out += '\\'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        default: out += text[i]; out += text[i + 1]; break;
        }
        ++i;
    }
    return out;
}

}  // namespace

std::string vt_dump_line(const char *queue, const char *job)
{
    std::string line(1, kEscape);
    escape_into(line, queue, true);
    line += '\t';
    escape_into(line, job, false);
    line += '\n';
    return line;
}

vt_dump_message vt_parse_dump_line(const std::string &line)
{
    vt_dump_message m;
    m.marked = !line.empty() && line[0] == kEscape;
    const size_t from = m.marked ? 1 : 0;
    const size_t tab = line.find('\t', from);
    m.queue = line.substr(from, tab == std::string::npos ? std::string::npos : tab - from);
    m.job = tab == std::string::npos ? std::string() : line.substr(tab + 1);
    if (m.marked) {
        m.queue = unescape(m.queue);
        m.job = unescape(m.job);
    }
    return m;
}
