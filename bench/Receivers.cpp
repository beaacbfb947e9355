#include "Receivers.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

LibraryReceiver::LibraryReceiver(Meter& meter, std::uint64_t maxDatagram, bool info,
                                 const char* localAddress)
    : delegate(meter) {
    boundPort = freePort();
    server = std::make_unique<UDPServer>(boundPort, localAddress);
    if (maxDatagram != 0) server->setMaxDatagramSize(maxDatagram);
    if (info) {
        server->setReceiveInfo(true);
        delegate.informed = server.get();
    }
    server->setDelegate(&delegate);
    server->start();
}

LibraryReceiver::~LibraryReceiver() {
    server->stop();
}

BareReceiver::BareReceiver(Meter& meter, Loop kind) : meter(meter), loop(kind) {
    if (kind == Loop::BatchedWithInfo) {
        const int on = 1;
        const int fd = socket.descriptor();
        ::setsockopt(fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof on);
        ::setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
        ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    }
    worker = std::thread([this] {
        if (loop == Loop::BatchedWithInfo) {
            runWithInfo();
        } else if (loop == Loop::Single || loop == Loop::Batched) {
            run();
        } else {
            runPolled();
        }
    });
}

BareReceiver::~BareReceiver() {
    running = false;
    worker.join();
}

void BareReceiver::run() {
    socket.setReceiveTimeout(50);
    static thread_local char slots[32][1024];
    while (running) {
        const int taken = loop == Loop::Batched
                              ? socket.receiveMany(slots, 32)
                              : (socket.receive(slots[0], sizeof slots[0]) >= 0 ? 1 : 0);
        for (int i = 0; i < taken; ++i) meter.delivered();
    }
}

BareTrainReceiver::BareTrainReceiver(Meter& meter) : meter(meter) {
    const int on = 1;
    ::setsockopt(socket.descriptor(), SOL_UDP, UDP_GRO, &on, sizeof on);
    worker = std::thread([this] { run(); });
}

BareTrainReceiver::~BareTrainReceiver() {
    running = false;
    worker.join();
}

void BareTrainReceiver::run() {
    socket.setReceiveTimeout(50);
    static thread_local char train[65536];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    while (running) {
        iovec bytes{train, sizeof train};
        msghdr message{};
        message.msg_iov = &bytes;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t length = ::recvmsg(socket.descriptor(), &message, 0);
        if (length < 0) continue;
        int segment = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
                std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
            }
        }
        const long count = segment > 0 ? (length + segment - 1) / segment : 1;
        for (long i = 0; i < count; ++i) meter.delivered();
    }
}

void BareReceiver::runWithInfo() {
    socket.setReceiveTimeout(50);
    constexpr int kSlots = 32;
    static thread_local char slots[kSlots][1024];
    alignas(cmsghdr) static thread_local char controls[kSlots][256];
    iovec bytes[kSlots];
    mmsghdr headers[kSlots];
    while (running) {
        for (int i = 0; i < kSlots; ++i) {
            bytes[i] = {slots[i], sizeof slots[i]};
            headers[i].msg_hdr = msghdr{};
            headers[i].msg_hdr.msg_iov = &bytes[i];
            headers[i].msg_hdr.msg_iovlen = 1;
            headers[i].msg_hdr.msg_control = controls[i];
            headers[i].msg_hdr.msg_controllen = sizeof controls[i];
        }
        const int taken = ::recvmmsg(socket.descriptor(), headers, kSlots, MSG_WAITFORONE, nullptr);
        for (int i = 0; i < taken; ++i) {
            int facts = 0;
            msghdr& message = headers[i].msg_hdr;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                timespec time;
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    std::memcpy(&time, CMSG_DATA(c), sizeof time);
                    facts += static_cast<int>(time.tv_nsec & 1);
                } else {
                    facts += *CMSG_DATA(c);
                }
            }
            benchmark::DoNotOptimize(facts);
            meter.delivered();
        }
    }
}

// The waits an event loop makes, each with a 50 ms time-out so the loop sees
// that it is to end.
void BareReceiver::runPolled() {
    const int fd = socket.descriptor();
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    const bool edge = loop == Loop::EdgeOneShotUntilEmpty;
    epoll_event interest{};
    interest.events = EPOLLIN | (edge ? EPOLLET | EPOLLONESHOT : 0u);
    ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &interest);
    static thread_local char slots[32][1024];
    mmsghdr headers[32];
    iovec vectors[32];
    sockaddr_in senders[32];
    while (running) {
        epoll_event ready;
        if (::epoll_wait(poller, &ready, 1, 50) != 1) continue;
        int taken;
        do {
            for (int i = 0; i < 32; ++i) {
                vectors[i] = {slots[i], sizeof slots[i]};
                headers[i].msg_hdr = msghdr{};
                headers[i].msg_hdr.msg_name = &senders[i];
                headers[i].msg_hdr.msg_namelen = sizeof senders[i];
                headers[i].msg_hdr.msg_iov = &vectors[i];
                headers[i].msg_hdr.msg_iovlen = 1;
            }
            taken = ::recvmmsg(fd, headers, 32, MSG_DONTWAIT, nullptr);
            for (int i = 0; i < taken; ++i) meter.delivered();
        } while (taken > 0 && loop != Loop::LevelOncePerWake);
        if (edge) ::epoll_ctl(poller, EPOLL_CTL_MOD, fd, &interest);
    }
    ::close(poller);
}
