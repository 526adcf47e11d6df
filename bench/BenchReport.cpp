#include "BenchReport.h"

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

void EmitRow(const BenchRow& row) {
    std::printf("@row\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", row.id.c_str(), row.figure.c_str(),
                row.value.c_str(), row.budget.c_str(), row.baseline.c_str(), row.ratio.c_str(),
                row.verdict.c_str(), row.note.c_str());
    std::fflush(stdout);
}

void EmitNotMeasured(const std::string& id, const std::string& figure, const std::string& budget,
                     const std::string& reason) {
    EmitRow({id, figure, "", budget, "", "", "not measured", reason});
}

std::string Verdict(bool met) {
    return met ? "pass" : "FAIL";
}

double Quantile(std::vector<double> sample, double q) {
    if (sample.empty())
        return NAN;
    std::sort(sample.begin(), sample.end());
    const double at = std::clamp(q, 0.0, 1.0) * double(sample.size() - 1);
    const size_t below = static_cast<size_t>(std::floor(at));
    const size_t above = std::min(below + 1, sample.size() - 1);
    return sample[below] + (sample[above] - sample[below]) * (at - double(below));
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Ratio(double value, double baseline) {
    if (!(baseline > 0) || std::isnan(value))
        return "-";
    const double r = value / baseline;
    return Fixed(r, r < 10 ? 2 : 1) + "x";
}

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string BuildDir() {
    if (const char* dir = std::getenv("METER_BUILD_DIR"); dir && *dir)
        return dir;
    ::setenv("METER_BUILD_DIR", METER_DEFAULT_BUILD_DIR, 1);
    return METER_DEFAULT_BUILD_DIR;
}
