#pragma once

#include <dravik/UDPServer.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <asio/ip/udp.hpp>

#include "udp/ErrorLines.h"
#include "udp/FilterProgram.h"
#include "udp/KeyedHash.h"
#include "udp/NativeSocket.h"
#include "udp/PolicyTable.h"
#include "udp/Published.h"
#include "udp/RateLimiter.h"
#include "udp/ServerCounters.h"

// Who may send to the server and how much it delivers and answers: the
// sender policy (judged by the workers, and on request by the system's filter
// on every socket) and the limits per prefix on deliveries and on replies.
// The workers read the rules without a lock, each through a reader slot of
// its own (its index); any thread replaces them, and replacements are
// serialised among themselves. Refusals are counted in the worker's counters
// and logged within the error line budget.
class SenderGate {
public:
    SenderGate(ErrorLines& lines, int localPort, std::size_t readers);

    // The worker's judgements; `now` is its batch's time. Each refusal is counted in `counters` and logged.
    bool allows(std::size_t reader, const asio::ip::udp::endpoint& sender,
                ReceiveCounters& counters);
    bool withinDeliveryLimit(std::size_t reader, const asio::ip::udp::endpoint& sender,
                             std::chrono::steady_clock::time_point now, ReceiveCounters& counters);
    bool withinReplyLimit(std::size_t reader, const asio::ip::udp::endpoint& sender,
                          std::chrono::steady_clock::time_point now, ReceiveCounters& counters);
    // The worker's batch is over: it holds no rules until it reads again.
    void release(std::size_t reader) { rules.release(reader); }

    // Replaces the policy (null: none), putting its filter program (empty:
    // none) on each of `sockets`; if the system refuses it on one, the
    // sockets keep the filter they had and this throws, changing nothing.
    void setPolicy(std::shared_ptr<const PolicyTable> policy,
                   std::vector<FilterInstruction> program,
                   const std::vector<ServerSocket::native_handle_type>& sockets);
    // Replaces a limit; a rate of 0 removes it.
    void setDeliveryLimit(const UDPServer::RateLimit& limit);
    void setReplyLimit(const UDPServer::RateLimit& limit);

    // Held while sockets are added, so that each gets the filter in force.
    std::unique_lock<std::mutex> holdSettings() { return std::unique_lock<std::mutex>(settings); }
    // With holdSettings() held: puts the filter in force on a new socket.
    void filterNewSocket(ServerSocket::native_handle_type socket, std::error_code& error) const;

private:
    // What the workers read: replaced whole, never changed.
    struct Rules {
        std::shared_ptr<const PolicyTable> policy;
        std::shared_ptr<RateLimiter> deliveries;
        std::shared_ptr<RateLimiter> replies;
    };
    // Publishes `change` applied to a copy of the rules in force (settings held).
    template <typename Change>
    void replaceRules(Change change);
    std::shared_ptr<RateLimiter> limiterFor(const UDPServer::RateLimit& limit) const;
    static bool passes(RateLimiter* limiter, const asio::ip::udp::endpoint& sender,
                       std::chrono::steady_clock::time_point now, OwnedCount& refused,
                       OwnedCount& wouldRefuse);
    void logRefusal(const char* before, const asio::ip::udp::endpoint& sender, const char* after);

    ErrorLines& lines;
    const std::string portText;
    const KeyedHash hash;
    Published<Rules> rules;
    std::mutex settings;  // serialises replacements; never held by a worker
    std::vector<FilterInstruction> program;  // on every socket; under `settings`
};
