// The Python side of the TCP socket that TCPTunnel and ModbusTCPMaster own:
// the connection step, and receive, send and pending count on the socket
// object kept in `_socket`. The waits run natively with the interpreter lock
// released; failures are raised as Python's own socket raises them.
#pragma once

#include "module/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace qel::sockets {

// self._socket = _tcp_connect((host, port), timeout=timeout), with Nagle's
// algorithm off. `_tcp_connect` is looked up in the module at call time.
void connect(PyObject* self, PyObject* host, PyObject* port, PyObject* timeout);

// self._socket, held for the length of a call.
Ref socket_of(PyObject* self);

// A receive size as socket.recv takes it: an index, not negative.
Py_ssize_t receive_size(PyObject* size);

// What a receive does when its time-out passes with nothing at all received.
enum class OnSilence { RaiseTimeout, ReturnEmpty };

// Receives until `size` bytes arrived, the peer closed or the socket's
// time-out, counted from now, ran out; returns the bytes that arrived.
Ref receive(PyObject* sock, std::size_t size, OnSilence on_silence);

// Sends every byte within the socket's time-out, else raises socket.timeout.
void send(PyObject* sock, const std::uint8_t* data, std::size_t size);

// Bytes received and not yet read, asked of the socket without blocking.
std::size_t pending(PyObject* sock);

}  // namespace qel::sockets
