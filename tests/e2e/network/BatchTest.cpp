// The five network-tab operations of the real window against meter-sim's
// gateway: result lines, log entries with their titles, and how each kind of
// reply ends an address or the whole batch.
#include "DefaultBus.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace bus;

namespace {
// The reply with its checksum byte one higher, as meter-sim's badsum sends it.
std::string WithBadChecksum(const std::string& reply, std::string& good, std::string& bad) {
    good = reply.substr(reply.size() - 4, 2);
    char text[3];
    std::snprintf(text, sizeof text, "%02X", (std::stoi(good, nullptr, 16) + 1) % 256);
    bad = text;
    return reply.substr(0, reply.size() - 4) + bad + "16";
}
}  // namespace

TEST_F(NetworkTab, ReadReadingServesEveryLineInOrder) {
    StartSim();
    Connect();
    SetAddresses({QString::fromStdString(kMeter1), "", "   ", "0002303191X5",
                  QString::fromStdString(kNobody), QString::fromStdString(kMeter2),
                  QString::fromStdString(kMeter3)});
    const size_t mark = Mark();
    form().ui->btnGetDataTCP->click();

    EXPECT_EQ(Results(),
              Lines({ReadingLines(kMeter1Reading), kArrow + "TCP/IP读表数",
                     "   " + kArrow + "TCP/IP读表数", "0002303191X5" + kArrow + "TCP/IP读表数",
                     kNobody + kArrow + "TCP/IP读表数", ReadingLines(kMeter2Reading),
                     ReadingLines(kMeter3Reading)}));
    // Rejected addresses: the builder's own entry, a bare Tx entry, nothing
    // sent, and the wait runs out.
    EXPECT_EQ(LogSince(mark),
              Concat({ReadingLog(kMeter1Reading),
                      {Entry("", "'$  ' is not a valid integer value"),
                       Entry("TCP/IP读表数", "Tx ->"), Entry("TCP/IP读表数", "TCP/IP读表数出错"),
                       Entry("", "'$X5' is not a valid integer value"),
                       Entry("TCP/IP读表数", "Tx ->"), Entry("TCP/IP读表数", "TCP/IP读表数出错"),
                       Entry("TCP/IP读表数", "Tx ->" + ReadReading(kNobody)),
                       Entry("TCP/IP读表数", "TCP/IP读表数出错")},
                      ReadingLog(kMeter2Reading),
                      ReadingLog(kMeter3Reading)}));
    EXPECT_TRUE(CommandButtonsEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(NetworkTab, ValveWritesAndValveState) {
    // 000230319108 answers the write with a code no one expects.
    StartSim({"--meter", "000230319108", "--fault", "000230319108:control=C4"});
    Connect();
    const std::string odd = "000230319108";

    SetAddresses({QString::fromStdString(kMeter1), "", QString::fromStdString(kMeter2),
                  QString::fromStdString(kMeter3), QString::fromStdString(odd),
                  QString::fromStdString(kNobody)});
    form().ui->edtTcpPW->setText(QStringLiteral(" 250913 "));  // blanks around are dropped
    size_t mark = Mark();
    form().ui->btnOpenValveTCP->click();
    const std::string title = "TCP/IP开阀指令";
    EXPECT_EQ(Results(), Lines({kMeter1 + kArrow + "直接开阀执行成功", kArrow + "通讯地址为空",
                                kMeter2 + kArrow + "直接开阀执行成功",
                                kMeter3 + kArrow + "直接开阀执行失败！  失败代码: " + kCodeNoValve,
                                kNobody + kArrow + "通讯地址出错"}));
    EXPECT_EQ(LogSince(mark), (std::vector<LogEntry>{
                                  Entry(title, "Tx ->" + OpenValve(kMeter1)),
                                  Entry(title, "Rx <-" + Frame(kMeter1, "84", "")),
                                  Entry("直接开阀", "直接开阀执行成功！ 84"),
                                  Entry(title, "Tx ->" + OpenValve(kMeter2)),
                                  Entry(title, "Rx <-" + Frame(kMeter2, "84", "")),
                                  Entry("直接开阀", "直接开阀执行成功！ 84"),
                                  Entry(title, "Tx ->" + OpenValve(kMeter3)),
                                  Entry(title, "Rx <-" + Frame(kMeter3, "84", "35")),
                                  Entry("开阀", "直接开阀执行失败！  失败代码: " + kCodeNoValve),
                                  Entry(title, "Tx ->" + OpenValve(odd)),
                                  Entry(title, "Rx <-" + Frame(odd, "C4", "")),
                                  Entry(title, "Tx ->" + OpenValve(kNobody)),
                                  Entry(title, "通讯地址出错"),
                              }));

    SetAddresses({QString::fromStdString(kMeter1)});
    mark = Mark();
    form().ui->btnCloseValveTCP->click();
    EXPECT_EQ(Results(), Shown(kMeter1 + kArrow + "直接关阀执行成功"));
    EXPECT_EQ(LogSince(mark), (std::vector<LogEntry>{
                                  Entry("TCP/IP直接关阀指令", "Tx ->" + CloseValve(kMeter1)),
                                  Entry("TCP/IP直接关阀指令", "Rx <-" + Frame(kMeter1, "84", "")),
                                  Entry("直接关阀", "直接关阀执行成功！ 84")}));

    // The meters' valves now: the first closed, the second opened above.
    SetAddresses({QString::fromStdString(kMeter1), QString::fromStdString(kMeter2), "",
                  QString::fromStdString(kMeter3)});
    mark = Mark();
    form().ui->btnGetValveStateTCP->click();
    const std::string stateTitle = "TCP/IP读取阀门状态";
    EXPECT_EQ(Results(), Lines({kMeter1 + " -----> 阀门开关状态 关",
                                kMeter2 + " -----> 阀门开关状态 开", kArrow + "通讯地址为空"}));
    EXPECT_EQ(LogSince(mark),
              (std::vector<LogEntry>{
                  Entry(stateTitle, "Tx ->" + ReadValveState(kMeter1)),
                  Entry(stateTitle, "Rx <-" + Frame(kMeter1, "81", "6FF3B3")),
                  Entry(stateTitle, "Tx ->" + ReadValveState(kMeter2)),
                  Entry(stateTitle, "Rx <-" + Frame(kMeter2, "81", "6FF333")),
                  // No valve: the meter answers with an error reply.
                  Entry(stateTitle, "Tx ->" + ReadValveState(kMeter3)),
                  Entry(stateTitle, "Rx <-" + Frame(kMeter3, "C1", "35")),
                  Entry("读取阀门状态", "读取阀门状态失败！ 表地址或者标识错误不应答"),
              }));
    EXPECT_TRUE(CommandButtonsEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(NetworkTab, LoneLeadingByteIsDroppedByReadReadingAndSkippedElsewhere) {
    StartSim({"--fault", kMeter1 + ":lone=60"});
    Connect();
    SetAddresses({QString::fromStdString(kMeter1), QString::fromStdString(kMeter2)});
    size_t mark = Mark();
    form().ui->btnGetDataTCP->click();
    EXPECT_EQ(Results(), Lines({ReadingLines(kMeter1Reading), ReadingLines(kMeter2Reading)}));
    EXPECT_EQ(LogSince(mark), Concat({ReadingLog(kMeter1Reading), ReadingLog(kMeter2Reading)}));

    // Elsewhere the byte arrives in front of the reply frame: it is shown on
    // its own and the frame is the reply.
    mark = Mark();
    form().ui->btnGetValveStateTCP->click();
    EXPECT_EQ(Results(),
              Lines({kMeter1 + kArrow + "阀门开关状态 开", kMeter2 + kArrow + "阀门开关状态 关"}));
    const std::string title = "TCP/IP读取阀门状态";
    EXPECT_EQ(LogSince(mark), (std::vector<LogEntry>{
                                  Entry(title, "Tx ->" + ReadValveState(kMeter1)),
                                  Entry(title, "跳过 <-00"),
                                  Entry(title, "Rx <-" + Frame(kMeter1, "81", "6FF333")),
                                  Entry(title, "Tx ->" + ReadValveState(kMeter2)),
                                  Entry(title, "Rx <-" + Frame(kMeter2, "81", "6FF3B3")),
                              }));
    EXPECT_TRUE(CommandButtonsEnabled());
}

TEST_F(NetworkTab, SplitAndLateRepliesReachTheirOwnMeter) {
    // Meter 2 answers after its wait is over, during meter 3's wait; meter 3
    // answers later still, but within its own wait.
    StartSim({"--fault", kMeter1 + ":split=60", "--fault", kMeter2 + ":delay=500", "--fault",
              kMeter3 + ":delay=250"});
    Connect();
    SetAddresses({QString::fromStdString(kMeter1), QString::fromStdString(kMeter2),
                  QString::fromStdString(kMeter3)});
    const size_t mark = Mark();
    form().ui->btnGetDataTCP->click();
    EXPECT_EQ(Results(), Lines({ReadingLines(kMeter1Reading), kMeter2 + kArrow + "TCP/IP读表数",
                                ReadingLines(kMeter3Reading)}));
    EXPECT_EQ(LogSince(mark), Concat({ReadingLog(kMeter1Reading),
                                      {Entry("TCP/IP读表数", "Tx ->" + ReadReading(kMeter2)),
                                       Entry("TCP/IP读表数", "TCP/IP读表数出错")},
                                      // Meter 2's late reply is in meter 3's bytes, shown apart.
                                      ReadingLog(kMeter3Reading, kReading2)}));
}

TEST_F(NetworkTab, CorruptedReplyEndsTheBatch) {
    StartSim({"--fault", kMeter2 + ":badsum"});
    Connect();
    SetAddresses({QString::fromStdString(kMeter1), QString::fromStdString(kMeter2),
                  QString::fromStdString(kMeter3), QString::fromStdString(kMeter1),
                  QString::fromStdString(kMeter2)});
    const size_t mark = Mark();
    form().ui->btnGetDataTCP->click();
    std::string computed, received;
    const std::string corrupted = WithBadChecksum(kReading2, computed, received);
    EXPECT_EQ(Results(), Lines({ReadingLines(kMeter1Reading)}));
    // Read reading logs its Rx entry only for a reply that passed the check.
    EXPECT_EQ(LogSince(mark),
              Concat({ReadingLog(kMeter1Reading),
                      {Entry("TCP/IP读表数", "Tx ->" + ReadReading(kMeter2)),
                       Entry("TCP/IP读表数", "数据校验错误：" + corrupted + " [" + computed + "-" +
                                                 received + "]")}}));
    EXPECT_TRUE(CommandButtonsEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(NetworkTab, ReadingThatIsNotDecimalEndsTheBatchWithTheErrorPrefix) {
    StartSim({"--fault", kMeter2 + ":nondecimal"});
    Connect();
    SetAddresses({QString::fromStdString(kMeter1), QString::fromStdString(kMeter2),
                  QString::fromStdString(kMeter3)});
    const size_t mark = Mark();
    form().ui->btnGetDataTCP->click();
    EXPECT_EQ(Results(), Lines({ReadingLines(kMeter1Reading)}));
    const std::string reply = Frame(kMeter2, "81",
                                    "43C3"
                                    "896745DE"
                                    "B3"
                                    "33");
    EXPECT_EQ(LogSince(mark),
              Concat({ReadingLog(kMeter1Reading),
                      {Entry("TCP/IP读表数", "Tx ->" + ReadReading(kMeter2)),
                       Entry("TCP/IP读表数", "Rx <-" + reply),
                       Entry("", "TCP/IP读表数出错 :'AB123456' is not a valid integer value")}}));
    EXPECT_TRUE(CommandButtonsEnabled());
}

TEST_F(NetworkTab, GatewayDroppingTheConnectionMidBatch) {
    struct Case {
        const char* name;
        QPushButton* Ui::TForm1::*button;
        std::string title, readFailureLine, readFailureLog;
        bool rxBeforeCheck;
        std::vector<LogEntry> first;  // what the first meter writes
        std::string firstLines;
        std::string (*request)(const std::string&);
    };
    const Case cases[] = {
        {"read reading", &Ui::TForm1::btnGetDataTCP, "TCP/IP读表数", "TCP/IP读表数",
         "TCP/IP读表数出错", false, ReadingLog(kMeter1Reading), ReadingLines(kMeter1Reading),
         ReadReading},
        {"open valve",
         &Ui::TForm1::btnOpenValveTCP,
         "TCP/IP开阀指令",
         "通讯地址出错",
         "通讯地址出错",
         true,
         {Entry("TCP/IP开阀指令", "Tx ->" + OpenValve(kMeter1)),
          Entry("TCP/IP开阀指令", "Rx <-" + Frame(kMeter1, "84", "")),
          Entry("直接开阀", "直接开阀执行成功！ 84")},
         kMeter1 + kArrow + "直接开阀执行成功",
         OpenValve},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Meter 2 never answers; the gateway goes away while we wait for it.
        StartSim({"--verbose", "--fault", kMeter2 + ":silent"});
        Connect();
        SetAddresses({QString::fromStdString(kMeter1), QString::fromStdString(kMeter2),
                      QString::fromStdString(kMeter3), QString::fromStdString(kMeter1)});
        // meter-sim logs a request from its first 68 on.
        const std::string seen = " RX " + c.request(kMeter2).substr(6);
        std::thread hangUp([&] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (std::chrono::steady_clock::now() < deadline) {
                std::string output = sim->Output();
                std::transform(output.begin(), output.end(), output.begin(), ::toupper);
                if (output.find(seen) != std::string::npos)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            sim->Stop();
        });
        const size_t mark = Mark();
        (form().ui.get()->*c.button)->click();
        hangUp.join();

        // Meter 2's wait sees the close: its read failure, then the batch
        // ends with the reason, and the link shows as down.
        EXPECT_EQ(Results(), Lines({c.firstLines, kMeter2 + kArrow + c.readFailureLine}));
        std::vector<LogEntry> expected = c.first;
        expected.push_back(Entry(c.title, "Tx ->" + c.request(kMeter2)));
        expected.push_back(Entry(c.title, c.readFailureLog));
        expected.push_back(Entry("", c.title + "出错 :连接已被对方关闭"));
        EXPECT_EQ(LogSince(mark), expected);
        EXPECT_FALSE(form().TcpClient1.IsOpen());
        EXPECT_EQ(form().ui->btnOpenTCP->text(), QStringLiteral("打开链接"));
        EXPECT_TRUE(form().ui->sStatusBar1Panel0->text().isEmpty());
        EXPECT_TRUE(CommandButtonsEnabled());

        // The caption is only a label: the next click tries to connect again.
        const size_t before = Mark();
        form().ui->btnOpenTCP->click();
        EXPECT_EQ(LogSince(before), std::vector<LogEntry>{Entry("", "TCP/IP链接失败")});
        window.reset();
        sim.reset();
    }
}

TEST_F(NetworkTab, ReadAddressAddsOneLineEachTime) {
    StartSim({"--no-defaults", "--meter", kMeter1 + ":reading=11"});
    Connect();
    form().ui->AddrList->setPlainText(QStringLiteral("not read by read address"));
    const std::string reply = Frame(kMeter1, "81",
                                    "65F3"
                                    "38C464633533");
    const size_t mark = Mark();
    form().ui->btnReadAddrTCP->click();
    form().ui->btnReadAddrTCP->click();
    EXPECT_EQ(Results(), Lines({kMeter1, kMeter1}));
    const std::vector<LogEntry> once{Entry("TCP/IP读通讯地址", "Tx ->" + kReadAddress),
                                     Entry("TCP/IP读通讯地址", "Rx <-" + reply)};
    EXPECT_EQ(LogSince(mark), Concat({once, once}));
    EXPECT_TRUE(CommandButtonsEnabled());

    // A batch starts its list afresh.
    SetAddresses({QString::fromStdString(kMeter1)});
    form().ui->btnGetDataTCP->click();
    EXPECT_EQ(Results(), Lines({ReadingLines(kMeter1Reading)}));
}

TEST_F(NetworkTab, ReadAddressOnABusOrWithNoMeter) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool answered;
    } const cases[] = {
        // Three meters answer at once; their replies collide into a frame
        // whose checksum cannot match, which must not be shown as an address.
        {"three meters", {}, true},
        {"no meter answering",
         {"--no-defaults", "--meter", kNobody, "--fault", kNobody + ":silent"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartSim(c.args);
        Connect();
        form().ui->sResultList->setPlainText(QStringLiteral("kept"));
        const size_t mark = Mark();
        form().ui->btnReadAddrTCP->click();
        EXPECT_EQ(Results(), QStringLiteral("kept"));
        const std::vector<LogEntry> log = LogSince(mark);
        ASSERT_EQ(log.size(), c.answered ? 3u : 2u);
        EXPECT_EQ(log[0], Entry("TCP/IP读通讯地址", "Tx ->" + kReadAddress));
        if (c.answered) {
            EXPECT_EQ(log[1].title, QStringLiteral("TCP/IP读通讯地址"));
            const QString reply = log[1].message.mid(5);
            EXPECT_TRUE(log[1].message.startsWith(QStringLiteral("Rx <-FEFEFE68")));
            EXPECT_EQ(log[2].title, QStringLiteral("TCP/IP读通讯地址"));
            EXPECT_TRUE(log[2].message.startsWith(QStringLiteral("数据校验错误：") + reply + " ["))
                << log[2].message.toStdString();
        } else {
            EXPECT_EQ(log[1], Entry("TCP/IP读通讯地址", "通讯地址出错"));
        }
        EXPECT_TRUE(CommandButtonsEnabled());
        window.reset();
        sim.reset();
    }
}

TEST_F(NetworkTab, NothingIsSentWithoutAConnection) {
    TForm1& w = Open(1);
    w.ui->sResultList->setPlainText(QStringLiteral("kept"));
    const LogEntry notLinked = Entry("", "TCP/IP：127.0.0.1未链接");
    for (QPushButton* button :
         {w.ui->btnReadAddrTCP, w.ui->btnGetDataTCP, w.ui->btnGetValveStateTCP,
          w.ui->btnOpenValveTCP, w.ui->btnCloseValveTCP}) {
        SCOPED_TRACE(button->objectName().toStdString());
        const size_t mark = Mark();
        button->click();
        EXPECT_EQ(LogSince(mark), std::vector<LogEntry>{notLinked});
        EXPECT_EQ(Results(), QStringLiteral("kept"));
        EXPECT_TRUE(CommandButtonsEnabled());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    }
}

TEST_F(NetworkTab, ModelWithoutValveRefusesOnlyTheValveOperations) {
    TForm1& w = Open(1);
    for (const int model : {0, 2}) {
        SCOPED_TRACE(model);
        w.ui->cbWaterType->setCurrentIndex(model);
        const size_t mark = Mark();
        w.ui->btnOpenValveTCP->click();
        w.ui->btnCloseValveTCP->click();
        w.ui->btnGetValveStateTCP->click();
        // Read reading is not the model's business: it goes on to the link check.
        w.ui->btnGetDataTCP->click();
        EXPECT_EQ(LogSince(mark), (std::vector<LogEntry>{Entry("开阀", "设备不支持此功能"),
                                                         Entry("关阀", "设备不支持此功能"),
                                                         Entry("读取阀门状态", "设备不支持此功能"),
                                                         Entry("", "TCP/IP：127.0.0.1未链接")}));
    }
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(NetworkTab, EmptyAddressListEmptiesTheResultsAndSendsNothing) {
    StartSim({"--verbose"});
    Connect();
    form().ui->sResultList->setPlainText(QStringLiteral("old"));
    form().ui->AddrList->setPlainText(QString());
    const size_t mark = Mark();
    form().ui->btnGetValveStateTCP->click();
    EXPECT_EQ(Results(), QString());
    EXPECT_TRUE(LogSince(mark).empty());
    EXPECT_TRUE(CommandButtonsEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(sim->Output().find(" rx "), std::string::npos);

    // A break after the last line adds no line; one between lines does.
    form().ui->AddrList->setPlainText(QString::fromStdString(kMeter1 + "\n\n" + kMeter1 + "\n"));
    form().ui->btnGetValveStateTCP->click();
    const std::string open = kMeter1 + " -----> 阀门开关状态 开";
    EXPECT_EQ(Results(), Lines({open, kArrow + "通讯地址为空", open}));
}

TEST_F(NetworkTab, HiddenButtonDecodesTheCannedReading) {
    TForm1& w = Open(1);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    w.ui->Button1->click();
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(Results(),
              Lines({kArrow + "11.00  吨", kArrow + "表数读取成功: " + kStatusAllClear}));
    EXPECT_EQ(Log(),
              (std::vector<LogEntry>{
                  Entry("TCP/IP读表数", "Rx <-FEFEFE6805913130020068810843C33344333333339B16"),
                  Entry("TCP/IP读表数据", "表数读取成功！ 00001100"),
                  Entry("TCP/IP读表数据", "表数读取成功: " + kStatusAllClear)}));
}
