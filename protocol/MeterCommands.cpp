#include "MeterCommands.h"

#include <cstdint>

#include "FrameCodec.h"
#include "HexText.h"
#include "ResultRecord.h"

namespace {

// Control codes and data identifiers of the meter bus.
constexpr char kControlRead[] = "01";
constexpr char kControlWrite[] = "04";
constexpr char kControlReadReply[] = "81";
constexpr char kControlWriteReply[] = "84";
constexpr char kLengthRead[] = "02";
constexpr char kLengthValveWrite[] = "08";
constexpr char kLengthWithStatus[] = "08";
constexpr char kLengthWriteDone[] = "00";
constexpr char kLengthWriteRefused[] = "01";
constexpr char kIdAddress[] = "C032";
constexpr char kIdReading[] = "9010";
constexpr char kIdValveState[] = "C03C";
constexpr char kIdValveOpen[] = "3355";
constexpr char kIdValveClose[] = "9966";

// Reply fields, in hex digits from the frame start.
constexpr int kAddressOffset = 2;
constexpr int kAddressDigits = 12;
constexpr int kControlOffset = 16;
constexpr int kLengthOffset = 18;
constexpr int kFailureCodeOffset = 20;
constexpr int kValueOffset = 24;  // first byte after a two-byte identifier
constexpr int kReadingDigits = 8;
constexpr int kStatusOffset = 32;  // first byte after the reading

constexpr int kDataOffset = 0x33;

constexpr char kChecksumErrorPrefix[] = "数据校验错误：";
constexpr char kNoAnswerReading[] = "表数读取失败！ 表地址或者标识错误不应答";
constexpr char kNoAnswerValveStateNetwork[] = "读取阀门状态失败！ 表地址或者标识错误不应答";
constexpr char kTonsSuffix[] = "  吨";
constexpr char kReadingDone[] = "表数读取成功！ ";
constexpr char kStatusDoneSerial[] = "表数读取成功 ";
constexpr char kStatusDone[] = "表数读取成功: ";
constexpr char kStatusFailed[] = "表数读取失败！  失败代码: ";
constexpr char kOpenDoneLine[] = "直接开阀执行成功";
constexpr char kCloseDoneLine[] = "直接关阀执行成功";
constexpr char kOpenDoneLog[] = "直接开阀执行成功！ ";
constexpr char kCloseDoneLog[] = "直接关阀执行成功！ ";
constexpr char kOpenFailed[] = "直接开阀执行失败！  失败代码: ";
constexpr char kCloseFailed[] = "直接关阀执行失败！  失败代码: ";
constexpr char kValveOpen[] = "阀门开关状态 开";
constexpr char kValveClosed[] = "阀门开关状态 关";
// Read reading uses one text for an empty line and for a read failure.
constexpr char kReadingNotRead[] = "TCP/IP读表数";
constexpr char kAddressEmpty[] = "通讯地址为空";
constexpr char kAddressFailed[] = "通讯地址出错";

// Status lines for bits 0, 1, 2, 3, 6, 7: {bit set, bit clear}.
struct StatusLine {
    int bit;
    const char* set;
    const char* clear;
    const char* setSerial;
    const char* clearSerial;
};
constexpr StatusLine kStatusLines[] = {
    {0, "存储器状态 故障", "存储器状态 正常", "存储器状态 故障", "存储器状态 正常"},
    {1, "阀门状态 故障", "阀门状态 正常", "阀门状态 故障", "阀门状态 正常；"},
    {2, "信号状态 故障", "信号状态 正常", "信号状态 故障；", "信号状态 正常；"},
    {3, "电池状态 故障", "电池状态 正常", "电池状态 故障；", "电池状态 正常；"},
    {6, "电池状态 故障", "电池状态 正常", "电池状态 故障；", "电池状态 正常；"},
    {7, "阀门开关状态 关", "阀门开关状态 开", "阀门开关状态 关", "阀门开关状态 开"},
};

std::vector<std::string> OkLines(const MeterResult& r) {
    const bool serial = r.tab == Tab::Serial;
    switch (r.operation) {
        case Operation::ReadAddress:
            // The serial tab puts the address into its field instead.
            return serial ? std::vector<std::string>{} : std::vector<std::string>{r.address};
        case Operation::ReadReading: {
            std::vector<std::string> lines;
            if (r.readingHundredths)
                lines.push_back(
                    ResultLine(r.address, FormatTons(*r.readingHundredths) + kTonsSuffix));
            if (r.status)
                lines.push_back(ResultLine(r.address, (serial ? kStatusDoneSerial : kStatusDone) +
                                                          StatusReport(*r.status, serial)));
            return lines;
        }
        case Operation::OpenValve:
            return {ResultLine(r.address, kOpenDoneLine)};
        case Operation::CloseValve:
            return {ResultLine(r.address, kCloseDoneLine)};
        case Operation::ReadValveState:
            if (serial || !r.valveClosed)
                return {};
            return {ResultLine(r.address, *r.valveClosed ? kValveClosed : kValveOpen)};
    }
    return {};
}

// A reply byte read as a hex number; empty when the reply was too short.
int HexFieldValue(const std::string& field) {
    const std::optional<int> value = HexPieceValue(field);
    if (!value)
        throw EConvertError("'$" + field + "' is not a valid integer value");
    return *value;
}

// The reading's digits as a decimal number; BCD nibbles above 9 mean a
// corrupted reading, not a value.
int DecimalValue(const std::string& digits) {
    int64_t value = 0;
    bool valid = !digits.empty() && digits.size() <= 10;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            valid = false;
            break;
        }
        value = value * 10 + (c - '0');
    }
    if (!valid || value > INT32_MAX)
        throw EConvertError("'" + digits + "' is not a valid integer value");
    return static_cast<int>(value);
}

