#include "codec/byte_array.hpp"
#include "codec/protocol_errors.hpp"
#include "master/attribute_names.hpp"
#include "master/links.hpp"
#include "module/buffer.hpp"
#include "module/built_class.hpp"
#include "module/object_lock.hpp"
#include "module/state.hpp"

#include <optional>

namespace qel::master {

namespace {

const Name kWrappedChannel{"channel"};

// The link a choice names; it lives as long as the transaction.
class LinkHolder {
public:
    Link& open(const LinkChoice& choice, PyObject* self, const ObjectLock& lock) {
        switch (choice.kind) {
            case LinkKind::Tunnel: return tunnel_.emplace(choice, &lock);
            case LinkKind::ModbusTcp: return mbap_.emplace(choice, &lock);
            case LinkKind::Channel: return channel_.emplace(self, choice.channel.get(), &lock);
            case LinkKind::Instance: break;
        }
        return instance_.emplace(self);
    }

private:
    std::optional<InstanceLink> instance_;
    std::optional<ChannelLink> channel_;
    std::optional<TunnelLink> tunnel_;
    std::optional<MbapLink> mbap_;
};

// The objects of a device identification, read as far as each tells the
// length of what follows.
Bytes read_objects(Link& link, PyObject* station) {
    Bytes answer = link.feedback(station, codec::kAnswerHead, false);
    for (std::size_t needed; (needed = codec::identification_length(answer.data(), answer.size())) > answer.size();) {
        if (needed > codec::kLongestFrame) codec::raise_crc_error(station);
        link.read(answer, needed - answer.size());
        if (answer.size() < needed) codec::raise_fault(codec::AnswerFault::Short, station, answer.data());
    }
    link.check_crc(answer, station);
    return answer;
}

Bytes await_answer(Link& link, PyObject* station, AnswerShape shape) {
    switch (shape.layout) {
        case AnswerShape::Layout::Fixed: return link.feedback(station, shape.length, true);
        case AnswerShape::Layout::Objects: return read_objects(link, station);
        case AnswerShape::Layout::Counted: break;
    }
    return read_counted(link, station);
}

}  // namespace

void Link::check_crc(const Bytes& frame, PyObject* station) {
    codec::check(codec::judge_crc(frame.data(), frame.size()), station, frame.data());
}

Bytes Link::feedback(PyObject* station, std::size_t normal_len, bool check_crc) {
    return master::feedback(*this, station, normal_len, check_crc, asked_);
}

namespace {

const Name kTimeout{"timeout"};

// The rest of a frame that answers another request, read to the length its
// own function code gives. Its CRC is checked like any answer's: a garbled
// frame is a CRC error, whoever it seems to come from.
void read_foreign(Link& link, Bytes& frame, PyObject* station) {
    if (codec::is_exception(frame.data())) return;  // whole, and checked with its head
    const std::size_t length = codec::frame_length(frame.data());
    if (length == 0) return link.discard();         // where it ends cannot be told
    if (length > codec::kAnswerHead) link.read(frame, length - codec::kAnswerHead);
    codec::check(codec::judge_answer(frame.data(), frame.size(), length, false), station, frame.data());
    link.check_crc(frame, station);
}

}  // namespace

void check_time_left(PyObject* channel, Clock::time_point started) {
    Ref timeout = getattr(channel, kTimeout.get());
    if (timeout.get() == Py_None) return;
    const double seconds = PyFloat_AsDouble(timeout.get());
    if (seconds == -1.0 && PyErr_Occurred()) throw PythonError{};
    if (std::chrono::duration<double>(Clock::now() - started).count() >= seconds) codec::raise_timeout();
}

Bytes feedback(Link& link, PyObject* station, std::size_t normal_len, bool check_crc,
               const std::optional<codec::Asked>& asked) {
    const Clock::time_point started = Clock::now();
    Bytes answer;
    for (;;) {
        link.read(answer, codec::kAnswerHead);
        const codec::AnswerFault head = codec::judge_head(answer.data(), answer.size());
        if (head == codec::AnswerFault::Short) codec::raise_fault(head, station, answer.data());
        // Noise can turn any byte into the exception flag: an exception
        // answer, whole in its head, is believed only with its CRC right.
        if (head == codec::AnswerFault::SlaveException) link.check_crc(answer, station);
        if (!asked || codec::answers(answer.data(), *asked)) {
            codec::check(head, station, answer.data());
            break;
        }
        // A late answer to an earlier request, or another device's: this
        // request's own answer may still follow within the time-out.
        read_foreign(link, answer, station);
        link.dropped(started);
        answer.clear();
    }
    // Made even when it asks for nothing: the read of the rest is a step of
    // its own that an override may watch.
    link.read(answer, normal_len - codec::kAnswerHead);
    codec::check(codec::judge_answer(answer.data(), answer.size(), normal_len, false), station, answer.data());
    if (check_crc) link.check_crc(answer, station);
    return answer;
}

Bytes read_counted(Link& link, PyObject* station) {
    Bytes answer = link.feedback(station, codec::kAnswerHead, false);
    // A replaced __feedback_assistant may hand back anything.
    if (answer.size() < 3) raise(PyExc_IndexError, "array index out of range");
    link.read(answer, answer[2]);
    codec::check(codec::judge_counted_answer(answer.data(), answer.size()), station, answer.data());
    link.check_crc(answer, station);
    return answer;
}

Ref channel_of(PyObject* self) { return getattr(self, attr::tunnel.get()); }

namespace {

// Whether a class or one of its bases defines `channel`. The answer for the
// last class asked holds while its version tag does: a poll loop asks about
// the same channel class on every request.
bool class_defines_channel(PyTypeObject* type) {
    static PyTypeObject* last_type = nullptr;
    static unsigned int last_tag = 0;
    static bool last_answer = false;
    if (type == last_type && last_tag != 0 && current_tag(type) == last_tag) return last_answer;
    bool defines = false;
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; !defines && mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* members = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        defines = members != nullptr && lookup(members, kWrappedChannel) != nullptr;
    }
    last_type = type;
    last_tag = assign_tag(type);
    last_answer = defines;
    return defines;
}

// Whether `obj.channel` may exist, asked of the class dicts and the
// instance dict, which raise nothing when it does not: an AttributeError
// built on every request of a serial port would cost more than the rest of
// the master's share. A class with an attribute hook is asked through it.
bool may_wrap(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr) return true;
    if (class_defines_channel(type)) return true;
    if (type->tp_dictoffset == 0) return false;
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool found = lookup(dict, kWrappedChannel) != nullptr;
    Py_DECREF(dict);
    return found;
}

