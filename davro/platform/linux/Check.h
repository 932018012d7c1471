// Executable invariants of the Linux layer.
//
// DAVRO_ASSERT states a precondition that the surrounding comment promises (a lock held, an
// entry linked, an owner that matches); debug builds check it, release builds compile it
// away. DAVRO_CHECK guards what must never fail at run time, such as a pthread call that the
// layer cannot work without: it is checked in every build and ends the process with a
// message, since going on would corrupt state that other threads or processes share.
#pragma once

namespace davro::win32::detail {

// Writes "davro: <what>" to standard error and aborts. Async-signal-safe.
[[noreturn]] void fatal(const char* what) noexcept;

}  // namespace davro::win32::detail

#define DAVRO_CHECK(condition, what)                                          \
    (__builtin_expect(static_cast<bool>(condition), 1) ? static_cast<void>(0) \
                                                       : ::davro::win32::detail::fatal(what))

#if defined(NDEBUG)
#define DAVRO_ASSERT(condition, what) static_cast<void>(0)
#else
#define DAVRO_ASSERT(condition, what) DAVRO_CHECK(condition, what)
#endif
