#pragma once

#include <cerrno>

// Whether a call on the socket failed with an error the system held for it
// from an earlier datagram's destination. With IP_RECVERR the system marks
// the socket with each destination error it queues, and the next receive or
// send on it reports that mark (and clears it) instead of doing its work:
// such a receive took nothing and such a send sent nothing, so both are made
// again once. The error itself waits in the error queue.
inline bool heldErrorOf(int error) {
    switch (error) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENONET:
    case EACCES:
    case EMSGSIZE:
    case EPROTO:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
    case ETIMEDOUT:
        return true;
    default:
        return false;
    }
}

// Makes the send system call `call` (returning what it returns, -1 with
// errno on failure): again if it was interrupted, and once more if it
// reported a held error. Except "message too long": a send refused as too
// big for the path queues a report of its own, which a second try would
// double, so a held one of those (the network's word on an earlier IPv4
// datagram) costs this one send.
template <typename Call>
auto sendPastHeldError(Call call) -> decltype(call()) {
    bool retried = false;
    for (;;) {
        const auto result = call();
        if (result >= 0) return result;
        if (errno == EINTR) continue;
        if (retried || errno == EMSGSIZE || !heldErrorOf(errno)) return result;
        retried = true;
    }
}
