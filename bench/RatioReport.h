#pragma once

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

// Prints the console report as usual and keeps every run's counters, so the
// library can be set against its bare baseline once all benchmarks have run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override;

    // One line per comparison: library / baseline, and whether the target
    // (a floor when `atLeast`, else a ceiling) holds. Comparisons whose runs
    // were filtered out are left out.
    // A target of kReference: the ratio is shown without one.
    static constexpr double kReference = 0;
    void printRatio(const std::string& what, const std::string& library,
                    const std::string& baseline, const std::string& counter, bool atLeast,
                    double target) const;
    // One line for how much more the library gains from `scaled` over `base`
    // than the baseline does from its own pair: (library ratio) / (baseline
    // ratio) of `counter`, against a floor.
    void printGainRatio(const std::string& what, const std::string& libraryScaled,
                        const std::string& libraryBase, const std::string& baselineScaled,
                        const std::string& baselineBase, const std::string& counter,
                        double target) const;
    // One line for a counter of a single run against a limit (a floor when
    // `atLeast`, else a ceiling).
    void printLimit(const std::string& what, const std::string& run, const std::string& counter,
                    bool atLeast, double limit) const;

private:
    const double* find(const std::string& run, const std::string& counter) const;
    std::map<std::string, std::map<std::string, double>> results;
};
