#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

namespace dravik_test {

// A plain blocking UDP socket on loopback, the other end of a server under
// test. Bound to `port` (0: an ephemeral one) of `address` ("127.0.0.1" or
// "::1").
class PeerSocket {
public:
    explicit PeerSocket(const std::string& address = "127.0.0.1", int port = 0);

    int port() const;
    std::string address() const;
    // To `port` on this socket's own address, or on `address`.
    void sendTo(int port, const std::string& bytes, const std::string& address = "");
    // The next datagram, or nothing after `timeout`; its sender in `from`.
    std::optional<std::string> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                       asio::ip::udp::endpoint* from = nullptr);

private:
    asio::io_context context;
    asio::ip::udp::socket socket;
};

// A local UDP port that was free when asked; callers that bind it retry when
// another process took it meanwhile (see onFreePort).
int freeUdpPort();
// Two distinct such ports.
std::pair<int, int> twoFreeUdpPorts();

}  // namespace dravik_test
