// The library against bare POSIX sockets on loopback, in the same run. Debug
// lines are built but not written. Run with --benchmark_repetitions=5
// --benchmark_enable_random_interleaving=true for medians of alternated
// rounds (scripts/bench.sh does).
#include <cstdio>
#include <string>

#include <benchmark/benchmark.h>

#include <velmora/LogControl.h>

#include "RatioReport.h"

int main(int argc, char** argv) {
    // Debug lines are still built, as every datagram requires; just not written.
    velmora::LogControl::setMinimumLevel(velmora::LogLevel::Error);
    benchmark::Initialize(&argc, argv);
    RatioReporter report;
    benchmark::RunSpecifiedBenchmarks(&report);
    benchmark::Shutdown();

    std::printf("\nLibrary / bare sockets, same run:\n");
    for (const char* size : {"64", "1024"}) {
        const std::string library = std::string("BM_FloodLibrary/") + size + "/real_time";
        const std::string bare = std::string("BM_FloodBare/") + size + "/real_time";
        report.printRatio(std::string("flood, delivered rate, ") + size + " B", library, bare,
                          "items_per_second", true, 0.95);
        report.printRatio(std::string("flood, receiving CPU per datagram, ") + size + " B",
                          library, bare, "cpu_ns_per_dgram", false, 1.1);
        report.printLimit(std::string("flood, allocations per datagram, ") + size + " B",
                          library, "allocs_per_dgram", false, 0.001);
    }
    for (const char* loop : {"WaitForOne", "EdgeOneShot", "LevelUntilEmpty", "LevelOncePerWake"}) {
        report.printRatio(std::string("flood, bare ") + loop +
                              " loop, CPU per datagram vs recvfrom loop, 64 B",
                          std::string("BM_FloodBare") + loop + "/64/real_time",
                          "BM_FloodBare/64/real_time", "cpu_ns_per_dgram", false,
                          RatioReporter::kReference);
    }
    // The server with receive information is on the wildcard address, as is
    // the one it is set against.
    const std::string anyAddress = "BM_FloodLibraryAnyAddress/64/real_time";
    report.printRatio("flood, server on the wildcard address vs on 127.0.0.1, CPU per datagram, "
                      "64 B",
                      anyAddress, "BM_FloodLibrary/64/real_time", "cpu_ns_per_dgram", false,
                      RatioReporter::kReference);
    const std::string informed = "BM_FloodLibraryInfo/64/real_time";
    report.printRatio("flood, receive information on vs off, delivered rate, 64 B", informed,
                      anyAddress, "items_per_second", true, 0.95);
    report.printRatio("flood, receive information on vs off, CPU per datagram, 64 B", informed,
                      anyAddress, "cpu_ns_per_dgram", false, 1.1);
    report.printRatio("flood, receive information on, CPU per datagram vs recvmmsg loop asking "
                      "the same, 64 B",
                      informed, "BM_FloodBareInfo/64/real_time", "cpu_ns_per_dgram", false, 1.2);
    report.printRatio("bursts, CPU per datagram vs recvfrom loop", "BM_BurstLibrary/real_time",
                      "BM_BurstBare/real_time", "cpu_ns_per_dgram", false, 0.8);
    report.printRatio("bursts, CPU per datagram vs recvmmsg loop", "BM_BurstLibrary/real_time",
                      "BM_BurstBareBatch/real_time", "cpu_ns_per_dgram", false, 1.2);
    report.printRatio("send to completion, rate", "BM_SendLibrary/real_time",
                      "BM_SendBare/64/real_time", "items_per_second", true, 0.85);
    report.printLimit("send, allocations per completed send", "BM_SendLibrary/real_time",
                      "allocs_per_send", false, 0.001);
    for (const char* size : {"64", "1024"}) {
        const std::string batch = std::string("BM_SendBatchLibrary/") + size + "/real_time";
        const std::string bytes = std::string(", ") + size + " B";
        report.printRatio("batches of 32 to completion, rate vs sendto loop" + bytes, batch,
                          std::string("BM_SendBare/") + size + "/real_time", "items_per_second",
                          true, size == std::string("64") ? 1.5 : 1.0);
        report.printRatio("batches of 32 to completion, rate vs sendmmsg loop" + bytes, batch,
                          std::string("BM_SendBareBatch/") + size + "/real_time",
                          "items_per_second", true, 0.9);
        report.printLimit("batches of 32, allocations per completed send" + bytes, batch,
                          "allocs_per_send", false, 0.001);
    }
    report.printRatio("round trip time", "BM_RoundTripLibrary/real_time",
                      "BM_RoundTripBare/real_time", "us_per_rtt", false, 1.2);
    report.printRatio("echo, serving CPU per answer vs recvfrom/sendto loop",
                      "BM_EchoLibrary/real_time", "BM_EchoBare/real_time", "cpu_ns_per_answer",
                      false, 1.0);
    report.printRatio("echo, serving CPU per answer vs recvmmsg/sendmmsg loop",
                      "BM_EchoLibrary/real_time", "BM_EchoBareBatch/real_time",
                      "cpu_ns_per_answer", false, 1.2);
    report.printRatio("echo, answers per second vs recvfrom/sendto loop",
                      "BM_EchoLibrary/real_time", "BM_EchoBare/real_time", "items_per_second",
                      true, 1.0);
    for (const char* train : {"1200/50", "256/64", "100/128"}) {
        const std::string library = std::string("BM_TrainLibrary/") + train + "/real_time";
        const std::string shape = std::string(", trains of ") + train;
        report.printRatio("trains, CPU per datagram vs recvmmsg loop" + shape, library,
                          std::string("BM_TrainBareBatch/") + train + "/real_time",
                          "cpu_ns_per_dgram", false, 0.4);
        report.printRatio("trains, CPU per datagram vs coalescing recvmsg loop" + shape, library,
                          std::string("BM_TrainBareCoalescing/") + train + "/real_time",
                          "cpu_ns_per_dgram", false, 2.0);
    }
    const std::string drain1 = "BM_DrainLibrary/1/manual_time";
    const std::string drain2 = "BM_DrainLibrary/2/manual_time";
    report.printGainRatio("drain from 64 senders, 2 workers' speed-up vs bare pair's", drain2,
                          drain1, "BM_DrainBare/2/manual_time", "BM_DrainBare/1/manual_time",
                          "items_per_second", 0.9);
    report.printRatio("drain, CPU per datagram, 2 workers vs 1", drain2, drain1,
                      "cpu_ns_per_dgram", false, 1.1);
    report.printRatio("drain, CPU per datagram, bare pair vs 1 socket",
                      "BM_DrainBare/2/manual_time", "BM_DrainBare/1/manual_time",
                      "cpu_ns_per_dgram", false, 1.1);
    report.printLimit("drain, 2 workers, the busiest one's share", drain2, "busiest_share", false,
                      0.6);
    const std::string echo1 = "BM_EchoDrainLibrary/1/manual_time";
    const std::string echo2 = "BM_EchoDrainLibrary/2/manual_time";
    report.printGainRatio("echo drain from 64 senders, 2 workers' speed-up vs bare pair's", echo2,
                          echo1, "BM_EchoDrainBare/2/manual_time",
                          "BM_EchoDrainBare/1/manual_time", "items_per_second", 0.9);
    report.printRatio("echo drain, CPU per answer, 2 workers vs 1", echo2, echo1,
                      "cpu_ns_per_dgram", false, 1.1);
    report.printLimit("echo drain, 2 workers, most CPU share beyond answer share", echo2,
                      "cpu_beyond_share", false, 0.1);
    report.printLimit("echo drain, bare pair, most CPU share beyond answer share",
                      "BM_EchoDrainBare/2/manual_time", "cpu_beyond_share", false, 0.1);
    const std::string flood = "BM_ForeignFloodLibrary/iterations:1/real_time";
    report.printLimit("foreign flood, share of peer's datagrams", flood, "delivered_share", true,
                      0.99);
    report.printLimit("foreign flood, error lines per second", flood, "error_lines_per_s", false,
                      11);
    report.printRatio("foreign flood, CPU per rejected datagram", flood,
                      "BM_ForeignFloodBare/iterations:1/real_time", "cpu_ns_per_dgram", false,
                      1.5);
    const std::string storm = "BM_UnreachableStorm/1/iterations:1/real_time";
    report.printRatio("unreachable storm, a sender's delivered share vs without the storm", storm,
                      "BM_UnreachableStorm/0/iterations:1/real_time", "delivered_share", true,
                      0.95);
    report.printLimit("unreachable storm, most error lines in any second", storm,
                      "error_lines_in_any_s", false, 11);
    for (const char* rules : {"0", "10", "1000"}) {
        report.printLimit(std::string("sender policy, ns per check, ") + rules + " rules",
                          std::string("BM_PolicyCheck/") + rules, "ns_per_check", false, 30);
    }
    report.printLimit("limit per prefix, ns per check", "BM_LimitCheck", "ns_per_check", false, 50);
    const std::string userSpace = "BM_RefusedFlood/0/iterations:1/real_time";
    const std::string inKernel = "BM_RefusedFlood/1/iterations:1/real_time";
    report.printLimit("refused flood, policy in user space, allowed sender's share", userSpace,
                      "allowed_share", true, 0.99);
    report.printLimit("refused flood, policy in the system, allowed sender's share", inKernel,
                      "allowed_share", true, 0.99);
    report.printRatio("refused flood, worker CPU, policy in the system vs in user space", inKernel,
                      userSpace, "worker_cpu_ms", false, 0.1);
    report.printRatio("refused flood in the system, worker CPU vs the allowed sender alone",
                      inKernel, "BM_RefusedFlood/2/iterations:1/real_time", "worker_cpu_ms", false,
                      1.1);
    report.printRatio("echo, serving CPU per answer, reply limit that never bites vs none",
                      "BM_EchoLibraryReplyLimit/real_time", "BM_EchoLibrary/real_time",
                      "cpu_ns_per_answer", false, 1.05);
    report.printRatio("echo, answers per second, reply limit that never bites vs none",
                      "BM_EchoLibraryReplyLimit/real_time", "BM_EchoLibrary/real_time",
                      "items_per_second", true, 0.95);
    report.printLimit("reflection at full speed, victim's replies vs rate x seconds + burst",
                      "BM_ReflectionLimited/iterations:1/real_time", "replies_vs_budget", false,
                      1.0);
    return 0;
}