bool ChecksumRequired(Operation operation, Tab tab, const std::string& reply) {
    switch (operation) {
        case Operation::ReadAddress:
            return tab == Tab::Serial || !reply.empty();
        case Operation::ReadReading:
            return tab == Tab::Network || !reply.empty();
        default:
            return true;
    }
}

void DecodeReading(ReplyOutcome& out, Tab tab, const std::string& reply) {
    out.digits = DecodeDataField(FrameFieldAt(reply, kValueOffset, kReadingDigits));
    const int hundredths = DecimalValue(out.digits);
    out.tons = FormatTons(hundredths);
    out.kind = OutcomeKind::Reading;
    out.result.kind = ResultKind::Ok;
    out.result.readingHundredths = hundredths;
    out.logText = kReadingDone + out.digits;
    if (tab == Tab::Serial)
        out.labelText = out.tons + kTonsSuffix;
    if (out.length == kLengthWithStatus) {
        const int status = HexFieldValue(FrameFieldAt(reply, kStatusOffset, 2)) - kDataOffset;
        out.statusReport = StatusReport(status, tab == Tab::Serial);
        out.statusLogText = kStatusDone + out.statusReport;
        out.result.status = status;
    }
    const std::vector<std::string> lines = ResultListLines(out.result);
    out.resultLine = lines.at(0);
    if (lines.size() > 1)
        out.statusLine = lines[1];
}

void DecodeValveWrite(ReplyOutcome& out, bool open, const std::string& reply) {
    // Neither success nor refusal: nothing is shown, and the record calls it an error.
    if (out.controlCode != kControlWriteReply)
        return;
    if (out.length == kLengthWriteDone) {
        out.kind = OutcomeKind::ValveSuccess;
        out.result.kind = ResultKind::Ok;
        out.logText = (open ? kOpenDoneLog : kCloseDoneLog) + out.controlCode;
    } else if (out.length == kLengthWriteRefused) {
        const int code = HexFieldValue(FrameFieldAt(reply, kFailureCodeOffset, 2)) - kDataOffset;
        out.kind = OutcomeKind::ValveRefused;
        out.result.kind = ResultKind::Refused;
        out.result.failureCode = code;
        out.statusReport = StatusReport(code, false);
        out.logText = (open ? kOpenFailed : kCloseFailed) + out.statusReport;
    } else {
        return;
    }
    out.resultLine = ResultListLines(out.result).at(0);
}

void DecodeValveState(ReplyOutcome& out, Tab tab, const std::string& reply) {
    const int state = HexFieldValue(DecodeDataField(FrameFieldAt(reply, kValueOffset, 2)));
    out.kind = OutcomeKind::ValveState;
    out.valveClosed = ByteToBitString(state, 7)[7] != '0';
    out.result.kind = ResultKind::Ok;
    out.result.valveClosed = out.valveClosed;
    if (tab == Tab::Serial)
        out.labelText = out.valveClosed ? kValveClosed : kValveOpen;
    else
        out.resultLine = ResultListLines(out.result).at(0);
}

