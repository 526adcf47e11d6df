// What every benchmark program prints for bench.sh: one "@row" line per
// figure (tab-separated), which bench.sh gathers into the one table. Anything
// else a program prints is detail for its log.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct BenchRow {
    std::string id;        // "1a", "4b", ...: the table's order
    std::string figure;    // what was measured
    std::string value;     // with its unit; empty when not measured
    std::string budget;    // e.g. "<= 5 ms"
    std::string baseline;  // what it is compared with, and its value
    std::string ratio;     // value / baseline
    std::string verdict;   // "pass", "FAIL" or "not measured"
    std::string note;      // why not measured, what limits it
};

void EmitRow(const BenchRow& row);

// A row for a figure the program could not measure, with the reason.
void EmitNotMeasured(const std::string& id, const std::string& figure, const std::string& budget,
                     const std::string& reason);

// "pass" or "FAIL".
std::string Verdict(bool met);

// Order statistics of a sample (taken by value: it is sorted). 0 <= q <= 1;
// linear interpolation between neighbours.
double Quantile(std::vector<double> sample, double q);
inline double Median(std::vector<double> sample) {
    return Quantile(std::move(sample), 0.5);
}

// Fixed-point text: Fixed(1.234, 2) == "1.23".
std::string Fixed(double value, int decimals);
// "1.8x"; "-" when the baseline is not positive.
std::string Ratio(double value, double baseline);

using BenchClock = std::chrono::steady_clock;
inline double MillisecondsBetween(BenchClock::time_point from, BenchClock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// User + system CPU seconds of this whole process, every thread included.
double ProcessCpuSeconds();

// The build folder (for meter-sim and meter-console): METER_BUILD_DIR when
// set, else the folder this program was built in. Also exported as
// METER_BUILD_DIR so the meter-sim fixture finds its executable.
std::string BuildDir();
