#pragma once

#include <dravik/UDPServer.h>

#include <system_error>

#include "udp/NativeSocket.h"
#include "udp/ReceiveBatch.h"

// What a server asks of every worker's socket beyond binding: its sends'
// traffic class, hop limit and fragmentation, and whether the system tells
// each datagram's traffic class, hop limit and receive time.
struct SocketOptions {
    int trafficClass = -1;  // 0..255; -1: the system's default
    int hopLimit = -1;      // 1..255; -1: the system's default
    UDPServer::Fragmentation fragmentation = UDPServer::Fragmentation::SystemDefault;
    bool receiveInfo = false;

    bool isDefault() const {
        return trafficClass < 0 && hopLimit < 0 &&
               fragmentation == UDPServer::Fragmentation::SystemDefault && !receiveInfo;
    }
};

// Sets `options` on the socket, for IPv4 and, on an IPv6 socket, for IPv6
// too (a dual-stack socket sends and receives both); sets `error` to the
// first setting the system refuses. Where the platform lacks a setting, it
// is left as the system has it. Platform-specific.
void applyOptions(ServerSocket& socket, const SocketOptions& options, std::error_code& error);

// Asks the system to report what it learns of the socket's destinations
// (Linux: the error queue, for IPv4 and IPv6); nothing where it reports them
// anyway or never. Platform-specific.
void enableDestinationErrors(ServerSocket& socket);

// Fills `info`'s traffic class, hop limit, receive time and interface index
// from what the system told with the datagram; the rest stays unknown.
// Platform-specific.
void readNetworkFacts(const ReceiveBatch::Datagram& datagram, UDPServer::DatagramInfo& info);