ReplyOutcome ChecksumFailure(std::string text) {
    ReplyOutcome out;
    out.kind = OutcomeKind::ChecksumError;
    out.result.kind = ResultKind::ChecksumError;
    out.logText = std::move(text);
    return out;
}

ReplyOutcome NoAnswer(ReplyOutcome out, const char* text) {
    out.kind = OutcomeKind::NoAnswer;
    out.result.kind = ResultKind::NoAnswer;
    out.logText = text;
    return out;
}

// The record's identity: which request, to whom, and the reply as received.
void Identify(MeterResult& result, Operation operation, Tab tab, const std::string& reply,
              const std::string& address) {
    result.tab = tab;
    result.operation = operation;
    result.address = MakeRequest(operation, tab, address).address;
    result.reply = reply;
}

}  // namespace

RequestFields MakeRequest(Operation operation, Tab tab, const std::string& address,
                          const std::string& password, const std::string& level) {
    switch (operation) {
        case Operation::ReadAddress: {
            // The network tab talks to a bus: only the broadcast address is safe there.
            std::string target = tab == Tab::Serial ? TrimBlanks(address) : "";
            if (target.empty())
                target = kAllNinesAddress;
            return {target, kControlRead, kLengthRead, kIdAddress};
        }
        case Operation::ReadReading:
            return {address, kControlRead, kLengthRead, kIdReading};
        case Operation::OpenValve:
        case Operation::CloseValve: {
            const std::string id = operation == Operation::OpenValve ? kIdValveOpen : kIdValveClose;
            return {address, kControlWrite, kLengthValveWrite,
                    id + TrimBlanks(password) + TrimBlanks(level) + id};
        }
        case Operation::ReadValveState:
            return {tab == Tab::Serial ? TrimBlanks(address) : address, kControlRead, kLengthRead,
                    kIdValveState};
    }
    return {};
}

std::string BuildRequest(Operation operation, Tab tab, const std::string& address,
                         const std::string& password, const std::string& level) {
    const RequestFields f = MakeRequest(operation, tab, address, password, level);
    return BuildFrame(f.address, f.control, f.length, f.data);
}

std::optional<std::string> CheckReplyChecksum(Operation operation, Tab tab,
                                              const std::string& reply, std::string& computed,
                                              std::string& received) {
    if (!ChecksumRequired(operation, tab, reply))
        return std::nullopt;
    if (VerifyChecksum(reply, computed, received))
        return std::nullopt;
    return ChecksumErrorText(reply, computed, received);
}

ReplyOutcome DecodeReply(Operation operation, Tab tab, const std::string& reply,
                         const std::string& address) {
    std::string computed, received;
    if (auto error = CheckReplyChecksum(operation, tab, reply, computed, received)) {
        ReplyOutcome out = ChecksumFailure(std::move(*error));
        Identify(out.result, operation, tab, reply, address);
        return out;
    }

    ReplyOutcome out;
    Identify(out.result, operation, tab, reply, address);
    out.controlCode = FrameFieldAt(reply, kControlOffset, 2);
    out.length = FrameFieldAt(reply, kLengthOffset, 2);

    switch (operation) {
        case Operation::ReadAddress:
            // Any reply that passed the check names an address, empty without a frame start.
            out.kind = OutcomeKind::Address;
            out.address = ReverseHexBytes(FrameFieldAt(reply, kAddressOffset, kAddressDigits));
            out.result.kind = ResultKind::Ok;
            out.result.address = out.address;
            if (tab == Tab::Serial)
                out.labelText = out.address;
            else
                out.resultLine = ResultListLines(out.result).at(0);
            break;
        case Operation::ReadReading:
            if (out.controlCode != kControlReadReply)
                return NoAnswer(std::move(out), kNoAnswerReading);
            DecodeReading(out, tab, reply);
            break;
        case Operation::OpenValve:
        case Operation::CloseValve:
            DecodeValveWrite(out, operation == Operation::OpenValve, reply);
            break;
        case Operation::ReadValveState:
            if (out.controlCode != kControlReadReply)
                return NoAnswer(std::move(out),
                                tab == Tab::Serial ? kNoAnswerReading : kNoAnswerValveStateNetwork);
            DecodeValveState(out, tab, reply);
            break;
    }
    return out;
}

