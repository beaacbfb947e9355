// Who may send to the server, and how much it delivers and answers.
#include <memory>
#include <string>
#include <system_error>

#include "udp/FilterProgram.h"
#include "udp/Internals.h"
#include "udp/SocketFilter.h"

// The table is built, and the program compiled and measured, before
// anything changes, so that a refusal leaves the policy in force as it was.
void UDPServer::setSenderPolicy(const SenderPolicy& policy) {
    Internals& in = *internals;
    if (!in.receiveOnly) {
        throw std::system_error(std::make_error_code(std::errc::operation_not_supported),
                                "a peer-mode server accepts its remote endpoint only: it takes "
                                "no sender policy");
    }
    auto table = std::make_shared<const PolicyTable>(policy);
    std::vector<FilterInstruction> program;
    if (policy.inKernel) {
        if (!socketsTakeFilters()) {
            throw std::system_error(std::make_error_code(std::errc::operation_not_supported),
                                    "this system has no socket filters to judge senders in");
        }
        program = compileFilter(*table);
        if (program.size() > kMostFilterInstructions) {
            throw std::system_error(
                std::make_error_code(std::errc::value_too_large),
                "the sender policy takes " + std::to_string(program.size()) +
                    " instructions in the system's filter, which takes at most " +
                    std::to_string(kMostFilterInstructions));
        }
    }
    in.gate.setPolicy(std::move(table), std::move(program), in.nativeSockets());
}

void UDPServer::clearSenderPolicy() {
    Internals& in = *internals;
    in.gate.setPolicy(nullptr, {}, in.nativeSockets());
}

void UDPServer::setDeliveryLimit(const RateLimit& limit) {
    internals->gate.setDeliveryLimit(limit);
}

void UDPServer::setReplyLimit(const RateLimit& limit) {
    internals->gate.setReplyLimit(limit);
}
