#pragma once

#include <memory>
#include <string>
#include <vector>

#include <dravik/UDPServer.h>

namespace dravik_app {

class CommandLine;

// Constructs a server, turning the library's exceptions, by their error
// codes, into one-line UserErrors a user can act on (a port in use, a host
// name for an address, no descriptors left). A receive-only server gets
// `workers` workers (one where the system cannot spread a port).
std::unique_ptr<UDPServer> openReceiveOnly(int localPort, const std::string& localAddress,
                                           int workers = 1);
std::unique_ptr<UDPServer> openPeer(const std::string& host, int remotePort, int localPort);

// Where listen and echo take their socket: PORT and --bind ADDRESS, or,
// with --socket-from-environment, the one a service manager passed (then
// neither PORT nor --bind). The options are read first, then the PORT
// among what finish() leaves; openListening() opens it with `workers`
// workers.
struct ListeningPlace {
    bool fromEnvironment = false;
    int port = 0;
    std::string address = "0.0.0.0";
    bool bindGiven = false;
};
ListeningPlace parseListeningOptions(CommandLine& line);
void takePort(ListeningPlace& place, const std::vector<std::string>& positional,
              const std::string& command);
std::unique_ptr<UDPServer> openListening(const ListeningPlace& place, int workers);

// --source ADDRESS (listen, repeatable): a group member hears only these.
void hearOnly(const std::vector<std::string>& sources, const ListeningPlace& place,
              UDPServer& server);

// What the system dropped, for a command's summary: "dropped by the system N",
// or, for a server raised above 1,024 bytes (which may take coalesced
// trains, each of which the system counts as one packet), "the system
// dropped N packets; a packet may hold several datagrams".
std::string systemDrops(const UDPServer& server);

// The --workers option of listen and echo: 1 to 256, 1 if absent.
int parseWorkers(CommandLine& line);

// The marks of what send and echo send: --tos N (0 to 255: DSCP and ECN),
// --ttl N (1 to 255) and --dont-fragment; the system's defaults (-1) if
// absent.
struct SendMarks {
    int tos = -1;
    int ttl = -1;
    bool dontFragment = false;
};
SendMarks parseSendMarks(CommandLine& line);
// Sets them on a stopped server.
void applySendMarks(const SendMarks& marks, UDPServer& server);

}  // namespace dravik_app
