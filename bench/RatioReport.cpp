#include "RatioReport.h"

#include <cstdio>

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        auto& counters = results[run.benchmark_name()];
        for (const auto& [name, counter] : run.counters) counters[name] = counter.value;
    }
    ConsoleReporter::ReportRuns(runs);
}

// With repetitions, the median of the run's repetitions stands for it.
const double* RatioReporter::find(const std::string& run, const std::string& counter) const {
    auto found = results.find(run + "_median");
    if (found == results.end()) found = results.find(run);
    if (found == results.end()) return nullptr;
    const auto value = found->second.find(counter);
    return value == found->second.end() ? nullptr : &value->second;
}

void RatioReporter::printRatio(const std::string& what, const std::string& library,
                               const std::string& baseline, const std::string& counter,
                               bool atLeast, double target) const {
    const double* mine = find(library, counter);
    const double* theirs = find(baseline, counter);
    if (!mine || !theirs || *theirs == 0) return;
    const double ratio = *mine / *theirs;
    if (target == kReference) {
        std::printf("%-44s %8.2f   for reference\n", what.c_str(), ratio);
        return;
    }
    const bool met = atLeast ? ratio >= target : ratio <= target;
    std::printf("%-44s %8.2f   target %s %.2f   %s\n", what.c_str(), ratio, atLeast ? ">=" : "<=",
                target, met ? "met" : "MISSED");
}

void RatioReporter::printGainRatio(const std::string& what, const std::string& libraryScaled,
                                   const std::string& libraryBase,
                                   const std::string& baselineScaled,
                                   const std::string& baselineBase, const std::string& counter,
                                   double target) const {
    const double* values[] = {find(libraryScaled, counter), find(libraryBase, counter),
                              find(baselineScaled, counter), find(baselineBase, counter)};
    for (const double* value : values) {
        if (!value || *value == 0) return;
    }
    const double library = *values[0] / *values[1];
    const double baseline = *values[2] / *values[3];
    const double ratio = library / baseline;
    std::printf("%-44s %8.2f   target >= %.2f   %s (library %.2f, bare %.2f)\n", what.c_str(),
                ratio, target, ratio >= target ? "met" : "MISSED", library, baseline);
}

void RatioReporter::printLimit(const std::string& what, const std::string& run,
                               const std::string& counter, bool atLeast, double limit) const {
    const double* value = find(run, counter);
    if (!value) return;
    const bool met = atLeast ? *value >= limit : *value <= limit;
    std::printf("%-44s %8.4f   target %s %g   %s\n", what.c_str(), *value, atLeast ? ">=" : "<=",
                limit, met ? "met" : "MISSED");
}
