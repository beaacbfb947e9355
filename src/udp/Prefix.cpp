#include "udp/Prefix.h"

#include <system_error>

namespace {

constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};

// The mask of the first `length` bits of a `bits`-wide number, split in two.
Wide maskOf(int length, int bits) {
    const int shift = 128 - bits;  // where the number's first bit stands
    const int end = shift + length;
    Wide mask;
    if (end >= 64) {
        mask.high = kAllOnes;
        const int lowBits = end - 64;
        mask.low = lowBits == 0 ? 0 : kAllOnes << (64 - lowBits);
    } else {
        mask.high = end == 0 ? 0 : kAllOnes << (64 - end);
    }
    // Only the number's own bits count.
    if (bits <= 64) {
        mask.high = 0;
        mask.low &= bits == 64 ? kAllOnes : ((std::uint64_t{1} << bits) - 1);
    }
    return mask;
}

[[noreturn]] void refuse(const std::string& text, const std::string& why) {
    throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                            "sender rule '" + text + "': " + why);
}

// Four decimal parts of 0 to 255 without leading zeros, as the system's
// strict parser reads them (the platform's lenient forms, "10.1" or hex
// parts, are not addresses here).
bool readV4(const std::string& text, std::uint32_t& out) {
    std::uint32_t value = 0;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
        const std::size_t start = i;
        unsigned part = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
            part = part * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
        }
        if (part > 255 || (i - start > 1 && text[start] == '0')) return false;
        value = (value << 8) | part;
        ++parts;
        if (parts < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    if (i != text.size()) return false;
    out = value;
    return true;
}

bool readV6(const std::string& text, Wide& out) {
    if (text.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos) return false;
    std::error_code error;
    const asio::ip::address_v6 v6 = asio::ip::make_address_v6(text, error);
    if (error) return false;
    const auto bytes = v6.to_bytes();
    for (int i = 0; i < 8; ++i) out.high = (out.high << 8) | bytes[static_cast<std::size_t>(i)];
    for (int i = 8; i < 16; ++i) out.low = (out.low << 8) | bytes[static_cast<std::size_t>(i)];
    return true;
}

bool isMapped(const Wide& value) {
    return value.high == 0 && (value.low >> 32) == 0xffff;
}

}  // namespace

Wide Wide::masked(int length, int bits) const {
    const Wide mask = maskOf(length, bits);
    return {high & mask.high, low & mask.low};
}

Wide Wide::filled(int length, int bits) const {
    const Wide mask = maskOf(length, bits);
    const Wide all = maskOf(bits, bits);
    return {high | (all.high & ~mask.high), low | (all.low & ~mask.low)};
}

SourceAddress SourceAddress::of(const asio::ip::address& address) {
    SourceAddress source;
    if (address.is_v4()) {
        source.value.low = address.to_v4().to_uint();
        return source;
    }
    const auto bytes = address.to_v6().to_bytes();
    for (int i = 0; i < 8; ++i) {
        source.value.high = (source.value.high << 8) | bytes[static_cast<std::size_t>(i)];
    }
    for (int i = 8; i < 16; ++i) {
        source.value.low = (source.value.low << 8) | bytes[static_cast<std::size_t>(i)];
    }
    if (isMapped(source.value)) {
        source.value.low &= 0xffffffffu;
        return source;
    }
    source.v6 = true;
    return source;
}

bool SourceAddress::loopback() const {
    if (!v6) return (value.low >> 24) == 127;
    return value.high == 0 && value.low == 1;
}

PrefixRule readPrefixRule(const UDPServer::SenderRule& rule) {
    const std::string& text = rule.prefix;
    if (rule.verdict != UDPServer::Verdict::Allow && rule.verdict != UDPServer::Verdict::Deny) {
        refuse(text, "its verdict is neither Allow nor Deny");
    }
    const std::size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    PrefixRule parsed;
    parsed.verdict = rule.verdict;
    std::uint32_t v4 = 0;
    if (readV4(address, v4)) {
        parsed.first.low = v4;
    } else if (readV6(address, parsed.first)) {
        parsed.v6 = true;
    } else {
        refuse(text, "not a numeric IPv4 or IPv6 address");
    }
    parsed.length = parsed.bits();
    if (slash != std::string::npos) {
        const std::string length = text.substr(slash + 1);
        if (length.empty() || length.size() > 3 ||
            length.find_first_not_of("0123456789") != std::string::npos ||
            (length.size() > 1 && length[0] == '0') || std::stoi(length) > parsed.bits()) {
            refuse(text, "the prefix length must be 0 to " + std::to_string(parsed.bits()));
        }
        parsed.length = std::stoi(length);
    }
    if (parsed.first.masked(parsed.length, parsed.bits()) != parsed.first) {
        refuse(text, "it has bits set past its prefix length");
    }
    // An IPv4-mapped prefix is the IPv4 prefix it maps: that is how a
    // dual-stack server's IPv4 senders are judged.
    if (parsed.v6 && parsed.length >= 96 && isMapped(parsed.first)) {
        parsed.v6 = false;
        parsed.first = Wide{0, parsed.first.low & 0xffffffffu};
        parsed.length -= 96;
    }
    return parsed;
}
