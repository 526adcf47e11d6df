#include "ResultRecord.h"

#include <cstdio>

namespace {
std::string HexByte(int value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value) & 0xFFu);
    return text;
}
}  // namespace

const char* TabName(Tab tab) {
    return tab == Tab::Serial ? "serial" : "network";
}

const char* OperationName(Operation operation) {
    switch (operation) {
        case Operation::ReadAddress:
            return "read_address";
        case Operation::ReadReading:
            return "read_reading";
        case Operation::OpenValve:
            return "open_valve";
        case Operation::CloseValve:
            return "close_valve";
        case Operation::ReadValveState:
            return "read_valve_state";
    }
    return "";
}

const char* ResultKindName(ResultKind kind) {
    switch (kind) {
        case ResultKind::Ok:
            return "ok";
        case ResultKind::Refused:
            return "refused";
        case ResultKind::NoAnswer:
            return "no_answer";
        case ResultKind::ChecksumError:
            return "checksum_error";
        case ResultKind::EmptyAddress:
            return "empty_address";
        case ResultKind::LinkClosed:
            return "link_closed";
        case ResultKind::Stopped:
            return "stopped";
        case ResultKind::Error:
            return "error";
    }
    return "";
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string ResultCsvRow(const MeterResult& r, const std::string& time) {
    const std::string fields[] = {
        time,
        TabName(r.tab),
        OperationName(r.operation),
        r.address,
        ResultKindName(r.kind),
        r.readingHundredths ? FormatTonsTwoDecimals(*r.readingHundredths) : "",
        r.status ? HexByte(*r.status) : "",
        r.valveClosed ? (*r.valveClosed ? "closed" : "open") : "",
        r.failureCode ? HexByte(*r.failureCode) : "",
        r.reply,
    };
    std::string row;
    for (const std::string& field : fields) {
        if (&field != fields)
            row += ',';
        row += CsvField(field);
    }
    return row;
}
