#include "GuideTables.h"

#include "FrameCodec.h"
#include "MeterCommands.h"
#include "ResultRecord.h"
#include "SerialDiagnosis.h"
#include "TcpClient.h"
#include "UMain.h"

#include <cerrno>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace {

constexpr char kMeter[] = "000230319105";

// A text as a Markdown table cell: code spans keep its blanks, each CR of
// a multi-line report starts a new line of the cell.
std::string Cell(const std::string& text) {
    std::string cell;
    std::string span;
    auto flush = [&] {
        if (!cell.empty())
            cell += "<br>";
        cell += span.empty() ? std::string() : "`" + span + "`";
        span.clear();
    };
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            flush();
        } else if (c == '|') {
            span += "\\|";
        } else {
            span += c;
        }
    }
    flush();
    return cell;
}

std::string Cell(const QString& text) {
    return Cell(text.toStdString());
}

// A reply from kMeter: control code and the data field as BuildFrame takes it.
std::string Reply(const std::string& control, const std::string& data) {
    char length[3];
    std::snprintf(length, sizeof length, "%02X", static_cast<unsigned>(data.size() / 2));
    return BuildFrame(kMeter, control, length, data);
}

const std::string kReadingReply = Reply("81",
                                        "00001100"
                                        "9010");
const std::string kReadingWithStatusReply = Reply("81",
                                                  "00"
                                                  "00"
                                                  "00001100"
                                                  "9010");
const std::string kReadingFaultsReply = Reply("81",
                                              "00"
                                              "4C"
                                              "00001100"
                                              "9010");
const std::string kErrorReply = Reply("C1", "01");
const std::string kValveDoneReply = Reply("84", "");
const std::string kValveRefusedReply = Reply("84", "02");
const std::string kValveOpenReply = Reply("81",
                                          "00"
                                          "C03C");
const std::string kValveClosedReply = Reply("81",
                                            "80"
                                            "C03C");
const std::string kAddressReply = Reply("81", kMeter + std::string("C032"));

// The reply with its checksum byte spoiled.
std::string Spoiled(std::string reply) {
    const size_t at = reply.size() - 4;
    reply[at] = reply[at] == '0' ? '1' : '0';
    return reply;
}

const char* OperationLabel(Operation op) {
    switch (op) {
        case Operation::ReadAddress:
            return "读通讯地址";
        case Operation::ReadReading:
            return "读取当前水表数";
        case Operation::OpenValve:
            return "开阀";
        case Operation::CloseValve:
            return "关阀";
        case Operation::ReadValveState:
            return "读取阀门状态";
    }
    return "";
}

struct Case {
    Operation op;
    std::string situation;
    std::string reply;
    // What the reply must decode to, so no row sits under the wrong situation.
    OutcomeKind expected;
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {Operation::ReadAddress, "表回答了地址", kAddressReply, OutcomeKind::Address},
        {Operation::ReadReading, "表数（无状态字节）", kReadingReply, OutcomeKind::Reading},
        {Operation::ReadReading, "表数和状态字节，全部正常", kReadingWithStatusReply,
         OutcomeKind::Reading},
        {Operation::ReadReading, "表数和状态字节，有故障位", kReadingFaultsReply,
         OutcomeKind::Reading},
        {Operation::ReadReading, "表不认识该请求（异常应答）", kErrorReply, OutcomeKind::NoAnswer},
        {Operation::OpenValve, "执行成功", kValveDoneReply, OutcomeKind::ValveSuccess},
        {Operation::OpenValve, "表拒绝执行（失败代码）", kValveRefusedReply,
         OutcomeKind::ValveRefused},
        {Operation::CloseValve, "执行成功", kValveDoneReply, OutcomeKind::ValveSuccess},
        {Operation::CloseValve, "表拒绝执行（失败代码）", kValveRefusedReply,
         OutcomeKind::ValveRefused},
        {Operation::ReadValveState, "阀门开", kValveOpenReply, OutcomeKind::ValveState},
        {Operation::ReadValveState, "阀门关", kValveClosedReply, OutcomeKind::ValveState},
        {Operation::ReadValveState, "表不认识该请求（异常应答）", kErrorReply,
         OutcomeKind::NoAnswer},
        {Operation::ReadReading, "应答校验和错误", Spoiled(kReadingWithStatusReply),
         OutcomeKind::ChecksumError},
    };
    return cases;
}

