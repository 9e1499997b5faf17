// The RTU transaction engine and the links it runs over.
//
// A transaction is written once, here: send the request (stale input
// discarded first), read the 5-byte head, drop answers to other requests,
// recognise an exception answer, work out the expected length, read the
// rest, check the length and the CRC, and keep MessageLastSent and
// MessageLastReceived. What a step does to the world is the link's business:
//
// - InstanceLink goes through the instance and the class, exactly as
//   Master's members reach each other, so that an override anywhere on that
//   link takes effect (the general link).
// - ChannelLink runs the engine members' own bodies inline and calls the
//   channel's in_waiting, read and write itself: the same calls, in the same
//   order, with the same arguments (a plain Master over any channel).
// - TunnelLink does what TCPTunnel's own members would do, natively on its
//   socket, without a Python call in between (a plain Master over a plain
//   TCPTunnel).
//
// pick_link() (link_guard.cpp) decides which one may run.
#pragma once

#include "core/answer_rules.hpp"
#include "core/frames.hpp"
#include "module/object_lock.hpp"
#include "master/answer_bytes.hpp"
#include "module/interned.hpp"
#include "module/ref.hpp"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace qel::master {


using Clock = std::chrono::steady_clock;

class Link {
public:
    virtual ~Link() = default;
    // __write_message: stale input discarded, the frame written, then
    // MessageLastSent set and MessageLastReceived emptied.
    virtual void send(const codec::Frame& frame) = 0;
    // __read: one channel read of up to `size` bytes, recorded in
    // MessageLastReceived and appended to `answer`.
    virtual void read(Bytes& answer, std::size_t size) = 0;
    // Master.__check_crc(frame, station); this module's own check unless the
    // link goes through the class.
    virtual void check_crc(const Bytes& frame, PyObject* station);
    // __feedback_assistant(station, normal_len, check_crc); the engine's own
    // unless the link goes through the instance.
    virtual Bytes feedback(PyObject* station, std::size_t normal_len, bool check_crc);

    // The steps of dropping answers to other requests, which the plain
    // exchange never takes.
    // Reads what has arrived (in_waiting bytes) and throws it away; it is
    // recorded as read.
    virtual void discard() = 0;
    // After a drop: a time-out error once the wait that began at `started`
    // has lasted the channel's time-out (the tunnel's own on a plain
    // TCPTunnel, the master's otherwise); else the wait goes on, its reads
    // bounded by what is left where the link can bound them.
    virtual void dropped(Clock::time_point started) = 0;

protected:
    // What the request this link sent asked; the general link sends through
    // the instance and knows it from MessageLastSent instead.
    std::optional<codec::Asked> asked_;
};

// The engine's steps.

// Reads an answer of `normal_len` bytes: the head, which already tells an
// exception answer, then the rest. A head that does not answer `asked`
// (when known) begins an answer to another request: that frame is read to
// its own length, its CRC checked, and dropped, and the wait goes on.
Bytes feedback(Link& link, PyObject* station, std::size_t normal_len, bool check_crc,
               const std::optional<codec::Asked>& asked);

// The channel's `timeout`, from `started`: the master's time-out error once
// it has passed (None: no bound).
void check_time_left(PyObject* channel, Clock::time_point started);

// A read answer: the head through feedback, then as many bytes as its byte
// count says, the length and the CRC checked.
Bytes read_counted(Link& link, PyObject* station);

// How the answer to a request is read.
struct AnswerShape {
    enum class Layout : std::uint8_t {
        Counted,  // a read: the byte count tells the length
        Fixed,    // `length` bytes in all, its CRC checked (a write's echo among them)
        Objects,  // a device identification: its objects tell the length
    };
    Layout layout;
    std::size_t length;

    static constexpr AnswerShape counted() { return {Layout::Counted, 0}; }
    static constexpr AnswerShape fixed(std::size_t length) { return {Layout::Fixed, length}; }
    static constexpr AnswerShape echo() { return fixed(codec::kEchoLength); }
    static constexpr AnswerShape objects() { return {Layout::Objects, 0}; }
};

// One request of an operation, described for every link: on the general
// link the sender is called through the instance with `args`; otherwise
// `build` makes the same frame from the same arguments here.
struct Request {
    PyObject* self;
    const Name& sender;
    std::array<PyObject*, 4> args;  // station first
    std::size_t nargs;
    codec::Frame (*build)(PyObject* const* args);
    AnswerShape shape;
    PyObject* station() const { return args[0]; }
};

// The whole transaction of a Master operation, serialised with every other
// on the same channel. Returns the answer frame.
Bytes transact(const Request& request);

// The steps of every transaction once its link is open and `lock` is held:
// the request sent, then its answer awaited as this thread's and read in
// `shape`. Returns the answer frame.
Bytes run_transaction(Link& link, const codec::Frame& frame, PyObject* station, AnswerShape shape,
                      const ObjectLock& lock);

// A transaction of `self` (a Master or a subclass) for a frame built
// beforehand, on the link the guard picks, under the channel's lock.
Bytes transact_frame(PyObject* self, const codec::Frame& frame, PyObject* station, AnswerShape shape);

// The channel of a master (self.__tunnel).
Ref channel_of(PyObject* self);

// The key whose lock serialises the operations of a master: its channel,
// shared by every master on it, or the master itself without one.
Ref lock_key(PyObject* self);

// An answer as the engine holds it: the bytes a byte array would hold.
Bytes answer_bytes(PyObject* answer);

}  // namespace qel::master
