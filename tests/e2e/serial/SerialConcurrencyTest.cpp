// What happens while an operation waits for its reply: the window stays
// live, so clicks run nested inside the waiting handler.
#include "SerialTabFixture.h"

#include "SerialLink.h"

#include <QPushButton>

using testing::ElementsAre;

namespace {
const QString kAddressRequest105 = "Tx ->FEFEFE6805913130020068010265F32416";
const QString kAddressReply105 = "Rx <-FEFEFE6805913130020068810865F338C464633533D516";
}  // namespace

TEST_F(SerialTabTest, SecondClickIsRefusedWithTheKeptChecksumEntryAndTheFirstCompletes) {
    StartWithOpenPort({"--fault", "000230319105:delay=300@1"});
    ui().edtAddr->setText("000230319105");
    During(50, [this] { ui().btnReadAddrCOM->click(); });

    ui().btnReadAddrCOM->click();

    EXPECT_THAT(
        NewLog(),
        ElementsAre(LogEntry("读通讯地址", kAddressRequest105),
                    LogEntry("读通讯地址", kAddressRequest105), LogEntry("", "串号口:COM1正忙..."),
                    LogEntry("读通讯地址", "Rx <-"), LogEntry("读通讯地址", "数据校验错误： [-]"),
                    LogEntry("读通讯地址", kAddressReply105)));
    EXPECT_EQ(ui().edtAddr->text(), "000230319105");
    EXPECT_EQ(SimRequests(), 1);
}

TEST_F(SerialTabTest, PortClosedByAClickDuringAnExchange) {
    // Without the close the reply would come in time.
    timeoutMs = 400;
    StartWithOpenPort({"--fault", "000230319105:delay=150"});
    ui().edtAddr->setText("000230319105");
    During(30, [this] { ui().btnOpenCOM->click(); });
    // Opening again while the old exchange still waits is refused.
    During(60, [this] { ui().btnOpenCOM->click(); });

    ui().btnGetDataCOM->click();

    EXPECT_THAT(
        NewLog(),
        ElementsAre(LogEntry("读表数据", "Tx ->FEFEFE6805913130020068010243C3D216"),
                    LogEntry("", "串口号：COM1关闭成功！"), LogEntry("", "串口号：COM1打开失败！"),
                    LogEntry("", "读取数据超时..."), LogEntry("", "Rx <-"),
                    LogEntry("读表数据", "表数读取失败！ 表地址或者标识错误不应答")));
    EXPECT_EQ(ui().sStatusBar1Panel1->text(), "COM1 打开失败：上一次通讯尚未结束，请稍后再试");
    EXPECT_FALSE(PortOpen);
    EXPECT_EQ(ui().btnOpenCOM->text(), "打开串口");
    EXPECT_EQ(ui().lblDATA->text(), "");
    EXPECT_EQ(CommandButtonStates(), AllCommandButtons(true));

    // Once the exchange is over the port opens again.
    ui().btnOpenCOM->click();
    EXPECT_TRUE(PortOpen);
}

TEST_F(SerialTabTest, CommandButtonsLockedWhileReadingOrWritingTheValve) {
    using Button = QPushButton* Ui::TForm1::*;
    const Button readAddress = &Ui::TForm1::btnReadAddrCOM;
    const Button readReading = &Ui::TForm1::btnGetDataCOM;
    const Button openValve = &Ui::TForm1::btnOpenValveCOM;
    const Button closeValve = &Ui::TForm1::btnCloseValveCOM;
    const Button valveState = &Ui::TForm1::btnGetValveStateCOM;
    // Every way out of the locking operations: a reply, a corrupted reply,
    // an error while decoding, no reply. The meters answer only after the
    // line has been quiet for 100 ms, so a click always waits that long.
    const struct {
        const char* fault;
        std::vector<Button> buttons;
    } cases[] = {
        {"delay=30", {readReading, openValve, closeValve, readAddress, valveState}},
        {"delay=30,badsum", {readReading, openValve, closeValve}},
        {"delay=30,nondecimal", {readReading}},
        {"silent", {readReading, openValve, closeValve}},
    };
    for (const auto& c : cases) {
        StartWithOpenPort({"--fault", std::string("000230319105:") + c.fault});
        ui().edtAddr->setText("000230319105");
        for (const Button button : c.buttons) {
            const bool locks = button != readAddress && button != valveState;
            SCOPED_TRACE(std::string(c.fault) + " " + (ui().*button)->objectName().toStdString());
            std::vector<bool> during;
            bool openEnabled = false;
            During(20, [&] {
                during = CommandButtonStates();
                openEnabled = ui().btnOpenCOM->isEnabled();
            });
            MarkLog();
            (ui().*button)->click();
            EXPECT_EQ(during, AllCommandButtons(!locks));
            EXPECT_TRUE(openEnabled);
            EXPECT_EQ(CommandButtonStates(), AllCommandButtons(true));
            EXPECT_GE(NewLog().size(), 2u);  // it did send and wait
        }
        Reset();
    }
}
