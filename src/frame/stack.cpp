// The thread's own stack bounds, looked up on its first call, for the guard in
// front of every body: the host bounds recursion by a count, which a thread
// with a small stack overflows long before the count runs out.
#include "frame.hpp"

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__)
#include <pthread.h>
#else
#include <pthread.h>
#endif

namespace tarvex::detail {

TARVEX_STACK_TLS std::uintptr_t stack_floor = stack_floor_unknown;

namespace {

// What a body and the host's operations below it may still take after the
// check passes: one level of the package's call path with the host's frames
// between two levels, and room for raising and reporting the RecursionError.
constexpr std::uintptr_t safe_margin = 64 * 1024;

// The lowest address of this thread's stack; 0 when the system does not say.
std::uintptr_t stack_low() noexcept
{
#if defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    return static_cast<std::uintptr_t>(low);
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    const auto high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    return high - pthread_get_stacksize_np(self);
#else
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return 0;
    void* low = nullptr;
    std::size_t size = 0;
    const int failed = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    return failed ? 0 : reinterpret_cast<std::uintptr_t>(low);
#endif
}

std::uintptr_t find_stack_floor() noexcept
{
    const std::uintptr_t low = stack_low();
    return low ? low + safe_margin : 0;
}

} // namespace

// The bounds are asked again before raising: the main thread's stack grows
// up to the process's stack limit, which the program may have raised since
// they were first asked (a thread's own stack keeps its size, and asking
// again finds the same floor). Only a call that would fail pays for it.
bool stack_exhausted(std::uintptr_t here) noexcept
{
    if (stack_floor == stack_floor_unknown)
        stack_floor = find_stack_floor();
    if (here >= stack_floor)
        return false;
    stack_floor = find_stack_floor();
    if (here >= stack_floor)
        return false;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return true;
}

} // namespace tarvex::detail
