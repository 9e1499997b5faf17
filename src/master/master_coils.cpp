// Master's coil operations: function codes 1 and 2 (read coils and discrete
// inputs) and 5 (write one coil).
#include "codec/coil_states.hpp"
#include "core/frames.hpp"
#include "master/frame_fields.hpp"
#include "master/link.hpp"
#include "master/master_bodies.hpp"

namespace qel::master {

namespace {

const Name kReadCoils{"read_coils"};
const Name kReadXxCoils{"_Master__read_xx_coils"};
const Name kSendReadXxCoils{"_Master__send_read_xx_coils_request"};
const Name kSendWriteCoil{"send_write_coil_request"};

// (station, address, value): FF 00 switches on, 00 00 off; the value is
// taken by its truth.
codec::Frame write_coil_frame(PyObject* const* args) {
    const std::uint8_t station = byte_field(args[0]);
    const std::uint16_t address = word_field(args[1]);
    return codec::write_coil_request(station, address, checked_status(PyObject_IsTrue(args[2])) != 0);
}

Ref read_xx(PyObject* self, PyObject* station, PyObject* address, PyObject* count, std::uint8_t code) {
    Ref c = new_int(code);
    return call_method(self, kReadXxCoils.get(), station, address, count, c.get());
}

Ref send_read_xx(PyObject* self, PyObject* station, PyObject* address, PyObject* count, std::uint8_t code) {
    Ref c = new_int(code);
    return call_method(self, kSendReadXxCoils.get(), station, address, count, c.get());
}

}  // namespace

Ref write_coil(const Args& a) {
    auto [self, station, address, value] = a.take<4>();
    transact({self, kSendWriteCoil, {station, address, value}, 3, write_coil_frame, AnswerShape::echo()});
    return none();
}

// (self, station, address, value)
Ref send_write_coil_request(const Args& a) { return send_built<3>(a, write_coil_frame); }

Ref read_coil(const Args& a) {
    auto [self, station, address] = a.take<3>();
    Ref one = new_int(1);
    Ref states = call_method(self, kReadCoils.get(), station, address, one.get());
    return checked(PySequence_GetItem(states.get(), 0));
}

Ref read_xx_coils(const Args& a) {
    auto [self, station, address, count, code] = a.take<5>();
    const Bytes answer = transact(
        {self, kSendReadXxCoils, {station, address, count, code}, 4, read_request_frame, AnswerShape::counted()});
    return coil_state_list(answer.data() + 3, answer[2], count);
}

Ref read_coils(const Args& a) {
    auto [self, station, address, count] = a.take<4>();
    return read_xx(self, station, address, count, codec::kReadCoils);
}

Ref read_input_coils(const Args& a) {
    auto [self, station, address, count] = a.take<4>();
    return read_xx(self, station, address, count, codec::kReadInputCoils);
}

Ref send_read_coils_request(const Args& a) {
    auto [self, station, address, count] = a.take<4>();
    return send_read_xx(self, station, address, count, codec::kReadCoils);
}

Ref send_read_input_coils_request(const Args& a) {
    auto [self, station, address, count] = a.take<4>();
    return send_read_xx(self, station, address, count, codec::kReadInputCoils);
}

}  // namespace qel::master
