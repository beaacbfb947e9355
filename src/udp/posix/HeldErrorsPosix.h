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
// errno on failure): again if it was interrupted, and again if it reported a
// held error, since under a storm of reports a new one may be held by the
// next try. "Connection refused" is never a send's own failure, so it is
// tried past as often as kMostHeldRefusals times in a row; the other held
// errors may be (no route, no permission), so those get two more tries.
// Except "message too long": a send refused as too big for the path queues a
// report of its own, which a second try would double, so a held one of those
// (the network's word on an earlier IPv4 datagram) costs this one send.
constexpr int kMostHeldRefusals = 64;
constexpr int kMostOtherHeldErrors = 2;

template <typename Call>
auto sendPastHeldError(Call call) -> decltype(call()) {
    int held = 0;
    for (;;) {
        const auto result = call();
        if (result >= 0) return result;
        if (errno == EINTR) continue;
        const int most = errno == ECONNREFUSED ? kMostHeldRefusals : kMostOtherHeldErrors;
        if (held >= most || errno == EMSGSIZE || !heldErrorOf(errno)) return result;
        ++held;
    }
}