ReplyOutcome Decoded(const Case& c, Tab tab) {
    ReplyOutcome o = DecodeReply(c.op, tab, c.reply, kMeter);
    if (o.kind != c.expected)
        throw std::logic_error(std::string("sample reply for ") + OperationLabel(c.op) + " " +
                               c.situation + " decodes to another outcome");
    return o;
}

void Row(std::ostringstream& out, const std::vector<std::string>& cells) {
    out << "|";
    for (const std::string& c : cells)
        out << " " << c << " |";
    out << "\n";
}

void Head(std::ostringstream& out, const std::vector<std::string>& names) {
    Row(out, names);
    out << "|";
    for (size_t i = 0; i < names.size(); ++i)
        out << "---|";
    out << "\n";
}

std::string SerialResults() {
    std::ostringstream out;
    Head(out, {"操作", "情况", "显示在", "文字"});
    for (const Case& c : Cases()) {
        const ReplyOutcome o = Decoded(c, Tab::Serial);
        const char* label = c.op == Operation::ReadAddress   ? "水表地址框"
                            : c.op == Operation::ReadReading ? "表数标签"
                                                             : "阀门状态标签";
        const std::string op = OperationLabel(c.op);
        if (o.labelText)
            Row(out, {op, c.situation, label, Cell(*o.labelText)});
        if (o.logText)
            Row(out, {op, c.situation, "日志", Cell(*o.logText)});
        if (o.statusLogText)
            Row(out, {op, c.situation, "日志", Cell(*o.statusLogText)});
        if (o.resultLine && c.op != Operation::ReadAddress)
            Row(out, {op, c.situation, "结果列表", Cell(*o.resultLine)});
        if (o.statusLine)
            Row(out, {op, c.situation, "结果列表", Cell(*o.statusLine)});
    }
    return out.str();
}

std::string NetworkResults() {
    std::ostringstream out;
    Head(out, {"操作", "情况", "显示在", "文字"});
    for (const Case& c : Cases()) {
        const ReplyOutcome o = Decoded(c, Tab::Network);
        const std::string op = OperationLabel(c.op);
        if (o.resultLine)
            Row(out, {op, c.situation, "结果列表", Cell(*o.resultLine)});
        if (o.statusLine)
            Row(out, {op, c.situation, "结果列表", Cell(*o.statusLine)});
        if (o.logText)
            Row(out, {op, c.situation, "日志", Cell(*o.logText)});
        if (o.statusLogText)
            Row(out, {op, c.situation, "日志", Cell(*o.statusLogText)});
    }
    // Lines the batch writes without a reply to decode.
    struct Empty {
        Operation op;
        ResultKind kind;
        std::string address;
        std::string situation;
    };
    const Empty empties[] = {
        {Operation::ReadReading, ResultKind::EmptyAddress, "", "地址行为空"},
        {Operation::ReadValveState, ResultKind::EmptyAddress, "", "地址行为空"},
        {Operation::ReadReading, ResultKind::NoAnswer, kMeter, "等待时间内没有应答"},
        {Operation::OpenValve, ResultKind::NoAnswer, kMeter, "等待时间内没有应答"},
    };
    for (const Empty& e : empties) {
        MeterResult r;
        r.tab = Tab::Network;
        r.operation = e.op;
        r.kind = e.kind;
        r.address = e.address;
        r.waitFailed = e.kind == ResultKind::NoAnswer;
        for (const std::string& line : ResultListLines(r))
            Row(out, {OperationLabel(e.op), e.situation, "结果列表", Cell(line)});
    }
    return out.str();
}

std::string StatusBits() {
    std::ostringstream out;
    Head(out, {"位", "置 1（故障/关）", "为 0（正常/开）", "串口页读表时"});
    const int bits[] = {0, 1, 2, 3, 6, 7};
    auto lineOf = [](int value, bool serial, size_t index) {
        std::string report = StatusReport(value, serial);
        std::istringstream lines(report);
        std::string line;
        for (size_t i = 0; std::getline(lines, line, '\r'); ++i)
            if (i == index)
                return line;
        return std::string();
    };
    for (size_t i = 0; i < std::size(bits); ++i) {
        const int set = 1 << bits[i];
        const std::string serialSet = lineOf(set, true, i + 1);
        const std::string serialClear = lineOf(0, true, i + 1);
        Row(out, {"bit " + std::to_string(bits[i]), Cell(lineOf(set, false, i + 1)),
                  Cell(lineOf(0, false, i + 1)), Cell(serialSet) + " / " + Cell(serialClear)});
    }
    out << "\n状态字节本身先显示为 8 位，bit 0 在最左边，例如 " << Cell(ByteToBitString(0x4C, 7))
        << " 表示 bit 2、3、6 置 1。\n";
    return out.str();
}

