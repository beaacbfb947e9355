// dravik: the example host application. It initialises the extension and uses
// only the public headers and the stand-in SDK's own logger controls.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include <dravik/DravikExtension.h>
#include <velmora/LogControl.h>

#include "CommandLine.h"
#include "Commands.h"
#include "Interrupt.h"

namespace {

using dravik_app::CommandLine;

struct Command {
    int (*run)(CommandLine&);
    const char* defaultLogLevel;
    const char* help;
};

const char* const kCommonOptions =
    "  --log-level L   debug, info, error or off: the library's log lines on stderr\n"
    "  --help, -h      this text\n"
    "An option's value may follow it or be joined to it with '=' (--workers=4).\n";

const std::map<std::string, Command>& commands() {
    static const std::map<std::string, Command> table = {
        {"demo",
         {dravik_app::runDemo, "info",
          "usage: dravik demo [--count N] [--size BYTES]\n"
          "Two peer-mode servers on loopback exchange N datagrams both ways (default 10000)\n"
          "of BYTES bytes (24 to 1024, default 64), a few as Base64 text, and print a summary.\n"
          "Exits 1 if any datagram was lost.\n"}},
        {"listen",
         {dravik_app::runListen, "error",
          "usage: dravik listen PORT [--bind ADDRESS] [--hex | --base64] [--from] [--info]\n"
          "                    [--max-size N] [--workers N] [--stats] [--allow PREFIX]...\n"
          "                    [--deny PREFIX]... [--in-kernel] [--limit RATE]\n"
          "                    [--prefix-lengths V4,V6] [--source ADDRESS]...\n"
          "       dravik listen --socket-from-environment [OPTIONS]\n"
          "Receives datagrams from anyone on UDP PORT of ADDRESS (numeric; default 0.0.0.0,\n"
          "'::' for IPv6 and IPv4, 127.0.0.1 for this machine only) and prints each on its\n"
          "own line: as text with control bytes escaped, as hex, or as Base64; with --from,\n"
          "after its sender and a tab. Datagrams longer than N bytes (1 to 65535, default\n"
          "65535) are printed cut to N. PORT 0 takes a free port and says which. With\n"
          "--workers N (1 to 256, Linux), N threads each take a share of the senders, each\n"
          "sender's lines in order. --info puts what the network said of each datagram\n"
          "before it: \"tos 0xb8 ttl 64 at SECONDS.NANOSECONDS on lo\" (- where unknown).\n"
          "--stats writes the counters on standard error once a second. --allow and\n"
          "--deny PREFIX (10.0.0.0/8, 2001:db8::/32, or an address; repeatable) say who\n"
          "may send: the most specific rule decides, and with any --allow, senders no rule\n"
          "matches are refused. --in-kernel has the system drop refused senders too (Linux).\n"
          "--limit RATE delivers at most RATE datagrams a second from each prefix (a\n"
          "second's worth at once); --prefix-lengths V4,V6 (default 24,56) sets the prefixes\n"
          "it counts by. With --bind GROUP, --source ADDRESS (repeatable) hears the group\n"
          "only from those senders (a source-specific membership).\n"
          "--socket-from-environment takes the socket a service manager passed (systemd's\n"
          "socket activation: LISTEN_PID and LISTEN_FDS, descriptor 3) instead of PORT\n"
          "and --bind. Ctrl-C or SIGTERM stops it.\n"}},
        {"echo",
         {dravik_app::runEcho, "error",
          "usage: dravik echo PORT [--bind ADDRESS] [--workers N] [--tos N] [--ttl N]\n"
          "                  [--dont-fragment] [--stats] [--allow PREFIX]... [--deny PREFIX]...\n"
          "                  [--in-kernel] [--limit RATE] [--reply-limit RATE]\n"
          "                  [--prefix-lengths V4,V6]\n"
          "       dravik echo --socket-from-environment [OPTIONS]\n"
          "An echo server: sends every datagram arriving on UDP PORT of ADDRESS (as for\n"
          "listen; --workers as for listen) back to its sender, from the address it was\n"
          "sent to. Ctrl-C or SIGTERM stops it with a count of what was received, replied\n"
          "and not replied, and why. --tos, --ttl and --dont-fragment mark the answers as\n"
          "for send; --stats, --allow, --deny, --in-kernel, --limit, --prefix-lengths and\n"
          "--socket-from-environment as for listen. Answers go to at most 1000 a second per prefix of senders outside\n"
          "loopback, since an echo on a public address answers forged sources too;\n"
          "--reply-limit RATE sets that rate for every sender, loopback included, and\n"
          "--reply-limit 0 lifts it.\n"}},
        {"send",
         {dravik_app::runSend, "error",
          "usage: dravik send HOST PORT [--local-port P] [--wait MS] [--tos N] [--ttl N]\n"
          "                  [--dont-fragment] [MESSAGE ...]\n"
          "Sends each MESSAGE, or else each line of standard input, as one datagram to the\n"
          "numeric address HOST and PORT, prints every datagram HOST:PORT sends back, and\n"
          "exits once the input has ended and nothing came for MS milliseconds (default 500).\n"
          "Without --local-port (or with 0) it says which port it sends from. If HOST says\n"
          "no one listens on PORT and nothing answered, it says so and exits 1. --tos N\n"
          "(0 to 255: DSCP times 4 plus ECN) and --ttl N (1 to 255) mark every datagram;\n"
          "--dont-fragment has one larger than the path refused, not fragmented.\n"}},
        {"base64",
         {dravik_app::runBase64, "error",
          "usage: dravik base64 encode [--wrap COLS] [FILE] | decode [FILE]\n"
          "Encodes FILE (or standard input, also for '-') to Base64 text on standard output,\n"
          "in lines of COLS characters (default 0: one line), or decodes it. Decoding skips\n"
          "line breaks (LF or CRLF) and stops at anything else that is not Base64, saying\n"
          "at which byte (counted from 0).\n"}},
    };
    return table;
}

// What was printed with printf is only written now: 0, or 1 with the
// failure said, as `who`.
int flushStandardOutput(const std::string& who) {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    std::fprintf(stderr, "%s: write error: %s\n", who.c_str(), std::strerror(errno ? errno : EIO));
    return 1;
}

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: dravik COMMAND [OPTIONS]\n"
                 "  demo     two servers exchange datagrams on loopback and report\n"
                 "  listen   print the datagrams that arrive on a port\n"
                 "  echo     send every datagram back to where it came from\n"
                 "  send     send datagrams to a peer and print its replies\n"
                 "  base64   encode or decode a file or standard input\n"
                 "Run 'dravik COMMAND --help' (or -h) for a command's options; 'dravik --version'.\n");
}

}  // namespace

