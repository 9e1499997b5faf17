#include "channel/socket_calls.hpp"

#include "channel/socket_io.hpp"
#include "module/state.hpp"

#include <cerrno>

namespace qel::sockets {

namespace {

[[noreturn]] void raise_os_error(int code) {
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

// The descriptor of a socket object; a closed socket reports -1 and gets the
// error a call on a closed socket gets.
net::NativeSocket descriptor(PyObject* sock) {
    Ref fd = call_method(sock, names().fileno);
    long long value = PyLong_AsLongLong(fd.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (value < 0) raise_os_error(net::bad_socket_error());
    return static_cast<net::NativeSocket>(value);
}

// Runs one native transfer with the lock released. A signal ends the wait
// early: its handlers run here, and the transfer goes on with the rest of
// the buffer and the same deadline unless a handler raised.
template <class Transfer>
net::IoResult without_lock(std::size_t size, Transfer transfer) {
    net::IoResult total{};
    for (;;) {
        net::IoResult step;
        std::size_t done = total.done;
        Py_BEGIN_ALLOW_THREADS
        step = transfer(done, size - done);
        Py_END_ALLOW_THREADS
        total.done += step.done;
        total.status = step.status;
        total.error = step.error;
        if (step.status != net::IoStatus::Interrupted) return total;
        checked_status(PyErr_CheckSignals());
    }
}

Ref connect_function() {
    PyObject* dict = PyModule_GetDict(state().module);
    PyObject* fn = PyDict_GetItemWithError(dict, names()._tcp_connect);
    if (fn == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", names()._tcp_connect);
        throw PythonError{};
    }
    return Ref::borrow(fn);
}

}  // namespace

void connect(PyObject* self, PyObject* host, PyObject* port, PyObject* timeout) {
    Ref fn = connect_function();
    Ref address = checked(PyTuple_Pack(2, host, port));
    Ref keywords = checked(PyTuple_Pack(1, names().timeout));
    PyObject* stack[] = {address.get(), timeout};
    Ref sock = checked(PyObject_Vectorcall(fn.get(), stack, 1, keywords.get()));
    setattr(self, names()._socket, sock.get());
    // Requests are a few bytes each and wait for their answer; Nagle would
    // hold them back. A socket that is no TCP socket refuses the option,
    // which costs nothing but that latency, so its answer is not looked at.
    (void)net::set_no_delay(descriptor(sock.get()));
}

Ref socket_of(PyObject* self) { return getattr(self, names()._socket); }

Py_ssize_t receive_size(PyObject* size) {
    Py_ssize_t n = PyNumber_AsSsize_t(size, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw PythonError{};
    if (n < 0) raise(PyExc_ValueError, "negative buffersize in recv");
    return n;
}

Connection::Connection(PyObject* sock) : fd_(descriptor(sock)) {
    // The socket's own time-out, asked afresh for every connection object
    // since settimeout may have changed it; None waits for ever.
    Ref timeout = call_method(sock, names().gettimeout);
    forever_ = timeout.get() == Py_None;
    if (!forever_) {
        timeout_ = PyFloat_AsDouble(timeout.get());
        if (timeout_ == -1.0 && PyErr_Occurred()) throw PythonError{};
    }
}

net::Deadline Connection::deadline() const {
    return forever_ ? net::Deadline::never() : net::Deadline::after(timeout_);
}

std::size_t Connection::receive(std::uint8_t* buffer, std::size_t size, OnSilence on_silence, net::FirstStep first) {
    const net::Deadline limit = deadline();
    const net::NativeSocket fd = fd_;
    std::size_t ready = 0;
    // What is already there is taken with the lock held; only a wait gives
    // it up, so threads don't hand the lock over for nothing.
    if (first == net::FirstStep::Try && net::can_try_without_blocking() && size > 0) {
        net::IoResult now = net::recv_now(fd, buffer, size);
        if (now.status == net::IoStatus::Failed) raise_os_error(now.error);
        if (now.status == net::IoStatus::PeerClosed || now.done == size) return now.done;
        ready = now.done;
    }
    net::IoResult r = without_lock(size - ready, [&](std::size_t done, std::size_t left) {
        // Drained just now, or restarted after a signal: wait before trying.
        return net::recv_until(fd, buffer + ready + done, left, limit, net::FirstStep::Wait);
    });
    r.done += ready;
    switch (r.status) {
        case net::IoStatus::Complete: break;
        case net::IoStatus::Failed: raise_os_error(r.error);
        case net::IoStatus::WouldBlock:
            if (on_silence == OnSilence::RaiseTimeout && r.done == 0) raise_os_error(r.error);
            break;
        case net::IoStatus::TimedOut:
            if (r.done == 0 && on_silence == OnSilence::RaiseTimeout) raise_socket_timeout();
            break;
        case net::IoStatus::PeerClosed:
        case net::IoStatus::Interrupted: break;
    }
    return r.done;
}

std::size_t Connection::receive_into(std::vector<std::uint8_t>& out, std::size_t size, OnSilence on_silence,
                                     net::FirstStep first) {
    const std::size_t start = out.size();
    out.resize(start + size);
    std::size_t got = 0;
    try {
        got = receive(out.data() + start, size, on_silence, first);
    } catch (...) {
        out.resize(start);
        throw;
    }
    out.resize(start + got);
    return got;
}

void Connection::send(const std::uint8_t* data, std::size_t size) {
    const net::Deadline limit = deadline();
    const net::NativeSocket fd = fd_;
    std::size_t sent = 0;
    if (net::can_try_without_blocking() && size > 0) {
        net::IoResult now = net::send_now(fd, data, size);
        if (now.status == net::IoStatus::Failed) raise_os_error(now.error);
        if (now.done == size) return;
        sent = now.done;
    }
    net::IoResult r = without_lock(size - sent, [&](std::size_t done, std::size_t left) {
        return net::send_all(fd, data + sent + done, left, limit);
    });
    switch (r.status) {
        case net::IoStatus::Complete: return;
        case net::IoStatus::TimedOut: raise_socket_timeout();
        default: raise_os_error(r.error);
    }
}

std::size_t Connection::pending() {
    std::size_t count = 0;
    int error = net::pending_bytes(fd_, count);
    if (error != 0) raise_os_error(error);
    return count;
}

Ref receive(PyObject* sock, std::size_t size, OnSilence on_silence) {
    Connection connection(sock);
    Ref bytes = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    // Nobody else can see the new object yet, so it is filled without the lock.
    auto* buffer = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    const std::size_t got = connection.receive(buffer, size, on_silence);
    if (got == size) return bytes;
    return checked(PyBytes_FromStringAndSize(PyBytes_AS_STRING(bytes.get()), static_cast<Py_ssize_t>(got)));
}

void send(PyObject* sock, const std::uint8_t* data, std::size_t size) { Connection(sock).send(data, size); }

std::size_t pending(PyObject* sock) {
    // Only the descriptor is needed; the time-out is not asked.
    std::size_t count = 0;
    int error = net::pending_bytes(descriptor(sock), count);
    if (error != 0) raise_os_error(error);
    return count;
}

}  // namespace qel::sockets
