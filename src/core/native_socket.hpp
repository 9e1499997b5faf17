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

// No socket (INVALID_SOCKET on Windows, -1 elsewhere).
constexpr NativeSocket kNoSocket = static_cast<NativeSocket>(-1);

// One deadline for a whole read or send, fixed when it starts.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    static Deadline never() { return Deadline(Mode::Never, Clock::time_point{}); }
    // A time-out of zero seconds means "don't wait at all", as for a
    // non-blocking socket.
    static Deadline after(double seconds) { return after(seconds, Clock::now()); }
    static Deadline after(double seconds, Clock::time_point start);

    bool immediate() const { return mode_ == Mode::Immediate; }
    bool passed() const { return poll_milliseconds() == 0; }
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
    Complete,     // what was asked for moved
    PeerClosed,   // the peer ended the stream (receive only)
    TimedOut,     // the deadline ran out
    WouldBlock,   // nothing could move without waiting (error holds the code)
    Interrupted,  // a signal or a wake-up arrived; call again with the rest and the same deadline
    Failed,       // the system reported `error`
};

struct IoResult {
    IoStatus status = IoStatus::Complete;
    std::size_t done = 0;  // bytes moved before the call ended
    int error = 0;
};

// Whether a transfer can be tried with no chance of blocking (the system has
// a per-call non-blocking flag), so that it may run with the interpreter
// lock held and only a real wait gives the lock up.
bool can_try_without_blocking();

// One receive or send that never waits: moves what can move at once, at
// most `size` bytes. Complete with `done` 0 when nothing could move; a
// signal that arrived during the call counts as nothing moved.
IoResult recv_now(NativeSocket s, std::uint8_t* buffer, std::size_t size);
IoResult send_now(NativeSocket s, const std::uint8_t* data, std::size_t size);

// Whether set_blocking_timeouts() works here, so that one receive can wait
// inside a single system call instead of poll-then-receive.
bool can_wait_in_receive();

// Puts the socket in blocking mode, with its receive and send waits bounded
// by `seconds` (negative: unbounded) inside the kernel. Returns 0 or an error
// code; the socket is left as it was on failure.
int set_blocking_timeouts(NativeSocket s, double seconds);

// One receive that may wait: on a socket that set_blocking_timeouts() set up,
// it returns as soon as anything arrived (up to `size` bytes), when the peer
// closed, or with WouldBlock once the kernel's time-out ran out. On a
// non-blocking socket it is WouldBlock at once when nothing is there.
IoResult recv_waiting(NativeSocket s, std::uint8_t* buffer, std::size_t size);

// Waits until the socket can be read (data, a close or an error are there)
// or written, or the deadline ran out: Complete when it is ready. It moves
// nothing, so that the caller can make sure, with the interpreter lock
// back, that the descriptor is still its own before the transfer. A
// wake-up socket (see open_wake_up), when given, is watched too: a wake-up
// on it ends the wait as Interrupted.
enum class Direction : std::uint8_t { Receive, Send };
IoResult wait_ready(NativeSocket s, Direction direction, const Deadline& deadline, NativeSocket wake = kNoSocket);

// Whether a thread waiting in wait_ready() needs a wake-up socket for
// another thread's close to end its wait: where shutting the connection
// down is not known to wake a waiting poll (Windows).
bool close_needs_wake_up();

// A wake-up socket: a UDP socket on the loopback address, connected to
// itself and non-blocking, so that nobody but wake_up() can make it
// readable. kNoSocket when none could be made; it is never closed.
NativeSocket open_wake_up();

// Makes `wake` readable until a wait on it takes the wake-up.
void wake_up(NativeSocket wake);

// Bytes received and not yet read, without blocking; returns 0 or an error code.
int pending_bytes(NativeSocket s, std::size_t& count);

// Turns off Nagle's algorithm so that small requests leave at once; returns 0
// or an error code (a socket that is no TCP socket refuses it).
int set_no_delay(NativeSocket s);

// Ends both directions of the connection, which wakes any thread waiting in
// a receive on it; the descriptor itself stays open.
int shutdown_both(NativeSocket s);

// The code for "not a valid socket", as a call on a closed one reports it.
int bad_socket_error();

// The code a non-blocking call gets when nothing could move.
int would_block_error();

}  // namespace qel::net
