#include "udp/Admission.h"

#include "host/Logger.h"
#include "udp/Addressing.h"
#include "udp/Route.h"
#include "udp/SystemErrors.h"

namespace {

// Whether a datagram sent to `to` was sent to `group`, whatever the scope
// either carries.
bool sameGroup(const asio::ip::address& to, const asio::ip::address& group) {
    if (to.is_v4() != group.is_v4()) return false;
    if (to.is_v4()) return to.to_v4() == group.to_v4();
    return to.to_v6().to_bytes() == group.to_v6().to_bytes();
}

}  // namespace

Admission::Admission(bool receiveOnly, const asio::ip::udp::endpoint& local,
                     const asio::ip::udp::endpoint& remote, int localPort, SenderGate& gate)
    : receiveOnly(receiveOnly),
      groupMember(local.address().is_multicast()),
      localAddress(local.address()),
      remote(remote),
      remoteText(endpointText(remote)),
      portText(std::to_string(localPort)),
      gate(gate) {}

bool Admission::admit(const ReceiveBatch::Datagram& received, ReceiveCounters& counters,
                      ErrorLines& lines, std::size_t reader, std::chrono::steady_clock::time_point now) const {
    counters.received.add();
    if (received.error) {
        counters.receiveErrors.add();
        if (const auto line = lines.mayLog()) {
            velmora::Logger::error("[UDPServer] Error receiving data on port " + portText + ": " +
                                   standardCode(received.error).message());
        }
        return false;
    }
    if (!forThisServer(received)) {
        counters.rejectedNotForGroup.add();
        if (const auto line = lines.mayLog()) {
            velmora::Logger::error("[UDPServer] Datagram sent to " +
                                   readArrival(received).to.to_string() + ", not to the group " +
                                   localAddress.to_string() + " on port " + portText);
        }
        return false;
    }
    // The sender is judged before the length: an empty datagram from a
    // foreign sender is reported as foreign.
    if (!receiveOnly && !sameEndpoint(*received.sender, remote)) {
        counters.rejectedForeign.add();
        if (const auto line = lines.mayLog()) {
            velmora::Logger::error("[UDPServer] Remote sender endpoint " +
                                   endpointText(*received.sender) +
                                   " is different than specified: " + remoteText);
        }
        return false;
    }
    if (!gate.allows(reader, *received.sender, counters)) return false;
    if (received.size == 0) {
        counters.rejectedEmpty.add();
        if (const auto line = lines.mayLog()) {
            velmora::Logger::error("[UDPServer] Zero bytes received");
        }
        return false;
    }
    // Last, so that only what would be delivered spends the budget.
    if (!gate.withinDeliveryLimit(reader, *received.sender, now, counters)) return false;
    counters.delivered.add();
    if (received.truncated) counters.truncated.add();
    return true;
}

// A group member's socket may take datagrams sent to its port at other
// addresses (bound to the any-address: a link-local group without a scope,
// or Windows); where the system says where each arrived, only the group's
// are its own.
bool Admission::forThisServer(const ReceiveBatch::Datagram& received) const {
    if (!groupMember) return true;
    const Arrival arrival = readArrival(received);
    return !arrival.known || sameGroup(arrival.to, localAddress);
}
