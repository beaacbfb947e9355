#include "udp/SenderGate.h"

#include "host/Logger.h"
#include "udp/Addressing.h"
#include "udp/SocketFilter.h"
#include "udp/SystemErrors.h"

namespace {

std::int64_t nanoseconds(std::chrono::steady_clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

}  // namespace

SenderGate::SenderGate(ErrorLines& lines, int localPort, std::size_t readers)
    : lines(lines), portText(std::to_string(localPort)), rules(readers) {}

void SenderGate::logRefusal(const char* before, const asio::ip::udp::endpoint& sender,
                            const char* after) {
    if (const auto line = lines.mayLog()) {
        std::string text = before;
        appendPeerText(text, sender);
        text += after;
        text += portText;
        velmora::Logger::error(text);
    }
}

bool SenderGate::allows(std::size_t reader, const asio::ip::udp::endpoint& sender,
                        ReceiveCounters& counters) {
    const Rules* now = rules.read(reader);
    if (now == nullptr || !now->policy) return true;
    if (now->policy->allows(SourceAddress::of(sender.address()))) return true;
    counters.rejectedByPolicy.add();
    logRefusal("[UDPServer] Sender ", sender, " refused by the sender policy on port ");
    return false;
}

// A limiter's outcome, counted: true if the datagram or reply may pass.
bool SenderGate::passes(RateLimiter* limiter, const asio::ip::udp::endpoint& sender,
                        std::chrono::steady_clock::time_point now, OwnedCount& refused,
                        OwnedCount& wouldRefuse) {
    if (limiter == nullptr) return true;
    switch (limiter->take(SourceAddress::of(sender.address()), nanoseconds(now))) {
    case RateLimiter::Outcome::Pass: return true;
    case RateLimiter::Outcome::WouldRefuse: wouldRefuse.add(); return true;
    case RateLimiter::Outcome::Refuse: break;
    }
    refused.add();
    return false;
}

bool SenderGate::withinDeliveryLimit(std::size_t reader, const asio::ip::udp::endpoint& sender,
                                     std::chrono::steady_clock::time_point now,
                                     ReceiveCounters& counters) {
    const Rules* in = rules.read(reader);
    if (in == nullptr ||
        passes(in->deliveries.get(), sender, now, counters.rejectedByLimit,
               counters.wouldLimitDeliveries)) {
        return true;
    }
    logRefusal("[UDPServer] Sender ", sender, " over the delivery limit of its prefix on port ");
    return false;
}

bool SenderGate::withinReplyLimit(std::size_t reader, const asio::ip::udp::endpoint& sender,
                                  std::chrono::steady_clock::time_point now,
                                  ReceiveCounters& counters) {
    const Rules* in = rules.read(reader);
    if (in == nullptr || passes(in->replies.get(), sender, now, counters.repliesRateLimited,
                                counters.wouldLimitReplies)) {
        return true;
    }
    logRefusal("[UDPServer] Error: Reply to ", sender,
               " refused: its prefix is over the reply limit on port ");
    return false;
}

template <typename Change>
void SenderGate::replaceRules(Change change) {
    auto next = std::make_unique<Rules>();
    if (const Rules* now = rules.peek()) *next = *now;
    change(*next);
    if (!next->policy && !next->deliveries && !next->replies) next.reset();
    rules.publish(std::move(next));
}

// The filters go on first, so that no socket is left with another filter
// than the policy in force.
void SenderGate::setPolicy(std::shared_ptr<const PolicyTable> policy,
                           std::vector<FilterInstruction> filter,
                           const std::vector<ServerSocket::native_handle_type>& sockets) {
    std::lock_guard<std::mutex> lock(settings);
    if (!(filter.empty() && program.empty())) {
        std::error_code error;
        std::size_t done = 0;
        for (; done < sockets.size(); ++done) {
            setSocketFilter(sockets[done], filter, error);
            if (error) break;
        }
        if (error) {
            std::error_code ignored;
            for (std::size_t i = 0; i < done; ++i) setSocketFilter(sockets[i], program, ignored);
            throw std::system_error(standardCode(error), "the system refused the sender filter");
        }
        program = std::move(filter);
        lines.noteSystemFilters(!program.empty());
    }
    replaceRules([&](Rules& next) { next.policy = std::move(policy); });
}

std::shared_ptr<RateLimiter> SenderGate::limiterFor(const UDPServer::RateLimit& limit) const {
    RateLimiter::check(limit);
    if (limit.perSecond == 0) return nullptr;
    return std::make_shared<RateLimiter>(limit, hash);
}

void SenderGate::setDeliveryLimit(const UDPServer::RateLimit& limit) {
    auto limiter = limiterFor(limit);
    std::lock_guard<std::mutex> lock(settings);
    replaceRules([&](Rules& next) { next.deliveries = std::move(limiter); });
}

void SenderGate::setReplyLimit(const UDPServer::RateLimit& limit) {
    auto limiter = limiterFor(limit);
    std::lock_guard<std::mutex> lock(settings);
    replaceRules([&](Rules& next) { next.replies = std::move(limiter); });
}

void SenderGate::filterNewSocket(ServerSocket::native_handle_type socket,
                                 std::error_code& error) const {
    error.clear();
    if (!program.empty()) setSocketFilter(socket, program, error);
}