int main(int argc, char** argv) {
    dravik_app::prepareStandardStreams();
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h") {
        printUsage(arguments.empty() ? stderr : stdout);
        return arguments.empty() ? 2 : flushStandardOutput("dravik");
    }
    if (arguments[0] == "--version") {
        std::printf("dravik %s\n", DRAVIK_APP_VERSION);
        return flushStandardOutput("dravik");
    }
    const auto found = commands().find(arguments[0]);
    if (found == commands().end()) {
        std::fprintf(stderr, "dravik: unknown command '%s' (see dravik --help)\n", arguments[0].c_str());
        return 2;
    }
    const Command& command = found->second;
    CommandLine line(arguments[0], {arguments.begin() + 1, arguments.end()});
    try {
        if (line.helpAsked()) {
            std::printf("%s%s", command.help, kCommonOptions);
            return flushStandardOutput("dravik " + line.command());
        }
        velmora::LogControl::setMinimumLevel(
            dravik_app::parseLogLevel(line.value("--log-level", command.defaultLogLevel)));
        velmora::extensions::dravik::DravikExtension::initialize();
        const int status = command.run(line);
        const int flushed = flushStandardOutput("dravik " + line.command());
        return flushed != 0 ? flushed : status;
    } catch (const dravik_app::UsageError& e) {
        std::fprintf(stderr, "dravik %s: %s (see dravik %s --help)\n", line.command().c_str(),
                     e.what(), line.command().c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "dravik %s: %s\n", line.command().c_str(), e.what());
        return 1;
    }
}
