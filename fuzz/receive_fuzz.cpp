// libFuzzer target for the receive batch: arbitrary results of one recvmmsg
// call (lengths past the areas as MSG_TRUNC reports them, segment sizes,
// control data well formed or not, cut short or not, sender lengths, the
// facts told with a datagram) for a
// batch of any layout, recorded and then delivered. Every delivered datagram
// must lie within its area and hold the bytes the "system" put there; the
// datagrams of an area must follow a simple model of how a train splits.
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "udp/ReceiveBatch.h"
#include "udp/linux/ReceiveHeadersLinux.h"
#include "udp/SocketOptions.h"

namespace {

// Reads the input front to back, little-endian; zeros once it runs out.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
    template <typename T>
    T take() {
        std::uint8_t bytes[sizeof(T)] = {};
        const std::size_t n = std::min(sizeof(T), size - at);
        std::memcpy(bytes, data + at, n);
        at += n;
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    std::size_t takeBytes(char* into, std::size_t most) {
        const std::size_t n = std::min(most, size - at);
        std::memcpy(into, data + at, n);
        at += n;
        return n;
    }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
};

char patternByte(std::size_t area, std::size_t offset) {
    return static_cast<char>(area * 131 + offset * 7 + offset / 251);
}

#define CHECK(condition)                                                        \
    do {                                                                        \
        if (!(condition)) {                                                     \
            std::fprintf(stderr, "receive_fuzz:%d: %s\n", __LINE__, #condition); \
            std::abort();                                                       \
        }                                                                       \
    } while (false)

// Appends a control message the way the system lays it out.
std::size_t appendControl(char* control, std::size_t at, int level, int type, const void* data,
                          std::size_t size) {
    if (at + CMSG_SPACE(size) > ReceiveBatch::kControlSize) return at;
    cmsghdr header{};
    header.cmsg_level = level;
    header.cmsg_type = type;
    header.cmsg_len = CMSG_LEN(size);
    std::memcpy(control + at, &header, sizeof header);
    std::memcpy(control + at + CMSG_LEN(0), data, size);
    return at + CMSG_SPACE(size);
}

// What the model knows of an area: its length, and the segment size its
// well-formed control data gave (-1 where the control data was raw bytes).
struct Expected {
    std::size_t length = 0;
    long segment = -1;
    bool cutShort = false;
};

// Plays the system: fills area `index` and its header from the input.
Expected fillArea(Input& in, ReceiveBatch& batch, mmsghdr& entry, std::size_t index) {
    const auto kind = in.take<std::uint8_t>();
    Expected expected;
    expected.length = in.take<std::uint32_t>() % (3 * batch.areaSize() + 1);
    const std::size_t kept = std::min(expected.length, batch.areaSize());
    char* area = batch.area(index);
    for (std::size_t i = 0; i < kept; ++i) area[i] = patternByte(index, i);
    entry.msg_len = static_cast<unsigned>(expected.length);

    msghdr& header = entry.msg_hdr;
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    sender.sin_port = in.take<std::uint16_t>();
    std::memcpy(header.msg_name, &sender, std::min<std::size_t>(sizeof sender, header.msg_namelen));
    header.msg_namelen = in.take<std::uint8_t>();

    char* control = static_cast<char*>(header.msg_control);
    header.msg_flags = (kind & 2) != 0 ? MSG_CTRUNC : 0;
    if ((kind & 1) != 0) {
        std::size_t at = 0;
        if ((kind & 4) != 0) {
            in_pktinfo info{};
            info.ipi_ifindex = in.take<std::int32_t>();
            at = appendControl(control, at, IPPROTO_IP, IP_PKTINFO, &info, sizeof info);
        }
        if ((kind & 8) != 0) {
            const auto drops = in.take<std::uint32_t>();
            at = appendControl(control, at, SOL_SOCKET, SO_RXQ_OVFL, &drops, sizeof drops);
        }
        if ((kind & 32) != 0) {
            const auto tos = in.take<std::uint8_t>();
            const auto ttl = in.take<std::int32_t>();
            at = appendControl(control, at, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
            at = appendControl(control, at, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
        }
        if ((kind & 64) != 0) {
            timespec time{};
            time.tv_sec = in.take<std::int32_t>();
            time.tv_nsec = in.take<std::int32_t>();
            at = appendControl(control, at, SOL_SOCKET, SCM_TIMESTAMPNS, &time, sizeof time);
        }
        const int segment = in.take<std::int32_t>() % 70000;
        if ((kind & 16) == 0) {
            at = appendControl(control, at, SOL_UDP, UDP_GRO, &segment, sizeof segment);
        }
        header.msg_controllen = at;
        expected.segment = (kind & 16) == 0 && segment > 0 ? segment : 0;
    } else {
        in.takeBytes(control, ReceiveBatch::kControlSize);
        header.msg_controllen = in.take<std::uint8_t>();  // may claim more than the room
    }
    expected.cutShort = (kind & 2) != 0;
    return expected;
}

// The model of one area's datagrams, for areas whose control data the model
// understands: a datagram of its own, or a train's datagrams of `segment`
// bytes that start within the area, then one error for those past it.
std::size_t expectedCount(const Expected& e, const ReceiveBatch& batch) {
    const std::size_t segment = batch.takesTrains() ? static_cast<std::size_t>(e.segment) : 0;
    if (batch.takesTrains() && segment == 0 && e.cutShort) return 1;  // an error
    if (segment == 0 || segment >= e.length) return 1;
    const std::size_t all = (e.length + segment - 1) / segment;
    const std::size_t inArea = std::min(all, (batch.areaSize() + segment - 1) / segment);
    return inArea + (all > inArea ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const auto flags = in.take<std::uint8_t>();
    const std::size_t maxDatagram = in.take<std::uint16_t>() % 65535 + 1;
    ReceiveBatch batch;
    batch.setLayout(maxDatagram, (flags & 1) != 0);
    // Two takes through the same headers, as a worker makes one after another:
    // the second finds them pointed at the batch already.
    ReceiveHeaders headers;
    for (int take = 0; take < 2; ++take) {
        batch.clear();
        const std::size_t areas = headers.prepare(batch);
        const std::size_t taken = in.take<std::uint8_t>() % (areas + 1);
        std::vector<Expected> expected;
        for (std::size_t i = 0; i < taken; ++i) {
            expected.push_back(fillArea(in, batch, headers.headers()[i], i));
        }
        headers.record(batch, taken);
        CHECK(batch.filled() == taken);
        std::uint32_t drops = 0;
        if (taken > 0) headers.dropCount(taken - 1, drops);

        // Deliver, checking each datagram against its area.
        std::vector<std::size_t> perArea(areas, 0);
        std::vector<std::size_t> nextOffset(areas, 0);
        std::vector<std::size_t> bytes(areas, 0);
        std::vector<std::size_t> truncated(areas, 0);
        std::size_t area = 0;
        while (const ReceiveBatch::Datagram* d = batch.next()) {
            while (area < taken && d->control != batch.control(area)) ++area;
            CHECK(area < taken);
            CHECK(d->sender == &batch.receipt(area).sender);
            CHECK(d->controlSize <= ReceiveBatch::kControlSize);
            ++perArea[area];
            CHECK(perArea[area] <= batch.areaSize() + 2);
            if (d->error) {
                CHECK(d->size == 0);
                continue;
            }
            const char* start = batch.area(area);
            CHECK(d->bytes >= start && d->bytes <= start + batch.areaSize());
            const auto offset = static_cast<std::size_t>(d->bytes - start);
            CHECK(d->size <= batch.areaSize() - offset && d->size <= maxDatagram);
            CHECK(offset >= nextOffset[area]);
            nextOffset[area] = offset + std::max<std::size_t>(d->size, 1);
            for (std::size_t i = 0; i < d->size; ++i) CHECK(d->bytes[i] == patternByte(area, offset + i));
            bytes[area] += d->size;
            truncated[area] += d->truncated ? 1 : 0;
            readArrival(*d);
            UDPServer::DatagramInfo info;
            readNetworkFacts(*d, info);
            CHECK(info.trafficClass >= -1 && info.trafficClass <= 255);
            CHECK(info.hopLimit >= -1 && info.hopLimit <= 255);
        }
        CHECK(!batch.pending());
        for (std::size_t i = 0; i < taken; ++i) {
            CHECK(perArea[i] >= 1);
            const Expected& e = expected[i];
            if (e.segment < 0) continue;
            CHECK(perArea[i] == expectedCount(e, batch));
            // Whatever fits its area and the largest delivered whole arrives
            // whole: every byte, none cut.
            const std::size_t segment = batch.takesTrains() && e.segment > 0
                                            ? std::min<std::size_t>(e.segment, e.length)
                                            : e.length;
            const bool error = batch.takesTrains() && e.segment == 0 && e.cutShort;
            if (!error && e.length <= batch.areaSize() && segment <= maxDatagram) {
                CHECK(bytes[i] == e.length && truncated[i] == 0);
            }
        }
    }
    return 0;
}
