// USB serial adapters in the real window: picking a discovered device for a
// COM port, why an open failed (who holds the device, which group is
// missing), and an adapter pulled out in the middle of an exchange.
#include "SerialTabFixture.h"

#include "../../serial/FakeDeviceTree.h"
#include "DeviceMap.h"
#include "SerialLink.h"

#include <QElapsedTimer>
#include <QFile>

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

using testing::Contains;
using testing::IsEmpty;

namespace {
const char kById[] = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";

// New windows look at `tree` until the end of the scope.
struct DeviceRootsFor {
    explicit DeviceRootsFor(const FakeDeviceTree& tree) {
        TForm1::deviceRoots = {tree.Dev(), tree.Sys()};
    }
    ~DeviceRootsFor() { TForm1::deviceRoots = {}; }
};

int FindItem(const QComboBox* box, const QString& data) {
    for (int i = 0; i < box->count(); ++i)
        if (box->itemData(i).toString() == data)
            return i;
    return -1;
}

// The operator picks an item of a drop-down list.
void Pick(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    emit box->activated(index);
}

// A pty whose far end the test can close, as if the cable were pulled.
struct Adapter {
    Adapter() {
        int slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        path = ::ttyname(slave);
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::close(slave);
    }
    ~Adapter() { Pull(); }
    void Pull() {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    int master = -1;
    std::string path;
};
}  // namespace

TEST_F(SerialTabTest, ChosenDeviceOpensAndItsMappingSurvivesARestart) {
    StartSim();
    FakeDeviceTree tree;
    tree.AddPort("ttyS0", 4);
    tree.AddUsb("ttyUSB0", "1-2", {.byId = kById, .nodeTarget = sim->PtyLink()});
    const DeviceRootsFor roots(tree);
    const QString stable = QString::fromStdString(tree.Dev() + "/serial/by-id/" + kById);
    const QString node = QString::fromStdString(tree.Dev() + "/ttyUSB0");

    OpenWindow("");
    ASSERT_EQ(ui().edtComDevice->count(), 2);
    EXPECT_EQ(ui().edtComDevice->itemText(1), QString(kById) + " — " + node + " — FT232R USB UART");
    EXPECT_EQ(ui().edtComDevice->itemText(0),
              QString::fromStdString(tree.Dev()) + "/ttyS0 — serial");
    // COM19 falls back to /dev/ttyS18, which has no UART here (or does not exist).
    ui().edtComName->setCurrentIndex(18);
    EXPECT_EQ(ui().edtComDevice->currentIndex(), -1);
    EXPECT_TRUE(ui().lblComDevice->text().startsWith("COM19：未插入设备（"))
        << ui().lblComDevice->text().toStdString();

    Pick(ui().edtComDevice, FindItem(ui().edtComDevice, stable));
    EXPECT_EQ(ui().lblComDevice->text(), "COM19 → " + node + "（FT232R USB UART）");
    ui().btnOpenCOM->click();
    ASSERT_TRUE(PortOpen) << ui().sStatusBar1Panel1->text().toStdString();
    EXPECT_EQ(ui().sStatusBar1Panel1->text(), "COM19 → " + stable);
    ui().edtAddr->setText("000230319105");
    ui().btnGetDataCOM->click();
    EXPECT_EQ(ui().lblDATA->text(), "11  吨");
    ui().btnOpenCOM->click();
    ASSERT_FALSE(PortOpen);

    // Saved at close by its stable name; ports nobody mapped stay out.
    window->close();
    const QString config = folder.filePath("Config.ini");
    QFile saved(config);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(saved.readAll());
    EXPECT_TRUE(text.contains("[Ports]\nCOM19=" + stable + "\n")) << text.toStdString();
    EXPECT_FALSE(text.contains("COM1=")) << text.toStdString();

    // The restart: the same file, the same device.
    window = std::make_unique<TForm1>(config);
    EXPECT_EQ(ui().edtComName->currentText(), "COM19");
    EXPECT_EQ(ui().edtComDevice->currentIndex(), FindItem(ui().edtComDevice, stable));
    EXPECT_EQ(ui().lblComDevice->text(), "COM19 → " + node + "（FT232R USB UART）");
    ui().btnOpenCOM->click();
    EXPECT_TRUE(PortOpen);
    ui().btnOpenCOM->click();

    // Pulled: the list follows and the label says nothing is there.
    tree.Remove("ttyUSB0");
    window->RefreshSerialDevices();
    EXPECT_EQ(ui().edtComDevice->count(), 1);
    EXPECT_EQ(ui().edtComDevice->currentIndex(), -1);
    EXPECT_EQ(ui().lblComDevice->text(), "COM19：未插入设备（" + stable + "）");
    // Plugged back in, found again under the same name.
    tree.AddUsb("ttyUSB0", "1-2", {.byId = kById, .nodeTarget = sim->PtyLink()});
    window->RefreshSerialDevices();
    EXPECT_EQ(ui().edtComDevice->currentIndex(), FindItem(ui().edtComDevice, stable));
    EXPECT_EQ(ui().lblComDevice->text(), "COM19 → " + node + "（FT232R USB UART）");
}

TEST_F(SerialTabTest, BusyTextNamesTheProcessHoldingTheDevice) {
    StartSim();
    OpenWindow("[Ports]\nCOM1=" + sim->PtyLink() + "\n");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ::prctl(PR_SET_NAME, "meter-holder");
        const int fd = ::open(sim->PtyLink().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const bool locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        [[maybe_unused]] ssize_t n = ::write(ready[1], locked ? "y" : "n", 1);
        ::pause();
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_EQ(answer, 'y');

    ui().btnOpenCOM->click();
    EXPECT_FALSE(PortOpen);
    EXPECT_EQ(ui().sStatusBar1Panel1->text(),
              QStringLiteral("COM1 → %1 打开失败：串口被其他程序占用：meter-holder（进程号 %2）"
                             "正在使用该串口，请先关闭该程序")
                  .arg(QString::fromStdString(sim->PtyLink()))
                  .arg(holder));

    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ui().btnOpenCOM->click();
    EXPECT_TRUE(PortOpen);
}

// As an unprivileged user: the device belongs to a group the session lacks;
// the group file decides whether the user is listed in it.
TEST_F(SerialTabTest, PermissionTextsForListedAndUnlistedUsers) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand a device to a group and drop to nobody";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t uid = nobody->pw_uid;
    const gid_t primary = nobody->pw_gid;
    const gid_t deviceGroup = 4711;

    Adapter adapter;
    ASSERT_EQ(::chown(adapter.path.c_str(), 0, deviceGroup), 0);
    ASSERT_EQ(::chmod(adapter.path.c_str(), 0660), 0);
    // The child reads the group files as nobody.
    char shared[] = "/tmp/meter-groups-XXXXXX";
    ASSERT_NE(::mkdtemp(shared), nullptr);
    ::chmod(shared, 0755);
    const std::string listed = std::string(shared) + "/listed";
    const std::string unlisted = std::string(shared) + "/unlisted";
    std::ofstream(listed) << "root:x:0:\nmeterdial:x:4711:alice,nobody\n";
    std::ofstream(unlisted) << "root:x:0:\nmeterdial:x:4711:alice\n";
    const QString port = QString::fromStdString("COM1 → " + adapter.path + " 打开失败：");

    const struct {
        const std::string* groupFile;
        bool sessionHasGroup;
        QString expected;  // empty: the port opens
    } cases[] = {
        {&listed, false,
         port + "没有访问权限：用户 nobody 已在 meterdial 组中，但本次登录尚未生效："
                "请注销后重新登录（或重启电脑）"},
        {&unlisted, false,
         port + "没有访问权限，当前用户不在 meterdial 组：请执行 sudo usermod -aG meterdial "
                "$USER 后重新登录"},
        {&listed, true, QString()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(*c.groupFile + (c.sessionHasGroup ? " in session" : ""));
        OpenWindow("[Ports]\nCOM1=" + adapter.path + "\n");
        const std::string groupFile = *c.groupFile;
        window->diagnosisSources = [groupFile] {
            DiagnosisSources sources;
            sources.groupFile = groupFile;
            return sources;
        };
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const gid_t groups[] = {deviceGroup};
            if (::setgroups(c.sessionHasGroup ? 1 : 0, groups) != 0 || ::setgid(primary) != 0 ||
                ::setuid(uid) != 0)
                ::_exit(10);
            ui().btnOpenCOM->click();
            const QString shown = ui().sStatusBar1Panel1->text();
            const bool ok = c.expected.isEmpty() ? PortOpen : !PortOpen && shown == c.expected;
            if (!ok)
                std::fprintf(stderr, "child: %s\n", shown.toStdString().c_str());
            std::fflush(stderr);
            ::_exit(ok ? 0 : 11);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        window.reset();
    }
    std::filesystem::remove_all(shared);
}

TEST_F(SerialTabTest, AdapterPulledMidExchangeEndsItAtOnce) {
    // The stable name stays while the pty behind it changes, as a by-id link
    // does when the adapter comes back.
    const std::string link = folder.filePath("adapter").toStdString();
    auto adapter = std::make_unique<Adapter>();
    std::filesystem::create_symlink(adapter->path, link);
    OpenWindow("[Ports]\nCOM1=" + link + "\n", 3000);
    ui().btnOpenCOM->click();
    ASSERT_TRUE(PortOpen);
    ui().edtAddr->setText("000230319105");
    MarkLog();

    QElapsedTimer sincePull;
    During(100, [&] {
        adapter->Pull();
        sincePull.start();
    });
    ui().btnGetDataCOM->click();
    ASSERT_TRUE(sincePull.isValid());
    EXPECT_LT(sincePull.elapsed(), 200);
    EXPECT_FALSE(PortOpen);
    EXPECT_EQ(ui().btnOpenCOM->text(), "打开串口");
    EXPECT_EQ(ui().sStatusBar1Panel1->text(),
              "COM1 已断开：串口适配器已拔出，重新插入后请再次打开串口");
    EXPECT_THAT(NewLog(),
                Contains(LogEntry("", "串口号：COM1的串口适配器已拔出，通讯中止，串口已关闭")));
    EXPECT_THAT(NewLog(), testing::Not(Contains(LogEntry("", "读取数据超时..."))));
    EXPECT_EQ(CommandButtonStates(), AllCommandButtons(true));

    // Back in: opening works again. Pulled while idle, the port closes too.
    adapter = std::make_unique<Adapter>();
    std::filesystem::remove(link);
    std::filesystem::create_symlink(adapter->path, link);
    ui().btnOpenCOM->click();
    ASSERT_TRUE(PortOpen) << ui().sStatusBar1Panel1->text().toStdString();
    adapter->Pull();
    QElapsedTimer idle;
    idle.start();
    while (PortOpen && idle.elapsed() < 2000)
        PumpWait(10);
    EXPECT_FALSE(PortOpen);
    EXPECT_EQ(ui().btnOpenCOM->text(), "打开串口");
}

// The texts made from a diagnosis, for the cases the window cannot stage:
// brltty, ModemManager, and facts too thin to say more than the errno does.
TEST(SerialOpenFailureReason, DiagnosisTextsWithTheirRemedies) {
    using Kind = SerialOpenDiagnosis::Kind;
    SerialOpenDiagnosis unseenHolder{.kind = Kind::Busy};
    SerialOpenDiagnosis snatched{.kind = Kind::Missing, .brltty = true};
    SerialOpenDiagnosis probed{.kind = Kind::Busy, .modemManager = true};
    SerialOpenDiagnosis groupHeld{.kind = Kind::Permission,
                                  .group = "dialout",
                                  .user = "ann",
                                  .userListed = true,
                                  .sessionHasGroup = true};
    SerialOpenDiagnosis noGroup{.kind = Kind::Permission};
    const QString busy = SerialOpenFailureReason(EBUSY);
    const QString missing = SerialOpenFailureReason(ENOENT);
    const struct {
        const SerialOpenDiagnosis* d;
        int error;
        QString starts;
        const char* contains;
    } cases[] = {
        {&unseenHolder, EWOULDBLOCK, busy, nullptr},
        {&snatched, ENOENT, missing + "；", "sudo apt remove brltty"},
        {&probed, EBUSY, busy + "；", "ModemManager"},
        // In the group and still refused: the mode bits, not the group.
        {&groupHeld, EACCES, "没有访问权限：本次登录已在 dialout 组中", "请检查设备文件的权限"},
        {&noGroup, EACCES, SerialOpenFailureReason(EACCES), nullptr},
    };
    for (const auto& c : cases) {
        const QString text = SerialOpenFailureReason(*c.d, c.error);
        EXPECT_TRUE(text.startsWith(c.starts)) << text.toStdString();
        if (c.contains)
            EXPECT_TRUE(text.contains(c.contains)) << text.toStdString();
        else
            EXPECT_EQ(text, c.starts);
    }
}
