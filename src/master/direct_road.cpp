#include "master/direct_road.hpp"

#include "channel/socket_calls.hpp"
#include "master/master_bodies.hpp"
#include "module/state.hpp"

namespace qel::master {

namespace {

using NameList = std::initializer_list<PyObject* Names::*>;

// The members each road reaches through the instance.
NameList road_members(Road road) {
    static constexpr NameList read_registers = {&Names::send_read_registers_request,
                                                &Names::_Master__send_read_xx_registers_request,
                                                &Names::_Master__write_message, &Names::_Master__feedback_assistant,
                                                &Names::_Master__read};
    static constexpr NameList read_coils = {&Names::_Master__send_read_xx_coils_request,
                                            &Names::_Master__write_message, &Names::_Master__feedback_assistant,
                                            &Names::_Master__read};
    static constexpr NameList write_register = {&Names::send_write_register_request, &Names::_Master__write_message,
                                                &Names::_Master__feedback_assistant, &Names::_Master__read};
    static constexpr NameList write_registers = {&Names::send_write_registers_request,
                                                 &Names::_Master__write_message,
                                                 &Names::_Master__feedback_assistant, &Names::_Master__read};
    static constexpr NameList write_coil = {&Names::send_write_coil_request, &Names::_Master__write_message,
                                            &Names::_Master__feedback_assistant, &Names::_Master__read};
    switch (road) {
        case Road::ReadRegisters: return read_registers;
        case Road::ReadCoils: return read_coils;
        case Road::WriteRegister: return write_register;
        case Road::WriteRegisters: return write_registers;
        case Road::WriteCoil: return write_coil;
    }
    return {};
}

// Every member a road may reach on the class, and the message attributes,
// which must stay plain instance attributes.
constexpr NameList kMasterMembers = {
    &Names::send_read_registers_request, &Names::_Master__send_read_xx_registers_request,
    &Names::_Master__send_read_xx_coils_request, &Names::send_write_register_request,
    &Names::send_write_registers_request, &Names::send_write_coil_request, &Names::_Master__write_message,
    &Names::_Master__feedback_assistant, &Names::_Master__read, &Names::MessageLastSent,
    &Names::MessageLastReceived};
constexpr NameList kTunnelMembers = {&Names::in_waiting, &Names::read, &Names::write};

// A class that still holds what it was built with under every name. The
// check is remembered while the type's version tag stays the same: any
// assignment to the class gives it a new one.
class BuiltClass {
public:
    BuiltClass(PyObject* const& cls, PyObject* const& built, NameList members)
        : cls_(cls), built_(built), members_(members) {}

    bool unchanged() {
        auto* type = reinterpret_cast<PyTypeObject*>(cls_);
        if (tag_ != 0 && current_tag(type) == tag_) return true;
        for (PyObject* Names::*member : members_) {
            PyObject* name = names().*member;
            if (PyDict_GetItem(type->tp_dict, name) != PyDict_GetItem(built_, name)) return false;
        }
        tag_ = current_tag(type);
        return true;
    }

private:
    static unsigned int current_tag(PyTypeObject* type) {
#ifdef Py_TPFLAGS_VALID_VERSION_TAG
        return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#else
        (void)type;
        return 0;
#endif
    }
    PyObject* const& cls_;
    PyObject* const& built_;
    NameList members_;
    unsigned int tag_ = 0;
};

BuiltClass& master_class() {
    static BuiltClass c(state().master, state().master_members, kMasterMembers);
    return c;
}

BuiltClass& tunnel_class() {
    static BuiltClass c(state().tcp_tunnel, state().tunnel_members, kTunnelMembers);
    return c;
}

// The dict of an exact instance of `cls` that shadows none of `members`.
Ref plain_instance(PyObject* obj, PyObject* cls, NameList members) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) != cls) return Ref{};
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!dict || !PyDict_Check(dict.get())) {
        PyErr_Clear();
        return Ref{};
    }
    for (PyObject* Names::*member : members)
        if (PyDict_GetItem(dict.get(), names().*member) != nullptr) return Ref{};
    return dict;
}

