#pragma once
// Runs the registered benchmarks and then prints, for every pair named
// "<case>/subject..." and "<case>/baseline...", the ratio of their CPU times per
// iteration (subject / baseline; below 1.0 the subject is faster). Use
// X2_BENCH_MAIN() in place of BENCHMARK_MAIN().
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace x2bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(std::vector<Run> const& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // CPU time per iteration: the machine may be shared, and CPU time is
        // what the code costs. With repetitions, the median aggregate wins.
        for (auto const& r : runs) {
            if (r.error_occurred) continue;
            std::string const name = r.run_name.str();
            if (r.run_type == Run::RT_Aggregate) {
                if (r.aggregate_name == "median") medians_[name] = r.GetAdjustedCPUTime();
            } else {
                times_[name] = r.GetAdjustedCPUTime();
            }
        }
        for (auto const& [n, t] : medians_) times_[n] = t;
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nratios (subject / baseline, time per iteration):\n");
        for (auto const& [name, t] : times_) {
            auto pos = name.find("/subject");
            if (pos == std::string::npos) continue;
            std::string base = name;
            base.replace(pos, 8, "/baseline");
            auto it = times_.find(base);
            if (it == times_.end() || it->second <= 0) continue;
            std::printf("  %-60s %6.2f\n", name.c_str(), t / it->second);
        }
    }

private:
    std::map<std::string, double> times_;
    std::map<std::string, double> medians_;
};

inline int runWithRatios(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace x2bench

#define X2_BENCH_MAIN() \
    int main(int argc, char** argv) { return x2bench::runWithRatios(argc, argv); }
