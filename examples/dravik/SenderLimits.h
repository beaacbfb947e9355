#pragma once

#include <string>
#include <vector>

#include <dravik/UDPServer.h>

namespace dravik_app {

class CommandLine;

// Who may send to listen and echo, and how much they deliver and answer:
// --allow PREFIX and --deny PREFIX (repeatable; with any --allow, senders
// no rule matches are refused), --in-kernel (the system judges them too),
// --limit RATE (deliveries a second per prefix), --reply-limit RATE (echo:
// replies a second per prefix) and --prefix-lengths V4,V6 (what the limits
// count by, 24,56 by default).
struct SenderLimits {
    UDPServer::SenderPolicy policy;
    bool anyRule = false;
    long deliveriesPerSecond = 0;
    // Echo's replies: -1 unless given, then 0 (none) or the rate.
    long repliesPerSecond = -1;
    int ipv4PrefixLength = 24;
    int ipv6PrefixLength = 56;
};
SenderLimits parseSenderLimits(CommandLine& line, bool replies);

// What an echo limits its replies to unless told: 1,000 a second per prefix
// for senders outside loopback (an echo on a public address is a reflector).
constexpr long kEchoReplyLimit = 1000;

// Sets them on a server; a rule the library refuses is a usage error.
// `defaultReplies` is the reply limit when none was given (0: none); it
// spares loopback senders.
void applySenderLimits(const SenderLimits& limits, UDPServer& server, long defaultReplies = 0);

// "refused by the policy N, over the limit N" for the summaries and --stats.
std::string describeRefusals(const UDPServer::Counters& counters);

}  // namespace dravik_app