ReplyOutcome DecodeCannedReading(const std::string& reply) {
    std::string computed, received;
    if (auto error =
            CheckReplyChecksum(Operation::ReadReading, Tab::Network, reply, computed, received))
        return ChecksumFailure(std::move(*error));

    ReplyOutcome out;
    out.controlCode = FrameFieldAt(reply, kControlOffset, 2);
    out.length = FrameFieldAt(reply, kLengthOffset, 2);
    if (out.controlCode != kControlReadReply)
        return NoAnswer(std::move(out), kNoAnswerReading);

    out.kind = OutcomeKind::Reading;
    out.digits = DecodeDataField(FrameFieldAt(reply, kValueOffset, kReadingDigits));
    out.tons = FormatTonsTwoDecimals(DecimalValue(out.digits));
    out.resultLine = ResultLine("", out.tons + kTonsSuffix);
    out.logText = kReadingDone + out.digits;

    // The length is not looked at here: the status byte is always decoded.
    const int status = HexFieldValue(FrameFieldAt(reply, kStatusOffset, 2)) - kDataOffset;
    out.statusReport = StatusReport(status, false);
    const bool allClear = ByteToBitString(status, 7) == "00000000";
    const std::string text = (allClear ? kStatusDone : kStatusFailed) + out.statusReport;
    out.statusLine = ResultLine("", text);
    out.statusLogText = text;
    return out;
}

std::vector<std::string> ResultListLines(const MeterResult& r) {
    const bool reading = r.operation == Operation::ReadReading;
    switch (r.kind) {
        case ResultKind::Ok:
            return OkLines(r);
        case ResultKind::Refused: {
            if (r.operation != Operation::OpenValve && r.operation != Operation::CloseValve)
                return {};
            const char* text = r.operation == Operation::OpenValve ? kOpenFailed : kCloseFailed;
            return {ResultLine(r.address, text + StatusReport(r.failureCode.value_or(0), false))};
        }
        case ResultKind::EmptyAddress:
            if (r.tab == Tab::Serial)
                return {};
            return {ResultLine(r.address, reading ? kReadingNotRead : kAddressEmpty)};
        case ResultKind::NoAnswer:
        case ResultKind::LinkClosed:
            // Only a wait of the network tab that ended empty-handed has a line.
            if (r.tab == Tab::Serial || !r.waitFailed)
                return {};
            return {ResultLine(r.address, reading ? kReadingNotRead : kAddressFailed)};
        case ResultKind::ChecksumError:
        case ResultKind::Stopped:
        case ResultKind::Error:
            return {};
    }
    return {};
}

std::string ResultLine(const std::string& address, const std::string& text) {
    return address + kResultSeparator + text;
}

std::string ChecksumErrorText(const std::string& reply, const std::string& computed,
                              const std::string& received) {
    return kChecksumErrorPrefix + reply + " [" + computed + "-" + received + "]";
}

std::string StatusReport(int value, bool serialVariant) {
    const std::string bits = ByteToBitString(value, 7);
    std::string report = bits;
    for (const StatusLine& line : kStatusLines) {
        const bool set = bits[static_cast<size_t>(line.bit)] == '1';
        report += '\r';
        if (serialVariant)
            report += set ? line.setSerial : line.clearSerial;
        else
            report += set ? line.set : line.clear;
    }
    return report;
}

namespace {

std::string TonsText(int value, bool twoDecimals) {
    const int64_t wide = value;
    const int64_t magnitude = wide < 0 ? -wide : wide;
    std::string text = wide < 0 ? "-" : "";
    text += std::to_string(magnitude / 100);
    const int cents = static_cast<int>(magnitude % 100);
    if (twoDecimals || cents != 0) {
        text += '.';
        text += static_cast<char>('0' + cents / 10);
        if (twoDecimals || cents % 10 != 0)
            text += static_cast<char>('0' + cents % 10);
    }
    return text;
}

}  // namespace

std::string FormatTons(int value) {
    return TonsText(value, false);
}

std::string FormatTonsTwoDecimals(int value) {
    return TonsText(value, true);
}

std::string TrimBlanks(const std::string& text) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    size_t first = 0;
    size_t last = text.size();
    while (first < last && blank(text[first]))
        ++first;
    while (last > first && blank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}
