#include "udp/PolicyTable.h"

#include <algorithm>
#include <system_error>

namespace {

using Verdict = UDPServer::Verdict;

// Most specific first; on one prefix, Deny first, so that it is the one kept.
bool moreSpecific(const PrefixRule& a, const PrefixRule& b) {
    if (a.v6 != b.v6) return a.v6 < b.v6;
    if (a.length != b.length) return a.length > b.length;
    if (a.first != b.first) return a.first < b.first;
    return a.verdict == Verdict::Deny && b.verdict != Verdict::Deny;
}

bool samePrefix(const PrefixRule& a, const PrefixRule& b) {
    return a.v6 == b.v6 && a.length == b.length && a.first == b.first;
}

}  // namespace

PolicyTable::PolicyTable(const UDPServer::SenderPolicy& policy) : otherwise(policy.unmatched) {
    if (otherwise != Verdict::Allow && otherwise != Verdict::Deny) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "the sender policy's verdict for unmatched senders is neither "
                                "Allow nor Deny");
    }
    ordered.reserve(policy.rules.size());
    for (const UDPServer::SenderRule& rule : policy.rules) ordered.push_back(readPrefixRule(rule));
    std::sort(ordered.begin(), ordered.end(), moreSpecific);
    ordered.erase(std::unique(ordered.begin(), ordered.end(), samePrefix), ordered.end());
    build(false, v4);
    build(true, v6);
}

// Prefixes are nested or apart, never overlapping in part. Walked in address
// order, wider first where two begin together, each opens a range with its
// verdict, and where it ends the verdict of the prefix around it (or the
// default) takes over again.
void PolicyTable::build(bool wantV6, Ranges& ranges) const {
    std::vector<const PrefixRule*> rules;
    for (const PrefixRule& rule : ordered) {
        if (rule.v6 == wantV6) rules.push_back(&rule);
    }
    std::sort(rules.begin(), rules.end(), [](const PrefixRule* a, const PrefixRule* b) {
        return a->first != b->first ? a->first < b->first : a->length < b->length;
    });
    const bool byDefault = otherwise == Verdict::Allow;
    const auto open = [&ranges](const Wide& start, bool allows) {
        const unsigned char allowed = allows ? 1 : 0;
        if (!ranges.starts.empty() && ranges.starts.back() == start) {
            ranges.allowed.back() = allowed;
        } else if (ranges.allowed.empty() || ranges.allowed.back() != allowed) {
            ranges.starts.push_back(start);
            ranges.allowed.push_back(allowed);
        }
    };
    std::vector<const PrefixRule*> around;
    const auto close = [&] {
        const PrefixRule* ended = around.back();
        around.pop_back();
        const Wide end = ended->last();
        if (end == Wide{}.filled(0, ended->bits())) return;  // the end of the space
        open(end.next(), around.empty() ? byDefault : around.back()->verdict == Verdict::Allow);
    };
    ranges.starts.push_back(Wide{});
    ranges.allowed.push_back(byDefault);
    for (const PrefixRule* rule : rules) {
        while (!around.empty() && around.back()->last() < rule->first) close();
        open(rule->first, rule->verdict == Verdict::Allow);
        around.push_back(rule);
    }
    while (!around.empty()) close();
}

bool PolicyTable::allows(const SourceAddress& sender) const {
    return (sender.v6 ? v6 : v4).allows(sender.value);
}

bool PolicyTable::Ranges::allows(const Wide& address) const {
    // The last range that begins at or before the address; the first begins
    // at 0, so there always is one.
    const auto after = std::upper_bound(starts.begin(), starts.end(), address);
    return allowed[static_cast<std::size_t>(after - starts.begin()) - 1];
}
