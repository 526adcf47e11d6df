// Device discovery and the open-failure diagnosis on fake /dev, /sys and
// /proc trees.
#include "FakeDeviceTree.h"
#include "SerialDiagnosis.h"
#include "SerialDiscovery.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>

namespace {
std::vector<std::string> Names(const std::vector<SerialDeviceInfo>& devices) {
    std::vector<std::string> names;
    for (const auto& d : devices)
        names.push_back(d.kernelName);
    return names;
}
}  // namespace

TEST(SerialDiscoveryTest, UsbAdaptersAndUartsWithTheirNames) {
    FakeDeviceTree tree;
    tree.AddUsb("ttyUSB0", "1-2", {.byId = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"});
    tree.AddUsb("ttyUSB1", "1-4",
                {.vendor = "1a86",
                 .product = "7523",
                 .serial = "",
                 .manufacturer = "",
                 .productName = "USB Serial",
                 .driver = "ch341"});
    tree.AddUsb("ttyACM0", "1-3",
                {.vendor = "2341",
                 .product = "0043",
                 .serial = "7573530303035",
                 .manufacturer = "Arduino",
                 .productName = "Uno",
                 .driver = "cdc_acm",
                 .byId = "usb-Arduino_Uno_7573530303035-if00"});
    tree.AddPort("ttyS0", 4);
    tree.AddPort("ttyS1", 0);   // no UART behind it
    tree.AddPort("ttyS10", 4);  // sorts after ttyS0, not before

    const auto devices = DiscoverSerialDevices({tree.Dev(), tree.Sys()});
    ASSERT_EQ(Names(devices),
              (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyS10", "ttyUSB0", "ttyUSB1"}));

    const SerialDeviceInfo& acm = devices[0];
    EXPECT_EQ(acm.node, tree.Dev() + "/ttyACM0");
    EXPECT_EQ(acm.stableName, tree.Dev() + "/serial/by-id/usb-Arduino_Uno_7573530303035-if00");
    EXPECT_EQ(acm.driver, "cdc_acm");
    EXPECT_EQ(acm.vendorId, "2341");
    EXPECT_EQ(acm.productId, "0043");
    EXPECT_EQ(acm.serialNumber, "7573530303035");
    EXPECT_EQ(acm.manufacturer, "Arduino");
    EXPECT_EQ(acm.product, "Uno");

    const SerialDeviceInfo& uart = devices[1];
    EXPECT_EQ(uart.node, tree.Dev() + "/ttyS0");
    EXPECT_EQ(uart.stableName, "");
    EXPECT_EQ(uart.PreferredPath(), uart.node);
    EXPECT_EQ(uart.driver, "serial");  // the serial core's own port devices are skipped
    EXPECT_EQ(uart.vendorId, "");
    EXPECT_EQ(uart.product, "");

    const SerialDeviceInfo& ftdi = devices[3];
    EXPECT_EQ(ftdi.PreferredPath(),
              tree.Dev() + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    EXPECT_EQ(ftdi.driver, "ftdi_sio");
    EXPECT_EQ(ftdi.product, "FT232R USB UART");
    EXPECT_EQ(ftdi.serialNumber, "A50285BI");

    const SerialDeviceInfo& ch341 = devices[4];
    EXPECT_EQ(ch341.stableName, "");  // no serial number, so udev makes no by-id link
    EXPECT_EQ(ch341.driver, "ch341");
    EXPECT_EQ(ch341.vendorId, "1a86");
    EXPECT_EQ(ch341.product, "USB Serial");
}

TEST(SerialDiscoveryTest, ClassEntryWithoutNodeAndMissingRootsGiveNothing) {
    FakeDeviceTree tree;
    tree.AddUsb("ttyUSB0", "1-2", {});
    std::filesystem::remove(tree.Dev() + "/ttyUSB0");  // udev has not made it yet
    EXPECT_TRUE(DiscoverSerialDevices({tree.Dev(), tree.Sys()}).empty());
    EXPECT_TRUE(DiscoverSerialDevices({tree.Dev() + "/none", tree.Sys() + "/none"}).empty());
}

TEST(SerialDiscoveryTest, WatchFollowsPlugAndPullAndNoticesSnatchedAdapters) {
    using namespace std::chrono_literals;
    FakeDeviceTree tree;
    tree.AddPort("ttyS0", 4);
    SerialDeviceWatch watch({tree.Dev(), tree.Sys()});
    auto t = SerialDeviceWatch::Clock::now();

    EXPECT_TRUE(watch.Refresh(t));
    EXPECT_EQ(Names(watch.Devices()), std::vector<std::string>{"ttyS0"});
    EXPECT_FALSE(watch.Refresh(t += 1s));

    tree.AddUsb("ttyUSB0", "1-2", {.byId = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"});
    EXPECT_TRUE(watch.Refresh(t += 1s));
    EXPECT_EQ(Names(watch.Devices()), (std::vector<std::string>{"ttyS0", "ttyUSB0"}));
    EXPECT_FALSE(watch.Devices()[1].stableName.empty());

    // Pulled after a while: an ordinary removal.
    tree.Remove("ttyUSB0");
    EXPECT_TRUE(watch.Refresh(t += 10s));
    EXPECT_EQ(Names(watch.Devices()), std::vector<std::string>{"ttyS0"});
    EXPECT_FALSE(watch.SawShortLivedDevice(t));

    // Gone again within a second of appearing: something took it.
    tree.AddUsb("ttyUSB0", "1-2", {.driver = "ch341"});
    EXPECT_TRUE(watch.Refresh(t += 1s));
    tree.Remove("ttyUSB0");
    EXPECT_TRUE(watch.Refresh(t += 1s));
    EXPECT_TRUE(watch.SawShortLivedDevice(t));
    EXPECT_FALSE(watch.SawShortLivedDevice(t + SerialDeviceWatch::kMemory));
}

// Diagnosis -----------------------------------------------------------------

namespace {
// A /proc with one process holding `path` open.
struct FakeProc {
    FakeProc(const std::string& root, int pid, const std::string& comm, const std::string& path) {
        namespace fs = std::filesystem;
        const fs::path dir = fs::path(root) / std::to_string(pid);
        fs::create_directories(dir / "fd");
        std::ofstream(dir / "comm") << comm << "\n";
        fs::create_symlink("/dev/null", dir / "fd" / "0");
        fs::create_symlink(path, dir / "fd" / "5");
    }
};
}  // namespace

TEST(SerialDiagnosisTest, BusyNamesTheHolderFromProc) {
    FakeDeviceTree tree;
    const std::string proc = tree.Dev() + "/../proc";
    const std::string device = tree.Dev() + "/held";
    std::ofstream(device) << "x";
    FakeProc other(proc, 300, "bash", "/dev/null");
    FakeProc holder(proc, 4242, "minicom", device);

    DiagnosisSources sources;
    sources.proc = proc;
    for (int error : {EBUSY, EWOULDBLOCK}) {
        const auto d = DiagnoseOpenFailure(device, error, sources);
        EXPECT_EQ(d.kind, SerialOpenDiagnosis::Kind::Busy);
        EXPECT_EQ(d.holderPid, 4242);
        EXPECT_EQ(d.holderName, "minicom");
    }
    // A lock decides among several that have it open.
    struct stat st;
    ASSERT_EQ(::stat(device.c_str(), &st), 0);
    FakeProc locker(proc, 4300, "picocom", device);
    std::ofstream(proc + "/locks")
        << "1: POSIX  ADVISORY  WRITE 99 00:01:2 0 EOF\n"
        << "2: FLOCK  ADVISORY  WRITE 4300 " << std::hex << major(st.st_dev) << ":"
        << minor(st.st_dev) << ":" << std::dec << st.st_ino << " 0 EOF\n";
    const auto locked = DiagnoseOpenFailure(device, EWOULDBLOCK, sources);
    EXPECT_EQ(locked.holderPid, 4300);
    EXPECT_EQ(locked.holderName, "picocom");
    EXPECT_EQ(DiagnoseOpenFailure(device, EBUSY, sources).holderPid, 4242);  // no lock involved

    // Nobody visible (another user's process): busy, holder unknown.
    const auto unseen = DiagnoseOpenFailure(tree.Dev() + "/../proc/300/comm", EBUSY, sources);
    EXPECT_EQ(unseen.kind, SerialOpenDiagnosis::Kind::Busy);
    EXPECT_EQ(unseen.holderPid, 0);
}

TEST(SerialDiagnosisTest, ReasonsByErrorAndSituation) {
    FakeDeviceTree tree;
    tree.AddUsb("ttyACM0", "1-3", {.driver = "cdc_acm"});
    tree.AddUsb("ttyUSB0", "1-2", {});
    const std::string acm = tree.Dev() + "/ttyACM0";
    const std::string usb = tree.Dev() + "/ttyUSB0";
    DiagnosisSources quiet;
    DiagnosisSources busyMachine;
    busyMachine.brlttyInstalled = true;
    busyMachine.modemManagerRunning = true;
    busyMachine.sawShortLivedDevice = true;

    const struct {
        std::string path;
        int error;
        const DiagnosisSources* sources;
        SerialOpenDiagnosis::Kind kind;
        bool brltty;
        bool modemManager;
    } cases[] = {
        {usb, ENOENT, &quiet, SerialOpenDiagnosis::Kind::Missing, false, false},
        {usb, ENOENT, &busyMachine, SerialOpenDiagnosis::Kind::Missing, true, false},
        {usb, ENXIO, &busyMachine, SerialOpenDiagnosis::Kind::Missing, true, false},
        {acm, EIO, &busyMachine, SerialOpenDiagnosis::Kind::Other, false, true},
        {acm, EIO, &quiet, SerialOpenDiagnosis::Kind::Other, false, false},
        {usb, EIO, &busyMachine, SerialOpenDiagnosis::Kind::Other, false, false},
        {acm, 0, &busyMachine, SerialOpenDiagnosis::Kind::None, false, true},
    };
    for (const auto& c : cases) {
        const auto d = DiagnoseOpenFailure(c.path, c.error, *c.sources);
        EXPECT_EQ(d.kind, c.kind) << c.path << " " << c.error;
        EXPECT_EQ(d.brltty, c.brltty) << c.path << " " << c.error;
        EXPECT_EQ(d.modemManager, c.modemManager) << c.path << " " << c.error;
    }
    // brltty alone, without a device that vanished, is not blamed.
    DiagnosisSources installedOnly;
    installedOnly.brlttyInstalled = true;
    EXPECT_FALSE(DiagnoseOpenFailure(usb, ENOENT, installedOnly).brltty);
}

// The permission facts come from the device's group, the group file and the
// session's groups; the session part needs an unprivileged child.
TEST(SerialDiagnosisTest, PermissionTellsListedFromNotListed) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file a group and drop to nobody";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    FakeDeviceTree tree;
    const std::string device = tree.Dev() + "/ttyUSB0";
    std::ofstream(device) << "x";
    const gid_t gid = 4711;
    ASSERT_EQ(::chown(device.c_str(), 0, gid), 0);
    const std::string listed = tree.Dev() + "/group-listed";
    const std::string unlisted = tree.Dev() + "/group-unlisted";
    std::ofstream(listed) << "root:x:0:\nuucp:x:4711:alice,nobody\n";
    std::ofstream(unlisted) << "uucp:x:4711:alice\n";

    const struct {
        const std::string* groupFile;
        bool inSession;
        bool listed;
    } cases[] = {{&listed, false, true}, {&unlisted, false, false}, {&listed, true, true}};
    for (const auto& c : cases) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const gid_t groups[] = {gid};
            if (::setgroups(c.inSession ? 1 : 0, groups) != 0 || ::setgid(nobody->pw_gid) != 0 ||
                ::setuid(nobody->pw_uid) != 0)
                ::_exit(10);
            DiagnosisSources sources;
            sources.groupFile = *c.groupFile;
            const auto d = DiagnoseOpenFailure(device, EACCES, sources);
            const bool ok = d.kind == SerialOpenDiagnosis::Kind::Permission && d.group == "uucp" &&
                            d.user == "nobody" && d.userListed == c.listed &&
                            d.sessionHasGroup == c.inSession;
            ::_exit(ok ? 0 : 11);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "listed " << c.listed << " in session " << c.inSession;
    }
}

TEST(SerialDiagnosisTest, HoldersOfARealDeviceInThisMachinesProc) {
    FakeDeviceTree tree;
    const std::string device = tree.Dev() + "/node";
    std::ofstream(device) << "x";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(device.c_str(), O_RDONLY);
        (void)::write(ready[1], "x", 1);
        ::pause();
        ::_exit(fd >= 0 ? 0 : 1);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    const auto holders = FindDeviceHolders(device, "/proc");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].pid, child);
}
