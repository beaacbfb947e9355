#include "DatagramPrinter.h"

#include <cstdio>
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

std::string infoText(const UDPServer& server) {
    UDPServer::DatagramInfo info;
    server.readDatagramInfo(info);
    char text[160];
    char tos[16] = "-", ttl[16] = "-", at[32] = "-";
    if (info.trafficClass >= 0) std::snprintf(tos, sizeof tos, "0x%02x", info.trafficClass);
    if (info.hopLimit >= 0) std::snprintf(ttl, sizeof ttl, "%d", info.hopLimit);
    if (info.receivedAt >= 0) {
        std::snprintf(at, sizeof at, "%lld.%09lld",
                      static_cast<long long>(info.receivedAt / 1000000000),
                      static_cast<long long>(info.receivedAt % 1000000000));
    }
    std::snprintf(text, sizeof text, "tos %s ttl %s at %s on %s\t", tos, ttl, at,
                  info.interfaceName[0] != '\0' ? info.interfaceName : "-");
    return text;
}

}  // namespace

void DatagramPrinter::messageReceived(const char* data, std::uint64_t size) {
    const std::string bytes(data, static_cast<std::size_t>(size));
    std::string line = senders ? senders->sender().toString() + '\t' : std::string();
    if (informer) line += infoText(*informer);
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
