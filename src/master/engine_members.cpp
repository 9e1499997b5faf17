// Master's life cycle and its engine members: __write_message, __read,
// __feedback_assistant and __check_crc, as called through the instance.
#include "codec/byte_array.hpp"
#include "codec/crc_arguments.hpp"
#include "codec/protocol_errors.hpp"
#include "master/attribute_names.hpp"
#include "master/links.hpp"
#include "master/master_bodies.hpp"
#include "module/buffer.hpp"
#include "module/object_lock.hpp"
#include "module/state.hpp"

#include <optional>

namespace qel::master {

namespace {

const Name kTimeout{"timeout"};
const Name kClose{"close"};
const Name kCancelRead{"cancel_read"};

// The length the caller expects; every call site of the module passes 5 or
// more, and less would ask the channel for a negative size.
std::size_t expected_length(PyObject* normal_msg_len) {
    Py_ssize_t n = PyNumber_AsSsize_t(normal_msg_len, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw PythonError{};
    if (n < static_cast<Py_ssize_t>(codec::kAnswerHead))
        raise(PyExc_ValueError, "modbus: an answer is at least 5 bytes long");
    return static_cast<std::size_t>(n);
}

// What the request in MessageLastSent asked, when it holds one.
std::optional<codec::Asked> asked_by_last_request(PyObject* self) {
    Ref sent = getattr(self, attr::last_sent.get());
    if (!PyObject_CheckBuffer(sent.get())) return std::nullopt;
    Buffer request(sent.get());
    if (request.size() < 2) return std::nullopt;
    return codec::Asked{request.data()[0], request.data()[1]};
}

}  // namespace

void send_frame(PyObject* self, const codec::Frame& frame) { InstanceLink(self).send(frame); }

Ref init(const Args& a) {
    auto [self, tunnel, timeout] = a.take<3>();
    setattr(tunnel, kTimeout.get(), timeout);
    setattr(self, attr::tunnel.get(), tunnel);
    setattr(self, attr::last_sent.get(), state().empty_bytes);
    setattr(self, attr::last_received.get(), state().empty_bytes);
    return none();
}

// Not serialised: a close from another thread must reach the channel at
// once, which ends a wait in it instead of queueing behind it. A TCPTunnel
// wakes its waiter itself; a serial port is asked to cancel the read it is
// waiting in, where it can. The waiting call then fails with EBADF.
Ref close(const Args& a) {
    Ref channel = channel_of(a[0]);
    if (ObjectLock::mark_closing_if_busy(lock_key(a[0]).get())) {
        PyObject* cancelled = stopping_forced_unwind(
            [&] { return PyObject_CallMethodObjArgs(channel.get(), kCancelRead.get(), nullptr); });
        Py_XDECREF(cancelled);
        PyErr_Clear();  // a channel that cannot cancel is closed all the same
    }
    call_method(channel.get(), kClose.get());
    return none();
}

Ref enter(const Args& a) { return Ref::borrow(a[0]); }

Ref leave(const Args& a) {
    call_method(a[0], kClose.get());
    return none();
}

Ref get_timeout(const Args& a) { return getattr(channel_of(a[0]).get(), kTimeout.get()); }

// The value arrives converted to a float.
Ref set_timeout(const Args& a) {
    auto [self, value] = a.take<2>();
    setattr(channel_of(self).get(), kTimeout.get(), value);
    return none();
}

Ref write_message(const Args& a) {
    auto [self, message] = a.take<2>();
    ObjectLock lock(lock_key(self).get());
    Ref channel = channel_of(self);
    ChannelLink(self, channel.get(), &lock).send_message(message);
    return none();
}

Ref read(const Args& a) {
    auto [self, size] = a.take<2>();
    ObjectLock lock(lock_key(self).get());
    Ref channel = channel_of(self);
    return ChannelLink(self, channel.get(), &lock).read_object(size);
}

Ref feedback_assistant(const Args& a) {
    auto [self, station, normal_msg_len, check_crc] = a.take<4>();
    const std::size_t expected = expected_length(normal_msg_len);
    const bool check = checked_status(PyObject_IsTrue(check_crc)) != 0;
    ObjectLock lock(lock_key(self).get());
    InstanceLink link(self);
    Bytes answer = feedback(link, station, expected, check, asked_by_last_request(self));
    return new_byte_array(answer.data(), answer.size());
}

Ref check_crc(const Args& a) {
    auto [message, station] = a.take<2>();
    Ref right = crc_check(message);
    if (checked_status(PyObject_IsTrue(right.get()))) return none();
    codec::raise_crc_error(station);
}

}  // namespace qel::master
