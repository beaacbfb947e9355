#include <cstring>

#include <asio/buffer.hpp>

#include "host/Logger.h"
#include "udp/Internals.h"

void UDPServer::receive() {
    Internals& in = *internals;
    std::lock_guard<std::mutex> lock(in.socketMutex);
    in.socket.async_receive_from(
        asio::buffer(in.receiveBuffer), in.senderEndpoint,
        [this](const std::error_code& error, std::size_t size) {
            internals->receiveArmed = false;
            if (internals->acceptReceived(error, size)) {
                reportMessage(internals->messageBuffer.data(), internals->messageSize);
            }
            receive();
        });
    in.receiveArmed = true;
}

bool UDPServer::Internals::acceptReceived(const std::error_code& error, std::size_t size) {
    if (error) {
        velmora::Logger::error("[UDPServer] Error receiving data on port " +
                               std::to_string(localPort) + ": " + error.message());
        return false;
    }
    // The sender is judged before the length: an empty datagram from a
    // foreign sender is reported as foreign.
    if (!receiveOnly && senderEndpoint != remoteEndpoint) {
        velmora::Logger::error("[UDPServer] Remote sender endpoint " + endpointText(senderEndpoint) +
                               " is different than specified: " + remoteText);
        return false;
    }
    if (size == 0) {
        velmora::Logger::error("[UDPServer] Zero bytes received");
        return false;
    }
    messageSize = size;
    std::memcpy(messageBuffer.data(), receiveBuffer.data(), size);
    return true;
}

void UDPServer::reportMessage(const char* data, std::uint64_t size) {
    Internals& in = *internals;
    in.receivedLine.assign(in.receivedPrefix);
    in.receivedLine.append(data, static_cast<std::size_t>(size));
    velmora::Logger::debug(in.receivedLine);
    if (UDPServerDelegate* delegate = in.delegate.load(std::memory_order_acquire)) {
        delegate->messageReceived(data, size);
    }
}
