// What meter-sim's default bus sends and what the window must make of it,
// written out by hand from the meters' settings (see meter-sim --help).
#pragma once

#include "NetworkTabFixture.h"

#include <string>
#include <vector>

namespace bus {
inline const std::string kMeter1 = "000230319105";  // 11 t, valve open, status 00
inline const std::string kMeter2 = "000230319106";  // 1234.56 t, valve closed
inline const std::string kMeter3 = "000230319107";  // 0.05 t, no valve, status 08
inline const std::string kNobody = "000230319199";  // not on the bus

// Requests, data fields in wire form.
inline std::string ReadReading(const std::string& a) {
    return Frame(a, "01", "43C3");
}
inline std::string ReadValveState(const std::string& a) {
    return Frame(a, "01", "6FF3");
}
// Password 250913 at level 02.
inline std::string OpenValve(const std::string& a) {
    return Frame(a, "04", "886635463C588866");
}
inline std::string CloseValve(const std::string& a) {
    return Frame(a, "04", "99CC35463C5899CC");
}
inline const std::string kReadAddress = "FEFEFE6899999999999968010265F3C116";

// Replies.
inline const std::string kReading1 = Frame(kMeter1, "81",
                                           "43C3"
                                           "33443333"
                                           "33"
                                           "33");
inline const std::string kReading2 = Frame(kMeter2, "81",
                                           "43C3"
                                           "89674533"
                                           "B3"
                                           "33");
inline const std::string kReading3 = Frame(kMeter3, "81",
                                           "43C3"
                                           "38333333"
                                           "3B"
                                           "33");

// Status reports: the bit string (bit 0 first), then six lines after CRs.
inline const std::string kStatusAllClear =
    "00000000\r存储器状态 正常\r阀门状态 正常\r信号状态 正常\r电池状态 正常\r电池状态 正常\r"
    "阀门开关状态 开";
inline const std::string kStatusValveClosed =
    "00000001\r存储器状态 正常\r阀门状态 正常\r信号状态 正常\r电池状态 正常\r电池状态 正常\r"
    "阀门开关状态 关";
inline const std::string kStatusBattery =
    "00010000\r存储器状态 正常\r阀门状态 正常\r信号状态 正常\r电池状态 故障\r电池状态 正常\r"
    "阀门开关状态 开";
// Failure code 02: the meter has no valve.
inline const std::string kCodeNoValve =
    "01000000\r存储器状态 正常\r阀门状态 故障\r信号状态 正常\r电池状态 正常\r电池状态 正常\r"
    "阀门开关状态 开";

inline const std::string kArrow = " -----> ";

// The result lines and log entries of one successful reading.
struct Reading {
    std::string address, reply, digits, tons, status;
};
inline const Reading kMeter1Reading{kMeter1, kReading1, "00001100", "11", kStatusAllClear};
inline const Reading kMeter2Reading{kMeter2, kReading2, "00123456", "1234.56", kStatusValveClosed};
inline const Reading kMeter3Reading{kMeter3, kReading3, "00000005", "0.05", kStatusBattery};

inline std::string ReadingLines(const Reading& r) {
    return r.address + kArrow + r.tons + "  吨\n" + r.address + kArrow +
           "表数读取成功: " + r.status;
}
// skipped: the bytes the exchange set apart before the reply, if any.
inline std::vector<LogEntry> ReadingLog(const Reading& r, const std::string& skipped = "") {
    std::vector<LogEntry> log{Entry("TCP/IP读表数", "Tx ->" + ReadReading(r.address))};
    if (!skipped.empty())
        log.push_back(Entry("TCP/IP读表数", "跳过 <-" + skipped));
    log.push_back(Entry("TCP/IP读表数", "Rx <-" + r.reply));
    log.push_back(Entry("TCP/IP读表数据", "表数读取成功！ " + r.digits));
    log.push_back(Entry("TCP/IP读表数据", "表数读取成功: " + r.status));
    return log;
}
}  // namespace bus
