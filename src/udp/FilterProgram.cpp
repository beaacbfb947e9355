#include "udp/FilterProgram.h"

namespace {

// Classic packet filter codes and the system's offsets into a packet: the
// network header lies at kNetworkHeader, the packet's protocol in an
// ancillary word.
constexpr std::uint16_t kLoadWord = 0x00 | 0x00 | 0x20;      // ld [k]: BPF_LD | BPF_W | BPF_ABS
constexpr std::uint16_t kAnd = 0x04 | 0x50 | 0x00;           // and #k: BPF_ALU | BPF_AND | BPF_K
constexpr std::uint16_t kJumpAlways = 0x05 | 0x00;           // ja k: BPF_JMP | BPF_JA
constexpr std::uint16_t kJumpIfEqual = 0x05 | 0x10 | 0x00;   // jeq #k: BPF_JMP | BPF_JEQ | BPF_K
constexpr std::uint16_t kJumpIfAbove = 0x05 | 0x20 | 0x00;   // jgt #k: BPF_JMP | BPF_JGT | BPF_K
constexpr std::uint16_t kJumpIfAtLeast = 0x05 | 0x30 | 0x00; // jge #k: BPF_JMP | BPF_JGE | BPF_K
constexpr std::uint16_t kReturn = 0x06 | 0x00;               // ret #k: BPF_RET | BPF_K
constexpr std::uint32_t kAncillaryProtocol = 0xfffff000u;    // SKF_AD_OFF + SKF_AD_PROTOCOL
constexpr std::uint32_t kNetworkHeader = 0xfff00000u;        // SKF_NET_OFF
constexpr std::uint32_t kIPv4Source = kNetworkHeader + 12;
constexpr std::uint32_t kIPv6Source = kNetworkHeader + 8;
constexpr std::uint32_t kEtherIPv4 = 0x0800;
constexpr std::uint32_t kEtherIPv6 = 0x86dd;
constexpr std::uint32_t kKeep = 0xffffffffu;
constexpr std::uint32_t kDrop = 0;

std::uint32_t outcome(UDPServer::Verdict verdict) {
    return verdict == UDPServer::Verdict::Allow ? kKeep : kDrop;
}

// The 32-bit word `index` (0 first) of an IPv6 number.
std::uint32_t wordOf(const Wide& value, int index) {
    const std::uint64_t half = index < 2 ? value.high : value.low;
    return static_cast<std::uint32_t>(index % 2 == 0 ? half >> 32 : half);
}

class Program {
public:
    void add(std::uint16_t code, std::uint32_t constant, std::uint8_t ifTrue = 0,
             std::uint8_t ifFalse = 0) {
        code_.push_back({code, ifTrue, ifFalse, constant});
    }
    std::size_t size() const { return code_.size(); }
    FilterInstruction& at(std::size_t index) { return code_[index]; }
    std::vector<FilterInstruction> take() { return std::move(code_); }

private:
    std::vector<FilterInstruction> code_;
};

// With the sender in A: if first <= A <= last, return the verdict; else go on.
void addIPv4Rule(Program& program, const PrefixRule& rule) {
    const auto first = static_cast<std::uint32_t>(rule.first.low);
    const auto last = static_cast<std::uint32_t>(rule.last().low);
    program.add(kJumpIfAtLeast, first, 0, 2);
    program.add(kJumpIfAbove, last, 1, 0);
    program.add(kReturn, outcome(rule.verdict));
}

// Compares each word the prefix covers, leaving the rule at the first that
// differs; then returns the verdict.
void addIPv6Rule(Program& program, const PrefixRule& rule) {
    const Wide mask = Wide{}.filled(0, 128).masked(rule.length, 128);
    std::vector<std::size_t> leave;
    for (int word = 0; word < 4 && word * 32 < rule.length; ++word) {
        program.add(kLoadWord, kIPv6Source + static_cast<std::uint32_t>(4 * word));
        if (rule.length < (word + 1) * 32) program.add(kAnd, wordOf(mask, word));
        leave.push_back(program.size());
        program.add(kJumpIfEqual, wordOf(rule.first, word));
    }
    program.add(kReturn, outcome(rule.verdict));
    for (const std::size_t at : leave) {
        // Each block is at most 13 instructions: the offset fits.
        program.at(at).jumpIfFalse = static_cast<std::uint8_t>(program.size() - at - 1);
    }
}

}  // namespace

std::vector<FilterInstruction> compileFilter(const PolicyTable& table) {
    Program program;
    const std::uint32_t otherwise = outcome(table.unmatched());
    program.add(kLoadWord, kAncillaryProtocol);
    program.add(kJumpIfEqual, kEtherIPv6, 0, 1);
    const std::size_t toIPv6 = program.size();
    program.add(kJumpAlways, 0);
    program.add(kJumpIfEqual, kEtherIPv4, 1, 0);
    program.add(kReturn, kKeep);
    program.add(kLoadWord, kIPv4Source);
    for (const PrefixRule& rule : table.mostSpecificFirst()) {
        if (!rule.v6) addIPv4Rule(program, rule);
    }
    program.add(kReturn, otherwise);
    program.at(toIPv6).constant = static_cast<std::uint32_t>(program.size() - toIPv6 - 1);
    for (const PrefixRule& rule : table.mostSpecificFirst()) {
        if (rule.v6) addIPv6Rule(program, rule);
    }
    program.add(kReturn, otherwise);
    return program.take();
}
