// btnOpenCOM: opening and closing, why an open failed, typing errors in the
// time-out and baud fields; and the hidden canned-reply button of the tab.
#include "SerialTabFixture.h"

#include "DeviceMap.h"
#include "SerialLink.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

using testing::ElementsAre;
using testing::IsEmpty;

TEST_F(SerialTabTest, OpensThePortMappedInConfigIniAndClosesIt) {
    StartSim();
    OpenWindow("[Ports]\nCOM3=" + sim->PtyLink() + "\n");
    ui().edtComName->setCurrentIndex(2);
    ui().edtBTL->setCurrentIndex(4);

    ui().btnOpenCOM->click();
    EXPECT_TRUE(PortOpen);
    EXPECT_EQ(ui().btnOpenCOM->text(), "关闭串口");
    EXPECT_EQ(ui().sStatusBar1Panel0->text(), "串口号:COM3  波特率:9600");
    EXPECT_EQ(ui().sStatusBar1Panel1->text(), "COM3 → " + QString::fromStdString(sim->PtyLink()));

    // The port is really there: a read reading goes through it.
    ui().edtAddr->setText("000230319105");
    ui().btnGetDataCOM->click();
    EXPECT_EQ(ui().lblDATA->text(), "11  吨");

    ui().btnOpenCOM->click();
    EXPECT_FALSE(PortOpen);
    EXPECT_EQ(ui().btnOpenCOM->text(), "打开串口");
    EXPECT_EQ(ui().sStatusBar1Panel0->text(), "串口号:COM3  波特率:9600");
    EXPECT_EQ(ui().sStatusBar1Panel1->text(), "");

    const auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.front(), LogEntry("", "串口号：COM3打开成功！"));
    EXPECT_EQ(log.back(), LogEntry("", "串口号：COM3关闭成功！"));
    EXPECT_THAT(errors, IsEmpty());
}

TEST_F(SerialTabTest, FailedOpenTellsTheReasonInStatusPanelOne) {
    StartSim();
    OpenWindow("");
    const std::string missing = folder.filePath("ttyUSB9").toStdString();
    const std::string plainFile = folder.filePath("not-a-tty").toStdString();
    std::ofstream(plainFile) << "x";
    // Another program holding the port: its lock on the device.
    const int holder = ::open(sim->PtyLink().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

    const struct {
        std::string device;
        QString reason;
    } cases[] = {
        {missing,
         "设备不存在：请检查串口线或 USB 转串口适配器，或在 Config.ini 的 [Ports] 中指定设备"},
        {plainFile, "不是串口设备"},
        {sim->PtyLink(), "串口被其他程序占用：请先关闭占用该串口的程序"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        SetSerialDeviceMap({{1, c.device}});
        MarkLog();
        ui().btnOpenCOM->click();
        EXPECT_FALSE(PortOpen);
        EXPECT_EQ(ui().btnOpenCOM->text(), "打开串口");
        EXPECT_THAT(NewLog(), ElementsAre(LogEntry("", "串口号：COM1打开失败！")));
        EXPECT_EQ(ui().sStatusBar1Panel1->text(),
                  "COM1 → " + QString::fromStdString(c.device) + " 打开失败：" + c.reason);
    }

    // Once the other program lets go, the same port opens and the reason goes.
    ::close(holder);
    ui().btnOpenCOM->click();
    EXPECT_TRUE(PortOpen);
    EXPECT_EQ(ui().sStatusBar1Panel1->text(), "COM1 → " + QString::fromStdString(sim->PtyLink()));
    EXPECT_THAT(errors, IsEmpty());
}

TEST(SerialOpenFailureReason, PermissionNamesTheDialoutRemedyOtherErrorsTheSystemText) {
    // Root opens any device, so permission is checked here rather than end to end.
    for (int error : {EACCES, EPERM}) {
        const QString reason = SerialOpenFailureReason(error);
        EXPECT_TRUE(reason.startsWith("没有访问权限")) << reason.toStdString();
        EXPECT_TRUE(reason.contains("sudo usermod -aG dialout $USER")) << reason.toStdString();
    }
    EXPECT_EQ(SerialOpenFailureReason(ENXIO), SerialOpenFailureReason(ENOENT));
    EXPECT_EQ(SerialOpenFailureReason(EBUSY), SerialOpenFailureReason(EWOULDBLOCK));
    EXPECT_EQ(SerialOpenFailureReason(EIO), "Input/output error");
    EXPECT_EQ(SerialOpenFailureReason(0), "");
}

TEST_F(SerialTabTest, FieldThatIsNotANumberReachesTheErrorBoxAndThePortStaysClosed) {
    StartSim();
    OpenWindow("[Ports]\nCOM1=" + sim->PtyLink() + "\n");
    const struct {
        QString delay;
        int baudIndex;
        QString error;
    } cases[] = {
        {"abc", 2, "'abc' is not a valid integer value."},
        {"3000", -1, "'' is not a valid integer value."},
        {"1e3", -1, "'1e3' is not a valid integer value."},  // the time-out is converted first
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.delay.toStdString());
        errors.clear();
        ui().edtDelay->setText(c.delay);
        ui().edtBTL->setCurrentIndex(c.baudIndex);
        ui().btnOpenCOM->setText("?");
        ui().btnOpenCOM->click();
        ASSERT_EQ(errors.size(), 1);
        EXPECT_TRUE(errors[0].endsWith(u'|' + c.error)) << errors[0].toStdString();
        EXPECT_FALSE(PortOpen);
        EXPECT_EQ(ui().btnOpenCOM->text(), "打开串口");
    }
    EXPECT_THAT(Log(), IsEmpty());
    errors.clear();
}

TEST_F(SerialTabTest, HiddenButtonDecodesTheCannedValveStateReply) {
    OpenWindow("");
    ui().Button2->click();
    EXPECT_EQ(ui().lblValveStateCOM->text(), "阀门开关状态 关");
    EXPECT_THAT(Log(), IsEmpty());
    EXPECT_THAT(errors, IsEmpty());
}
