#include "module/object_lock.hpp"

#include "module/socket_name.hpp"
#include "codec/protocol_errors.hpp"
#include "module/gil.hpp"
#include "module/interned.hpp"

#include <pythread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace qel {

// A ticket lock: threads are served in the order they asked, so that no
// thread (a close() above all) waits behind a loop that takes the lock
// again at once. The tickets and the owner change only with the interpreter
// lock held; `turn` only guards the waits without it.
struct ObjectLock::Slot {
    PyObject* key = nullptr;       // owned while the slot is in use
    unsigned long owner = 0;       // thread ident, 0 when free
    int depth = 0;                 // re-entries of the owner
    int users = 0;                 // holders and waiters
    unsigned long long next_ticket = 0;
    unsigned long long serving = 0;
    std::vector<unsigned long long> given_up;  // tickets whose waiter left the queue
    int waiters = 0;               // threads waiting without the interpreter lock
    bool closing = false;
    bool awaiting_answer = false;  // the owner's request is out, its answer not yet in
    bool forsaken = false;         // left behind in a child process by fork()
    // Made on the first wait that needs it and kept with the slot, which is
    // reused, never freed.
    net::NativeSocket wake = net::kNoSocket;
    std::mutex turn;
    std::condition_variable turn_changed;
};

namespace {

using Clock = std::chrono::steady_clock;

// How often a queued thread comes back for the signal handlers.
constexpr auto kSlice = std::chrono::milliseconds(20);

const Name kTimeout{"timeout"};
const Name kGettimeout{"gettimeout"};

// The calling thread; 3.6 gives it as a signed long.
unsigned long this_thread() { return static_cast<unsigned long>(PyThread_get_thread_ident()); }

// Slots in use, and released ones kept for reuse.
std::vector<ObjectLock::Slot*> g_active;
std::vector<ObjectLock::Slot*> g_spare;
// In a child process: the slots that were in use when the parent forked.
std::vector<ObjectLock::Slot*> g_forsaken;

ObjectLock::Slot* find(PyObject* key) {
    for (ObjectLock::Slot* s : g_active)
        if (s->key == key) return s;
    return nullptr;
}

#ifndef _WIN32
// In the child of a fork() only the forking thread lives on: every lock a
// thread of the parent held or waited for is left behind, mutex and all,
// and the child starts with none held and no close under way. A lock the
// forking thread itself holds is left behind too; its holder lets it go
// without touching it.
void forsake_all_after_fork() {
    for (ObjectLock::Slot* s : g_active) {
        s->forsaken = true;
        g_forsaken.push_back(s);
    }
    g_active.clear();
}

void watch_forks() {
    static const bool registered = pthread_atfork(nullptr, nullptr, forsake_all_after_fork) == 0;
    (void)registered;
}
#else
void watch_forks() {}
#endif

// A connection that a call of the parent was using when it forked is shared
// with that call: whatever the child sends or reads there, it may take the
// parent's answer or give away its own. The child's calls on it fail at
// once; closing it is still possible (close() does not need its lock).
void refuse_forsaken(PyObject* key) {
    for (ObjectLock::Slot* s : g_forsaken)
        if (s->key == key)
            raise(PyExc_OSError,
                  "modbus: this connection was in use in the parent process when it forked; "
                  "open a new one in the child");
}

ObjectLock::Slot* take_slot(PyObject* key) {
    if (ObjectLock::Slot* s = find(key)) return s;
    if (!g_forsaken.empty()) refuse_forsaken(key);
    ObjectLock::Slot* s;
    if (!g_spare.empty()) {
        s = g_spare.back();
        g_spare.pop_back();
    } else {
        watch_forks();
        s = new ObjectLock::Slot;
    }
    s->key = Py_NewRef(key);
    g_active.push_back(s);
    return s;
}

void give_back(ObjectLock::Slot* s) {
    if (--s->users > 0) return;
    g_active.erase(std::find(g_active.begin(), g_active.end(), s));
    PyObject* key = s->key;
    s->key = nullptr;
    s->closing = false;
    s->awaiting_answer = false;
    s->given_up.clear();
    s->serving = s->next_ticket;
    g_spare.push_back(s);
    // Last: dropping the key may run arbitrary code.
    Py_DECREF(key);
}

// The next ticket is served; tickets whose waiters left are skipped.
void advance(ObjectLock::Slot* s) {
    ++s->serving;
    for (auto it = s->given_up.begin(); it != s->given_up.end();) {
        if (*it != s->serving) {
            ++it;
            continue;
        }
        s->given_up.erase(it);
        ++s->serving;
        it = s->given_up.begin();
    }
}

void pass_turn(ObjectLock::Slot* s) {
    if (s->waiters == 0) {
        advance(s);  // nobody to wake: a waiter reads it with the interpreter lock
        return;
    }
    {
        std::lock_guard<std::mutex> guard(s->turn);
        advance(s);
    }
    s->turn_changed.notify_all();
}

// A waiter that gives up: its ticket is skipped, or, when the lock reached
// it meanwhile, handed on.
void leave_queue(ObjectLock::Slot* s, unsigned long long ticket) {
    if (s->serving == ticket)
        pass_turn(s);
    else
        s->given_up.push_back(ticket);
}

// One slice of waiting for `ticket`, without the interpreter lock.
bool wait_a_slice(ObjectLock::Slot* s, unsigned long long ticket) {
    ++s->waiters;
    const bool served = without_gil([s, ticket] {
        std::unique_lock<std::mutex> guard(s->turn);
        return s->turn_changed.wait_for(guard, kSlice, [s, ticket] { return s->serving == ticket; });
    });
    --s->waiters;
    return served;
}

// Waits for `ticket` in slices, running the signal handlers between them.
// The bound restarts whenever the lock changes hands: a long queue that
// moves is no deadlock.
void wait_for_turn(ObjectLock::Slot* s, unsigned long long ticket, PyObject* key) {
    unsigned long long last_served = s->serving;
    Clock::time_point since = Clock::now();
    bool bound_known = false;
    double bound = -1;
    while (s->serving != ticket) {
        // The holders will never run again.
        if (Py_IsFinalizing()) codec::raise_timeout();
        if (wait_a_slice(s, ticket)) break;
        checked_status(PyErr_CheckSignals());
        if (s->serving != last_served) {
            last_served = s->serving;
            since = Clock::now();
            continue;
        }
        if (!bound_known) {
            // The call that queues and the one that holds talk through the
            // same object, and so have the same time-out.
            const double own = ObjectLock::channel_timeout(key);
            bound = own < 0 ? -1 : 2 * own;
            bound_known = true;
        }
        if (bound >= 0 && Clock::now() - since > std::chrono::duration<double>(bound)) codec::raise_timeout();
    }
}

double seconds_of(PyObject* value) {
    if (value == Py_None) return -1;
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return seconds;
}

}  // namespace

