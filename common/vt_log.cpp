/* Log file with size rotation, the job-server error throttle, SQL date literals, and logging of caught exceptions. */
#include "vt_log.h"
#include "vt_safe_file.h"
#include "vt_util.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

char *VTMODULE = nullptr;
char *logfile = nullptr;
char *logfile_aux = nullptr;
int DEBUG = 0;
time_t last_logged_error = 0;
time_t timenow = 0;
int vt_log_create_mode = -1;
int vt_log_pipe_fd = -1;
long long vt_error_file_limit = 100000000;

namespace {

constexpr off_t kMaxLogSize = 100000000;
/* How long a logger waits for another process's rotation; a process stopped while holding the
 * lock must not hang every logger (the engine's thread among them). */
constexpr int kRotationLockWaitMs = 1000;
/* Largest entry sent through the log pipe; a longer message is cut. */
constexpr size_t kMaxPipedEntry = 1 << 20;
/* Set when a wait ran out: until a rotation lock is had again this process only tries it, so a
 * stuck holder costs one bounded wait, not one per entry. The module logs from two threads. */
std::atomic<bool> rotation_lock_stuck{false};

bool lock_for_rotation(int fd)
{
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            rotation_lock_stuck = false;
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (rotation_lock_stuck)
            return false;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L >= kRotationLockWaitMs) {
            /* Any process that may read the log can hold the lock; said once, the logging goes on. */
            rotation_lock_stuck = true;
            vt_write_to_log("ERROR the log's rotation lock is held by another process: not rotated meanwhile");
            return false;
        }
        usleep(1000);
    }
}

/* Moves an oversized file to its one older generation. Several processes append to the
 * same file, so a rotation takes a lock on the old file and re-checks that the path still
 * names it: a second process that saw the same oversized file must not rotate the fresh
 * one over the generation the first has just kept. True when this call moved it. */
bool rotate_file(const char *path, const char *older, off_t limit)
{
    if (!path || !older)
        return false;
    /* var/ may be written by the engine's user: the names are used relative to the folder,
     * and only a regular file of one name is moved. */
    vt::safe::Location file = vt::safe::locate(path, vt::safe::Report::Quiet);
    vt::safe::Location aux = vt::safe::locate(older, vt::safe::Report::Quiet);
    struct stat st;
    if (!file || !aux || !vt::safe::stat_at(file.dir.get(), file.name, st) || !S_ISREG(st.st_mode) ||
        st.st_size <= limit)
        return false;
    vt::Fd fd = vt::safe::open_at(file.dir.get(), file.name, O_RDONLY, 0, vt::safe::Kind::Regular, file.path,
                                  vt::safe::Report::Quiet);
    if (!fd)
        return false;
    if (!lock_for_rotation(fd.get()))
        return false;  /* the entry goes to the oversized file; a later one rotates */
    struct stat held, now;
    if (fstat(fd.get(), &held) == 0 && vt::safe::stat_at(file.dir.get(), file.name, now) &&
        held.st_ino == now.st_ino && held.st_dev == now.st_dev && held.st_size > limit) {
        unlinkat(aux.dir.get(), aux.name.c_str(), 0);
        return renameat(file.dir.get(), file.name.c_str(), aux.dir.get(), aux.name.c_str()) == 0;
    }
    return false;
}

void rotate_if_needed()
{
    rotate_file(logfile, logfile_aux, kMaxLogSize);
}

std::string stamp(time_t t)
{
    struct tm tm;
    localtime_r(&t, &tm);
    return vt::format("%d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                      tm.tm_hour, tm.tm_min, tm.tm_sec);
}

/* Opens the log for appending; a file this call creates gets vt_log_create_mode when set.
 * Never through a link, and only a regular file of one name (the daemon writes it as root);
 * a refusal cannot be logged here, the caller reports that the log could not be opened. */
int open_log()
{
    vt::safe::Location log = vt::safe::locate(logfile, vt::safe::Report::Quiet);
    if (!log)
        return -1;
    /* Created with the narrow mode already: a reader must not get in while it is still wider. */
    const mode_t create = vt_log_create_mode != -1 ? static_cast<mode_t>(vt_log_create_mode) : 0666;
    vt::Fd fd = vt::safe::open_at(log.dir.get(), log.name, O_WRONLY | O_APPEND | O_CREAT | O_EXCL, create,
                                  vt::safe::Kind::RegularOrDevice, log.path, vt::safe::Report::Quiet);
    if (fd) {
        if (vt_log_create_mode != -1)
            fchmod(fd.get(), static_cast<mode_t>(vt_log_create_mode));
        return fd.release();
    }
    if (errno != EEXIST)
        return -1;
    return vt::safe::open_at(log.dir.get(), log.name, O_WRONLY | O_APPEND, 0, vt::safe::Kind::RegularOrDevice, log.path,
                             vt::safe::Report::Quiet)
        .release();
}

}  // namespace

