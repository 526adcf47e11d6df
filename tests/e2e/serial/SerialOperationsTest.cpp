// The five operations of the serial tab against meter-sim over a pty: the
// log entries in order, byte for byte, the result controls and the list.
#include "SerialTabFixture.h"

#include "SerialLink.h"

#include <QPushButton>

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::IsEmpty;

namespace {
const QString k105 = "000230319105";
const QString k106 = "000230319106";
const QString k107 = "000230319107";
const QString kNoAnswer = "表数读取失败！ 表地址或者标识错误不应答";
const QString kEmptyChecksumError = "数据校验错误： [-]";
const QString kTimedOut = "读取数据超时...";

// Requests to and replies from the default bus.
const QString kReadRequest105 = "FEFEFE6805913130020068010243C3D216";
const QString kReadReply105 = "FEFEFE6805913130020068810843C33344333333339B16";
const QString kReadRequest107 = "FEFEFE6807913130020068010243C3D416";
const QString kReadReply107 = "FEFEFE6807913130020068810843C3383333333B339916";
const QString kOpenRequest105 = "FEFEFE68059131300200680408886635463C588866C016";
const QString kCloseRequest105 = "FEFEFE6805913130020068040899CC35463C5899CCAE16";
const QString kValveDone105 = "FEFEFE680591313002006884004D16";

// Result-list lines as the list shows them: one line per CR as well.
QStringList Lines(const QStringList& lines) {
    return lines.join(u'\n').replace(u'\r', u'\n').split(u'\n');
}
}  // namespace

TEST_F(SerialTabTest, ReadReadingWithStatusByte) {
    StartWithOpenPort();
    ui().sResultList->setPlainText("earlier line");
    ui().lblDATA->setText("old");
    ui().edtAddr->setText(k107);

    ui().btnGetDataCOM->click();

    const QString report =
        "00010000\r存储器状态 正常\r阀门状态 正常；\r信号状态 正常；\r电池状态 故障；\r"
        "电池状态 正常；\r阀门开关状态 开";
    EXPECT_THAT(NewLog(), ElementsAre(LogEntry("读表数据", "Tx ->" + kReadRequest107),
                                      LogEntry("", "Rx <-" + kReadReply107),
                                      LogEntry("读表数据", "表数读取成功！ 00000005"),
                                      LogEntry("读表数据", "表数读取成功: " + report)));
    EXPECT_EQ(ui().lblDATA->text(), "0.05  吨");
    EXPECT_EQ(ResultLines(), Lines({"earlier line", k107 + " -----> 0.05  吨",
                                    k107 + " -----> 表数读取成功 " + report}));
    EXPECT_EQ(CommandButtonStates(), AllCommandButtons(true));
}

TEST_F(SerialTabTest, ReadReadingWithoutStatusByte) {
    // The simulator always sends the status byte; this meter leaves it out.
    ScriptedMeter meter("FEFEFE6805913130020068810643C3334433333316");
    OpenWindow("[Ports]\nCOM1=" + meter.Path() + "\n");
    ui().btnOpenCOM->click();
    ASSERT_TRUE(PortOpen);
    MarkLog();
    ui().edtAddr->setText(k105);

    ui().btnGetDataCOM->click();

    EXPECT_THAT(meter.Requests(), ElementsAre(kReadRequest105));
    EXPECT_THAT(NewLog(),
                ElementsAre(LogEntry("读表数据", "Tx ->" + kReadRequest105),
                            LogEntry("", "Rx <-FEFEFE6805913130020068810643C3334433333316"),
                            LogEntry("读表数据", "表数读取成功！ 00001100")));
    EXPECT_EQ(ui().lblDATA->text(), "11  吨");
    EXPECT_THAT(ResultLines(), ElementsAre(k105 + " -----> 11  吨"));
}

