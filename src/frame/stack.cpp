// The native stack of the running thread: where it ends, so that a call
// about to run out of it raises RecursionError instead of overflowing.
//
// The interpreter bounds recursion by a count, which says nothing about how
// much stack a thread has: a thread started with a small stack size can
// overflow long before the count runs out. Each thread's bounds are asked of
// the system once and kept.
#include "frame.hpp"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#elif defined(__APPLE__) || defined(__linux__)
#include <pthread.h>
#endif

namespace tarvex::detail {

namespace {

// What must be left below a call for the host to raise, report and unwind
// the error, and for the host code that runs between two calls of the
// package's functions (hashing, comparisons, a Python function's frame).
constexpr std::uintptr_t stack_margin = 64 * 1024;

// The lowest address of this thread's stack; 0 where the system does not
// say.
std::uintptr_t stack_low_end() noexcept
{
#if defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    return static_cast<std::uintptr_t>(low);
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    const auto top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    return top - pthread_get_stacksize_np(self);
#elif defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return 0;
    void* low = nullptr;
    std::size_t size = 0;
    const int failed = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    return failed ? 0 : reinterpret_cast<std::uintptr_t>(low);
#else
    return 0;
#endif
}

} // namespace

std::uintptr_t find_stack_limit() noexcept
{
    const std::uintptr_t low = stack_low_end();
    // 1 where the bounds are unknown: the address of a local is never below it.
    stack_limit = low ? low + stack_margin : 1;
    return stack_limit;
}

void raise_stack_exhausted() noexcept
{
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
}

} // namespace tarvex::detail
