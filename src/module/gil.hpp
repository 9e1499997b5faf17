// Native waits without the interpreter lock.
#pragma once

#include "module/ref.hpp"
#include "module/unwind.hpp"

namespace qel {

// Runs `wait`, plain C++ that must not throw and must not touch Python,
// with the interpreter lock released, and takes the lock back afterwards.
// A thread that the interpreter ends at that point (a daemon thread at
// shutdown) is parked there rather than unwound (module/unwind.hpp).
template <class Wait>
auto without_gil(Wait&& wait) -> decltype(wait()) {
    PyThreadState* saved = PyEval_SaveThread();
    auto result = wait();
    stopping_forced_unwind([saved] { PyEval_RestoreThread(saved); });
    return result;
}

}  // namespace qel