TEST_F(SerialTabTest, ReadReadingThatYieldsNoReading) {
    const QString badSum = "FEFEFE6805913130020068810843C33344333333339C16";
    const QString nonDecimal = "FEFEFE6805913130020068810843C3334433DE33334616";
    const QString otherControl = "FEFEFE6805913130020068C10843C3334433333333DB16";
    const struct {
        const char* fault;
        std::vector<LogEntry> tail;  // after the Tx entry
    } cases[] = {
        {"silent",
         {LogEntry("", kTimedOut), LogEntry("", "Rx <-"), LogEntry("读表数据", kNoAnswer)}},
        // A reply corrupted on the line is not a reading.
        {"badsum",
         {LogEntry("", "Rx <-" + badSum),
          LogEntry("读表数据", "数据校验错误：" + badSum + " [9B-9C]")}},
        {"nondecimal",
         {LogEntry("", "Rx <-" + nonDecimal),
          LogEntry("", "读表数据出错 :'AB001100' is not a valid integer value")}},
        {"control=C1", {LogEntry("", "Rx <-" + otherControl), LogEntry("读表数据", kNoAnswer)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        StartWithOpenPort({"--fault", "000230319105:" + std::string(c.fault)});
        ui().edtAddr->setText(k105);
        ui().lblDATA->setText("old");

        ui().btnGetDataCOM->click();

        std::vector<LogEntry> expected{LogEntry("读表数据", "Tx ->" + kReadRequest105)};
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_THAT(NewLog(), ElementsAreArray(expected));
        EXPECT_EQ(ui().lblDATA->text(), "");
        EXPECT_THAT(ResultLines(), IsEmpty());
        EXPECT_EQ(CommandButtonStates(), AllCommandButtons(true));
        Reset();
    }
}

TEST_F(SerialTabTest, ValveWritesWithTheKeptRxArrowAndNetworkResultLine) {
    const QString refusal =
        "00100000\r存储器状态 正常\r阀门状态 正常\r信号状态 故障\r电池状态 正常\r电池状态 "
        "正常\r阀门开关状态 开";
    const QString refused105 = "FEFEFE68059131300200688401378516";
    const struct {
        const char* name;
        QPushButton* Ui::TForm1::*button;
        QString password;
        std::vector<std::string> simArgs;
        std::vector<LogEntry> log;
        QStringList lines;
    } cases[] = {
        {"open",
         &Ui::TForm1::btnOpenValveCOM,
         "250913",
         {"--meter", "000230319105:valve=closed"},
         {LogEntry("开阀", "Tx ->" + kOpenRequest105), LogEntry("开阀", "Rx ->" + kValveDone105),
          LogEntry("直接开阀", "直接开阀执行成功！ 84")},
         {k105 + " -----> 直接开阀执行成功"}},
        {"close",
         &Ui::TForm1::btnCloseValveCOM,
         "250913",
         {},
         {LogEntry("直接关阀", "Tx ->" + kCloseRequest105),
          LogEntry("直接关阀", "Rx ->" + kValveDone105),
          LogEntry("直接关阀", "直接关阀执行成功！ 84")},
         {k105 + " -----> 直接关阀执行成功"}},
        {"open, wrong password",
         &Ui::TForm1::btnOpenValveCOM,
         "123456",
         {},
         {LogEntry("开阀", "Tx ->FEFEFE6805913130020068040888663589674588661B16"),
          LogEntry("开阀", "Rx ->" + refused105),
          LogEntry("开阀", "直接开阀执行失败！  失败代码: " + refusal)},
         Lines({k105 + " -----> 直接开阀执行失败！  失败代码: " + refusal})},
        {"close, wrong password",
         &Ui::TForm1::btnCloseValveCOM,
         "123456",
         {},
         {LogEntry("直接关阀", "Tx ->FEFEFE6805913130020068040899CC3589674599CC0916"),
          LogEntry("直接关阀", "Rx ->" + refused105),
          LogEntry("关阀", "直接关阀执行失败！  失败代码: " + refusal)},
         Lines({k105 + " -----> 直接关阀执行失败！  失败代码: " + refusal})},
        {"open, a reply that is neither",
         &Ui::TForm1::btnOpenValveCOM,
         "250913",
         {"--fault", "000230319105:control=81"},
         {LogEntry("开阀", "Tx ->" + kOpenRequest105),
          LogEntry("开阀", "Rx ->FEFEFE680591313002006881004A16")},
         {}},
        {"close, no answer",
         &Ui::TForm1::btnCloseValveCOM,
         "250913",
         {"--fault", "000230319105:silent"},
         {LogEntry("直接关阀", "Tx ->" + kCloseRequest105), LogEntry("", kTimedOut),
          LogEntry("直接关阀", "Rx ->"), LogEntry("直接关阀", kEmptyChecksumError)},
         {}},
        {"open, a password the frame cannot carry",
         &Ui::TForm1::btnOpenValveCOM,
         "12345G",
         {},
         {LogEntry("", "'$5G' is not a valid integer value"), LogEntry("开阀", "Tx ->"),
          LogEntry("", kTimedOut), LogEntry("开阀", "Rx ->"),
          LogEntry("开阀", kEmptyChecksumError)},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StartWithOpenPort(c.simArgs);
        ui().cbWaterType->setCurrentIndex(1);  // cold water, with valve
        ui().edtAddr->setText(k105);
        ui().edtPW->setText(c.password);

        (ui().*c.button)->click();

        EXPECT_THAT(NewLog(), ElementsAreArray(c.log));
        EXPECT_EQ(ResultLines(), c.lines);
        EXPECT_EQ(CommandButtonStates(), AllCommandButtons(true));
        Reset();
    }
}

TEST_F(SerialTabTest, ReadValveState) {
    const struct {
        QString address;
        std::vector<std::string> simArgs;
        std::vector<LogEntry> log;
        QString label;
    } cases[] = {
        {k105,
         {},
         {LogEntry("读取阀门状态", "Tx ->FEFEFE680591313002006801026FF32E16"),
          LogEntry("读取阀门状态", "Rx <-FEFEFE680591313002006881036FF333E216")},
         "阀门开关状态 开"},
        {k106,
         {},
         {LogEntry("读取阀门状态", "Tx ->FEFEFE680691313002006801026FF32F16"),
          LogEntry("读取阀门状态", "Rx <-FEFEFE680691313002006881036FF3B36316")},
         "阀门开关状态 关"},
        // A meter without a valve answers with an error reply.
        {k107,
         {},
         {LogEntry("读取阀门状态", "Tx ->FEFEFE680791313002006801026FF33016"),
          LogEntry("读取阀门状态", "Rx <-FEFEFE6807913130020068C10135C216"),
          LogEntry("读取阀门状态", kNoAnswer)},
         "old"},
        {k105,
         {"--fault", "000230319105:silent"},
         {LogEntry("读取阀门状态", "Tx ->FEFEFE680591313002006801026FF32E16"),
          LogEntry("", kTimedOut), LogEntry("读取阀门状态", "Rx <-"),
          LogEntry("读取阀门状态", kEmptyChecksumError)},
         "old"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address.toStdString());
        StartWithOpenPort(c.simArgs);
        ui().edtAddr->setText(c.address);
        ui().lblValveStateCOM->setText("old");

        ui().btnGetValveStateCOM->click();

        EXPECT_THAT(NewLog(), ElementsAreArray(c.log));
        EXPECT_EQ(ui().lblValveStateCOM->text(), c.label);
        EXPECT_THAT(ResultLines(), IsEmpty());
        Reset();
    }
}

TEST_F(SerialTabTest, ReadAddress) {
    const QString reply = "FEFEFE6805913130020068810865F338C464633533D516";
    const struct {
        QString typed;
        std::vector<std::string> simArgs;
        std::vector<LogEntry> log;
        QString address;
    } cases[] = {
        // Nothing typed: every meter is asked, so the bus holds just one.
        {"",
         {"--no-defaults", "--meter", "000230319105"},
         {LogEntry("读通讯地址", "Tx ->FEFEFE6899999999999968010265F3C116"),
          LogEntry("读通讯地址", "Rx <-" + reply)},
         k105},
        // Typed short and with blanks: the request pads it, the reply replaces it.
        {" 230319105 ",
         {},
         {LogEntry("读通讯地址", "Tx ->FEFEFE6805913130020068010265F32416"),
          LogEntry("读通讯地址", "Rx <-" + reply)},
         k105},
        {k105,
         {"--fault", "000230319105:silent"},
         {LogEntry("读通讯地址", "Tx ->FEFEFE6805913130020068010265F32416"),
          LogEntry("", kTimedOut), LogEntry("读通讯地址", "Rx <-"),
          LogEntry("读通讯地址", kEmptyChecksumError)},
         k105},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        StartWithOpenPort(c.simArgs);
        ui().edtAddr->setText(c.typed);

        ui().btnReadAddrCOM->click();

        EXPECT_THAT(NewLog(), ElementsAreArray(c.log));
        EXPECT_EQ(ui().edtAddr->text(), c.address);
        Reset();
    }
}

TEST_F(SerialTabTest, RefusedBeforeAnythingIsSentWithTheKeptPrefixesAndBlank) {
    StartSim();
    OpenWindow("[Ports]\nCOM1=" + sim->PtyLink() + "\n");
    struct Case {
        QPushButton* Ui::TForm1::*button;
        LogEntry entry;
    };
    const auto expectOnly = [&](const Case& c) {
        MarkLog();
        (ui().*c.button)->click();
        EXPECT_THAT(NewLog(), ElementsAre(c.entry));
        EXPECT_EQ(CommandButtonStates(), AllCommandButtons(true));
    };
    ui().edtAddr->setText(k105);
    ui().lblDATA->setText("old");

    // Port closed: the two prefixes are two different texts.
    for (const Case& c :
         {Case{&Ui::TForm1::btnReadAddrCOM, LogEntry("", "串口号：COM1未打开")},
          Case{&Ui::TForm1::btnGetDataCOM, LogEntry("", "串号口:COM1未打开")},
          Case{&Ui::TForm1::btnOpenValveCOM, LogEntry("", "串号口:COM1未打开")},
          Case{&Ui::TForm1::btnCloseValveCOM, LogEntry("", "串号口:COM1未打开")},
          Case{&Ui::TForm1::btnGetValveStateCOM, LogEntry("", "串口号：COM1未打开")}})
        expectOnly(c);
    EXPECT_EQ(ui().lblDATA->text(), "");  // read reading empties it first

    // A model without a valve: the port is not even looked at.
    for (int model : {0, 2}) {
        ui().cbWaterType->setCurrentIndex(model);
        for (const Case& c :
             {Case{&Ui::TForm1::btnOpenValveCOM, LogEntry("开阀", "设备不支持此功能")},
              Case{&Ui::TForm1::btnCloseValveCOM, LogEntry("关阀", "设备不支持此功能")},
              Case{&Ui::TForm1::btnGetValveStateCOM, LogEntry("读取阀门状态", "设备不支持此功能")}})
            expectOnly(c);
    }

    // Port open, nothing but blanks in the address field.
    ui().cbWaterType->setCurrentIndex(3);
    ui().btnOpenCOM->click();
    ASSERT_TRUE(PortOpen);
    ui().edtAddr->setText(" \t ");
    for (const Case& c :
         {Case{&Ui::TForm1::btnGetDataCOM, LogEntry("读表数据", "请填写水表地址 ")},
          Case{&Ui::TForm1::btnOpenValveCOM, LogEntry("开阀", "请填写水表地址 ")},
          Case{&Ui::TForm1::btnCloseValveCOM, LogEntry("直接关阀", "请填写水表地址 ")},
          Case{&Ui::TForm1::btnGetValveStateCOM, LogEntry("读取阀门状态", "请填写水表地址 ")}})
        expectOnly(c);

    EXPECT_EQ(SimRequests(), 0);
    EXPECT_THAT(ResultLines(), IsEmpty());
}
