// Replies that must prove they answer the request: echoing adapters, late
// replies of other meters, pauses inside a reply, noise around it, and a
// network batch run inside a serial wait.
#include "SerialTabFixture.h"

#include "SerialLink.h"

#include <QPushButton>

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::IsEmpty;

namespace {
const QString k105 = "000230319105";
const QString kNoAnswer = "表数读取失败！ 表地址或者标识错误不应答";
const QString kTimedOut = "读取数据超时...";
const QString kEmptyChecksumError = "数据校验错误： [-]";
const QString kSkipped = "跳过 <-";

const QString kReadRequest105 = "FEFEFE6805913130020068010243C3D216";
const QString kReadReply105 = "FEFEFE6805913130020068810843C33344333333339B16";
const QString kReadRequest199 = "FEFEFE6899913130020068010243C36616";
const QString kAddressRequestAll = "FEFEFE6899999999999968010265F3C116";
const QString kValveStateRequest105 = "FEFEFE680591313002006801026FF32E16";
const QString kValveStateReply105 = "FEFEFE680591313002006881036FF333E216";

using Button = QPushButton* Ui::TForm1::*;

// The reading entries of 000230319105 on the default bus, after its Tx.
std::vector<LogEntry> Reading105() {
    return {LogEntry("", "Rx <-" + kReadReply105), LogEntry("读表数据", "表数读取成功！ 00001100"),
            LogEntry("读表数据",
                     "表数读取成功: 00000000\r存储器状态 正常\r阀门状态 正常；\r信号状态 "
                     "正常；\r电池状态 正常；\r电池状态 正常；\r阀门开关状态 开")};
}

std::vector<LogEntry> Concat(std::vector<LogEntry> a, const std::vector<LogEntry>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
}  // namespace

TEST_F(SerialTabTest, EveryOperationWorksThroughAnEchoingLine) {
    // The same click on a plain line and on one that echoes the request:
    // the same outcome, with the echo shown apart just before the reply.
    const struct {
        const char* name;
        Button button;
        QString address;
    } cases[] = {
        {"read address", &Ui::TForm1::btnReadAddrCOM, ""},
        {"read reading", &Ui::TForm1::btnGetDataCOM, k105},
        {"open valve", &Ui::TForm1::btnOpenValveCOM, k105},
        {"close valve", &Ui::TForm1::btnCloseValveCOM, k105},
        {"read valve state", &Ui::TForm1::btnGetValveStateCOM, k105},
    };
    struct Outcome {
        std::vector<LogEntry> log;
        QStringList lines;
        QString address, reading, valveState;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcomes[2];
        for (const bool echo : {false, true}) {
            StartWithOpenPort(echo ? std::vector<std::string>{"--echo"}
                                   : std::vector<std::string>{});
            ui().cbWaterType->setCurrentIndex(1);  // cold water, with valve
            ui().edtAddr->setText(c.address);
            (ui().*c.button)->click();
            outcomes[echo] = {NewLog(), ResultLines(), ui().edtAddr->text(), ui().lblDATA->text(),
                              ui().lblValveStateCOM->text()};
            Reset();
        }
        const Outcome& plain = outcomes[0];
        const Outcome& echoed = outcomes[1];
        ASSERT_GE(plain.log.size(), 2u);
        std::vector<LogEntry> expected = plain.log;
        const QString request = plain.log[0].message.mid(QStringLiteral("Tx ->").size());
        expected.insert(expected.begin() + 1, LogEntry(plain.log[1].title, kSkipped + request));
        EXPECT_THAT(echoed.log, ElementsAreArray(expected));
        EXPECT_EQ(echoed.lines, plain.lines);
        EXPECT_EQ(echoed.address, plain.address);
        EXPECT_EQ(echoed.reading, plain.reading);
        EXPECT_EQ(echoed.valveState, plain.valveState);
        // And the plain outcome is a real answer, not a failure on both lines.
        EXPECT_FALSE(plain.log[1].message.isEmpty());
        EXPECT_NE(plain.log.back().message, kEmptyChecksumError);
    }
}

TEST_F(SerialTabTest, EchoOfAnUnansweredOrCorruptedRequestIsNeverTheReply) {
    const QString badSum = "FEFEFE680591313002006881036FF333E316";
    const struct {
        const char* name;
        std::vector<std::string> simArgs;
        Button button;
        QString address;
        std::vector<LogEntry> log;
    } cases[] = {
        // The echo of the all-nines request is a frame with a good checksum:
        // taken as the reply it would put 999999999999 into the address field.
        {"silent meter, read address",
         {"--no-defaults", "--meter", "000230319105:silent"},
         &Ui::TForm1::btnReadAddrCOM,
         "",
         {LogEntry("读通讯地址", "Tx ->" + kAddressRequestAll), LogEntry("", kTimedOut),
          LogEntry("读通讯地址", kSkipped + kAddressRequestAll), LogEntry("读通讯地址", "Rx <-"),
          LogEntry("读通讯地址", kEmptyChecksumError)}},
        {"corrupted reply, read valve state",
         {"--fault", "000230319105:badsum"},
         &Ui::TForm1::btnGetValveStateCOM,
         k105,
         {LogEntry("读取阀门状态", "Tx ->" + kValveStateRequest105),
          LogEntry("读取阀门状态", kSkipped + kValveStateRequest105),
          LogEntry("读取阀门状态", "Rx <-" + badSum),
          LogEntry("读取阀门状态", "数据校验错误：" + badSum + " [E2-E3]")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"--echo"};
        args.insert(args.end(), c.simArgs.begin(), c.simArgs.end());
        StartWithOpenPort(args);
        ui().cbWaterType->setCurrentIndex(1);
        ui().edtAddr->setText(c.address);
        ui().lblValveStateCOM->setText("old");

        (ui().*c.button)->click();

        EXPECT_THAT(NewLog(), ElementsAreArray(c.log));
        EXPECT_EQ(ui().edtAddr->text(), c.address);
        EXPECT_EQ(ui().lblValveStateCOM->text(), "old");
        Reset();
    }
}

TEST_F(SerialTabTest, LateReplyOfOneMeterIsNotTheNextMetersReading) {
    // 105 answers its first request after the time-out, while the next
    // click waits for a meter that is not on the bus.
    timeoutMs = 800;
    StartWithOpenPort({"--fault", "000230319105:delay=900@1"});
    ui().edtAddr->setText(k105);
    ui().btnGetDataCOM->click();
    EXPECT_THAT(NewLog(), ElementsAre(LogEntry("读表数据", "Tx ->" + kReadRequest105),
                                      LogEntry("", kTimedOut), LogEntry("", "Rx <-"),
                                      LogEntry("读表数据", kNoAnswer)));

    MarkLog();
    ui().edtAddr->setText("000230319199");
    ui().btnGetDataCOM->click();
    EXPECT_THAT(NewLog(),
                ElementsAre(LogEntry("读表数据", "Tx ->" + kReadRequest199),
                            LogEntry("", kTimedOut), LogEntry("", kSkipped + kReadReply105),
                            LogEntry("", "Rx <-"), LogEntry("读表数据", kNoAnswer)));
    EXPECT_EQ(ui().lblDATA->text(), "");
    EXPECT_THAT(ResultLines(), IsEmpty());

    // 105 itself is read normally again.
    MarkLog();
    ui().edtAddr->setText(k105);
    ui().btnGetDataCOM->click();
    EXPECT_THAT(NewLog(), ElementsAreArray(Concat({LogEntry("读表数据", "Tx ->" + kReadRequest105)},
                                                  Reading105())));
}

TEST_F(SerialTabTest, ReplyAroundItsFrame) {
    const struct {
        const char* fault;
        QString skipped;  // empty: no skipped entry
    } cases[] = {
        // The bus allows up to 500 ms between the bytes of a frame.
        {"split=300", ""},
        {"noise=00FF11", "00FF11"},
        {"lone=30", "00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        StartWithOpenPort({"--fault", "000230319105:" + std::string(c.fault)});
        ui().edtAddr->setText(k105);
        ui().btnGetDataCOM->click();
        std::vector<LogEntry> expected{LogEntry("读表数据", "Tx ->" + kReadRequest105)};
        if (!c.skipped.isEmpty())
            expected.push_back(LogEntry("", kSkipped + c.skipped));
        EXPECT_THAT(NewLog(), ElementsAreArray(Concat(expected, Reading105())));
        EXPECT_EQ(ui().lblDATA->text(), "11  吨");
        Reset();
    }
}

TEST_F(SerialTabTest, StrayByteAfterTheReplySpoilsNothing) {
    StartWithOpenPort({"--fault", "000230319105:trail=00"});
    ui().edtAddr->setText(k105);
    for (int click = 0; click < 2; ++click) {
        SCOPED_TRACE(click);
        MarkLog();
        ui().btnGetDataCOM->click();
        // The byte comes with the reply's burst; it shows apart when it was
        // in the reply's chunk, and is thrown away with the line's leftovers
        // otherwise.
        std::vector<LogEntry> log = NewLog();
        std::erase(log, LogEntry("", kSkipped + "00"));
        EXPECT_THAT(log, ElementsAreArray(Concat({LogEntry("读表数据", "Tx ->" + kReadRequest105)},
                                                 Reading105())));
    }
}

TEST_F(SerialTabTest, ReplyThatCameInTimeDuringANetworkBatchIsTaken) {
    // One simulator on both links; meter 106 makes the network batch last
    // longer than the serial time-out, while 105 answers the serial request
    // early in the batch.
    sim = std::make_unique<MeterSimProcess>(
        std::vector<std::string>{"--verbose", "--fault", "000230319105:delay=200", "--fault",
                                 "000230319106:delay=1500"},
        true, true);
    ASSERT_TRUE(sim->Ready()) << sim->Output();
    OpenWindow("[Ports]\nCOM1=" + sim->PtyLink() + "\n", 1000);
    ui().btnOpenCOM->click();
    ASSERT_TRUE(PortOpen);
    ui().edtRemoteHost->setText("127.0.0.1");
    ui().edtRemotePort->setText(QString::number(sim->TcpPort()));
    ui().btnOpenTCP->click();
    ASSERT_TRUE(window->TcpClient1.IsOpen());
    ui().AddrList->setPlainText("000230319106");
    ui().cbWaterType->setCurrentIndex(1);
    ui().edtAddr->setText(k105);
    MarkLog();

    During(20, [this] { ui().btnGetDataTCP->click(); });
    ui().btnGetValveStateCOM->click();

    std::vector<LogEntry> log = NewLog();
    EXPECT_THAT(log, testing::Not(testing::Contains(LogEntry("", kTimedOut))));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), LogEntry("读取阀门状态", "Tx ->" + kValveStateRequest105));
    EXPECT_EQ(log.back(), LogEntry("读取阀门状态", "Rx <-" + kValveStateReply105));
    EXPECT_EQ(ui().lblValveStateCOM->text(), "阀门开关状态 开");
    EXPECT_TRUE(ResultLines().join(u'\n').startsWith("000230319106 -----> 1234.56  吨"));
}
