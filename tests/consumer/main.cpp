// Uses the installed headers and libraries the way a host application does.
#include <cstdio>
#include <system_error>

#include <dravik/UDPServer.h>

int main() {
    try {
        UDPServer("localhost", 9, 0);
        std::puts("consumer: a host name was accepted");
        return 1;
    } catch (const std::system_error&) {
    }
    UDPServer server("127.0.0.1", 9, 0);
    server.start();
    server.stop();
    std::puts("consumer: ok");
    return 0;
}