std::string CsvColumns() {
    std::ostringstream out;
    out << "```\n" << kResultCsvHeader << "\n```\n\n";
    Head(out, {"outcome", "含义"});
    const std::pair<ResultKind, const char*> kinds[] = {
        {ResultKind::Ok, "成功：读到了地址、表数或阀门状态，或阀门指令执行成功"},
        {ResultKind::Refused, "表拒绝了开阀/关阀指令，failure_code 是失败代码"},
        {ResultKind::NoAnswer, "等待时间内没有可用的应答，或表不认识该请求"},
        {ResultKind::ChecksumError, "应答校验和错误，数据未被采用"},
        {ResultKind::EmptyAddress, "地址为空，没有发送"},
        {ResultKind::LinkClosed, "发现网关连接已断开"},
        {ResultKind::Stopped, "操作员按了停止，正在处理的这个地址没有结果"},
        {ResultKind::Error, "发送或解码出错，或其他意外的应答"},
    };
    for (const auto& [kind, meaning] : kinds)
        Row(out, {"`" + std::string(ResultKindName(kind)) + "`", meaning});
    MeterResult sample =
        DecodeReply(Operation::ReadReading, Tab::Network, kReadingWithStatusReply, kMeter).result;
    out << "\n例如网络页读到一块表的表数：\n\n```\n"
        << kResultCsvHeader << "\n"
        << ResultCsvRow(sample, "2024-01-19T15:30:00") << "\n```\n";
    return out.str();
}

std::string Troubleshooting() {
    std::ostringstream out;
    Head(out, {"看到的文字", "原因和处理"});
    using Kind = SerialOpenDiagnosis::Kind;
    const QString device = QStringLiteral("/dev/ttyUSB0");
    auto openFailure = [&](const QString& reason) {
        return Cell(SerialOpenFailureText(1, device, reason));
    };

    SerialOpenDiagnosis busy;
    busy.kind = Kind::Busy;
    busy.holderPid = 4242;
    busy.holderName = "minicom";
    Row(out, {openFailure(SerialOpenFailureReason(busy, EBUSY)),
              "另一个程序（这里是 minicom，进程号 4242）占着串口：关闭它再打开串口"});
    Row(out, {openFailure(SerialOpenFailureReason(EBUSY)),
              "同上，但看不到是哪个程序：关闭其他串口软件"});

    SerialOpenDiagnosis notListed;
    notListed.kind = Kind::Permission;
    notListed.group = "dialout";
    notListed.user = "tech";
    Row(out, {openFailure(SerialOpenFailureReason(notListed, EACCES)),
              "当前用户没有串口设备的权限：按提示加入该组，然后注销重新登录"});
    SerialOpenDiagnosis listed = notListed;
    listed.userListed = true;
    Row(out, {openFailure(SerialOpenFailureReason(listed, EACCES)),
              "已经加入了组，但还没有重新登录：注销后重新登录"});
    SerialOpenDiagnosis session = listed;
    session.sessionHasGroup = true;
    Row(out, {openFailure(SerialOpenFailureReason(session, EACCES)),
              "设备文件的权限被改过：请管理员检查"});

    Row(out, {openFailure(SerialOpenFailureReason(ENOENT)),
              "该 COM 口对应的设备不存在：检查串口线和适配器，或在设备列表里选择适配器"});
    SerialOpenDiagnosis brltty;
    brltty.kind = Kind::Missing;
    brltty.brltty = true;
    Row(out, {openFailure(SerialOpenFailureReason(brltty, ENOENT)),
              "brltty 把 CH340/CH341 适配器当作盲文显示器抢走了：按提示卸载或屏蔽 brltty"});
    SerialOpenDiagnosis modem;
    modem.kind = Kind::Other;
    modem.modemManager = true;
    Row(out, {Cell(SerialOpenFailureText(1, QStringLiteral("/dev/ttyACM0"),
                                         SerialOpenFailureReason(modem, EBUSY))),
              "ModemManager 正在探测刚插入的 ttyACM 设备：等几秒再打开"});
    Row(out, {openFailure(SerialOpenFailureReason(ENOTTY)),
              "Config.ini 的 [Ports] 里指定的路径不是串口：重新在设备列表里选择适配器"});
    Row(out, {Cell(SerialStillBusyText(1)), "上一次通讯还没结束：稍等再试"});
    Row(out, {Cell(AdapterPulledLogText(QStringLiteral("COM1"))) + "<br>" +
                  Cell(AdapterPulledStatusText(1)),
              "通讯中适配器被拔出：重新插入后再点“打开串口”"});
    Row(out, {Cell(SerialTimeoutText()),
              "表没有应答：检查表地址、接线（A/B 是否接反）、波特率和应答超时"});

    std::string computed, received;
    const std::string spoiled = Spoiled(kReadingWithStatusReply);
    Row(out, {Cell(*CheckReplyChecksum(Operation::ReadReading, Tab::Serial, spoiled, computed,
                                       received)),
              "应答在线路上损坏了（方括号里是算出的校验和-收到的校验和）。常见原因："
              "适配器回显了发出的数据（半双工 RS-485 适配器的回显开关）、接线不良或屏蔽不好、"
              "波特率与表不一致。换一根线或调低波特率后再试"});

    Row(out, {Cell(GatewayConnectFailedText()),
              "连不上网关：检查 IP 地址和端口号、网关是否通电、网线和本机网络"});
    const int errors[] = {ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH, ENETUNREACH, ECONNRESET};
    std::string reasons;
    for (int e : errors)
        reasons += (reasons.empty() ? "" : "<br>") + Cell(TcpErrorText(e));
    Row(out, {Cell(std::string(kTcpPeerClosedText)) + "<br>" + reasons,
              "批量操作中网关连接出错（跟在“…出错 :”后面）：连接已关闭，检查网关后重新“打开链接”"});
    return out.str();
}

}  // namespace

