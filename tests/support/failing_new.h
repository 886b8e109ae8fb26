// Allocation failure on demand for tests: a program that links failing_new.cpp replaces the
// global operator new, and every allocation through it throws std::bad_alloc while a
// FailingAllocations object is alive (in the program and in modules it dlopen'ed).
#ifndef VT_TEST_FAILING_NEW_H
#define VT_TEST_FAILING_NEW_H

namespace vtt {

void fail_allocations(bool on);

class FailingAllocations {
public:
    FailingAllocations() { fail_allocations(true); }
    ~FailingAllocations() { fail_allocations(false); }
    FailingAllocations(const FailingAllocations &) = delete;
    FailingAllocations &operator=(const FailingAllocations &) = delete;
};

}  // namespace vtt

#endif
