// The Python side of the TCP socket that TCPTunnel and ModbusTCPMaster own:
// the connection step, and receive, send and pending count on the socket
// object kept in `_socket`. The waits run natively with the interpreter lock
// released; failures are raised as Python's own socket raises them.
#pragma once

#include "module/ref.hpp"

#include "channel/socket_io.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

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

// One socket's descriptor and time-out, asked of the socket object once for
// a run of calls that belong together (one transaction). Every receive and
// send still counts its own time-out from its own start.
class Connection {
public:
    explicit Connection(PyObject* sock);

    // Receives until `size` bytes arrived, the peer closed or the time-out
    // ran out; returns how many arrived in `buffer`.
    std::size_t receive(std::uint8_t* buffer, std::size_t size, OnSilence on_silence,
                        net::FirstStep first = net::FirstStep::Try);
    // The same, appending what arrived to `out`.
    std::size_t receive_into(std::vector<std::uint8_t>& out, std::size_t size, OnSilence on_silence,
                             net::FirstStep first = net::FirstStep::Try);
    void send(const std::uint8_t* data, std::size_t size);
    std::size_t pending();

private:
    net::Deadline deadline() const;
    net::NativeSocket fd_;
    bool forever_ = false;
    double timeout_ = 0;
};

// Receives until `size` bytes arrived, the peer closed or the socket's
// time-out, counted from now, ran out; returns the bytes that arrived.
Ref receive(PyObject* sock, std::size_t size, OnSilence on_silence);

// Sends every byte within the socket's time-out, else raises socket.timeout.
void send(PyObject* sock, const std::uint8_t* data, std::size_t size);

// Bytes received and not yet read, asked of the socket without blocking.
std::size_t pending(PyObject* sock);

}  // namespace qel::sockets
