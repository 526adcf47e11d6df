// Child processes for the benchmarks: the pyserial baseline and the launched
// console.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// Runs argv to its end and returns what it printed on stdout, or nothing when
// it could not start, failed, or outlived timeoutMs (it is then killed).
// Its stderr goes to ours, for the log.
std::optional<std::string> RunAndCapture(const std::vector<std::string>& argv, int timeoutMs);

// The Python with Debian's python3-serial: BENCH_PYTHON, else /usr/bin/python3
// (a python3 earlier on PATH may be another installation without it).
std::string BaselinePython();
// Where pyserial_exchange.py lives.
std::string BenchSourceDir();
