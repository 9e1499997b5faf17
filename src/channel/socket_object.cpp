#include "channel/socket_object.hpp"

#include "module/gil.hpp"
#include "module/interned.hpp"
#include "module/state.hpp"

#include <cerrno>
#include <optional>
#include <vector>

namespace qel::sockets {

namespace {

const Name kFileno{"fileno"};
const Name kGettimeout{"gettimeout"};
const Name kClose{"close"};
const Name kTimeout{"timeout"};
const Name kTcpConnect{"_tcp_connect"};

// A socket that is not there (closed, or closed under the call) is EBADF
// on every platform, as for a call on a closed socket object.
[[noreturn]] void raise_os_error(int code) {
    if (code == net::bad_socket_error()) raise_bad_descriptor();
#ifdef _WIN32
    PyErr_SetExcFromWindowsErr(PyExc_OSError, code);
#else
    errno = code;
    PyErr_SetFromErrno(PyExc_OSError);
#endif
    throw PythonError{};
}

// Exactly what the socket module raises when its time-out runs out.
[[noreturn]] void raise_socket_timeout() { raise(state().socket_timeout, "timed out"); }

[[noreturn]] void raise_peer_closed() { raise(PyExc_ConnectionResetError, "connection closed by the peer"); }

// The descriptor of a socket object; a closed socket reports -1 and gets the
// error a call on a closed socket gets.
net::NativeSocket descriptor(PyObject* sock) {
    Ref fd = call_method(sock, kFileno.get());
    long long value = PyLong_AsLongLong(fd.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (value < 0) raise_os_error(net::bad_socket_error());
    return static_cast<net::NativeSocket>(value);
}

// The socket object's time-out: negative for none (blocking).
double timeout_of(PyObject* sock) {
    Ref timeout = call_method(sock, kGettimeout.get());
    if (timeout.get() == Py_None) return -1;
    double seconds = PyFloat_AsDouble(timeout.get());
    if (seconds == -1.0 && PyErr_Occurred()) throw PythonError{};
    return seconds;
}

Ref connect_function() {
    PyObject* dict = PyModule_GetDict(state().module);
    PyObject* fn = PyDict_GetItemWithError(dict, kTcpConnect.get());
    if (fn == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", kTcpConnect.get());
        throw PythonError{};
    }
    return Ref::borrow(fn);
}

}  // namespace

void connect(PyObject* self, PyObject* host, PyObject* port, PyObject* timeout) {
    Ref fn = connect_function();
    Ref address = checked(PyTuple_Pack(2, host, port));
    Ref keywords = checked(PyTuple_Pack(1, kTimeout.get()));
    PyObject* stack[] = {address.get(), timeout};
    Ref sock = checked(PyObject_Vectorcall(fn.get(), stack, 1, keywords.get()));
    setattr(self, kSocket.get(), sock.get());
    // Requests are a few bytes each and wait for their answer; Nagle would
    // hold them back. A socket that is no TCP socket refuses the option,
    // which costs nothing but that latency, so its answer is not looked at.
    (void)net::set_no_delay(descriptor(sock.get()));
    follow_timeout(sock.get());
}

void follow_timeout(PyObject* sock) {
    if (!net::can_wait_in_receive()) return;
    const double seconds = timeout_of(sock);
    // A zero time-out means non-blocking: the socket stays as it is. Any
    // other lets a receive wait inside the kernel, bounded there by the same
    // time-out, so that waiting for an answer is a single system call. The
    // socket object keeps its own time-out for its own calls, which wait
    // with poll first whatever the descriptor's mode.
    if (seconds != 0) (void)net::set_blocking_timeouts(descriptor(sock), seconds);
}

void close(PyObject* owner, PyObject* sock) {
    if (ObjectLock::mark_closing_if_busy(owner)) {
        // Another thread is inside an operation, perhaps waiting for an
        // answer: shutting the connection down ends that wait at once. A
        // socket that is closed already has nothing to wake.
        PyObject* fd = PyObject_CallMethodObjArgs(sock, kFileno.get(), nullptr);
        if (fd == nullptr) {
            PyErr_Clear();
        } else {
            long long value = PyLong_AsLongLong(fd);
            Py_DECREF(fd);
            if (value >= 0) (void)net::shutdown_both(static_cast<net::NativeSocket>(value));
            PyErr_Clear();
        }
    }
    // The descriptor is closed once that call is out, so that it never
    // reads from a number the system handed on.
    std::optional<ObjectLock> lock;
    try {
        lock.emplace(owner);
    } catch (const PythonError&) {
        // Whatever ended that wait (Ctrl-C, or the bound of a call that does
        // not come out), the socket is closed all the same; a signal
        // handler's error is raised after that, the bound's is not.
        SavedError interrupted;
        call_method(sock, kClose.get());
        if (!interrupted.matches(PyExc_OSError)) interrupted.raise_again();
        return;
    }
    call_method(sock, kClose.get());
}

void raise_bad_descriptor() {
    // Built here, not from errno: on Windows this module's C runtime is not
    // the interpreter's, so PyErr_SetFromErrno would not see our errno.
    Ref args = checked(Py_BuildValue("(is)", EBADF, "Bad file descriptor"));
    PyErr_SetObject(PyExc_OSError, args.get());
    throw PythonError{};
}

Ref socket_of(PyObject* self) { return getattr(self, kSocket.get()); }

Py_ssize_t receive_size(PyObject* size) {
    Py_ssize_t n = PyNumber_AsSsize_t(size, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw PythonError{};
    if (n < 0) raise(PyExc_ValueError, "negative buffersize in recv");
    return n;
}

Connection::Connection(PyObject* sock, const ObjectLock* lock)
    : sock_(Ref::borrow(sock)), lock_(lock), fd_(descriptor(sock)) {}

// Asked afresh for every operation, since settimeout may have changed it.
double Connection::timeout() {
    if (!timeout_known_) {
        timeout_ = timeout_of(sock_.get());
        timeout_known_ = true;
    }
    return timeout_;
}

net::Deadline Connection::deadline(net::Deadline::Clock::time_point start) {
    const double seconds = timeout();
    return seconds < 0 ? net::Deadline::never() : net::Deadline::after(seconds, start);
}

// Back with the interpreter lock after a wait: a close through the owner's
// lock ends the call now.
void Connection::after_wait() {
    waited_ = true;
    if (lock_ != nullptr && lock_->closing()) raise_os_error(net::bad_socket_error());
}

// Before a system call that follows a wait: the descriptor must still be the
// socket's own, or another thread closed it and the number may be reused.
void Connection::before_call() {
    if (!waited_) return;
    waited_ = false;
    if (descriptor(sock_.get()) != fd_) raise_os_error(net::bad_socket_error());
}

net::IoResult Connection::wait_ready(net::Direction direction, const net::Deadline& limit) {
    before_call();
    const net::NativeSocket fd = fd_;
    const net::NativeSocket wake = lock_ != nullptr ? lock_->wake_up_socket() : net::kNoSocket;
    const net::IoResult r =
        without_gil([fd, direction, &limit, wake] { return net::wait_ready(fd, direction, limit, wake); });
    after_wait();
    return r;
}

std::size_t Connection::receive(std::uint8_t* buffer, std::size_t want, std::size_t capacity, OnSilence on_silence,
                                FirstStep first, const net::Deadline::Clock::time_point* since) {
    if (want == 0) return 0;
    const auto start = since != nullptr ? *since : net::Deadline::Clock::now();
    std::size_t got = 0;
    bool closed = false, timed_out = false;
    // What is already there is taken with the interpreter lock held; only a
    // wait gives it up, so threads don't hand the lock over for nothing.
    auto take_what_is_there = [&] {
        before_call();
        const net::IoResult now = net::recv_now(fd_, buffer + got, capacity - got);
        if (now.status == net::IoStatus::Failed) raise_os_error(now.error);
        closed = now.status == net::IoStatus::PeerClosed;
        got += now.done;
    };
    if (first == FirstStep::Take && net::can_try_without_blocking()) take_what_is_there();
    // The first wait is one receive that waits inside the kernel, bounded
    // there by the time-out. Whatever needs more (a split answer, a signal,
    // a socket whose mode was changed behind our back, no time-out at all, a
    // wait that began earlier, since the kernel's bound counts a whole
    // time-out) waits with poll for the rest of the deadline, and receives
    // with the interpreter lock back, once the descriptor is known to be
    // still the socket's own.
    bool in_kernel = net::can_wait_in_receive() && since == nullptr;
    while (got < want && !closed && !timed_out) {
        net::IoResult r;
        if (in_kernel && got == 0) {
            before_call();
            const net::NativeSocket fd = fd_;
            const std::size_t room = capacity;
            r = without_gil([fd, buffer, room] { return net::recv_waiting(fd, buffer, room); });
            after_wait();
            // Another thread may have closed the socket before the receive
            // began, and the system handed its number on: what came may be
            // another connection's.
            before_call();
            got += r.done;
            if (r.status == net::IoStatus::PeerClosed) closed = true;
            if (r.status == net::IoStatus::WouldBlock) {
                // The kernel's bound ran out, or the socket does not block:
                // the deadline decides.
                in_kernel = false;
                timed_out = deadline(start).passed();
            }
        } else {
            const net::Deadline limit = deadline(start);
            // A zero time-out never waits: what was there is taken already,
            // or, without a non-blocking receive (Windows), after a poll
            // that does not wait.
            if (limit.immediate() && got == 0 && first == FirstStep::Take && net::can_try_without_blocking()) break;
            r = wait_ready(net::Direction::Receive, limit);
            if (r.status == net::IoStatus::Complete) take_what_is_there();
            if (r.status == net::IoStatus::TimedOut || r.status == net::IoStatus::WouldBlock) timed_out = true;
        }
        if (r.status == net::IoStatus::Interrupted) {
            // A receive that waits in the kernel would start its bound
            // afresh after each signal: from here the deadline counts.
            in_kernel = false;
            checked_status(PyErr_CheckSignals());
        }
        if (r.status == net::IoStatus::Failed) raise_os_error(r.error);
    }
    if (got > 0 || on_silence == OnSilence::ReturnWhatCame) return got;
    if (closed) raise_peer_closed();
    if (on_silence == OnSilence::ReturnEmpty) return 0;
    if (deadline(start).immediate()) raise_os_error(net::would_block_error());
    raise_socket_timeout();
}

void Connection::send(const std::uint8_t* data, std::size_t size) {
    std::size_t sent = 0;
    auto send_what_fits = [&] {
        before_call();
        const net::IoResult now = net::send_now(fd_, data + sent, size - sent);
        if (now.status == net::IoStatus::Failed) raise_os_error(now.error);
        sent += now.done;
    };
    if (net::can_try_without_blocking() && size > 0) send_what_fits();
    if (sent == size) return;
    const net::Deadline limit = deadline();
    while (sent < size) {
        const net::IoResult r = wait_ready(net::Direction::Send, limit);
        switch (r.status) {
            case net::IoStatus::Complete: send_what_fits(); break;
            case net::IoStatus::Interrupted: checked_status(PyErr_CheckSignals()); break;
            case net::IoStatus::TimedOut: raise_socket_timeout();
            default: raise_os_error(r.error);  // a zero time-out: would block
        }
    }
}

std::size_t Connection::pending() {
    before_call();
    std::size_t count = 0;
    int error = net::pending_bytes(fd_, count);
    if (error != 0) raise_os_error(error);
    return count;
}

void Connection::discard_pending() {
    const std::size_t stale = pending();
    if (stale == 0) return;
    std::vector<std::uint8_t> sink(stale);
    receive(sink.data(), stale, stale, OnSilence::ReturnEmpty);
}

Ref receive(PyObject* sock, const ObjectLock* lock, std::size_t want, std::size_t capacity, OnSilence on_silence) {
    Connection connection(sock, lock);
    Ref bytes = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
    // Nobody else can see the new object yet, so it is filled without the lock.
    auto* buffer = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    const std::size_t got = connection.receive(buffer, want, capacity, on_silence);
    if (got == capacity) return bytes;
    return checked(PyBytes_FromStringAndSize(PyBytes_AS_STRING(bytes.get()), static_cast<Py_ssize_t>(got)));
}

}  // namespace qel::sockets
