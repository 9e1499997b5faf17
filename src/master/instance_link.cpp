// The general link: every step goes through the instance or the class, as
// Master's members reach each other, so an override anywhere takes effect.
#include "codec/byte_array.hpp"
#include "master/attribute_names.hpp"
#include "master/links.hpp"
#include "module/state.hpp"

namespace qel::master {

namespace {


void append(Bytes& answer, PyObject* chunk) {
    answer.append(answer_bytes(chunk));
}

}  // namespace

void InstanceLink::send(const codec::Frame& frame) {
    Ref message = new_byte_array(frame.data(), frame.size());
    call_method(self_, attr::write_message.get(), message.get());
}

void InstanceLink::read(Bytes& answer, std::size_t size) {
    Ref wanted = new_int(static_cast<long long>(size));
    append(answer, call_method(self_, attr::read.get(), wanted.get()).get());
}

// Through the class Master, not the instance: a subclass's own __check_crc
// is another name.
void InstanceLink::check_crc(const Bytes& frame, PyObject* station) {
    Ref checker = getattr(state().master, attr::check_crc.get());
    Ref message = new_byte_array(frame.data(), frame.size());
    call(checker.get(), message.get(), station);
}

Bytes InstanceLink::feedback(PyObject* station, std::size_t normal_len, bool check_crc) {
    Ref length = new_int(static_cast<long long>(normal_len));
    Ref head = call_method(self_, attr::feedback_assistant.get(), station, length.get(), check_crc ? Py_True : Py_False);
    return answer_bytes(head.get());
}

void InstanceLink::discard() {
    Ref channel = channel_of(self_);
    if (Ref waiting = input_waiting(channel.get())) call_method(self_, attr::read.get(), waiting.get());
}

void InstanceLink::dropped(Clock::time_point started) { check_time_left(channel_of(self_).get(), started); }

}  // namespace qel::master
