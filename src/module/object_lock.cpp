#include "module/object_lock.hpp"

#include <pythread.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

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
    int waiters = 0;               // threads in wait_for_turn
    bool closing = false;
    std::mutex turn;
    std::condition_variable turn_changed;
};

namespace {

// The calling thread; 3.6 gives it as a signed long.
unsigned long this_thread() { return static_cast<unsigned long>(PyThread_get_thread_ident()); }

// Slots in use, and released ones kept for reuse.
std::vector<ObjectLock::Slot*> g_active;
std::vector<ObjectLock::Slot*> g_spare;

ObjectLock::Slot* find(PyObject* key) {
    for (ObjectLock::Slot* s : g_active)
        if (s->key == key) return s;
    return nullptr;
}

ObjectLock::Slot* take_slot(PyObject* key) {
    if (ObjectLock::Slot* s = find(key)) return s;
    ObjectLock::Slot* s;
    if (!g_spare.empty()) {
        s = g_spare.back();
        g_spare.pop_back();
    } else {
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
    g_spare.push_back(s);
    // Last: dropping the key may run arbitrary code.
    Py_DECREF(key);
}

// Waits for `ticket` to be served, without the interpreter lock.
void wait_for_turn(ObjectLock::Slot* s, unsigned long long ticket) {
    ++s->waiters;
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock<std::mutex> guard(s->turn);
    s->turn_changed.wait(guard, [&] { return s->serving == ticket; });
    Py_END_ALLOW_THREADS
    --s->waiters;
}

}  // namespace

ObjectLock::ObjectLock(PyObject* key) : slot_(take_slot(key)) {
    Slot* s = slot_;
    ++s->users;
    const unsigned long me = this_thread();
    if (s->owner == me) {
        ++s->depth;
        return;
    }
    const unsigned long long ticket = s->next_ticket++;
    if (s->serving != ticket) wait_for_turn(s, ticket);
    s->owner = me;
    s->depth = 1;
}

ObjectLock::~ObjectLock() {
    Slot* s = slot_;
    if (--s->depth == 0) {
        s->owner = 0;
        if (s->waiters == 0) {
            ++s->serving;  // nobody to wake: a new waiter reads it with the interpreter lock
        } else {
            {
                std::lock_guard<std::mutex> guard(s->turn);
                ++s->serving;
            }
            s->turn_changed.notify_all();
        }
    }
    give_back(s);
}

bool ObjectLock::closing() const { return slot_->closing; }

bool ObjectLock::mark_closing_if_busy(PyObject* key) {
    Slot* s = find(key);
    if (s == nullptr || s->owner == 0 || s->owner == this_thread()) return false;
    s->closing = true;
    return true;
}

}  // namespace qel
