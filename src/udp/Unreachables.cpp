#include "udp/Unreachables.h"

#include "host/Logger.h"
#include "udp/Addressing.h"
#include "udp/EndpointConversion.h"
#include "udp/SystemErrors.h"

Unreachables::Unreachables(ErrorLines& lines, const RecentDestinations& recent, int localPort)
    : lines(lines), recent(recent), portText(std::to_string(localPort)) {}

// The listener hears of it even if the logger throws; the logger's exception
// then goes on.
// A report that names no destination (Windows may not) cannot be judged,
// and is believed.
void Unreachables::report(const DestinationError& unreachable) {
    const bool named = unreachable.destination.port() != 0 ||
                       !unreachable.destination.address().is_unspecified();
    if (unreachable.fromNetwork && named &&
        !recent.sentTo(unreachable.destination, std::chrono::steady_clock::now())) {
        unsolicited.add();
        return;
    }
    switch (unreachable.reason) {
    case UDPServer::UnreachableReason::Port: port.add(); break;
    case UDPServer::UnreachableReason::Host: host.add(); break;
    case UDPServer::UnreachableReason::TooBig: tooBig.add(); break;
    case UDPServer::UnreachableReason::Other: other.add(); break;
    }
    const std::error_code error = standardCode(unreachable.error);
    std::exception_ptr logFailure;
    const bool ownRefusal = !unreachable.fromNetwork &&
                            unreachable.reason == UDPServer::UnreachableReason::TooBig;
    if (const auto line = ownRefusal ? ErrorLineBudget::Line() : lines.mayLog()) {
        try {
            std::string text = "[UDPServer] Destination ";
            appendPeerText(text, unreachable.destination);
            text += " unreachable on port " + portText + ": " + error.message();
            if (unreachable.mtu != 0) text += " (MTU " + std::to_string(unreachable.mtu) + ")";
            velmora::Logger::error(text);
        } catch (...) {
            logFailure = std::current_exception();
        }
    }
    if (UDPServer::UnreachableListener* listener = current.load(std::memory_order_acquire)) {
        UDPServer::Unreachable notice;
        notice.destination = EndpointConversion::fromSocket(unreachable.destination);
        notice.reason = unreachable.reason;
        notice.mtu = unreachable.mtu;
        notice.error = error;
        if (unreachable.reporterKnown) {
            notice.reportedBy = EndpointConversion::fromSocket(unreachable.reportedBy);
        }
        listener->destinationUnreachable(notice);
    }
    if (logFailure) std::rethrow_exception(logFailure);
}

void Unreachables::addTo(UDPServer::Counters& counters) const {
    counters.unreachablePort = port.get();
    counters.unreachableHost = host.get();
    counters.unreachableTooBig = tooBig.get();
    counters.unreachableOther = other.get();
    counters.unreachableUnsolicited = unsolicited.get();
}
