// Result records: what DecodeReply keeps of a reply, and the row and result
// list lines made from it.
#include "ResultRecord.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Op = Operation;
using K = ResultKind;

constexpr char kAddr[] = "000230319105";
constexpr char kReading[] = "FEFEFE6805913130020068810843C33344333333339B16";  // 11 t, status 00
constexpr char kReadingStatusB3[] = "FEFEFE6805913130020068810843C333443333B3331B16";
constexpr char kReadingNoStatus[] = "FEFEFE6805913130020068810643C3334433333316";
constexpr char kReadingCorrupted[] = "FEFEFE6805913130020068810843C33344333333339C16";
constexpr char kOtherControl[] = "FEFEFE68059131300200688300438F16";
constexpr char kAddressReply[] = "FEFEFE6805913130020068810265F3A416";
constexpr char kValveDone[] = "FEFEFE680591313002006884004D16";
constexpr char kValveRefused34[] = "FEFEFE68059131300200688401348216";
constexpr char kValveStateOpen[] = "FEFEFE682674151002006881036FF333AA16";
constexpr char kValveStateClosed[] = "FEFEFE682674151002006881036FF3B32A16";
constexpr char kTime[] = "2024-01-19T15:30:00";

TEST(ResultRecord, DecodedRepliesAndTheirRows) {
    struct Case {
        Op op;
        Tab tab;
        std::string address, reply;
        std::string row;  // after the time
    } cases[] = {
        {Op::ReadReading, Tab::Network, kAddr, kReading,
         "network,read_reading,000230319105,ok,11.00,00,,,"
         "FEFEFE6805913130020068810843C33344333333339B16"},
        {Op::ReadReading, Tab::Serial, kAddr, kReadingStatusB3,
         "serial,read_reading,000230319105,ok,11.00,80,,,"
         "FEFEFE6805913130020068810843C333443333B3331B16"},
        {Op::ReadReading, Tab::Network, kAddr, kReadingNoStatus,
         "network,read_reading,000230319105,ok,11.00,,,,"
         "FEFEFE6805913130020068810643C3334433333316"},
        {Op::ReadReading, Tab::Network, kAddr, kReadingCorrupted,
         "network,read_reading,000230319105,checksum_error,,,,,"
         "FEFEFE6805913130020068810843C33344333333339C16"},
        {Op::ReadReading, Tab::Serial, kAddr, kOtherControl,
         "serial,read_reading,000230319105,no_answer,,,,,FEFEFE68059131300200688300438F16"},
        {Op::OpenValve, Tab::Network, kAddr, kValveDone,
         "network,open_valve,000230319105,ok,,,,,FEFEFE680591313002006884004D16"},
        {Op::CloseValve, Tab::Serial, kAddr, kValveRefused34,
         "serial,close_valve,000230319105,refused,,,,01,FEFEFE68059131300200688401348216"},
        // Neither success nor refusal: the window shows nothing, the record an error.
        {Op::OpenValve, Tab::Network, kAddr, kOtherControl,
         "network,open_valve,000230319105,error,,,,,FEFEFE68059131300200688300438F16"},
        {Op::ReadValveState, Tab::Network, "001015742602", kValveStateOpen,
         "network,read_valve_state,001015742602,ok,,,open,,FEFEFE682674151002006881036FF333AA16"},
        // The serial tab asks with the address trimmed; the row says so.
        {Op::ReadValveState, Tab::Serial, " 001015742602 ", kValveStateClosed,
         "serial,read_valve_state,001015742602,ok,,,closed,,FEFEFE682674151002006881036FF3B32A16"},
        // Read address: the address read, not the one asked.
        {Op::ReadAddress, Tab::Serial, "", kAddressReply,
         "serial,read_address,000230319105,ok,,,,,FEFEFE6805913130020068810265F3A416"},
        {Op::ReadAddress, Tab::Serial, "", "",
         "serial,read_address,999999999999,checksum_error,,,,,"},
    };
    for (const Case& c : cases) {
        const ReplyOutcome outcome = DecodeReply(c.op, c.tab, c.reply, c.address);
        EXPECT_EQ(ResultCsvRow(outcome.result, kTime), std::string(kTime) + "," + c.row) << c.reply;
    }
}