/* Writes the entry without allocating: for when building it on the heap failed. The message
 * is cut to what fits. */
static int write_entry_on_stack(const char *message)
{
    char entry[2048];
    time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    int n = std::snprintf(entry, sizeof entry, "[%d-%02d-%02d %02d:%02d:%02d] %.2000s\n", tm.tm_year + 1900,
                          tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, message);
    int fd = -1;
    try {
        fd = logfile ? open_log() : -1;
    } catch (...) {
    }
    if (fd < 0)
        return -2;
    ssize_t w = n > 0 ? write(fd, entry, std::min(static_cast<size_t>(n), sizeof entry - 1)) : 0;
    (void)w;
    close(fd);
    return 0;
}

namespace {
/* Sends one entry into the log pipe as a frame; a message too long for it is cut. */
int send_entry(const std::string &entry)
{
    const uint32_t len = static_cast<uint32_t>(std::min(entry.size(), kMaxPipedEntry));
    std::string frame(reinterpret_cast<const char *>(&len), sizeof len);
    frame.append(entry, 0, len);
    if (len < entry.size())
        frame[frame.size() - 1] = '\n';
    return vt::write_all(vt_log_pipe_fd, frame) ? 0 : -2;
}

/* Appends one finished entry to the log file, rotating first. */
int append_entry(const std::string &entry)
{
    rotate_if_needed();
    int fd = logfile ? open_log() : -1;
    if (fd < 0) {
        std::printf("Could not open %s for write\n", logfile ? logfile : "(null)");
        return -2;
    }
    vt::Fd owned(fd);
    /* One write per entry: entries of processes sharing the file never interleave. */
    vt::write_all(fd, entry);
    return 0;
}
}  // namespace

extern "C" int vt_write_to_log(const char *message)
{
    if (!message)
        message = "(null)";
    try {
        std::string when = stamp(time(nullptr));
        if (DEBUG) {
            rotate_if_needed();
            std::printf("[%s] %s|\n", when.c_str(), message);
            return 0;
        }
        std::string entry = "[" + when + "] " + message + "\n";
        if (vt_log_pipe_fd >= 0)
            return send_entry(entry);
        return append_entry(entry);
    } catch (...) {
        return write_entry_on_stack(message);
    }
}

extern "C" void vt_rotate_error_file(const char *path)
{
    try {
        const std::string older = std::string(path ? path : "") + ".1";
        if (path && rotate_file(path, older.c_str(), static_cast<off_t>(vt_error_file_limit)))
            vt_logf("%s grew above %lld bytes: moved to %s, replacing the one before; what it holds is lost at "
                    "the next move unless it is replayed or kept elsewhere", path, vt_error_file_limit, older.c_str());
    } catch (...) {
        vt_log_noexcept("ERROR rotating an error file failed: out of memory");
    }
}

extern "C" void vt_log_relay(int fd)
{
    std::string entry;
    for (;;) {
        uint32_t len = 0;
        if (!vt::read_exact(fd, &len, sizeof len) || len > kMaxPipedEntry)
            return;
        try {
            entry.resize(len);
        } catch (...) {
            return;
        }
        if (!vt::read_exact(fd, &entry[0], len))
            return;
        try {
            append_entry(entry);
        } catch (...) {
        }
    }
}

namespace {
/* One conversion of a format, given as a format of its own holding just that conversion. */
template <typename T>
void append_conversion(std::string &out, const std::string &piece, T value)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    char small[128];
    const int n = std::snprintf(small, sizeof small, piece.c_str(), value);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(&big[0], big.size(), piece.c_str(), value);
#pragma GCC diagnostic pop
    big.resize(static_cast<size_t>(n));
    out += big;
}

