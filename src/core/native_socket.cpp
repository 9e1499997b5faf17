#include "core/native_socket.hpp"

#include <algorithm>
#include <climits>

#ifdef _WIN32
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // WSAPoll
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace qel::net {

namespace {

#ifdef _WIN32
using Native = SOCKET;
using IoLength = int;
constexpr short kReadable = POLLRDNORM;
constexpr short kWritable = POLLWRNORM;
constexpr int kWouldBlock = WSAEWOULDBLOCK;

Native native(NativeSocket s) { return static_cast<Native>(s); }
int last_error() { return WSAGetLastError(); }
bool would_block(int e) { return e == WSAEWOULDBLOCK; }
bool interrupted(int e) { return e == WSAEINTR; }
int poll_set(pollfd* p, int count, int ms) { return WSAPoll(p, static_cast<ULONG>(count), ms); }
#else
using Native = int;
using IoLength = std::size_t;
constexpr short kReadable = POLLIN;
constexpr short kWritable = POLLOUT;
constexpr int kWouldBlock = EWOULDBLOCK;

Native native(NativeSocket s) { return s; }
int last_error() { return errno; }
bool would_block(int e) { return e == EAGAIN || e == EWOULDBLOCK; }
bool interrupted(int e) { return e == EINTR; }
int poll_set(pollfd* p, int count, int ms) { return ::poll(p, static_cast<nfds_t>(count), ms); }
#endif

// A first receive that must not block, so that data already waiting is
// taken without a poll. Windows has no per-call flag for it.
#if defined(MSG_DONTWAIT)
constexpr bool kCanTryFirst = true;
constexpr int kDontWait = MSG_DONTWAIT;
#else
constexpr bool kCanTryFirst = false;
constexpr int kDontWait = 0;
#endif

// A peer that went away must give EPIPE, not kill the host process.
#if defined(MSG_NOSIGNAL)
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif

IoLength chunk(std::size_t size) {
#ifdef _WIN32
    return static_cast<IoLength>(std::min<std::size_t>(size, INT_MAX));
#else
    return size;
#endif
}

long receive_once(NativeSocket s, std::uint8_t* buffer, std::size_t size, int flags) {
    return static_cast<long>(::recv(native(s), reinterpret_cast<char*>(buffer), chunk(size), flags));
}

long send_once(NativeSocket s, const std::uint8_t* data, std::size_t size, int flags) {
    return static_cast<long>(::send(native(s), reinterpret_cast<const char*>(data), chunk(size), flags));
}

enum class Wait : std::uint8_t { Ready, TimedOut, Interrupted, Woken, Failed };

// Takes every wake-up there is, so that the next wait blocks again.
void drain_wake_up(NativeSocket wake) {
    char sink[64];
    while (::recv(native(wake), sink, sizeof sink, 0) > 0) {
    }
}

// Hang-ups and socket errors count as ready: the following call reports them.
Wait wait_for(NativeSocket s, short events, const Deadline& deadline, NativeSocket wake, int& error) {
    pollfd p[2]{};
    p[0].fd = native(s);
    p[0].events = events;
    int count = 1;
    if (wake != kNoSocket) {
        p[1].fd = native(wake);
        p[1].events = kReadable;
        count = 2;
    }
    for (;;) {
        int ms = deadline.poll_milliseconds();
        int n = poll_set(p, count, ms);
        if (n > 0) {
            if (p[0].revents & POLLNVAL) {
                error = bad_socket_error();
                return Wait::Failed;
            }
            if (p[0].revents != 0 || count == 1) return Wait::Ready;
            if (p[1].revents & (POLLNVAL | POLLERR)) {
                count = 1;  // a wake-up socket gone bad: waits end by the time-out only
                continue;
            }
            drain_wake_up(wake);
            return Wait::Woken;
        }
        if (n < 0) {
            error = last_error();
            return interrupted(error) ? Wait::Interrupted : Wait::Failed;
        }
        // poll may return a little before the deadline; only the clock decides.
        if (deadline.poll_milliseconds() == 0) return Wait::TimedOut;
    }
}

IoResult ended(IoStatus status, std::size_t done, int error = 0) { return IoResult{status, done, error}; }

// With a zero time-out nothing waits: as on a non-blocking socket, "nothing
// moved" is the would-block error, while a partial transfer still counts.
IoResult out_of_time(const Deadline& deadline, std::size_t done) {
    if (deadline.immediate() && done == 0) return ended(IoStatus::WouldBlock, 0, kWouldBlock);
    return ended(IoStatus::TimedOut, done);
}

// The outcome of a wait that did not end ready.
IoResult wait_failure(Wait w, const Deadline& deadline, std::size_t done, int error) {
    switch (w) {
        case Wait::TimedOut: return out_of_time(deadline, done);
        case Wait::Interrupted: return ended(IoStatus::Interrupted, done, error);
        case Wait::Woken: return ended(IoStatus::Interrupted, done, 0);
        default: return ended(IoStatus::Failed, done, error);
    }
}

}  // namespace

Deadline Deadline::after(double seconds, Clock::time_point start) {
    if (!(seconds > 0)) return Deadline(Mode::Immediate, start);
    // About thirty years: beyond that nobody waits, and the clock arithmetic
    // stays far from overflow.
    const double capped = std::min(seconds, 1e9);
    auto span = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(capped));
    return Deadline(Mode::At, start + span);
}

