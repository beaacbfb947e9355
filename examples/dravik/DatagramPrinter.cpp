#include "DatagramPrinter.h"

#include <string>
#include <utility>

#include <dravik/Base64.h>
#include <velmora/LogControl.h>

namespace dravik_app {
namespace {

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

}  // namespace

void DatagramPrinter::messageReceived(const char* data, std::uint64_t size) {
    const std::string bytes(data, static_cast<std::size_t>(size));
    std::string line = senders ? senders->sender().toString() + '\t' : std::string();
    switch (format) {
    case PrintFormat::Text: line += velmora::escapeControlBytes(bytes); break;
    case PrintFormat::Hex: line += hex(bytes); break;
    case PrintFormat::Base64: line += velmora::extensions::dravik::Base64::encode(bytes); break;
    }
    line += '\n';
    output.post(std::move(line));
    ++datagramCount;
    byteCount += size;
    lastArrivalMs = nowMs();
}

}  // namespace dravik_app
