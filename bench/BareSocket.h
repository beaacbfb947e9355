#pragma once

#include <cstddef>
#include <string>
#include <utility>

// A plain blocking POSIX UDP socket on 127.0.0.1: the baseline the library is
// measured against.
class BareSocket {
public:
    explicit BareSocket(int port = 0);
    ~BareSocket();
    BareSocket(const BareSocket&) = delete;
    BareSocket& operator=(const BareSocket&) = delete;

    int port() const { return boundPort; }
    int descriptor() const { return fd; }
    void sendTo(int port, const char* data, std::size_t size) const;
    // Sends `count` (at most 32) copies of the datagram with one sendmmsg
    // call, which may take fewer; returns how many it took.
    int sendManyTo(int port, const char* data, std::size_t size, int count) const;
    // Sends `count` datagrams of `segment` bytes each (the bytes at `data`,
    // count x segment of them) as one train, with one segmented sendmsg.
    void sendTrain(int port, const char* data, std::size_t segment, int count) const;
    // Blocks for the next datagram, or until the receive time-out (if set)
    // passes; returns its size, or -1 on time-out.
    long receive(char* buffer, std::size_t capacity) const;
    void setReceiveTimeout(int milliseconds) const;
    // Blocks for at least one datagram, then takes up to `count` (at most
    // 32) with one recvmmsg call into `slots` of 1,024 bytes each; returns
    // how many, or -1 on time-out.
    int receiveMany(char (*slots)[1024], int count) const;

private:
    int fd;
    int boundPort;
};

// A port on 127.0.0.1 (and so on 0.0.0.0) that was free a moment ago; two
// distinct ones.
int freePort();
std::pair<int, int> twoFreePorts();

// CPU time the calling thread has used, in nanoseconds.
long long threadCpuNanos();
