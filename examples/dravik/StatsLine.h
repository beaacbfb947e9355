#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <dravik/UDPServer.h>

namespace dravik_app {

// --stats: once a second, what the server's counters say, on standard error:
// "received N, delivered N, dropped by the system N, rejected N,
// unreachable N, sent N, refused by the policy N, ...". On a terminal of its
// own (standard output goes elsewhere) the line rewrites itself; elsewhere,
// a terminal that datagrams are printed on too included, each second gets a
// whole line of its own.
class StatsLine {
public:
    explicit StatsLine(const UDPServer& server);
    // Stops, leaving the last figures on their own line.
    ~StatsLine();
    StatsLine(const StatsLine&) = delete;
    StatsLine& operator=(const StatsLine&) = delete;

    // The figures as the line shows them.
    static std::string describe(const UDPServer::Counters& counters);

private:
    void run();
    void show();

    const UDPServer& server;
    const bool rewrites;
    std::mutex mutex;
    std::condition_variable stopAsked;
    bool stopping = false;
    std::thread thread;
};

}  // namespace dravik_app