// The decoded texts and the lines made from the record are one and the same.
TEST(ResultRecord, ResultLinesComeFromTheRecord) {
    for (const auto& [op, tab, reply] : std::vector<std::tuple<Op, Tab, std::string>>{
             {Op::ReadReading, Tab::Network, kReading},
             {Op::ReadReading, Tab::Serial, kReading},
             {Op::OpenValve, Tab::Network, kValveDone},
             {Op::CloseValve, Tab::Serial, kValveRefused34},
             {Op::ReadValveState, Tab::Network, kValveStateClosed},
             {Op::ReadAddress, Tab::Network, kAddressReply}}) {
        const ReplyOutcome outcome = DecodeReply(op, tab, reply, " 0002303191 ");
        std::vector<std::string> shown;
        for (const auto& line : {outcome.resultLine, outcome.statusLine})
            if (line)
                shown.push_back(*line);
        EXPECT_EQ(ResultListLines(outcome.result), shown) << reply;
        EXPECT_FALSE(shown.empty()) << reply;
    }
    EXPECT_EQ(DecodeReply(Op::ReadReading, Tab::Serial, kReadingStatusB3, kAddr).statusLine,
              std::string(kAddr) +
                  " -----> 表数读取成功 00000001\r存储器状态 正常\r阀门状态 正常；\r信号状态 "
                  "正常；\r电池状态 正常；\r电池状态 正常；\r阀门开关状态 关");
}

TEST(ResultRecord, OutcomesWithoutAReply) {
    struct Case {
        Op op;
        Tab tab;
        std::string address;
        K kind;
        bool waitFailed;
        std::vector<std::string> lines;
        std::string outcome;
    } cases[] = {
        {Op::ReadReading,
         Tab::Network,
         "",
         K::EmptyAddress,
         false,
         {" -----> TCP/IP读表数"},
         "empty_address"},
        {Op::OpenValve,
         Tab::Network,
         "",
         K::EmptyAddress,
         false,
         {" -----> 通讯地址为空"},
         "empty_address"},
        {Op::ReadReading, Tab::Serial, "", K::EmptyAddress, false, {}, "empty_address"},
        {Op::ReadReading,
         Tab::Network,
         kAddr,
         K::NoAnswer,
         true,
         {"000230319105 -----> TCP/IP读表数"},
         "no_answer"},
        {Op::ReadValveState,
         Tab::Network,
         kAddr,
         K::LinkClosed,
         true,
         {"000230319105 -----> 通讯地址出错"},
         "link_closed"},
        // Found closed before sending: the checksum error ends the batch, no line.
        {Op::CloseValve, Tab::Network, kAddr, K::LinkClosed, false, {}, "link_closed"},
        {Op::ReadReading, Tab::Serial, kAddr, K::NoAnswer, true, {}, "no_answer"},
        {Op::ReadValveState, Tab::Network, kAddr, K::Stopped, false, {}, "stopped"},
        {Op::ReadReading, Tab::Network, kAddr, K::Error, false, {}, "error"},
    };
    for (const Case& c : cases) {
        MeterResult r;
        r.tab = c.tab;
        r.operation = c.op;
        r.address = c.address;
        r.kind = c.kind;
        r.waitFailed = c.waitFailed;
        EXPECT_EQ(ResultListLines(r), c.lines) << c.outcome;
        EXPECT_EQ(ResultCsvRow(r, kTime), std::string(kTime) + "," + TabName(c.tab) + "," +
                                              OperationName(c.op) + "," + c.address + "," +
                                              c.outcome + ",,,,,")
            << c.outcome;
    }
}

TEST(ResultRecord, FieldsAreQuotedAsRfc4180Says) {
    EXPECT_EQ(CsvField("000230319105"), "000230319105");
    EXPECT_EQ(CsvField(""), "");
    EXPECT_EQ(CsvField(" 12 34 "), " 12 34 ");
    EXPECT_EQ(CsvField("12,34"), "\"12,34\"");
    EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(CsvField("0002303191\r"), "\"0002303191\r\"");
    EXPECT_EQ(CsvField("a\nb"), "\"a\nb\"");
    MeterResult r;
    r.address = "1,\"2\"";
    r.kind = ResultKind::EmptyAddress;
    EXPECT_EQ(ResultCsvRow(r, kTime),
              std::string(kTime) + ",network,read_reading,\"1,\"\"2\"\"\",empty_address,,,,,");
}

}  // namespace
