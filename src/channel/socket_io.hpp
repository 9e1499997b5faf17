// Native I/O on a connected stream socket, bounded by a deadline. Plain C++:
// no Python here, so the callers can run it with the interpreter lock
// released. Errors come back as codes (errno, or the WSA code on Windows).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace qel::net {

#ifdef _WIN32
using NativeSocket = std::uintptr_t;  // SOCKET
#else
using NativeSocket = int;
#endif

// One deadline for a whole call, fixed when the call starts.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    static Deadline never() { return Deadline(Mode::Never, Clock::time_point{}); }
    // A time-out of zero seconds means "don't wait at all", as for a
    // non-blocking socket.
    static Deadline after(double seconds);

    bool waits_forever() const { return mode_ == Mode::Never; }
    bool immediate() const { return mode_ == Mode::Immediate; }
    // Milliseconds for poll(): -1 to wait forever, rounded up so that a wait
    // never ends before the deadline, 0 once it has passed.
    int poll_milliseconds() const;

private:
    enum class Mode : std::uint8_t { Never, Immediate, At };
    Deadline(Mode mode, Clock::time_point at) : mode_(mode), at_(at) {}
    Mode mode_;
    Clock::time_point at_;
};

enum class IoStatus : std::uint8_t {
    Complete,     // all requested bytes moved (recv_some: anything arrived)
    PeerClosed,   // the peer ended the stream (receive only)
    TimedOut,     // the deadline ran out
    WouldBlock,   // immediate deadline and nothing could move (error holds the code)
    Interrupted,  // a signal arrived; call again with the rest and the same deadline
    Failed,       // the system reported `error`
};

struct IoResult {
    IoStatus status = IoStatus::Complete;
    std::size_t done = 0;  // bytes moved before the call ended
    int error = 0;
};

// Waits once for the socket to become readable, then takes what is there
// (at most `size` bytes) with one receive.
IoResult recv_some(NativeSocket s, std::uint8_t* buffer, std::size_t size, const Deadline& deadline);

// Whether a receive first tries to take what is already there (one system
// call when data is waiting) or waits first (one call saved when nothing can
// be there yet, right after a request went out).
enum class FirstStep : std::uint8_t { Try, Wait };

// Receives until `size` bytes arrived, the peer closed or the deadline ran
// out.
IoResult recv_until(NativeSocket s, std::uint8_t* buffer, std::size_t size, const Deadline& deadline,
                    FirstStep first = FirstStep::Try);

// Whether a transfer can be tried with no chance of blocking (the system has
// a per-call non-blocking flag), so that it may run with the interpreter
// lock held and only a real wait gives the lock up.
bool can_try_without_blocking();

// One receive or send that never waits: moves what can move at once, at
// most `size` bytes. Complete with `done` 0 when nothing could move.
IoResult recv_now(NativeSocket s, std::uint8_t* buffer, std::size_t size);
IoResult send_now(NativeSocket s, const std::uint8_t* data, std::size_t size);

// Sends every byte, looping over partial sends, within the deadline.
IoResult send_all(NativeSocket s, const std::uint8_t* data, std::size_t size, const Deadline& deadline);

// Bytes received and not yet read, without blocking; returns 0 or an error code.
int pending_bytes(NativeSocket s, std::size_t& count);

// Turns off Nagle's algorithm so that small requests leave at once; returns 0
// or an error code (a socket that is no TCP socket refuses it).
int set_no_delay(NativeSocket s);

// The code for "not a valid socket", as a call on a closed one reports it.
int bad_socket_error();

}  // namespace qel::net
