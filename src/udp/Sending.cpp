#include <vector>

#include <asio/buffer.hpp>

#include "host/Logger.h"
#include "udp/Internals.h"

UDPServer::Error UDPServer::send(const char* data, std::uint64_t size) {
    Internals& in = *internals;
    if (in.receiveOnly) {
        velmora::Logger::error("[UDPServer] Error: Trying to send on receive-only UDP server");
        return ReceiveOnly;
    }
    if (!in.running.load()) {
        velmora::Logger::error("[UDPServer] Error: Trying to send on a stopped UDP server");
        return NotRunning;
    }
    if (in.remoteEndpoint.address().is_unspecified()) {
        velmora::Logger::error("[UDPServer] Error: No remote endpoint available to send data");
        return NoRemoteEndpoint;
    }
    velmora::Logger::debug(in.sendingLine);

    // The pending operation owns a copy of the bytes, so the caller may free or
    // reuse its buffer at once; a completion discarded unrun frees it too.
    std::vector<char> payload(data, data + size);
    const asio::const_buffer bytes(payload.data(), payload.size());
    std::lock_guard<std::mutex> lock(in.socketMutex);
    in.socket.async_send_to(bytes, in.remoteEndpoint,
                            [this, payload = std::move(payload)](const std::error_code& error,
                                                                 std::size_t sent) {
                                internals->reportSent(error, sent);
                            });
    return Ok;
}

void UDPServer::Internals::reportSent(const std::error_code& error, std::size_t size) const {
    if (error) {
        velmora::Logger::error("[UDPServer] Error sending data on port " + std::to_string(localPort) +
                               ": " + error.message());
    } else {
        velmora::Logger::debug("[UDPServer] Sent " + std::to_string(size) + " bytes to " +
                               remoteText);
    }
}
