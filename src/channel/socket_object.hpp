// The TCP socket object that TCPTunnel and ModbusTCPMaster keep in `_socket`,
// seen from native code: the connection step, and receive, send and pending
// count on its descriptor. Waits run natively with the interpreter lock
// released; failures are raised as Python's own socket raises them.
#pragma once

#include "core/native_socket.hpp"
#include "module/socket_name.hpp"
#include "module/object_lock.hpp"
#include "module/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace qel::sockets {

// self._socket = _tcp_connect((host, port), timeout=timeout), set up for
// native waits. `_tcp_connect` is looked up in the module at call time.
void connect(PyObject* self, PyObject* host, PyObject* port, PyObject* timeout);

// After the socket object's time-out changed: native waits follow it.
void follow_timeout(PyObject* sock);

// Closes the socket object that `owner` (whose lock guards its operations)
// keeps. A thread waiting on the connection is woken first and fails with
// an OSError; the descriptor is closed only once no call uses it.
void close(PyObject* owner, PyObject* sock);

// OSError EBADF, "Bad file descriptor", as for a call on a closed socket:
// what a call gets whose channel another thread closed under it.
[[noreturn]] void raise_bad_descriptor();

// self._socket, held for the length of a call.
Ref socket_of(PyObject* self);

// A receive size as socket.recv takes it: an index, not negative.
Py_ssize_t receive_size(PyObject* size);

// What a receive does when nothing at all came: raise the socket's time-out
// error, return empty on a time-out, or return empty whatever ended it (the
// receive continues one that already brought something).
enum class OnSilence { RaiseTimeout, ReturnEmpty, ReturnWhatCame };

// Whether a receive first takes what is already there, or waits at once
// (right after a request went out, when nothing can be there yet).
enum class FirstStep { Take, Wait };

// One socket object's descriptor, asked of it once for the calls of one
// operation; its time-out is asked only when a wait needs more than the
// kernel's own bound (see follow_timeout), so the common exchange asks the
// socket object one thing. Every receive and send counts its own time-out
// from its own start. After a wait without the interpreter lock, a close
// through the owner's lock fails the call with EBADF at once, and before any
// further system call the socket must still own the same descriptor: a
// descriptor number the system has handed on is never read from or written
// to.
class Connection {
public:
    // `lock`: the owner's lock, held by the caller, that close() marks.
    Connection(PyObject* sock, const ObjectLock* lock);

    // Receives until `want` bytes arrived, taking up to `capacity` when more
    // is already there, or until the peer closed or the time-out ran out.
    // Returns how many arrived. A peer that closed before anything arrived
    // raises ConnectionResetError. The time-out counts from `since` when
    // given (what is left of a longer wait), else from the call.
    std::size_t receive(std::uint8_t* buffer, std::size_t want, std::size_t capacity, OnSilence on_silence,
                        FirstStep first = FirstStep::Take, const net::Deadline::Clock::time_point* since = nullptr);
    void send(const std::uint8_t* data, std::size_t size);
    std::size_t pending();
    // Throws away what was received and not read (a late answer).
    void discard_pending();
    // A deadline one time-out after `start`.
    net::Deadline deadline(net::Deadline::Clock::time_point start = net::Deadline::Clock::now());

private:
    double timeout();
    void after_wait();
    void before_call();
    // One wait without the interpreter lock, the descriptor checked before it
    // and a close looked for after it.
    net::IoResult wait_ready(net::Direction direction, const net::Deadline& limit);

    Ref sock_;  // held: another thread may replace `_socket` while we wait
    const ObjectLock* lock_;
    net::NativeSocket fd_;
    bool timeout_known_ = false;
    double timeout_ = 0;  // negative: none
    bool waited_ = false;
};

// Receives into a new bytes object (see Connection::receive).
Ref receive(PyObject* sock, const ObjectLock* lock, std::size_t want, std::size_t capacity, OnSilence on_silence);

}  // namespace qel::sockets
