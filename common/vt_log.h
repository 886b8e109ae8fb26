/* Log file with size rotation, the job-server error throttle, SQL date literals, and logging of caught exceptions. */
#ifndef VT_LOG_H
#define VT_LOG_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Name of the running deliverable ("vantorconnector" or "vtdb"); prefixes database errors. */
extern char *VTMODULE;
/* Current log file and its one rotated generation. */
extern char *logfile;
extern char *logfile_aux;
/* Debug switch: entries go to standard output with a trailing bar. */
extern int DEBUG;
/* Error throttle: time of the last throttled message that was logged, and of the last check. */
extern time_t last_logged_error;
extern time_t timenow;
/* When not -1, a log file this process creates gets exactly this mode (the daemon uses 0640). */
extern int vt_log_create_mode;
/* When not -1, entries are not written to the file but sent into this pipe as frames (a
 * 4-byte length in host order, then the entry): a process that may not write the log
 * itself hands them to one that may (see vt_log_relay). */
extern int vt_log_pipe_fd;

/* Size above which a file of failed statements or values (vtsql.errors, perfdata.errors) is
 * moved to its one older generation "<name>.1" (100000000 bytes, as the log). */
extern long long vt_error_file_limit;
/* Rotates such a file when it has grown above vt_error_file_limit, and logs that it did. */
void vt_rotate_error_file(const char *path);

/* Appends "[date] message\n" to logfile, rotating it first when it is larger than
 * 100000000 bytes. The message is written verbatim and stays the caller's.
 * Returns 0 when written (or printed in debug mode), -2 when the file cannot be opened. */
int vt_write_to_log(const char *message);

/* Reads frames from the pipe fd until its end and appends each entry to the log file (with
 * rotation). Frames longer than the bound the writer keeps to are refused and end the relay. */
void vt_log_relay(int fd);

/* Stores in *result a new heap string "'YYYY-MM-DD HH:MM:SS'" (local time, quotes included)
 * for t, or NULL for t == 0. The caller frees it. */
void timestamp_to_longdate(char **result, time_t t);

/* The throttle rule: reads the clock into timenow and returns 1 when more than 60 seconds
 * have passed since last_logged_error (advancing it to timenow when advance is non-zero),
 * otherwise 0. Safe from several threads: of simultaneous advancing calls one gets 1. */
int vt_throttle_allows(int advance);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <string>
/* printf-style logging for the system's own formats; arguments are never formats, and each
 * %s argument is written through vt::log_escape. */
int vt_logf(const char *fmt, ...) noexcept __attribute__((format(printf, 1, 2)));

/* Logs a fixed message, swallowing any failure (for catch handlers). */
void vt_log_noexcept(const char *message) noexcept;

namespace vt {

/* text with every control character written as an escape (\n, \r, \t, \xNN): text from
 * outside that is logged stays on its entry's one line. vt_logf applies it to each %s. */
std::string log_escape(const std::string &text);

/* For catch handlers of the C entry points: logs "ERROR <where>: <what the exception says>"
 * for the exception being handled, without allocating; a failure to log is swallowed. */
void log_caught(const char *where) noexcept;

/* Runs body and returns its result; an exception from it is logged (log_caught) and
 * turned into fallback, so that nothing is thrown through the C callers' frames. */
template <typename R, typename F>
R guarded(const char *where, R fallback, F &&body) noexcept
{
    try {
        return body();
    } catch (...) {
        log_caught(where);
        return fallback;
    }
}

}  // namespace vt
#endif

#endif
