// What the server asks of the network for its datagrams (traffic class, hop
// limit, fragmentation), what it learns of each datagram it receives, and
// who hears of destinations that cannot be reached.
#include <algorithm>
#include <cstring>

#include "udp/Internals.h"
#include "udp/SystemErrors.h"

UDPServer::UnreachableListener::~UnreachableListener() = default;

namespace {

void checkRange(int value, int low, int high, const char* what) {
    if (value == -1 || (value >= low && value <= high)) return;
    throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                            std::string(what) + " " + std::to_string(value) + " is outside " +
                                std::to_string(low) + " to " + std::to_string(high) +
                                " (or -1)");
}

}  // namespace

// Every socket gets the new options or, should the system refuse them on
// one, every socket gets the old ones back.
template <typename Change>
void UDPServer::Internals::changeOptions(const char* what, Change change) {
    const auto lock = lockWhileStopped(what);
    SocketOptions wanted = options;
    change(wanted);
    const int count = workerCount.load();
    std::error_code error;
    for (int i = 0; i < count && !error; ++i) applyOptions(workers[i]->socket(), wanted, error);
    if (error) {
        std::error_code ignored;
        for (int i = 0; i < count; ++i) applyOptions(workers[i]->socket(), options, ignored);
        throw std::system_error(standardCode(error), what);
    }
    options = wanted;
}

void UDPServer::setTrafficClass(int trafficClass) {
    checkRange(trafficClass, 0, 255, "traffic class");
    internals->changeOptions("the traffic class",
                             [&](SocketOptions& o) { o.trafficClass = trafficClass; });
}

int UDPServer::trafficClass() const {
    std::lock_guard<std::mutex> lock(internals->lifecycleMutex);
    return internals->options.trafficClass;
}

void UDPServer::setHopLimit(int hopLimit) {
    checkRange(hopLimit, 1, 255, "hop limit");
    internals->changeOptions("the hop limit", [&](SocketOptions& o) { o.hopLimit = hopLimit; });
}

int UDPServer::hopLimit() const {
    std::lock_guard<std::mutex> lock(internals->lifecycleMutex);
    return internals->options.hopLimit;
}

void UDPServer::setFragmentation(Fragmentation fragmentation) {
    const int value = static_cast<int>(fragmentation);
    if (value < 0 || value > static_cast<int>(Fragmentation::Probe)) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "fragmentation " + std::to_string(value) + " is unknown");
    }
    internals->changeOptions("the fragmentation",
                             [&](SocketOptions& o) { o.fragmentation = fragmentation; });
}

UDPServer::Fragmentation UDPServer::fragmentation() const {
    std::lock_guard<std::mutex> lock(internals->lifecycleMutex);
    return internals->options.fragmentation;
}

int UDPServer::withEcn(int ecn) const {
    const int current = trafficClass();
    return ((current < 0 ? 0 : current) & 0xFC) | (ecn & 0x3);
}

void UDPServer::setReceiveInfo(bool on) {
    internals->changeOptions("the receive information",
                             [&](SocketOptions& o) { o.receiveInfo = on; });
}

bool UDPServer::receiveInfo() const {
    std::lock_guard<std::mutex> lock(internals->lifecycleMutex);
    return internals->options.receiveInfo;
}

// The caller's struct may be shorter (an older header) or longer (a newer
// one, whose fields beyond this one's stay as the caller set them).
bool UDPServer::readDatagramInfo(DatagramInfo& info) const {
    Worker* worker = internals->deliveringHere();
    if (worker == nullptr) return false;
    DatagramInfo known;
    readNetworkFacts(worker->delivered(), known);
    if (known.interfaceIndex != 0) {
        const InterfaceName& name = worker->interfaceNames().nameOf(known.interfaceIndex);
        std::memcpy(known.interfaceName, name.text, sizeof known.interfaceName);
    }
    const std::uint64_t fields = std::min<std::uint64_t>(info.size, sizeof known);
    if (fields > sizeof known.size) {
        std::memcpy(reinterpret_cast<char*>(&info) + sizeof known.size,
                    reinterpret_cast<const char*>(&known) + sizeof known.size,
                    fields - sizeof known.size);
    }
    return true;
}

void UDPServer::setUnreachableListener(UnreachableListener* listener) {
    internals->unreachables.setListener(listener);
}

UDPServer::UnreachableListener* UDPServer::unreachableListener() const {
    return internals->unreachables.listener();
}
