/* Small C++ helpers over C handles: owning pointers, descriptors, formatted strings. */
#ifndef VT_UTIL_H
#define VT_UTIL_H

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <mysql.h>

namespace vt {

struct FreeDeleter { void operator()(void *p) const noexcept { std::free(p); } };
/* A heap string from malloc (asprintf, strdup, the C interfaces of this system). */
using CString = std::unique_ptr<char, FreeDeleter>;

struct FileCloser { void operator()(FILE *f) const noexcept { if (f) std::fclose(f); } };
using File = std::unique_ptr<FILE, FileCloser>;

struct ResultFreer { void operator()(MYSQL_RES *r) const noexcept { if (r) mysql_free_result(r); } };
using Result = std::unique_ptr<MYSQL_RES, ResultFreer>;

/* An owned file descriptor, closed on destruction. */
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&o) noexcept { reset(o.release()); return *this; }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { int f = fd_; fd_ = -1; return f; }
    void reset(int fd = -1) { if (fd_ >= 0) ::close(fd_); fd_ = fd; }
private:
    int fd_ = -1;
};

/* printf into a std::string. */
std::string vformat(const char *fmt, va_list ap);
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* 64 random bits from the kernel or, where it has none to give at once, bits of the clock and
 * the process id: for ids that must differ between runs and processes, never for secrets. */
unsigned long long random_id_bits();

/* A malloc'ed copy of s (NULL for NULL), for the C interfaces that hand out heap strings. */
char *dup_cstr(const std::string &s);

/* Writes all of text to fd, resuming after signals; false on an error or a short write. */
bool write_all(int fd, const std::string &text);

/* Reads exactly len bytes from fd into buf, resuming after signals; false at an error or
 * at the end of the input before len bytes came. */
bool read_exact(int fd, void *buf, size_t len);

/* Whether s consists of decimal digits only (the empty text does). */
inline bool all_digits(const char *s)
{
    for (; *s; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

/* Whether the n bytes at s are well-formed UTF-8 throughout (overlong forms, surrogates and
 * code points above U+10FFFF are not, as for a utf8mb4 column). */
bool is_utf8(const char *s, size_t n);

/* The n bytes at s as well-formed UTF-8: every byte that does not start a well-formed sequence
 * is taken as the Latin-1 character of that value. Plugins that print Latin-1 text then read
 * right, and a utf8mb4 column under strict mode no longer refuses the whole statement. */
std::string utf8_or_latin1(const char *s, size_t n);

/* A string column of a result row, or "" when it is NULL. */
inline const char *col_or_empty(const char *c) { return c ? c : ""; }

}  // namespace vt

#endif
