#include "support/PeerSocket.h"

#include <thread>
#include <vector>

#include <asio/buffer.hpp>

namespace dravik_test {

PeerSocket::PeerSocket(const std::string& address, int port)
    : socket(context, asio::ip::udp::endpoint(asio::ip::make_address(address),
                                              static_cast<unsigned short>(port))) {
    socket.non_blocking(true);
}

int PeerSocket::port() const {
    return socket.local_endpoint().port();
}

std::string PeerSocket::address() const {
    return socket.local_endpoint().address().to_string();
}

void PeerSocket::sendTo(int port, const std::string& bytes, const std::string& address) {
    const asio::ip::udp::endpoint target(
        address.empty() ? socket.local_endpoint().address() : asio::ip::make_address(address),
        static_cast<unsigned short>(port));
    socket.non_blocking(false);
    socket.send_to(asio::buffer(bytes), target);
    socket.non_blocking(true);
}

std::optional<std::string> PeerSocket::receive(std::chrono::milliseconds timeout,
                                               asio::ip::udp::endpoint* from) {
    std::vector<char> buffer(65536);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        asio::ip::udp::endpoint sender;
        std::error_code error;
        const std::size_t size = socket.receive_from(asio::buffer(buffer), sender, 0, error);
        if (!error) {
            if (from) *from = sender;
            return std::string(buffer.data(), size);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

int freeUdpPort() {
    return twoFreeUdpPorts().first;
}

std::pair<int, int> twoFreeUdpPorts() {
    asio::io_context context;
    const asio::ip::udp::endpoint any(asio::ip::udp::v4(), 0);
    asio::ip::udp::socket first(context, any), second(context, any);
    return {first.local_endpoint().port(), second.local_endpoint().port()};
}

}  // namespace dravik_test
