/* Delayed-message queue: refused jobs kept in memory, dumped to disk when full or asked. */
#include "vt_delayed.h"
#include "vantor_config.h"
#include "vt_util.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kQueueLimit = 10;
/* A dump waits at most about this long for another process's dump to finish; the engine's
 * thread must not hang on a process that stopped while holding the lock. */
constexpr int kLockAttempts = 5000;  /* of 1 ms each */
constexpr int kOpenAttempts = 100;
/* How long a move keeps looking for a free name before it leaves the file in place. */
constexpr long kMoveRetryUs = 100000;

delayed_msg *head = nullptr;
delayed_msg *tail = nullptr;
int count = 0;


bool lock_exclusive(int fd)
{
    for (int i = 0; i < kLockAttempts; ++i) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        usleep(1000);
    }
    return false;
}

/* Opens the dump file for appending and locks it. The lock is taken on the file, and a
 * file that another dump has moved away while we waited for its lock is still that file:
 * after locking, the descriptor must still be the one the path names, else we would append
 * to a file that has already been handed to the replay. Returns an invalid Fd on failure. */
vt::Fd open_locked_dump()
{
    for (int i = 0; i < kOpenAttempts; ++i) {
        vt::Fd fd(open(VT_DUMP_FILE, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
        if (!fd || !lock_exclusive(fd.get()))
            return vt::Fd();
        struct stat held, named;
        if (fstat(fd.get(), &held) != 0)
            return vt::Fd();
        if (stat(VT_DUMP_FILE, &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino)
            return fd;
        /* moved (or removed) while we waited: start again on the path's new file */
    }
    return vt::Fd();
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
    delayed_msg *m = nullptr;
    if (create_delayed(&m) != 0)
        return 1;
    /* A full queue goes to disk first. When the dump fails the new message is queued all
     * the same: the queue then grows beyond ten until a dump succeeds, since dropping the
     * job would lose it for good while both the job server and the disk refuse it. */
    int dumped = count >= kQueueLimit ? dump_msgs() : 0;
    gettimeofday(m->queued, nullptr);
    m->rc = rc;
    m->job = strdup(job);
    m->queue = strdup(queue);
    if (!m->job || !m->queue) {
        destroy_delayed(m);
        return 1;
    }
    m->prev = tail;
    m->next = nullptr;
    if (tail)
        tail->next = m;
    else
        head = m;
    tail = m;
    ++count;
    return dumped;
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
 * On failure the file is cut back to the size it had, every message stays queued, and 1 is
 * returned. The file stays locked from opening until it has been moved, so dumps of several
 * processes never mix lines and never write into a file the replay may already read. */
extern "C" int dump_msgs(void)
{
    if (!head)
        return 0;
    try {
        std::string text;
        for (delayed_msg *m = head; m; m = m->next) {
            text += m->queue ? m->queue : "";
            text += '\t';
            text += m->job ? m->job : "";
            text += '\n';
        }
        vt::Fd fd = open_locked_dump();
        if (!fd)
            return 1;
        struct stat before;
        if (fstat(fd.get(), &before) != 0)
            return 1;
        /* Written through a second descriptor so that its close, where a file system may
         * report deferred write errors, is checked while the lock (held by fd) remains. */
        vt::Fd writer(dup(fd.get()));
        bool whole = writer && vt::write_all(writer.get(), text);
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
        return 0;  /* fd closes here, releasing the lock after the move */
    } catch (...) {
        return 1;
    }
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
}
