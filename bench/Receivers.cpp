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

BareReceiver::BareReceiver(Meter& meter) : meter(meter), worker([this] { run(); }) {}

BareReceiver::~BareReceiver() {
    running = false;
    worker.join();
}

void BareReceiver::run() {
    socket.setReceiveTimeout(50);
    char buffer[1024];
    while (running) {
        if (socket.receive(buffer, sizeof buffer) >= 0) meter.delivered();
    }
}

BareBatchReceiver::BareBatchReceiver(Meter& meter) : meter(meter), worker([this] { run(); }) {}

BareBatchReceiver::~BareBatchReceiver() {
    running = false;
    worker.join();
}

void BareBatchReceiver::run() {
    socket.setReceiveTimeout(50);
    static thread_local char slots[32][1024];
    while (running) {
        const int taken = socket.receiveMany(slots, 32);
        for (int i = 0; i < taken; ++i) meter.delivered();
    }
}