/* printf for vt_logf: the format is the system's own text and is kept as it stands, while
 * every %s argument (plugin output, a command and its output, a statement, a file name:
 * whatever came from outside) is written with its control characters escaped. So a text
 * cannot end its entry early and forge entries of its own after it. */
std::string format_for_log(const char *fmt, va_list ap)
{
    std::string out;
    for (const char *p = fmt; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            p += 2;
            continue;
        }
        std::string piece(1, *p++);
        auto take_number = [&] {
            if (*p == '*') {
                piece += std::to_string(va_arg(ap, int));
                ++p;
            }
            while (*p >= '0' && *p <= '9')
                piece += *p++;
        };
        while (*p && std::strchr("-+ #0'", *p))
            piece += *p++;
        take_number();
        if (*p == '.') {
            piece += *p++;
            take_number();
        }
        std::string length;
        while (*p && std::strchr("hlqjztL", *p))
            length += *p++;
        const char conv = *p;
        if (!conv)
            break;
        ++p;
        piece += length;
        piece += conv;
        switch (conv) {
        case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c':
            if (length == "l")
                append_conversion(out, piece, va_arg(ap, long));
            else if (length == "ll" || length == "q" || length == "j")
                append_conversion(out, piece, va_arg(ap, long long));
            else if (length == "z" || length == "t")
                append_conversion(out, piece, va_arg(ap, size_t));
            else
                append_conversion(out, piece, va_arg(ap, int));
            break;
        case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
            if (length == "L")
                append_conversion(out, piece, va_arg(ap, long double));
            else
                append_conversion(out, piece, va_arg(ap, double));
            break;
        case 's': {
            std::string text;
            append_conversion(text, piece, va_arg(ap, const char *));
            out += vt::log_escape(text);
            break;
        }
        case 'p':
            append_conversion(out, piece, va_arg(ap, void *));
            break;
        default:  /* %n and unknown conversions: nothing is written through them */
            return out;
        }
    }
    return out;
}
}  // namespace

std::string vt::log_escape(const std::string &text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c >= 0x20 && c != 0x7f) {
            out += static_cast<char>(c);
            continue;
        }
        out += '\\';
        switch (c) {
        case '\n': out += 'n'; break;
        case '\r': out += 'r'; break;
        case '\t': out += 't'; break;
        default:
            out += 'x';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

int vt_logf(const char *fmt, ...) noexcept
{
    va_list ap;
    va_start(ap, fmt);
    int rc;
    try {
        std::string msg = format_for_log(fmt, ap);
        rc = vt_write_to_log(msg.c_str());
    } catch (...) {
        rc = vt_write_to_log(fmt);  /* the format's own text says at least what happened */
    }
    va_end(ap);
    return rc;
}

extern "C" void timestamp_to_longdate(char **result, time_t t)
{
    if (!result)
        return;
    if (t == 0) {
        *result = nullptr;
        return;
    }
    try {
        *result = vt::dup_cstr("'" + stamp(t) + "'");
    } catch (...) {
        *result = nullptr;
    }
}

/* Safe from several threads without a lock (a lock held by one thread when another forks
 * would stay held in the child): of two failures in the same instant only one advances
 * the throttle and logs. */
extern "C" int vt_throttle_allows(int advance)
{
    const time_t now = time(nullptr);
    __atomic_store_n(&timenow, now, __ATOMIC_RELAXED);
    time_t last = __atomic_load_n(&last_logged_error, __ATOMIC_RELAXED);
    if (now - last <= 60)
        return 0;
    if (!advance)
        return 1;
    return __atomic_compare_exchange_n(&last_logged_error, &last, now, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED) ? 1
                                                                                                                 : 0;
}

void vt_log_noexcept(const char *message) noexcept
{
    try {
        vt_write_to_log(message);
    } catch (...) {
    }
}

void vt::log_caught(const char *where) noexcept
{
    char msg[512];
    try {
        throw;
    } catch (const std::bad_alloc &) {
        std::snprintf(msg, sizeof msg, "ERROR %s: out of memory", where ? where : "");
    } catch (const std::exception &e) {
        std::snprintf(msg, sizeof msg, "ERROR %s: %s", where ? where : "", e.what());
    } catch (...) {
        std::snprintf(msg, sizeof msg, "ERROR %s: unexpected failure", where ? where : "");
    }
    vt_log_noexcept(msg);
}
