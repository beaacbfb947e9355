#include "Receivers.h"

LibraryReceiver::LibraryReceiver(Meter& meter) : delegate(meter) {
    boundPort = freePort();
    server = std::make_unique<UDPServer>(boundPort);
    server->setDelegate(&delegate);
    server->start();
}

LibraryReceiver::~LibraryReceiver() {
    server->stop();
}

BareReceiver::BareReceiver(Meter& meter, bool batched)
    : meter(meter), batched(batched), worker([this] { run(); }) {}

BareReceiver::~BareReceiver() {
    running = false;
    worker.join();
}

void BareReceiver::run() {
    socket.setReceiveTimeout(50);
    static thread_local char slots[32][1024];
    while (running) {
        const int taken = batched ? socket.receiveMany(slots, 32)
                                  : (socket.receive(slots[0], sizeof slots[0]) >= 0 ? 1 : 0);
        for (int i = 0; i < taken; ++i) meter.delivered();
    }
}
