// Serialises the operations on one object across threads.
//
// A transaction is a request and its answer on one connection; two threads
// that interleave theirs read each other's answers. Each operation holds the
// lock of the object it talks through (a master's channel, a Modbus TCP
// master) from its request to its answer. The lock re-enters on the thread
// that holds it, so operations that call each other through the instance,
// and overrides that call back into the master, go on; but a second request
// while this thread's own request still awaits its answer is refused
// (AwaitingAnswer), since the two answers could not be told apart.
//
// A thread waiting its turn gives the interpreter lock up, and waits in
// short slices so that signal handlers run: an exception from one (Ctrl-C)
// leaves the queue at once, before anything was sent. The wait is bounded
// too, by the time-out of the call that queues plus the holder's, counted
// from the last time the lock changed hands, so that two calls that wait for
// each other's locks end with the time-out error instead of never.
//
// The locks live in a small registry keyed by the object, touched only with
// the interpreter lock held; an entry exists only while some thread holds or
// waits for it, and keeps its object alive meanwhile. A child process made
// by fork() starts with an empty registry: the threads that held or waited
// for the parent's entries do not exist there.
#pragma once

#include "core/native_socket.hpp"
#include "module/ref.hpp"

namespace qel {

class ObjectLock {
public:
    // Blocks until this thread holds `key`'s lock. Raises without holding
    // it: a signal handler's error, or the time-out error once the bound ran
    // out. The bound is asked of the key (channel_timeout) only when the
    // lock is busy.
    explicit ObjectLock(PyObject* key);
    ~ObjectLock();
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

    // Whether the object was closed by another thread since this thread took
    // the lock: a wait that ended must not touch the descriptor again.
    bool closing() const;

    // The socket a close from another thread wakes, to be watched by a
    // wait on the connection where shutting it down does not end that wait
    // (net::close_needs_wake_up); kNoSocket elsewhere.
    net::NativeSocket wake_up_socket() const;

    // Raises RuntimeError when a request of this thread on this object still
    // awaits its answer: a request sent now would take that answer.
    void refuse_nested_request() const;

    struct Slot;

    // For close(): when another thread holds `key`'s lock (it may be waiting
    // on the connection), marks it as closing, wakes its wake-up socket and
    // returns true, so that the caller wakes that wait (shutting the
    // connection down) before queueing for the lock itself.
    static bool mark_closing_if_busy(PyObject* key);

    // The time-out of a channel-like key: its `timeout`, or its socket's;
    // negative when it has none.
    static double channel_timeout(PyObject* key);

private:
    friend class AwaitingAnswer;
    Slot* slot_;
};

// From a request's sending to the end of its answer: the object's
// transaction belongs to this thread, and a nested request is refused.
class AwaitingAnswer {
public:
    // Refuses a nested request first.
    explicit AwaitingAnswer(const ObjectLock& lock);
    ~AwaitingAnswer();
    AwaitingAnswer(const AwaitingAnswer&) = delete;
    AwaitingAnswer& operator=(const AwaitingAnswer&) = delete;

private:
    ObjectLock::Slot* slot_;
};

}  // namespace qel
