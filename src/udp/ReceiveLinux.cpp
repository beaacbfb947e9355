// Linux: wait for the socket to become readable, then take up to a batch of
// datagrams with one recvmmsg call.
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include <asio/error.hpp>

#include "udp/Internals.h"

void UDPServer::Internals::armWait(UDPServer& server) {
    std::lock_guard<std::mutex> lock(socketMutex);
    socket.async_wait(asio::socket_base::wait_read, [this, &server](const std::error_code& error) {
        receivePending = false;
        batch.clear();
        if (error) {
            ReceiveBatch::Slot& failed = batch.slot(0);
            failed.error = error;
            failed.size = 0;
            batch.commit();
        } else {
            takeBatch();
        }
        server.receive();
    });
    receivePending = true;
}

void UDPServer::Internals::takeBatch() {
    const std::size_t first = batch.filled();
    const std::size_t wanted = ReceiveBatch::kSlots - first;
    std::array<mmsghdr, ReceiveBatch::kSlots> headers{};
    std::array<iovec, ReceiveBatch::kSlots> vectors{};
    for (std::size_t i = 0; i < wanted; ++i) {
        ReceiveBatch::Slot& slot = batch.slot(first + i);
        vectors[i] = {slot.bytes, ReceiveBatch::kSlotSize};
        msghdr& header = headers[i].msg_hdr;
        header.msg_name = slot.sender.data();
        header.msg_namelen = static_cast<socklen_t>(slot.sender.capacity());
        header.msg_iov = &vectors[i];
        header.msg_iovlen = 1;
    }
    int taken;
    do {
        // A datagram longer than its slot is cut to the slot's size.
        taken = ::recvmmsg(socket.native_handle(), headers.data(), static_cast<unsigned>(wanted),
                           MSG_DONTWAIT, nullptr);
    } while (taken < 0 && errno == EINTR);
    if (taken < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        ReceiveBatch::Slot& failed = batch.slot(first);
        failed.error = std::error_code(errno, asio::error::get_system_category());
        failed.size = 0;
        batch.commit();
        return;
    }
    for (int i = 0; i < taken; ++i) {
        ReceiveBatch::Slot& slot = batch.slot(first + static_cast<std::size_t>(i));
        if (slot.error) slot.error.clear();
        slot.size = headers[static_cast<std::size_t>(i)].msg_len;
        slot.sender.resize(headers[static_cast<std::size_t>(i)].msg_hdr.msg_namelen);
        batch.commit();
    }
}