QEL_HANDLES_FORCED_UNWIND ObjectLock::ObjectLock(PyObject* key) : slot_(take_slot(key)) {
    Slot* s = slot_;
    ++s->users;
    const unsigned long me = this_thread();
    if (s->owner == me) {
        ++s->depth;
        return;
    }
    const unsigned long long ticket = s->next_ticket++;
    if (s->serving != ticket) {
        try {
            wait_for_turn(s, ticket, key);
        }
        QEL_PASS_FORCED_UNWIND
        catch (...) {
            leave_queue(s, ticket);
            give_back(s);
            throw;
        }
    }
    s->owner = me;
    s->depth = 1;
}

ObjectLock::~ObjectLock() {
    Slot* s = slot_;
    if (s->forsaken) return;
    if (--s->depth == 0) {
        s->owner = 0;
        pass_turn(s);
    }
    give_back(s);
}

bool ObjectLock::closing() const { return slot_->closing; }

net::NativeSocket ObjectLock::wake_up_socket() const {
    Slot* s = slot_;
    if (s->wake == net::kNoSocket && net::close_needs_wake_up()) s->wake = net::open_wake_up();
    return s->wake;
}

void ObjectLock::refuse_nested_request() const {
    if (slot_->awaiting_answer)
        raise(PyExc_RuntimeError, "modbus: nested request: this thread's request on this channel still awaits its answer");
}

bool ObjectLock::mark_closing_if_busy(PyObject* key) {
    Slot* s = find(key);
    if (s == nullptr || s->owner == 0 || s->owner == this_thread()) return false;
    s->closing = true;
    if (s->wake != net::kNoSocket) net::wake_up(s->wake);
    return true;
}

double ObjectLock::channel_timeout(PyObject* key) {
    PyObject* timeout = PyObject_GetAttr(key, kTimeout.get());
    if (timeout == nullptr) {
        PyErr_Clear();
        PyObject* sock = PyObject_GetAttr(key, sockets::kSocket.get());
        if (sock == nullptr) {
            PyErr_Clear();
            return -1;
        }
        timeout = PyObject_CallMethodObjArgs(sock, kGettimeout.get(), nullptr);
        Py_DECREF(sock);
        if (timeout == nullptr) {
            PyErr_Clear();
            return -1;
        }
    }
    const double seconds = seconds_of(timeout);
    Py_DECREF(timeout);
    return seconds;
}

AwaitingAnswer::AwaitingAnswer(const ObjectLock& lock) : slot_(lock.slot_) {
    lock.refuse_nested_request();
    slot_->awaiting_answer = true;
}

AwaitingAnswer::~AwaitingAnswer() { slot_->awaiting_answer = false; }

}  // namespace qel
