#!/usr/bin/env bash
# check-exports.sh LIB: fails if the shared library LIB exports any symbol
# beyond the public API (UDPServer, UDPServerDelegate and the extension's
# namespace, with the delegate's and the unreachable listener's vtables and
# typeinfo), or if it lacks one of the calls listed below.
set -euo pipefail
lib=$1
public='^(UDPServer::|UDPServerDelegate::|velmora::extensions::dravik::|(vtable|typeinfo|typeinfo name) for (UDPServerDelegate|UDPServer::UnreachableListener|velmora::extensions::dravik::))'
symbols=$(nm -DC --defined-only "$lib" | cut -d' ' -f3-)
extra=$(grep -v -E "$public" <<<"$symbols" || true)
if [ -n "$extra" ]; then
    echo "$lib exports symbols beyond the public API:" >&2
    echo "$extra" >&2
    exit 1
fi
# Calls added since the first release, which a binary built against the
# newer header needs.
required=(
    'UDPServer::readCounters(UDPServer::Counters&) const'
    'UDPServer::send(UDPServer::Datagram const*, unsigned long, UDPServer::Error*)'
    'UDPServer::sender() const'
    'UDPServer::destination() const'
    'UDPServer::reply(char const*, unsigned long)'
    'UDPServer::sendTo(UDPServer::Endpoint const&, char const*, unsigned long)'
    'UDPServer::sendTo(UDPServer::AddressedDatagram const*, unsigned long, UDPServer::Error*)'
    'UDPServer::Endpoint::Endpoint()'
    'UDPServer::Endpoint::Endpoint(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&, int)'
    'UDPServer::Endpoint::address[abi:cxx11]() const'
    'UDPServer::Endpoint::port() const'
    'UDPServer::Endpoint::empty() const'
    'UDPServer::Endpoint::toString[abi:cxx11]() const'
    'UDPServer::Endpoint::operator==(UDPServer::Endpoint const&) const'
    'UDPServer::setMaxDatagramSize(unsigned long)'
    'UDPServer::maxDatagramSize() const'
    'UDPServer::setWorkers(int)'
    'UDPServer::workers() const'
    'UDPServer::setReceiveInfo(bool)'
    'UDPServer::readDatagramInfo(UDPServer::DatagramInfo&) const'
    'UDPServer::setTrafficClass(int)'
    'UDPServer::setHopLimit(int)'
    'UDPServer::setFragmentation(UDPServer::Fragmentation)'
    'UDPServer::withEcn(int) const'
    'UDPServer::sendTo(UDPServer::Endpoint const&, char const*, unsigned long, int)'
    'UDPServer::sendTo(UDPServer::MarkedDatagram const*, unsigned long, UDPServer::Error*)'
    'UDPServer::reply(char const*, unsigned long, int)'
    'UDPServer::setUnreachableListener(UDPServer::UnreachableListener*)'
    'vtable for UDPServer::UnreachableListener'
    'UDPServer::setSenderPolicy(UDPServer::SenderPolicy const&)'
    'UDPServer::clearSenderPolicy()'
    'UDPServer::setDeliveryLimit(UDPServer::RateLimit const&)'
    'UDPServer::setReplyLimit(UDPServer::RateLimit const&)'
    'UDPServer::UDPServer(UDPServer::AdoptedSocket)'
    'UDPServer::setSources(std::vector<std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >, std::allocator<std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > > > const&)'
    'UDPServer::UDPServer(UDPServer::AdoptedSocket, std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&, int)'
)
for symbol in "${required[@]}"; do
    if ! grep -qxF "$symbol" <<<"$symbols"; then
        echo "$lib does not export $symbol" >&2
        exit 1
    fi
done
echo "$(wc -l <<<"$symbols") exported symbols, all public API"
