#include "MeterCommands.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "FrameCodec.h"

namespace {

using Op = Operation;
using K = OutcomeKind;
const std::optional<std::string> kNone;

constexpr char kAddr[] = "000230319105";

// Replies of meter 000230319105 with correct checksums.
constexpr char kReading[] =
    "FEFEFE6805913130020068810843C33344333333339B16";  // 00001100, status 33
constexpr char kReadingCorrupted[] = "FEFEFE6805913130020068810843C33344333333339C16";
constexpr char kReadingNoStatus[] = "FEFEFE6805913130020068810643C3334433333316";  // length 06
constexpr char kReadingStatusB3[] = "FEFEFE6805913130020068810843C333443333B3331B16";
constexpr char kReadingHexDigits[] = "FEFEFE6805913130020068810843C33D4433333333A516";  // 0000110A
constexpr char kReadNoData[] = "FEFEFE680591313002006881004A16";  // 81, length 00
constexpr char kOtherControl[] = "FEFEFE68059131300200688300438F16";
constexpr char kAddressReply[] = "FEFEFE6805913130020068810265F3A416";
constexpr char kValveDone[] = "FEFEFE680591313002006884004D16";
constexpr char kValveRefused34[] = "FEFEFE68059131300200688401348216";
constexpr char kValveRefused3B[] = "FEFEFE680591313002006884013B8916";
constexpr char kValveStateOpen[] = "FEFEFE682674151002006881036FF333AA16";

const std::string kClear =
    "00000000\r存储器状态 正常\r阀门状态 正常\r信号状态 正常\r电池状态 正常\r电池状态 正常"
    "\r阀门开关状态 开";
const std::string kClearSerial =
    "00000000\r存储器状态 正常\r阀门状态 正常；\r信号状态 正常；\r电池状态 正常；"
    "\r电池状态 正常；\r阀门开关状态 开";
const std::string kBit0 =
    "10000000\r存储器状态 故障\r阀门状态 正常\r信号状态 正常\r电池状态 正常\r电池状态 正常"
    "\r阀门开关状态 开";
const std::string kBit3 =
    "00010000\r存储器状态 正常\r阀门状态 正常\r信号状态 正常\r电池状态 故障\r电池状态 正常"
    "\r阀门开关状态 开";
const std::string kBit7 =
    "00000001\r存储器状态 正常\r阀门状态 正常\r信号状态 正常\r电池状态 正常\r电池状态 正常"
    "\r阀门开关状态 关";

const std::string kNoAnswer = "表数读取失败！ 表地址或者标识错误不应答";
const std::string kEmptyChecksumError = "数据校验错误： [-]";

TEST(MakeRequest, FieldsAndFramesForBothTabs) {
    struct Case {
        Op op;
        Tab tab;
        std::string address, password, level;
        RequestFields fields;
        std::string frame;
    } cases[] = {
        {Op::ReadAddress,
         Tab::Serial,
         "",
         "",
         "",
         {"999999999999", "01", "02", "C032"},
         "FEFEFE6899999999999968010265F3C116"},
        {Op::ReadAddress,
         Tab::Serial,
         " \t\r\n",
         "",
         "",
         {"999999999999", "01", "02", "C032"},
         "FEFEFE6899999999999968010265F3C116"},
        {Op::ReadAddress,
         Tab::Serial,
         " 000230319105 ",
         "",
         "",
         {kAddr, "01", "02", "C032"},
         "FEFEFE6805913130020068010265F32416"},
        {Op::ReadAddress,
         Tab::Network,
         kAddr,
         "",
         "",
         {"999999999999", "01", "02", "C032"},
         "FEFEFE6899999999999968010265F3C116"},
        {Op::ReadReading,
         Tab::Serial,
         kAddr,
         "",
         "",
         {kAddr, "01", "02", "9010"},
         "FEFEFE6805913130020068010243C3D216"},
        {Op::ReadReading,
         Tab::Network,
         "00000230319105",
         "",
         "",
         {"00000230319105", "01", "02", "9010"},
         "FEFEFE6805913130020068010243C3D216"},
        {Op::ReadValveState,
         Tab::Serial,
         " 000230319105\t",
         "",
         "",
         {kAddr, "01", "02", "C03C"},
         "FEFEFE680591313002006801026FF32E16"},
        {Op::ReadValveState,
         Tab::Network,
         kAddr,
         "",
         "",
         {kAddr, "01", "02", "C03C"},
         "FEFEFE680591313002006801026FF32E16"},
        {Op::OpenValve,
         Tab::Serial,
         kAddr,
         "123456",
         "02",
         {kAddr, "04", "08", "3355123456023355"},
         "FEFEFE6805913130020068040888663589674588661B16"},
        {Op::CloseValve,
         Tab::Network,
         kAddr,
         " 123456 ",
         "02\t",
         {kAddr, "04", "08", "9966123456029966"},
         "FEFEFE6805913130020068040899CC3589674599CC0916"},
        // Read reading and the valve writes keep the address as typed; a
        // trailing blank makes the frame builder refuse it.
        {Op::ReadReading,
         Tab::Serial,
         "000230319105 ",
         "",
         "",
         {"000230319105 ", "01", "02", "9010"},
         ""},
        // A bad password shifts nothing in the length but the builder refuses it.
        {Op::OpenValve,
         Tab::Network,
         kAddr,
         "12345X",
         "02",
         {kAddr, "04", "08", "335512345X023355"},
         ""},
    };
    for (const auto& c : cases) {
        const RequestFields f = MakeRequest(c.op, c.tab, c.address, c.password, c.level);
        EXPECT_EQ(f.address, c.fields.address) << c.address;
        EXPECT_EQ(f.control, c.fields.control) << c.address;
        EXPECT_EQ(f.length, c.fields.length) << c.address;
        EXPECT_EQ(f.data, c.fields.data) << c.address;
        EXPECT_EQ(BuildRequest(c.op, c.tab, c.address, c.password, c.level), c.frame) << c.address;
    }
}

TEST(MakeRequest, ValveWriteWireBytes) {
    // Level "02" travels right after the write identifier, as 0x35.
    const std::string frame = BuildRequest(Op::OpenValve, Tab::Serial, kAddr, "000000", "02");
    EXPECT_EQ(FrameFieldAt(frame, 18, 2), "08");
    EXPECT_EQ(FrameFieldAt(frame, 20, 6), "886635");
}

struct DecodeCase {
    Op op;
    Tab tab;
    std::string reply, address;
    K kind;
    std::optional<std::string> logText, resultLine, labelText, statusLine, statusLogText;
};

void ExpectOutcome(const DecodeCase& c) {
    const ReplyOutcome out = DecodeReply(c.op, c.tab, c.reply, c.address);
    const std::string where = "reply '" + c.reply + "' op " + std::to_string(int(c.op)) + " tab " +
                              std::to_string(int(c.tab));
    EXPECT_EQ(out.kind, c.kind) << where;
    EXPECT_EQ(out.logText, c.logText) << where;
    EXPECT_EQ(out.resultLine, c.resultLine) << where;
    EXPECT_EQ(out.labelText, c.labelText) << where;
    EXPECT_EQ(out.statusLine, c.statusLine) << where;
    EXPECT_EQ(out.statusLogText, c.statusLogText) << where;
}

TEST(DecodeReply, ReadReadingKeepsEachTabsBlanksAndColons) {
    const DecodeCase cases[] = {
        {Op::ReadReading, Tab::Network, kReading, kAddr, K::Reading, "表数读取成功！ 00001100",
         "000230319105 -----> 11  吨", kNone, "000230319105 -----> 表数读取成功: " + kClear,
         "表数读取成功: " + kClear},
        // The serial tab: label text, semicolon variant, no colon in the status line,
        // and the address exactly as typed.
        {Op::ReadReading, Tab::Serial, kReading, "000230319105 ", K::Reading,
         "表数读取成功！ 00001100", "000230319105  -----> 11  吨", "11  吨",
         "000230319105  -----> 表数读取成功 " + kClearSerial, "表数读取成功: " + kClearSerial},
        {Op::ReadReading, Tab::Network, kReadingStatusB3, kAddr, K::Reading,
         "表数读取成功！ 00001100", "000230319105 -----> 11  吨", kNone,
         "000230319105 -----> 表数读取成功: " + kBit7, "表数读取成功: " + kBit7},
        {Op::ReadReading, Tab::Serial, kReadingNoStatus, kAddr, K::Reading,
         "表数读取成功！ 00001100", "000230319105 -----> 11  吨", "11  吨", kNone, kNone},
        {Op::ReadReading, Tab::Network, kReading, "", K::Reading, "表数读取成功！ 00001100",
         " -----> 11  吨", kNone, " -----> 表数读取成功: " + kClear, "表数读取成功: " + kClear},
        {Op::ReadReading, Tab::Serial, "", kAddr, K::NoAnswer, kNoAnswer, kNone, kNone, kNone,
         kNone},
        {Op::ReadReading, Tab::Serial, kOtherControl, kAddr, K::NoAnswer, kNoAnswer, kNone, kNone,
         kNone, kNone},
        {Op::ReadReading, Tab::Network, kOtherControl, kAddr, K::NoAnswer, kNoAnswer, kNone, kNone,
         kNone, kNone},
        {Op::ReadReading, Tab::Network, "", kAddr, K::ChecksumError, kEmptyChecksumError, kNone,
         kNone, kNone, kNone},
        // A corrupted reply is never shown as a reading, on either tab.
        {Op::ReadReading, Tab::Serial, kReadingCorrupted, kAddr, K::ChecksumError,
         std::string("数据校验错误：") + kReadingCorrupted + " [9B-9C]", kNone, kNone, kNone,
         kNone},
        {Op::ReadReading, Tab::Serial, "FEFEFE6805913130020068810843C333443333", kAddr,
         K::ChecksumError, "数据校验错误：FEFEFE6805913130020068810843C333443333 [-]", kNone, kNone,
         kNone, kNone},
    };
    for (const auto& c : cases)
        ExpectOutcome(c);
}

TEST(DecodeReply, ReadingValues) {
    struct Case {
        std::string reply, digits, tons;
    } cases[] = {
        {"FEFEFE6805913130020068810843C38967453333332616", "00123456", "1234.56"},
        {"FEFEFE6805913130020068810843C33833333333338F16", "00000005", "0.05"},
        {"FEFEFE6805913130020068810843C3634533333333CC16", "00001230", "12.3"},
        {"FEFEFE6805913130020068810843C33333333333338A16", "00000000", "0"},
        {"FEFEFE6805913130020068810843C3CCCCCCCC3333EE16", "99999999", "999999.99"},
    };
    for (const auto& c : cases) {
        const ReplyOutcome out = DecodeReply(Op::ReadReading, Tab::Serial, c.reply, "a");
        EXPECT_EQ(out.digits, c.digits);
        EXPECT_EQ(out.tons, c.tons);
        EXPECT_EQ(out.labelText, c.tons + "  吨");
        EXPECT_EQ(out.logText, "表数读取成功！ " + c.digits);
    }
}

TEST(DecodeReply, ReadAddress) {
    const DecodeCase cases[] = {
        {Op::ReadAddress, Tab::Serial, kAddressReply, "", K::Address, kNone, kNone, kAddr, kNone,
         kNone},
        {Op::ReadAddress, Tab::Network, kAddressReply, "999999999999", K::Address, kNone, kAddr,
         kNone, kNone, kNone},
        // The control code is not looked at.
        {Op::ReadAddress, Tab::Network, kValveDone, "", K::Address, kNone, kAddr, kNone, kNone,
         kNone},
        // Nothing arrived: an empty line on the network tab, a checksum error on the serial tab.
        {Op::ReadAddress, Tab::Network, "", "", K::Address, kNone, "", kNone, kNone, kNone},
        {Op::ReadAddress, Tab::Serial, "", "", K::ChecksumError, kEmptyChecksumError, kNone, kNone,
         kNone, kNone},
        // A corrupted non-empty reply is not shown as an address.
        {Op::ReadAddress, Tab::Network, "FEFEFE6805913130020068810265F3A516", "", K::ChecksumError,
         "数据校验错误：FEFEFE6805913130020068810265F3A516 [A4-A5]", kNone, kNone, kNone, kNone},
        {Op::ReadAddress, Tab::Network, "00", "", K::ChecksumError, "数据校验错误：00 [-]", kNone,
         kNone, kNone, kNone},
    };
    for (const auto& c : cases)
        ExpectOutcome(c);
}

TEST(DecodeReply, ValveWrites) {
    const DecodeCase cases[] = {
        {Op::OpenValve, Tab::Network, kValveDone, kAddr, K::ValveSuccess, "直接开阀执行成功！ 84",
         "000230319105 -----> 直接开阀执行成功", kNone, kNone, kNone},
        {Op::CloseValve, Tab::Serial, kValveDone, kAddr, K::ValveSuccess, "直接关阀执行成功！ 84",
         "000230319105 -----> 直接关阀执行成功", kNone, kNone, kNone},
        {Op::OpenValve, Tab::Serial, kValveRefused34, kAddr, K::ValveRefused,
         "直接开阀执行失败！  失败代码: " + kBit0,
         "000230319105 -----> 直接开阀执行失败！  失败代码: " + kBit0, kNone, kNone, kNone},
        // The failure code uses the plain texts on the serial tab too.
        {Op::CloseValve, Tab::Serial, kValveRefused3B, kAddr, K::ValveRefused,
         "直接关阀执行失败！  失败代码: " + kBit3,
         "000230319105 -----> 直接关阀执行失败！  失败代码: " + kBit3, kNone, kNone, kNone},
        {Op::OpenValve, Tab::Network, kReading, kAddr, K::Nothing, kNone, kNone, kNone, kNone,
         kNone},
        {Op::CloseValve, Tab::Network, "FEFEFE68059131300200688402334FD116", kAddr, K::Nothing,
         kNone, kNone, kNone, kNone, kNone},
        {Op::OpenValve, Tab::Serial, "", kAddr, K::ChecksumError, kEmptyChecksumError, kNone, kNone,
         kNone, kNone},
    };
    for (const auto& c : cases)
        ExpectOutcome(c);
}

TEST(DecodeReply, ReadValveState) {
    const DecodeCase cases[] = {
        {Op::ReadValveState, Tab::Serial, kCannedValveStateReply, kAddr, K::ValveState, kNone,
         kNone, "阀门开关状态 关", kNone, kNone},
        {Op::ReadValveState, Tab::Serial, kValveStateOpen, kAddr, K::ValveState, kNone, kNone,
         "阀门开关状态 开", kNone, kNone},
        {Op::ReadValveState, Tab::Network, kCannedValveStateReply, kAddr, K::ValveState, kNone,
         "000230319105 -----> 阀门开关状态 关", kNone, kNone, kNone},
        {Op::ReadValveState, Tab::Network, kValveStateOpen, "", K::ValveState, kNone,
         " -----> 阀门开关状态 开", kNone, kNone, kNone},
        {Op::ReadValveState, Tab::Serial, kOtherControl, kAddr, K::NoAnswer, kNoAnswer, kNone,
         kNone, kNone, kNone},
        {Op::ReadValveState, Tab::Network, kOtherControl, kAddr, K::NoAnswer,
         "读取阀门状态失败！ 表地址或者标识错误不应答", kNone, kNone, kNone, kNone},
        {Op::ReadValveState, Tab::Network, "", kAddr, K::ChecksumError, kEmptyChecksumError, kNone,
         kNone, kNone, kNone},
    };
    for (const auto& c : cases)
        ExpectOutcome(c);
    EXPECT_TRUE(
        DecodeReply(Op::ReadValveState, Tab::Network, kCannedValveStateReply, kAddr).valveClosed);
}

TEST(DecodeReply, ConversionFailures) {
    struct Case {
        Op op;
        Tab tab;
        std::string reply, message;
    } cases[] = {
        {Op::ReadReading, Tab::Serial, kReadingHexDigits,
         "'0000110A' is not a valid integer value"},
        {Op::ReadReading, Tab::Network, kReadNoData, "'' is not a valid integer value"},
        {Op::ReadValveState, Tab::Serial, kReadNoData, "'$' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        try {
            DecodeReply(c.op, c.tab, c.reply, kAddr);
            ADD_FAILURE() << "no conversion failure for " << c.reply;
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

TEST(CheckReplyChecksum, WhichRepliesAreChecked) {
    // Every operation checks a non-empty reply; only read reading on the serial
    // tab and read address on the network tab let an empty one through.
    const Op ops[] = {Op::ReadAddress, Op::ReadReading, Op::OpenValve, Op::CloseValve,
                      Op::ReadValveState};
    for (Op op : ops) {
        for (Tab tab : {Tab::Serial, Tab::Network}) {
            std::string computed, received;
            EXPECT_EQ(CheckReplyChecksum(op, tab, kReading, computed, received), kNone);
            EXPECT_EQ(computed, "9B");
            EXPECT_TRUE(CheckReplyChecksum(op, tab, kReadingCorrupted, computed, received));
            const bool emptyPasses = (op == Op::ReadReading && tab == Tab::Serial) ||
                                     (op == Op::ReadAddress && tab == Tab::Network);
            std::string c2, r2;
            EXPECT_EQ(CheckReplyChecksum(op, tab, "", c2, r2).has_value(), !emptyPasses)
                << int(op) << "/" << int(tab);
        }
    }
}

TEST(CheckReplyChecksum, FramelessReplyRepeatsEarlierTexts) {
    // Over a batch the texts of the last checked reply stay in the message.
    std::string computed, received;
    EXPECT_TRUE(
        CheckReplyChecksum(Op::ReadReading, Tab::Network, kReadingCorrupted, computed, received));
    EXPECT_EQ(CheckReplyChecksum(Op::ReadReading, Tab::Network, "0068", computed, received),
              "数据校验错误：0068 [9B-9C]");
}

TEST(StatusReport, KeptTextsTwoBatteryLinesAndTheSerialSemicolons) {
    struct Case {
        int value;
        bool serial;
        std::string report;
    } cases[] = {
        {0, false, kClear},
        {0, true, kClearSerial},
        {0x34 - 0x33, false, kBit0},
        {0xB3 - 0x33, false, kBit7},
        {0x3B - 0x33, false, kBit3},
        {0x00 - 0x33, false,  // below the offset wraps to 0xCD
         "10110011\r存储器状态 故障\r阀门状态 正常\r信号状态 故障\r电池状态 故障\r电池状态 故障"
         "\r阀门开关状态 关"},
        {0xFF, true,
         "11111111\r存储器状态 故障\r阀门状态 故障\r信号状态 故障；\r电池状态 故障；"
         "\r电池状态 故障；\r阀门开关状态 关"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StatusReport(c.value, c.serial), c.report) << c.value;
}

TEST(TextHelpers, TonsAndTrim) {
    struct Tons {
        int value;
        std::string shortest, twoDecimals;
    } tons[] = {
        {1100, "11", "11.00"},   {123456, "1234.56", "1234.56"},
        {1230, "12.3", "12.30"}, {5, "0.05", "0.05"},
        {0, "0", "0.00"},        {10, "0.1", "0.10"},
        {-5, "-0.05", "-0.05"},
    };
    for (const auto& t : tons) {
        EXPECT_EQ(FormatTons(t.value), t.shortest);
        EXPECT_EQ(FormatTonsTwoDecimals(t.value), t.twoDecimals);
    }
    EXPECT_EQ(TrimBlanks(" \t\r\n12 3\x01 "), "12 3");
    EXPECT_EQ(TrimBlanks("   "), "");
    EXPECT_EQ(TrimBlanks("密码 "), "密码");
}

TEST(CannedReplies, ReadingButton) {
    std::string computed, received;
    EXPECT_EQ(
        CheckReplyChecksum(Op::ReadReading, Tab::Network, kCannedReadingReply, computed, received),
        kNone);
    const ReplyOutcome out = DecodeCannedReading(kCannedReadingReply);
    EXPECT_EQ(out.kind, K::Reading);
    EXPECT_EQ(out.resultLine, " -----> 11.00  吨");
    EXPECT_EQ(out.logText, "表数读取成功！ 00001100");
    EXPECT_EQ(out.statusLine, " -----> 表数读取成功: " + kClear);
    EXPECT_EQ(out.statusLogText, "表数读取成功: " + kClear);

    // Any status bit set reads as a failure code.
    const ReplyOutcome failed = DecodeCannedReading(kReadingStatusB3);
    EXPECT_EQ(failed.statusLine, " -----> 表数读取失败！  失败代码: " + kBit7);
    EXPECT_EQ(failed.statusLogText, "表数读取失败！  失败代码: " + kBit7);

    EXPECT_EQ(DecodeCannedReading(kOtherControl).logText, kNoAnswer);
    EXPECT_EQ(DecodeCannedReading(kReadingCorrupted).kind, K::ChecksumError);
}

TEST(CannedReplies, ValveStateButton) {
    const ReplyOutcome out =
        DecodeReply(Op::ReadValveState, Tab::Serial, kCannedValveStateReply, "");
    EXPECT_EQ(out.labelText, "阀门开关状态 关");
    EXPECT_EQ(out.logText, kNone);
}

}  // namespace
