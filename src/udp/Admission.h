#pragma once

#include <string>

#include <asio/ip/udp.hpp>

#include "udp/ErrorLines.h"
#include "udp/ReceiveBatch.h"
#include "udp/ServerCounters.h"

// How a server judges each datagram it takes: a receive error, a datagram
// sent to another address than a group member's group, one from a foreign
// sender in peer mode, and an empty one are rejected, counted and logged
// within the error line budget; the rest are accepted for delivery. Any
// worker, at once: it holds nothing that changes.
class Admission {
public:
    // `local` is the address the server was constructed with; `remote` the
    // peer, unused in receive-only mode.
    Admission(bool receiveOnly, const asio::ip::udp::endpoint& local,
              const asio::ip::udp::endpoint& remote, int localPort);

    bool admit(const ReceiveBatch::Datagram& received, ReceiveCounters& counters,
               ErrorLines& lines) const;

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
};
