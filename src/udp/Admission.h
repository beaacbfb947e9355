#pragma once

#include <string>

#include <asio/ip/udp.hpp>

#include "udp/ErrorLines.h"
#include "udp/ReceiveBatch.h"
#include "udp/SenderGate.h"
#include "udp/ServerCounters.h"

// How a server judges each datagram it takes: a receive error, a datagram
// sent to another address than a group member's group, one from a foreign
// sender in peer mode or from one the sender policy refuses, an empty one,
// and one past its prefix's delivery limit are rejected, counted and logged
// within the error line budget; the rest are accepted for delivery. Any
// worker, at once: it holds nothing that changes but what the gate holds.
class Admission {
public:
    // `local` is the address the server was constructed with; `remote` the
    // peer, unused in receive-only mode.
    Admission(bool receiveOnly, const asio::ip::udp::endpoint& local,
              const asio::ip::udp::endpoint& remote, int localPort, SenderGate& gate);

    // `reader` is the judging worker's index, `now` its batch's time (see
    // SenderGate).
    bool admit(const ReceiveBatch::Datagram& received, ReceiveCounters& counters,
               ErrorLines& lines, std::size_t reader, std::chrono::steady_clock::time_point now) const;

private:
    // Whether a datagram is for this server: for a group member, whether it
    // was sent to the group, where the system says.
    bool forThisServer(const ReceiveBatch::Datagram& received) const;

    const bool receiveOnly;
    const bool groupMember;
    const asio::ip::address localAddress;
    const asio::ip::udp::endpoint remote;
    const std::string remoteText;
    const std::string portText;
    SenderGate& gate;
};
