/* Formatted strings and heap copies for the C interfaces. */
#include "vt_util.h"
#include "vt_log.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <unistd.h>

namespace vt {

std::string vformat(const char *fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n), '\0');
    std::vsnprintf(&out[0], out.size() + 1, fmt, ap);
    return out;
}

std::string format(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat(fmt, ap);
    va_end(ap);
    return s;
}

char *dup_cstr(const std::string &s)
{
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    if (p)
        std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

bool write_all(int fd, const std::string &text)
{
    const char *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

void log_caught(const char *where) noexcept
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

}  // namespace vt

void vt_log_noexcept(const char *message) noexcept
{
    try {
        vt_write_to_log(message);
    } catch (...) {
    }
}