// A wrapper channel (one that traces, or drops a local echo) names the
// channel it wraps as `channel`: every master on any wrapper of one tunnel
// then takes that tunnel's lock. A TCPTunnel wraps nothing.
Ref innermost_channel(Ref channel) {
    for (int depth = 0; depth < 16 && reinterpret_cast<PyObject*>(Py_TYPE(channel.get())) != state().tcp_tunnel; ++depth) {
        if (!may_wrap(channel.get())) break;
        PyObject* inner = PyObject_GetAttr(channel.get(), kWrappedChannel.get());
        if (inner == nullptr) {
            PyErr_Clear();
            break;
        }
        channel = Ref::steal(inner);
    }
    return channel;
}

}  // namespace

Ref lock_key(PyObject* self) {
    PyObject* channel = PyObject_GetAttr(self, attr::tunnel.get());
    if (channel != nullptr) return innermost_channel(Ref::steal(channel));
    // The operation fails later, where the link first needs the channel.
    PyErr_Clear();
    return Ref::borrow(self);
}

// Whether building the frame can run Python code: only an argument that is
// no exact int (its __index__), or values that are not a list or tuple of
// them (their iteration), can.
bool builds_natively(const Request& request) {
    for (std::size_t i = 0; i < request.nargs; ++i) {
        PyObject* arg = request.args[i];
        if (PyLong_CheckExact(arg)) continue;
        if (!PyList_CheckExact(arg) && !PyTuple_CheckExact(arg)) return false;
        PyObject* seq = arg;
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(seq); ++k)
            if (!PyLong_CheckExact(PySequence_Fast_GET_ITEM(seq, k))) return false;
    }
    return true;
}

namespace {

// Serialised on the channel, which every master on it shares.
Ref key_of(const LinkChoice& choice, PyObject* self) {
    switch (choice.kind) {
        case LinkKind::Tunnel:
        case LinkKind::ModbusTcp: return choice.channel;
        case LinkKind::Channel: return innermost_channel(choice.channel);
        case LinkKind::Instance: break;
    }
    return lock_key(self);
}

}  // namespace

Bytes transact_frame(PyObject* self, const codec::Frame& frame, PyObject* station, AnswerShape shape) {
    const LinkChoice choice = pick_link(self);
    const Ref key = key_of(choice, self);
    ObjectLock lock(key.get());
    LinkHolder holder;
    return run_transaction(holder.open(choice, self, lock), frame, station, shape, lock);
}

Bytes transact(const Request& request) {
    PyObject* self = request.self;
    LinkChoice choice = pick_link(self);
    const Ref key = key_of(choice, self);
    ObjectLock lock(key.get());
    LinkHolder holder;
    if (choice.kind == LinkKind::Instance) {
        PyObject* stack[5] = {self};
        for (std::size_t i = 0; i < request.nargs; ++i) stack[1 + i] = request.args[i];
        checked(stopping_forced_unwind([&] {
            return PyObject_VectorcallMethod(request.sender.get(), stack,
                                             (request.nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        }));
        const AwaitingAnswer awaiting(lock);
        return await_answer(holder.open(choice, self, lock), request.station(), request.shape);
    }
    // The sender is this module's own: build its frame here. That may run
    // Python code (an argument's __index__, the values' iterator) which may
    // replace members, so the link is chosen again before it is taken.
    const codec::Frame frame = request.build(request.args.data());
    if (!builds_natively(request)) choice = pick_link(self);
    return run_transaction(holder.open(choice, self, lock), frame, request.station(), request.shape, lock);
}

Bytes run_transaction(Link& link, const codec::Frame& frame, PyObject* station, AnswerShape shape,
                      const ObjectLock& lock) {
    link.send(frame);
    const AwaitingAnswer awaiting(lock);
    return await_answer(link, station, shape);
}

Bytes answer_bytes(PyObject* answer) {
    if (PyObject_CheckBuffer(answer)) {
        Buffer b(answer);
        return {b.data(), b.data() + b.size()};
    }
    Ref array = new_byte_array(answer);
    Buffer b(array.get());
    return {b.data(), b.data() + b.size()};
}

}  // namespace qel::master
