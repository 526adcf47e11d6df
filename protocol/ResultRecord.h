// What one meter result becomes: the result list's lines and the row of the
// daily results file. Both are made from the same MeterResult.
#pragma once

#include <string>
#include <vector>

#include "MeterCommands.h"

// The results file's first line.
inline constexpr char kResultCsvHeader[] =
    "time,tab,operation,address,outcome,reading_t,status,valve,failure_code,reply";

// The lines the result list gains for this result, in order; none for the
// results only the log shows (checksum errors, stops, errors, the serial
// tab's own controls).
std::vector<std::string> ResultListLines(const MeterResult& result);

// One row without its line break; time is the local ISO 8601 moment, e.g.
// 2024-01-19T15:30:00. Fields that need it are quoted as RFC 4180 says.
std::string ResultCsvRow(const MeterResult& result, const std::string& time);

// The record's names: "serial"/"network", "read_reading", "no_answer", ...
const char* TabName(Tab tab);
const char* OperationName(Operation operation);
const char* ResultKindName(ResultKind kind);

// A field as RFC 4180 writes it: quoted, with doubled quotes, when it holds a
// comma, a quote or a line break.
std::string CsvField(const std::string& text);
