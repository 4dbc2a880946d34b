// A console reporter that also keeps, for every benchmark, its fastest CPU
// time per iteration in nanoseconds (repetitions included), so that a
// benchmark can print ratios between rows measured in the same run. CPU time
// of the benchmark thread, because preemption by other processes on a shared
// machine inflates wall time but not it.
#ifndef PSS_BENCH_CPU_TIME_REPORTER_H
#define PSS_BENCH_CPU_TIME_REPORTER_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace pss_bench {

class CpuTimeReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            const double dNs = run.GetAdjustedCPUTime();
            auto [it, bNew] = m_fastest.emplace(run.benchmark_name(), dNs);
            if (!bNew && dNs < it->second) it->second = dNs;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // Benchmark name to nanoseconds per iteration; filtered-out ones are absent.
    const std::map<std::string, double> &Fastest() const { return m_fastest; }

  private:
    std::map<std::string, double> m_fastest;
};

}  // namespace pss_bench

#endif
