// Serialises the operations on one object across threads.
//
// A transaction is a request and its answer on one connection; two threads
// that interleave theirs read each other's answers. Each operation holds the
// lock of the object it talks through (a master's channel, a Modbus TCP
// master) from its request to its answer. The lock re-enters on the thread
// that holds it, so operations that call each other through the instance,
// and overrides that call back into the master, go on. A thread waiting its
// turn gives the interpreter lock up.
//
// The locks live in a small registry keyed by the object, touched only with
// the interpreter lock held; an entry exists only while some thread holds or
// waits for it, and keeps its object alive meanwhile.
#pragma once

#include "module/ref.hpp"

namespace qel {

class ObjectLock {
public:
    // Blocks until this thread holds `key`'s lock; raises (a signal handler's
    // error) without holding it.
    explicit ObjectLock(PyObject* key);
    ~ObjectLock();
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

    // Whether the object was closed by another thread since this thread took
    // the lock: a wait that ended must not touch the descriptor again.
    bool closing() const;

    struct Slot;

    // For close(): when another thread holds `key`'s lock (it may be waiting
    // on the connection), marks it as closing and returns true, so that the
    // caller wakes that wait before queueing for the lock itself.
    static bool mark_closing_if_busy(PyObject* key);

private:
    Slot* slot_;
};

}  // namespace qel
