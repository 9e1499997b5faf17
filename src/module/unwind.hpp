// A thread that the interpreter ends while it is inside the module.
//
// When the interpreter shuts down, a daemon thread that asks for the
// interpreter lock back is ended by the interpreter with pthread_exit. On
// glibc that is a forced unwind: an exception of type abi::__forced_unwind
// that runs every destructor on its way up. It must never be swallowed
// (glibc aborts the process with "FATAL: exception not rethrown"), so every
// `catch (...)` of the module lets it through with QEL_PASS_FORCED_UNWIND.
//
// Where the module itself takes the lock back, or calls Python code that
// may, the unwind is stopped before it reaches our frames instead: their
// destructors drop references and locks, which a thread without the
// interpreter lock must not touch while the interpreter is being torn
// down. That thread is parked for good there, as newer interpreters park
// such threads themselves; the process ends around it.
#pragma once

#if defined(__GLIBCXX__) && defined(__linux__)
#include <cxxabi.h>
#define QEL_HAS_FORCED_UNWIND 1
#define QEL_PASS_FORCED_UNWIND \
    catch (abi::__forced_unwind&) { throw; }
// A forced unwind carries no C++ object: the reference its handler binds is
// null by design, which the undefined-behaviour sanitizer would report (its
// "null" group alone does not cover a handler's binding in GCC). A function
// holding such a handler is marked with this; keep such functions short.
#define QEL_HANDLES_FORCED_UNWIND __attribute__((no_sanitize("undefined")))
#else
#define QEL_HAS_FORCED_UNWIND 0
#define QEL_PASS_FORCED_UNWIND
#define QEL_HANDLES_FORCED_UNWIND
#endif

namespace qel {

// Never returns: the calling thread sleeps until the process ends.
[[noreturn]] void park_thread_for_good();

// Runs `call` (a call into Python, or the taking back of the interpreter
// lock); a forced unwind out of it parks the thread instead of unwinding
// our frames.
template <class Call>
QEL_HANDLES_FORCED_UNWIND auto stopping_forced_unwind(Call&& call) -> decltype(call()) {
#if QEL_HAS_FORCED_UNWIND
    try {
        return call();
    } catch (abi::__forced_unwind&) {
        park_thread_for_good();
    }
#else
    return call();
#endif
}

}  // namespace qel
