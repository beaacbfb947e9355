// Uses the installed headers and libraries the way a host application does:
// two peer-mode servers on loopback exchange one datagram.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>

#include <dravik/UDPServer.h>

namespace {

class Counter : public UDPServerDelegate {
public:
    void messageReceived(const char* data, std::uint64_t size) override {
        if (std::string(data, size) == "hello") ++received;
    }
    std::atomic<int> received{0};
};

}  // namespace

int main() {
    try {
        UDPServer("localhost", 9, 0);
        std::puts("consumer: a host name was accepted");
        return 1;
    } catch (const std::system_error&) {
    }

    Counter counter;
    const int firstPort = 47311, secondPort = 47312;
    UDPServer first("127.0.0.1", secondPort, firstPort);
    UDPServer second("127.0.0.1", firstPort, secondPort);
    second.setDelegate(&counter);
    first.start();
    second.start();
    if (first.send("hello", 5) != UDPServer::Ok) {
        std::puts("consumer: send refused");
        return 1;
    }
    for (int i = 0; i < 500 && counter.received == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::puts(counter.received == 1 ? "consumer: ok" : "consumer: datagram not delivered");
    return counter.received == 1 ? 0 : 1;
}
