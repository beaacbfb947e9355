#include "EchoGuard.h"

namespace dravik_app {

namespace {

bool answersEverything(int port) {
    for (const int service : {7, 9, 13, 17, 19, 37}) {
        if (port == service) return true;
    }
    return false;
}

}  // namespace

EchoGuard::Verdict EchoGuard::judge(const UDPServer::Endpoint& sender) {
    if (sender.port() == ownPort) {
        ++refused[FromOwnPort];
        return FromOwnPort;
    }
    if (answersEverything(sender.port())) {
        ++refused[FromAnsweringService];
        return FromAnsweringService;
    }
    return Answer;
}

}  // namespace dravik_app