std::vector<GuideBlock> GuideBlocks() {
    return {
        {"serial-results", SerialResults()},    {"network-results", NetworkResults()},
        {"status-bits", StatusBits()},          {"csv-columns", CsvColumns()},
        {"troubleshooting", Troubleshooting()},
    };
}

namespace {
std::string Begin(const std::string& name) {
    return "<!-- BEGIN " + name + " -->\n";
}
std::string End(const std::string& name) {
    return "<!-- END " + name + " -->";
}

// Where the block's text lies in the guide: [first, last), or npos.
std::pair<size_t, size_t> Span(const std::string& guide, const std::string& name) {
    const size_t begin = guide.find(Begin(name));
    if (begin == std::string::npos)
        return {std::string::npos, std::string::npos};
    const size_t first = begin + Begin(name).size();
    const size_t last = guide.find(End(name), first);
    if (last == std::string::npos)
        return {std::string::npos, std::string::npos};
    return {first, last};
}
}  // namespace

std::string ReplaceBlocks(const std::string& guide, const std::vector<GuideBlock>& blocks) {
    std::string text = guide;
    for (const GuideBlock& b : blocks) {
        const auto [first, last] = Span(text, b.name);
        if (first != std::string::npos)
            text.replace(first, last - first, b.markdown);
    }
    return text;
}

std::vector<std::string> BlockMismatches(const std::string& guide,
                                         const std::vector<GuideBlock>& blocks) {
    std::vector<std::string> wrong;
    for (const GuideBlock& b : blocks) {
        const auto [first, last] = Span(guide, b.name);
        if (first == std::string::npos)
            wrong.push_back("no block " + b.name);
        else if (guide.compare(first, last - first, b.markdown) != 0)
            wrong.push_back("block " + b.name + " is not the generated text");
    }
    return wrong;
}

std::vector<std::string> PictureTargets(const std::string& guide) {
    std::vector<std::string> targets;
    for (size_t at = guide.find("!["); at != std::string::npos; at = guide.find("![", at + 2)) {
        const size_t close = guide.find("](", at);
        const size_t end = close == std::string::npos ? close : guide.find(')', close);
        if (end == std::string::npos || guide.find('\n', at) < end)
            continue;
        targets.push_back(guide.substr(close + 2, end - close - 2));
    }
    return targets;
}