// The message attributes are plain instance attributes (the class was
// checked), so they go straight into the instance dict.
void set_message(PyObject* dict, PyObject* name, const std::uint8_t* data, std::size_t size) {
    Ref value = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
    checked_status(PyDict_SetItem(dict, name, value.get()));
}

// MessageLastReceived holds every byte read, also when a read fails.
void record_received(PyObject* dict, const std::vector<std::uint8_t>& received) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    try {
        set_message(dict, names().MessageLastReceived, received.data(), received.size());
    } catch (const PythonError&) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

// __write_message over the tunnel: stale input discarded, then the frame.
void write_request(PyObject* dict, sockets::Connection& link, const codec::Frame& request) {
    if (link.pending() > 0) {
        std::vector<std::uint8_t> stale;
        std::size_t waiting = link.pending();
        if (waiting > 0) link.receive_into(stale, waiting, sockets::OnSilence::RaiseTimeout);
    }
    link.send(request.data(), request.size());
    set_message(dict, names().MessageLastSent, request.data(), request.size());
    checked_status(PyDict_SetItem(dict, names().MessageLastReceived, state().empty_bytes));
}

// One tunnel read: read(0) touches nothing.
void read_into(sockets::Connection& link, std::vector<std::uint8_t>& answer, std::size_t size,
               net::FirstStep first = net::FirstStep::Try) {
    if (size > 0) link.receive_into(answer, size, sockets::OnSilence::RaiseTimeout, first);
}

void read_answer(sockets::Connection& link, std::vector<std::uint8_t>& answer, PyObject* station,
                 AnswerShape shape) {
    // The request has only just gone out: wait before trying.
    read_into(link, answer, codec::kAnswerHead, net::FirstStep::Wait);
    if (answer.size() != codec::kAnswerHead) raise_timeout();
    if (answer[1] >= codec::kExceptionFlag) raise_slave_exception(station, answer[1], answer[2]);
    const std::size_t total = shape == AnswerShape::Echo ? 8 : codec::kAnswerHead + answer[2];
    read_into(link, answer, total - codec::kAnswerHead);
    if (answer.size() != total) raise_timeout();
    if (!codec::crc_is_right(answer.data(), answer.size())) raise_crc_error(station);
}

}  // namespace

std::optional<DirectRoad> direct_road(PyObject* self, Road road) {
    ModuleState& s = state();
    if (!master_class().unchanged() || !tunnel_class().unchanged()) return std::nullopt;
    Ref own = plain_instance(self, s.master, road_members(road));
    if (!own) return std::nullopt;
    PyObject* tunnel = PyDict_GetItem(own.get(), names()._Master__tunnel);
    if (tunnel == nullptr) return std::nullopt;
    // in_waiting is a property, which no instance attribute can shadow.
    Ref channel = plain_instance(tunnel, s.tcp_tunnel, {&Names::read, &Names::write});
    if (!channel) return std::nullopt;
    PyObject* sock = PyDict_GetItem(channel.get(), names()._socket);
    if (sock == nullptr) return std::nullopt;
    return DirectRoad{own, Ref::borrow(sock)};
}

std::vector<std::uint8_t> direct_transaction(const DirectRoad& road, const codec::Frame& request, PyObject* station,
                                             AnswerShape shape) {
    sockets::Connection link(road.socket.get());
    PyObject* dict = road.instance_dict.get();
    write_request(dict, link, request);
    std::vector<std::uint8_t> answer;
    answer.reserve(codec::kAnswerHead + 255 + 2);
    try {
        read_answer(link, answer, station, shape);
    } catch (...) {
        record_received(dict, answer);
        throw;
    }
    set_message(dict, names().MessageLastReceived, answer.data(), answer.size());
    return answer;
}

}  // namespace qel::master