int Deadline::poll_milliseconds() const {
    if (mode_ == Mode::Never) return -1;
    if (mode_ == Mode::Immediate) return 0;
    auto left = at_ - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

IoResult wait_ready(NativeSocket s, Direction direction, const Deadline& deadline, NativeSocket wake) {
    int error = 0;
    const Wait w = wait_for(s, direction == Direction::Receive ? kReadable : kWritable, deadline, wake, error);
    if (w == Wait::Ready) return ended(IoStatus::Complete, 0);
    return wait_failure(w, deadline, 0, error);
}

IoResult recv_waiting(NativeSocket s, std::uint8_t* buffer, std::size_t size) {
    long n = receive_once(s, buffer, size, 0);
    if (n > 0) return ended(IoStatus::Complete, static_cast<std::size_t>(n));
    if (n == 0) return ended(size == 0 ? IoStatus::Complete : IoStatus::PeerClosed, 0);
    int error = last_error();
    if (interrupted(error)) return ended(IoStatus::Interrupted, 0, error);
    if (would_block(error)) return ended(IoStatus::WouldBlock, 0, error);
    return ended(IoStatus::Failed, 0, error);
}

bool can_wait_in_receive() {
#ifdef _WIN32
    // A receive that ran into SO_RCVTIMEO leaves a Windows socket in an
    // undefined state, so waits there stay with poll.
    return false;
#else
    return true;
#endif
}

int set_blocking_timeouts(NativeSocket s, double seconds) {
#ifdef _WIN32
    (void)s;
    (void)seconds;
    return WSAEOPNOTSUPP;
#else
    timeval tv{};
    if (seconds > 0) {
        // Beyond a day the kernel's bound is only a backstop: the caller's
        // deadline decides, and the value stays far from overflow.
        const double capped = std::min(seconds, 86400.0);
        tv.tv_sec = static_cast<time_t>(capped);
        tv.tv_usec = static_cast<suseconds_t>((capped - static_cast<double>(tv.tv_sec)) * 1e6);
        if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
    }
    if (::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return last_error();
    if (::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return last_error();
    int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) return last_error();
    if ((flags & O_NONBLOCK) && ::fcntl(s, F_SETFL, flags & ~O_NONBLOCK) != 0) return last_error();
    return 0;
#endif
}

bool can_try_without_blocking() { return kCanTryFirst; }

IoResult recv_now(NativeSocket s, std::uint8_t* buffer, std::size_t size) {
    long n = receive_once(s, buffer, size, kDontWait);
    if (n > 0) return ended(IoStatus::Complete, static_cast<std::size_t>(n));
    if (n == 0) return ended(size == 0 ? IoStatus::Complete : IoStatus::PeerClosed, 0);
    int error = last_error();
    if (would_block(error) || interrupted(error)) return ended(IoStatus::Complete, 0);
    return ended(IoStatus::Failed, 0, error);
}

IoResult send_now(NativeSocket s, const std::uint8_t* data, std::size_t size) {
    long n = send_once(s, data, size, kNoSignal | kDontWait);
    if (n >= 0) return ended(IoStatus::Complete, static_cast<std::size_t>(n));
    int error = last_error();
    if (would_block(error) || interrupted(error)) return ended(IoStatus::Complete, 0);
    return ended(IoStatus::Failed, 0, error);
}

int pending_bytes(NativeSocket s, std::size_t& count) {
#ifdef _WIN32
    u_long n = 0;
    if (::ioctlsocket(native(s), FIONREAD, &n) != 0) return last_error();
#else
    int n = 0;
    if (::ioctl(native(s), FIONREAD, &n) != 0) return last_error();
#endif
    count = static_cast<std::size_t>(n);
    return 0;
}

int set_no_delay(NativeSocket s) {
#ifdef _WIN32
    const BOOL on = TRUE;
#else
    const int on = 1;
#endif
    if (::setsockopt(native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) != 0)
        return last_error();
    return 0;
}

int shutdown_both(NativeSocket s) {
#ifdef _WIN32
    if (::shutdown(native(s), SD_BOTH) != 0) return last_error();
#else
    if (::shutdown(native(s), SHUT_RDWR) != 0) return last_error();
#endif
    return 0;
}

bool close_needs_wake_up() {
#ifdef _WIN32
    // Wine's WSAPoll goes on waiting after shutdown(SD_BOTH), and Windows
    // does not promise otherwise.
    return true;
#else
    return false;  // shutdown() wakes poll() and a blocking recv()
#endif
}

NativeSocket open_wake_up() {
    Native w = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
#ifdef _WIN32
    if (w == INVALID_SOCKET) return kNoSocket;
#else
    if (w < 0) return kNoSocket;
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* a = reinterpret_cast<sockaddr*>(&address);
    bool ok = ::bind(w, a, sizeof address) == 0 && ::getsockname(w, a, &length) == 0 &&
              ::connect(w, a, sizeof address) == 0;
#ifdef _WIN32
    u_long on = 1;
    ok = ok && ::ioctlsocket(w, FIONBIO, &on) == 0;
    if (!ok) {
        ::closesocket(w);
        return kNoSocket;
    }
#else
    ok = ok && ::fcntl(w, F_SETFL, ::fcntl(w, F_GETFL) | O_NONBLOCK) == 0;
    if (!ok) {
        ::close(w);
        return kNoSocket;
    }
#endif
    return static_cast<NativeSocket>(w);
}

void wake_up(NativeSocket wake) {
    const char byte = 1;
    (void)::send(native(wake), &byte, 1, kNoSignal);
}

int bad_socket_error() {
#ifdef _WIN32
    return WSAENOTSOCK;
#else
    return EBADF;
#endif
}

int would_block_error() { return kWouldBlock; }

}  // namespace qel::net
