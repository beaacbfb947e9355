#pragma once

#include <dravik/UDPServer.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "udp/Addressing.h"

// The server's private record. The event loop is declared before the socket,
// so the socket is closed first and the loop then discards pending handlers.
// Not part of the exported API, though it is nested in an exported class.
struct DRAVIK_NO_EXPORT UDPServer::Internals {
    static constexpr std::size_t kBufferSize = 1024;

    // Receive-only mode.
    explicit Internals(int localPort);
    // Peer mode.
    Internals(const std::string& remoteAddress, int remotePort, int localPort);

    const std::string remoteHost;
    const int remotePort;
    const int localPort;
    asio::io_context ioContext{1};  // run by the worker alone
    asio::ip::udp::socket socket;
    const asio::ip::udp::endpoint remoteEndpoint;
    asio::ip::udp::endpoint senderEndpoint;  // worker thread only
    std::array<char, kBufferSize> receiveBuffer;  // worker thread only
    std::array<char, kBufferSize> messageBuffer;  // worker thread only
    std::uint64_t messageSize = 0;  // worker thread only
    std::atomic<UDPServerDelegate*> delegate{nullptr};
    std::unique_ptr<std::thread> thread;
    const bool receiveOnly;
    std::atomic<bool> running{false};

    // Held only while an operation is being started on `socket`, which asio
    // does not allow from two threads at once. Never held while logging.
    std::mutex socketMutex;
    // Whether a receive is outstanding; worker thread only (successive
    // workers are ordered by join and thread start).
    bool receiveArmed = false;
    // Texts fixed at construction, used by the log lines.
    const std::string remoteText;
    const std::string receivedPrefix;
    const std::string sendingLine;
    // The "Received message" line, rebuilt in place for every datagram so it
    // keeps its capacity; worker thread only.
    std::string receivedLine;

    // Judges a completed receive: logs and returns false for an error, a
    // foreign sender or an empty datagram; otherwise copies it into
    // messageBuffer and returns true.
    bool acceptReceived(const std::error_code& error, std::size_t size);

    // Logs the outcome of a send (worker thread).
    void reportSent(const std::error_code& error, std::size_t size) const;

    // Logs an exception that left a completion handler; never throws.
    void reportWorkerError(const char* what) noexcept;

private:
    Internals(std::string remoteHost, int remotePort, int localPort,
              const ParsedAddress& remote, bool receiveOnly);
};
