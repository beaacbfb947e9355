#pragma once

#include <dravik/UDPServer.h>

#include <cstddef>
#include <vector>

#include "udp/Prefix.h"

// A sender policy compiled for the receive path: for each family, the
// address space cut into ranges at the rules' edges, each with the verdict of
// the most specific rule that covers it (Deny where a prefix has both), so
// that judging a sender is one binary search. Immutable once built: any
// number of workers read it at once.
class PolicyTable {
public:
    // Throws what readPrefixRule() throws for the first bad rule.
    explicit PolicyTable(const UDPServer::SenderPolicy& policy);

    bool allows(const SourceAddress& sender) const;

    // The distinct rules, most specific first (so the first that matches a
    // sender decides), for those who judge in another way (the system's
    // filter).
    const std::vector<PrefixRule>& mostSpecificFirst() const { return ordered; }
    UDPServer::Verdict unmatched() const { return otherwise; }

private:
    // Where each range begins, ascending (the first at 0), and its verdict.
    struct Ranges {
        std::vector<Wide> starts;
        std::vector<unsigned char> allowed;  // 1 allowed, 0 refused
        bool allows(const Wide& address) const;
    };
    void build(bool v6, Ranges& ranges) const;

    UDPServer::Verdict otherwise;
    std::vector<PrefixRule> ordered;
    Ranges v4;
    Ranges v6;
};
