#include "udp/linux/ReceiveHeadersLinux.h"

#include <netinet/in.h>
#include <netinet/udp.h>

#include <algorithm>
#include <cstring>

#include "udp/ControlMessages.h"

namespace {

// The size of a train's datagrams, as the system says with the train; 0 for
// a datagram of its own.
std::size_t segmentSizeOf(const msghdr& header) {
    const char* data = findControl(static_cast<const char*>(header.msg_control),
                                   header.msg_controllen, SOL_UDP, UDP_GRO, sizeof(int));
    if (data == nullptr) return 0;
    int size = 0;
    std::memcpy(&size, data, sizeof size);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

}  // namespace

std::size_t ReceiveHeaders::prepare(ReceiveBatch& batch) {
    const std::size_t count = batch.areaCount();
    const Target now{batch.area(0), batch.areaSize(), count, &batch.receipt(0)};
    if (now == target) {
        for (std::size_t i = 0; i < count; ++i) {
            msghdr& header = entries[i].msg_hdr;
            header.msg_namelen = static_cast<socklen_t>(batch.receipt(i).sender.capacity());
            header.msg_controllen = ReceiveBatch::kControlSize;
        }
        return count;
    }
    target = now;
    for (std::size_t i = 0; i < count; ++i) {
        vectors[i] = {batch.area(i), batch.areaSize()};
        asio::ip::udp::endpoint& sender = batch.receipt(i).sender;
        // Only the fields asked for are set; the system writes the rest.
        msghdr& header = entries[i].msg_hdr;
        header = msghdr{};
        header.msg_name = sender.data();
        header.msg_namelen = static_cast<socklen_t>(sender.capacity());
        header.msg_iov = &vectors[i];
        header.msg_iovlen = 1;
        header.msg_control = batch.control(i);
        header.msg_controllen = ReceiveBatch::kControlSize;
    }
    return count;
}

void ReceiveHeaders::record(ReceiveBatch& batch, std::size_t taken) {
    taken = std::min(taken, batch.areaCount());
    for (std::size_t i = 0; i < taken; ++i) {
        msghdr& header = entries[i].msg_hdr;
        header.msg_controllen = std::min<std::size_t>(header.msg_controllen,
                                                      ReceiveBatch::kControlSize);
        ReceiveBatch::Receipt& receipt = batch.receipt(i);
        receipt.length = entries[i].msg_len;
        receipt.segment = batch.takesTrains() ? segmentSizeOf(header) : 0;
        if (receipt.error) receipt.error.clear();
        if (batch.takesTrains() && receipt.segment == 0 && (header.msg_flags & MSG_CTRUNC) != 0) {
            receipt.error = ReceiveFault::ControlCutShort;
        }
        receipt.sender.resize(std::min<std::size_t>(header.msg_namelen, receipt.sender.capacity()));
        receipt.controlSize = header.msg_controllen;
        batch.commit();
    }
}

bool ReceiveHeaders::dropCount(std::size_t index, std::uint32_t& count) const {
    const msghdr& header = entries[index].msg_hdr;
    const char* data = findControl(static_cast<const char*>(header.msg_control),
                                   header.msg_controllen, SOL_SOCKET, SO_RXQ_OVFL, sizeof count);
    if (data == nullptr) return false;
    std::memcpy(&count, data, sizeof count);
    return true;
}
