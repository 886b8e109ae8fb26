// The global operator new of a test program, failing on demand (see failing_new.h).
#include "failing_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> failing{false};
}

namespace vtt {
void fail_allocations(bool on) { failing.store(on); }
}  // namespace vtt

// Plain malloc and free underneath, so that the sanitizers see matching pairs: every form
// but the aligned ones (left to the runtime, which pairs them itself) is replaced.
void *operator new(std::size_t n)
{
    if (failing.load(std::memory_order_relaxed))
        throw std::bad_alloc();
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t n) { return ::operator new(n); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept
{
    if (failing.load(std::memory_order_relaxed))
        return nullptr;
    return std::malloc(n ? n : 1);
}
void *operator new[](std::size_t n, const std::nothrow_t &t) noexcept { return ::operator new(n, t); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
