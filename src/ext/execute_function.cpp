// `_execute(master, station, function_code, data, answer)`: any request PDU
// through a master's own engine, link and lock, in its framing. The answer's
// layout is the caller's to say: "counted" (a byte count follows the function
// code), an int N (exactly N data bytes), or "objects" (a device
// identification's object list). Returns the answer's data: after the byte
// count, or after the function code.
#include "codec/protocol_errors.hpp"
#include "core/frames.hpp"
#include "ext/companion_classes.hpp"
#include "master/link.hpp"
#include "module/buffer.hpp"
#include "module/interned.hpp"
#include "module/state.hpp"
#include "tcp/modbus_tcp_transaction.hpp"

#include <cstring>

namespace qel {

namespace {

const Name kFixMastersMaster{"_FixMaster__master"};

long ranged(PyObject* value, const char* name, long low, long high) {
    Ref index = checked(PyNumber_Index(value));
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow != 0 || v < low || v > high) {
        PyErr_Format(PyExc_ValueError, "%s must be in %ld..%ld", name, low, high);
        throw PythonError{};
    }
    return v;
}

bool is_text(PyObject* value, const char* text) {
    return PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, text) == 0;
}

// The whole answer frame's shape for `answer`.
master::AnswerShape shape_of(PyObject* answer) {
    if (is_text(answer, "counted")) return master::AnswerShape::counted();
    if (is_text(answer, "objects")) return master::AnswerShape::objects();
    if (PyUnicode_Check(answer) || !PyIndex_Check(answer))
        raise(PyExc_ValueError, "answer must be \"counted\", \"objects\" or the answer's data length in bytes");
    const long data_bytes = ranged(answer, "the answer's data length", 1, codec::kLongestFrame - 4);
    return master::AnswerShape::fixed(static_cast<std::size_t>(data_bytes) + 4);  // station, code, CRC
}

bool is_instance(PyObject* obj, PyObject* cls) { return checked_status(PyObject_IsInstance(obj, cls)) != 0; }

// The answer's data: the frame without station, function code (and byte
// count) and CRC.
Ref answer_data(const master::Bytes& frame, master::AnswerShape shape) {
    const std::size_t start = shape.layout == master::AnswerShape::Layout::Counted ? 3 : 2;
    const std::size_t end = shape.layout == master::AnswerShape::Layout::Counted ? 3 + std::size_t{frame[2]}
                                                                                 : frame.size() - 2;
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data() + start),
                                             static_cast<Py_ssize_t>(end - start)));
}

codec::Frame request_frame(std::uint8_t station, std::uint8_t code, PyObject* data) {
    Buffer pdu(data);
    if (pdu.size() > codec::kMaxRequestData)
        raise(PyExc_ValueError, "data must be at most 252 bytes: a request PDU holds 253");
    return codec::any_request(station, code, pdu.data(), pdu.size());
}

Ref execute(const Args& a) {
    auto [master, station, function_code, data, answer] = a.take<5>();
    const ModuleState& s = state();
    const bool modbus_tcp = is_instance(master, s.modbus_tcp_master);
    if (!modbus_tcp && !is_instance(master, s.master) && !is_instance(master, s.fix_master))
        raise(PyExc_TypeError, "master must be a Master, FixMaster or ModbusTCPMaster");
    const auto unit = static_cast<std::uint8_t>(ranged(station, "station", 0, 255));
    const auto code = static_cast<std::uint8_t>(ranged(function_code, "function_code", 1, 127));
    const master::AnswerShape shape = shape_of(answer);
    const codec::Frame frame = request_frame(unit, code, data);
    if (modbus_tcp) return answer_data(tcp::transact_frame(master, frame, station, shape), shape);
    // A FixMaster's requests go through the Master it holds.
    Ref target = is_instance(master, s.fix_master) ? getattr(master, kFixMastersMaster.get()) : Ref::borrow(master);
    return answer_data(master::transact_frame(target.get(), frame, station, shape), shape);
}

}  // namespace

constexpr MemberRow kExecuteFunction = module_function(
    "_execute", execute, arg("master"), arg("station", Ann::Int), arg("function_code", Ann::Int),
    arg("data"), arg("answer").defaults(dflt::text("counted")));

}  // namespace qel
