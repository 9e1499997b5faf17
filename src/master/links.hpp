// The three links of the transaction engine (see link.hpp).
#pragma once

#include "channel/socket_object.hpp"
#include "master/link.hpp"
#include "master/link_guard.hpp"
#include "master/reply_frame.hpp"

#include <array>
#include <optional>

namespace qel::master {

// Through the instance: self.__write_message, self.__read,
// self.__feedback_assistant and Master.__check_crc, whatever they are now.
class InstanceLink final : public Link {
public:
    explicit InstanceLink(PyObject* self) : self_(self) {}
    void send(const codec::Frame& frame) override;
    void read(Bytes& answer, std::size_t size) override;
    void check_crc(const Bytes& frame, PyObject* station) override;
    Bytes feedback(PyObject* station, std::size_t normal_len, bool check_crc) override;
    void discard() override;
    void dropped(Clock::time_point started) override;

private:
    PyObject* self_;
};

// The engine members' own bodies over the channel's members, called through
// Python: the master's channel may be any object. A channel that a close
// from another thread pulled away under a call (a serial port closed while
// it waits) ends the call with EBADF, whatever the channel raised then.
class ChannelLink final : public Link {
public:
    // `channel` is self.__tunnel; `lock` the lock the caller holds on it.
    ChannelLink(PyObject* self, PyObject* channel, const ObjectLock* lock)
        : self_(self), channel_(Ref::borrow(channel)), lock_(lock) {}
    void send(const codec::Frame& frame) override;
    void read(Bytes& answer, std::size_t size) override;
    void discard() override;
    void dropped(Clock::time_point started) override;

    // The bodies of __write_message and __read, on the objects they are given.
    void send_message(PyObject* message);
    Ref read_object(PyObject* size);

private:
    template <class... A>
    Ref call_channel(const Name& name, A... args);

    PyObject* self_;
    Ref channel_;
    const ObjectLock* lock_;
};

// TCPTunnel's own reads and writes, natively on its socket. A read takes
// what has arrived up to the longest answer, so that an answer that is there
// whole comes in one system call; bytes beyond what the engine asked for
// serve its next read, and what is left at the end would have been stale
// input for the next request, which discards it.
class TunnelLink final : public Link {
public:
    TunnelLink(const LinkChoice& choice, const ObjectLock* lock);
    ~TunnelLink() override;
    void send(const codec::Frame& frame) override;
    void read(Bytes& answer, std::size_t size) override;
    void discard() override;
    void dropped(Clock::time_point started) override;

private:
    PyObject* master_dict_;
    const ObjectLock* lock_;
    sockets::Connection connection_;
    // Everything received since the request went out.
    Bytes received_;
    std::array<std::uint8_t, codec::kLongestAnswer> ahead_;
    std::size_t ahead_begin_ = 0, ahead_end_ = 0;  // received, not yet asked for
    bool sent_ = false;
    bool answer_started_ = false;
    // Once an answer to another request was dropped: when the wait for this
    // one began, which every later receive counts its time-out from.
    std::optional<Clock::time_point> waiting_since_;
};

// A plain master over a plain ModbusTCPChannel: the channel's own work
// (rtu_over_mbap.hpp) done natively on its socket. The engine sees the RTU
// frames the channel's reads would hand back; the master's and the
// channel's records are kept as its members keep them.
class MbapLink final : public Link {
public:
    MbapLink(const LinkChoice& choice, const ObjectLock* lock);
    // The frames this link hands over are made here, their CRC with them:
    // there is nothing to check.
    void check_crc(const Bytes&, PyObject*) override {}
    ~MbapLink() override;
    void send(const codec::Frame& frame) override;
    void read(Bytes& answer, std::size_t size) override;
    void discard() override;
    void dropped(Clock::time_point started) override;

private:
    PyObject* master_dict_;
    PyObject* channel_dict_;
    const ObjectLock* lock_;
    sockets::Connection connection_;
    std::vector<std::uint8_t> request_, reply_;  // the ADUs
    ReplyFrame reply_frame_;
    bool sent_ = false;
};

// dict[name] = bytes(data); -1 with an exception set on failure.
int record(PyObject* dict, const Name& name, const std::uint8_t* data, std::size_t size);

// The channel's in_waiting when it is above zero; empty otherwise.
Ref input_waiting(PyObject* channel);

}  // namespace qel::master
