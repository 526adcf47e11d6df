// Runs the registered Google Benchmarks with their usual console output and
// keeps each benchmark's median aggregate, so the program can turn them into
// table rows afterwards.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class MedianCollector : public benchmark::ConsoleReporter {
  public:
    // Plain text: the output goes to a log file, and the rows must start
    // their lines.
    MedianCollector() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred)
                errors[run.run_name.function_name] = run.error_message;
            else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[run.run_name.function_name] = run;
        }
    }

    // nullptr when the benchmark did not run or failed.
    const Run* Find(const std::string& name) const {
        const auto found = medians.find(name);
        return found == medians.end() ? nullptr : &found->second;
    }
    double Counter(const std::string& name, const std::string& counter) const {
        const Run* run = Find(name);
        if (!run)
            return 0;
        const auto found = run->counters.find(counter);
        return found == run->counters.end() ? 0 : double(found->second);
    }
    std::string Error(const std::string& name) const {
        const auto found = errors.find(name);
        return found == errors.end() ? "did not run" : found->second;
    }

  private:
    std::map<std::string, Run> medians;
    std::map<std::string, std::string> errors;
};
