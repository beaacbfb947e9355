#include "BareSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <system_error>

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

BareSocket::BareSocket(int port) : fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
    if (fd < 0) fail("socket");
    sockaddr_in address = loopback(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("bind");
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort = ntohs(address.sin_port);
}

BareSocket::~BareSocket() {
    ::close(fd);
}

void BareSocket::sendTo(int port, const char* data, std::size_t size) const {
    const sockaddr_in target = loopback(port);
    if (::sendto(fd, data, size, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0) {
        fail("sendto");
    }
}

int BareSocket::sendManyTo(int port, const char* data, std::size_t size, int count) const {
    const sockaddr_in target = loopback(port);
    mmsghdr headers[32] = {};
    iovec vector{const_cast<char*>(data), size};
    if (count > 32) count = 32;
    for (int i = 0; i < count; ++i) {
        headers[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&target);
        headers[i].msg_hdr.msg_namelen = sizeof target;
        headers[i].msg_hdr.msg_iov = &vector;
        headers[i].msg_hdr.msg_iovlen = 1;
    }
    const int sent = ::sendmmsg(fd, headers, static_cast<unsigned>(count), 0);
    if (sent < 0) fail("sendmmsg");
    return sent;
}

void BareSocket::sendTrain(int port, const char* data, std::size_t segment, int count) const {
    sockaddr_in target = loopback(port);
    iovec bytes{const_cast<char*>(data), segment * static_cast<std::size_t>(count)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr message{};
    message.msg_name = &target;
    message.msg_namelen = sizeof target;
    message.msg_iov = &bytes;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_UDP;
    header->cmsg_type = UDP_SEGMENT;
    header->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto size = static_cast<std::uint16_t>(segment);
    std::memcpy(CMSG_DATA(header), &size, sizeof size);
    if (::sendmsg(fd, &message, 0) < 0) fail("sendmsg");
}

long BareSocket::receive(char* buffer, std::size_t capacity) const {
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    return ::recvfrom(fd, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&sender), &length);
}

int BareSocket::receiveMany(char (*slots)[1024], int count) const {
    mmsghdr headers[32] = {};
    iovec vectors[32];
    sockaddr_in senders[32];
    if (count > 32) count = 32;
    for (int i = 0; i < count; ++i) {
        vectors[i] = {slots[i], sizeof slots[i]};
        headers[i].msg_hdr.msg_name = &senders[i];
        headers[i].msg_hdr.msg_namelen = sizeof senders[i];
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
    }
    return ::recvmmsg(fd, headers, static_cast<unsigned>(count), MSG_WAITFORONE, nullptr);
}

void BareSocket::setReceiveTimeout(int milliseconds) const {
    timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

std::pair<int, int> twoFreePorts() {
    const BareSocket first, second;
    return {first.port(), second.port()};
}

int freePort() {
    return twoFreePorts().first;
}

long long threadCpuNanos() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}
