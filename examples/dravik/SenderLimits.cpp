#include "SenderLimits.h"

#include <system_error>

#include "CommandLine.h"

namespace dravik_app {
namespace {

constexpr long kMostPerSecond = 1000000000;

// "24,56": the IPv4 and the IPv6 prefix length.
void parsePrefixLengths(const std::string& text, SenderLimits& limits) {
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos) {
        throw UsageError("--prefix-lengths must be V4,V6 (such as 24,56), not '" + text + "'");
    }
    limits.ipv4PrefixLength =
        static_cast<int>(parseNumber(text.substr(0, comma), "--prefix-lengths' V4", 0, 32));
    limits.ipv6PrefixLength =
        static_cast<int>(parseNumber(text.substr(comma + 1), "--prefix-lengths' V6", 0, 128));
}

UDPServer::RateLimit limitOf(const SenderLimits& limits, long perSecond, bool exemptLoopback) {
    UDPServer::RateLimit limit;
    limit.perSecond = static_cast<double>(perSecond);
    limit.burst = static_cast<double>(perSecond < 1 ? 1 : perSecond);  // a second's worth
    limit.ipv4PrefixLength = limits.ipv4PrefixLength;
    limit.ipv6PrefixLength = limits.ipv6PrefixLength;
    limit.exemptLoopback = exemptLoopback;
    return limit;
}

}  // namespace

SenderLimits parseSenderLimits(CommandLine& line, bool replies) {
    SenderLimits limits;
    const std::vector<std::string> allowed = line.values("--allow");
    const std::vector<std::string> denied = line.values("--deny");
    for (const std::string& prefix : allowed) {
        limits.policy.rules.push_back({UDPServer::Verdict::Allow, prefix});
    }
    for (const std::string& prefix : denied) {
        limits.policy.rules.push_back({UDPServer::Verdict::Deny, prefix});
    }
    limits.anyRule = !limits.policy.rules.empty();
    limits.policy.unmatched = allowed.empty() ? UDPServer::Verdict::Allow : UDPServer::Verdict::Deny;
    limits.policy.inKernel = line.flag("--in-kernel");
    if (limits.policy.inKernel && !limits.anyRule) {
        throw UsageError("--in-kernel needs a rule (--allow or --deny)");
    }
    limits.deliveriesPerSecond = parseNumber(line.value("--limit", "0"), "--limit", 0, kMostPerSecond);
    if (replies) {
        if (const auto given = line.optionalValue("--reply-limit")) {
            limits.repliesPerSecond = parseNumber(*given, "--reply-limit", 0, kMostPerSecond);
        }
    }
    parsePrefixLengths(line.value("--prefix-lengths", "24,56"), limits);
    return limits;
}

void applySenderLimits(const SenderLimits& limits, UDPServer& server, long defaultReplies) {
    try {
        if (limits.anyRule) server.setSenderPolicy(limits.policy);
    } catch (const std::system_error& e) {
        if (e.code() == std::errc::invalid_argument) throw UsageError(e.what());
        throw UsageError(std::string("--in-kernel: ") + e.what());
    }
    if (limits.deliveriesPerSecond != 0) {
        server.setDeliveryLimit(limitOf(limits, limits.deliveriesPerSecond, false));
    }
    // A reply limit asked for covers everyone; the default spares loopback.
    const bool asked = limits.repliesPerSecond >= 0;
    const long replies = asked ? limits.repliesPerSecond : defaultReplies;
    if (replies != 0) server.setReplyLimit(limitOf(limits, replies, !asked));
}

std::string describeRefusals(const UDPServer::Counters& c) {
    return "refused by the policy " + std::to_string(c.rejectedByPolicy) + ", over the limit " +
           std::to_string(c.rejectedByLimit) + ", replies over the limit " +
           std::to_string(c.repliesRateLimited) + ", unsolicited reports " +
           std::to_string(c.unreachableUnsolicited);
}

}  // namespace dravik_app
