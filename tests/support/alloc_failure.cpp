// Replaceable global allocation that can be made to fail, for tests of what C entry points do
// when memory runs out. Linked into a test program only when it calls vtt::fail_allocations.
#include "test_support.h"

#include <cstdlib>
#include <new>

namespace {
bool failing = false;

void *allocate(std::size_t n)
{
    if (failing)
        throw std::bad_alloc();
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
}  // namespace

void vtt::fail_allocations(bool on) { failing = on; }

void *operator new(std::size_t n) { return allocate(n); }
void *operator new[](std::size_t n) { return allocate(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept
{
    return failing ? nullptr : std::malloc(n ? n : 1);
}
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept
{
    return failing ? nullptr : std::malloc(n ? n : 1);
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
