/* Exception barrier for the module's C entry points: nothing thrown inside reaches the engine. */
#ifndef VT_ENTRY_GUARD_H
#define VT_ENTRY_GUARD_H

#include <cstdio>
#include <exception>
#include <utility>

#include "vt_log.h"

namespace vt {

/* Logs "ERROR: <where>: <what>" for an exception stopped at an entry point. The line is
 * built without the heap, since the exception is most often an allocation failure. */
inline void log_stopped_exception(const char *where, const char *what) noexcept
{
    char line[320];
    std::snprintf(line, sizeof line, "ERROR: %s: %s", where, what ? what : "unknown exception");
    try {
        vt_write_to_log(line);
    } catch (...) {
        /* the log itself failed: the failure result is all that is left */
    }
}

/* Runs body and returns its result. The engine's and the C side's frames cannot carry an
 * exception: when body throws, the exception is logged with where, and fallback (the entry
 * point's failure result) is returned instead. */
template <typename R, typename Body>
R guard_entry(const char *where, R fallback, Body &&body) noexcept
{
    try {
        return std::forward<Body>(body)();
    } catch (const std::exception &e) {
        log_stopped_exception(where, e.what());
    } catch (...) {
        log_stopped_exception(where, nullptr);
    }
    return fallback;
}

/* The same for an entry point without a result. */
template <typename Body>
void guard_entry(const char *where, Body &&body) noexcept
{
    try {
        std::forward<Body>(body)();
    } catch (const std::exception &e) {
        log_stopped_exception(where, e.what());
    } catch (...) {
        log_stopped_exception(where, nullptr);
    }
}

}  // namespace vt

#endif
