/* Formatted strings and heap copies for the C interfaces. */
#include "vt_util.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/random.h>
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

bool read_exact(int fd, void *buf, size_t len)
{
    char *p = static_cast<char *>(buf);
    while (len > 0) {
        ssize_t n = ::read(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

namespace {
/* Length of the well-formed UTF-8 sequence that starts at s (n bytes available), or 0 when
 * none starts there. */
size_t utf8_sequence_length(const unsigned char *s, size_t n)
{
    if (n == 0)
        return 0;
    const unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;  // overlong below U+0800
        else if (c == 0xED)
            hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;  // overlong below U+10000
        else if (c == 0xF4)
            hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (n < len || s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < len; ++i)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return len;
}
}  // namespace

bool is_utf8(const char *s, size_t n)
{
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    for (size_t i = 0; i < n;) {
        const size_t len = utf8_sequence_length(p + i, n - i);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

std::string utf8_or_latin1(const char *s, size_t n)
{
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    std::string out;
    out.reserve(n + n / 4);
    for (size_t i = 0; i < n;) {
        const size_t len = utf8_sequence_length(p + i, n - i);
        if (len > 0) {
            out.append(s + i, len);
            i += len;
        } else {
            out += static_cast<char>(0xC0 | (p[i] >> 6));
            out += static_cast<char>(0x80 | (p[i] & 0x3F));
            ++i;
        }
    }
    return out;
}

unsigned long long random_id_bits()
{
    unsigned long long r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof r))
        return r;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<unsigned long long>(ts.tv_sec) << 30) ^ static_cast<unsigned long long>(ts.tv_nsec) ^
           (static_cast<unsigned long long>(getpid()) << 40);
}

}  // namespace vt
