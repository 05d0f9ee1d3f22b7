// A console reporter that also keeps the best time of every benchmark, by name, for a table of
// ratios printed after the runs. With repetitions, the best run counts: the others are the
// machine's noise.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class BestRuns : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration) continue;
            auto [it, added] = times.emplace(r.run_name.function_name, r.GetAdjustedRealTime());
            if (!added && r.GetAdjustedRealTime() < it->second) it->second = r.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};
