// Master's coil operations: function codes 1 and 2 (read coils and discrete
// inputs) and 5 (write one coil).
#include "codec/coil_states.hpp"
#include "codec/frames.hpp"
#include "master/frame_fields.hpp"
#include "master/master_bodies.hpp"
#include "module/state.hpp"

namespace qel::master {

namespace {

// (self, station, address, value): FF 00 switches on, 00 00 off.
codec::Frame write_coil_frame(const Args& a) {
    codec::Frame f(byte_field(a[1]), codec::kWriteCoil);
    f.put16(word_field(a[2]));
    f.put(checked_status(PyObject_IsTrue(a[3])) ? 0xFF : 0x00);
    f.put(0x00);
    f.seal();
    return f;
}

Ref call_read_xx(const Args& a, std::uint8_t code) {
    Ref c = new_int(code);
    return call_method(a[0], names()._Master__read_xx_coils, a[1], a[2], a[3], c.get());
}

Ref call_send_xx(const Args& a, std::uint8_t code) {
    Ref c = new_int(code);
    return call_method(a[0], names()._Master__send_read_xx_coils_request, a[1], a[2], a[3], c.get());
}

}  // namespace

Ref write_coil(const Args& a) {
    write_and_await_echo(a, Road::WriteCoil, names().send_write_coil_request, write_coil_frame);
    return none();
}

Ref send_write_coil_request(const Args& a) {
    codec::Frame f = write_coil_frame(a);
    send_frame(a[0], f.data(), f.size());
    return none();
}

Ref read_coil(const Args& a) {
    Ref one = new_int(1);
    Ref states = call_method(a[0], names().read_coils, a[1], a[2], one.get());
    return checked(PySequence_GetItem(states.get(), 0));
}

Ref read_xx_coils(const Args& a) {
    std::vector<std::uint8_t> answer;
    if (auto road = direct_road(a[0], Road::ReadCoils)) {
        answer = direct_transaction(*road, read_request_frame(a), a[1], AnswerShape::Counted);
    } else {
        call_method(a[0], names()._Master__send_read_xx_coils_request, a[1], a[2], a[3], a[4]);
        answer = read_counted_answer(a[0], a[1]);
    }
    return coil_state_list(answer.data() + 3, answer[2], a[3]);
}

Ref read_coils(const Args& a) { return call_read_xx(a, codec::kReadCoils); }

Ref read_input_coils(const Args& a) { return call_read_xx(a, codec::kReadInputCoils); }

Ref send_read_coils_request(const Args& a) { return call_send_xx(a, codec::kReadCoils); }

Ref send_read_input_coils_request(const Args& a) { return call_send_xx(a, codec::kReadInputCoils); }

}  // namespace qel::master
