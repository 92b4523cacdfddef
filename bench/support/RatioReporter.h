#pragma once
// Google Benchmark's console table, plus each benchmark's CPU time per
// iteration for the ratios the benchmark programs print: the median of the
// repetitions when there are repetitions (--benchmark_repetitions=N), else
// the last run. CPU time, so that other load on the machine skews the ratios
// less.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians_[name] = run.GetAdjustedCPUTime();
            else if (run.run_type == Run::RT_Iteration)
                last_[name] = run.GetAdjustedCPUTime();
        }
    }
    // The time of a benchmark by its full name ("BM_Parse/1024"), or -1.
    double time(const std::string& name) const {
        if (auto m = medians_.find(name); m != medians_.end()) return m->second;
        auto l = last_.find(name);
        return l == last_.end() ? -1 : l->second;
    }
    // ours / reference, or -1 when either did not run.
    double ratio(const std::string& ours, const std::string& reference) const {
        const double a = time(ours), b = time(reference);
        return a < 0 || b <= 0 ? -1 : a / b;
    }

  private:
    std::map<std::string, double> medians_, last_;
};

// Reads the benchmark options from the command line and runs the selected
// benchmarks into the reporter; false for unknown arguments.
inline bool runBenchmarks(int argc, char** argv, RatioReporter& reporter) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return false;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return true;
}

}  // namespace bench
