// The serial line when the device goes away and comes back, and a port
// opened and closed over and over: no crash, no hang, nothing left behind.
#include "DeviceMap.h"
#include "PtyPair.h"
#include "HexText.h"
#include "SerialLink.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {
const std::string kRequest = "FEFEFE6805913130020068010243C3D216";
const std::string kReply = "FEFEFE6805913130020068810843C33344333333339B16";

// The number of entries in a /proc/self folder.
int Count(const char* folder) {
    int n = 0;
    if (DIR* dir = ::opendir(folder)) {
        while (const dirent* entry = ::readdir(dir))
            n += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return n - (std::string(folder) == "/proc/self/fd");  // the one opendir holds
}

// COM7 is a symbolic link, as a udev name for a USB adapter would be; the
// adapter can be unplugged and plugged in again behind it.
class SerialFaultTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/serial-fault-XXXXXX";
        folder = ::mkdtemp(pattern);
        link = folder + "/ttyUSB7";
        SetSerialDeviceMap({{7, link}});
        PortOpen = PortOpening = ExchangeBusy = ReplyArrived = false;
    }
    void TearDown() override {
        CloseSerialPort();
        SetSerialDeviceMap({});
        std::filesystem::remove_all(folder);
    }
    // Points the link at a new device, in one step as udev would.
    void PlugIn(const PtyPair& device) {
        const std::string next = link + ".new";
        ASSERT_EQ(::symlink(device.Path().c_str(), next.c_str()), 0);
        ASSERT_EQ(::rename(next.c_str(), link.c_str()), 0);
    }

    std::string folder;
    std::string link;
};
}  // namespace

TEST_F(SerialFaultTest, DeviceVanishesMidExchangeAndComesBack) {
    auto device = std::make_unique<PtyPair>();
    PlugIn(*device);
    ASSERT_EQ(OpenSerialPort(7, 9600, 400), 0);

    // Pulled out while the exchange waits for its reply: the exchange ends
    // then, not at its time-out.
    const auto start = std::chrono::steady_clock::now();
    QTimer::singleShot(50, [&] { device->CloseMaster(); });
    std::string reply = "untouched";
    EXPECT_EQ(SerialExchange(kRequest, reply), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(reply, "");
    EXPECT_FALSE(ExchangeBusy);
    EXPECT_TRUE(PortGone);

    // The port stays open until the caller closes it; further exchanges end
    // at once the same way.
    ASSERT_TRUE(PortOpen);
    reply = "untouched";
    EXPECT_EQ(SerialExchange(kRequest, reply), 2);
    EXPECT_EQ(reply, "");

    EXPECT_EQ(CloseSerialPort(), 0);
    EXPECT_FALSE(PortOpen);
    device.reset();
    EXPECT_EQ(OpenSerialPort(7, 9600, 400), -2);  // nothing behind the link now
    EXPECT_FALSE(PortOpen);

    // Plugged in again: the same name opens and the meter answers.
    PtyPair again;
    PlugIn(again);
    ASSERT_EQ(OpenSerialPort(7, 9600, 2000), 0);
    std::string request;
    std::thread meter([&] {
        request = again.Receive(50);
        again.Send(HexTextToBytes(kReply));
    });
    EXPECT_EQ(SerialExchange(kRequest, reply), 0);
    meter.join();
    EXPECT_EQ(request, HexTextToBytes(kRequest));
    EXPECT_EQ(reply, kReply);
    EXPECT_EQ(CloseSerialPort(), 0);
}

TEST_F(SerialFaultTest, ThousandOpenCloseCyclesLeaveNoDescriptorOrThread) {
    PtyPair device;
    PlugIn(device);
    // One cycle first, so whatever the toolkit sets up once is in the count.
    ASSERT_EQ(OpenSerialPort(7, 9600, 100), 0);
    ASSERT_EQ(CloseSerialPort(), 0);
    RunEventsFor(20);
    const int fds = Count("/proc/self/fd");
    const int threads = Count("/proc/self/task");

    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_EQ(OpenSerialPort(7, 9600, 100), 0) << "cycle " << cycle;
        if (cycle % 100 == 0)
            RunEventsFor(1);  // deliver what the workers posted, as the window would
        ASSERT_EQ(CloseSerialPort(), 0) << "cycle " << cycle;
    }
    RunEventsFor(20);

    EXPECT_EQ(Count("/proc/self/fd"), fds);
    // A joined thread may take a moment to leave the task list.
    EXPECT_TRUE(WaitUntil([&] { return Count("/proc/self/task") <= threads; }, 2000))
        << Count("/proc/self/task") << " threads, " << threads << " before";

    // And the port still works.
    ASSERT_EQ(OpenSerialPort(7, 9600, 2000), 0);
    std::thread meter([&] {
        device.Receive(50);
        device.Send(HexTextToBytes(kReply));
    });
    std::string reply;
    EXPECT_EQ(SerialExchange(kRequest, reply), 0);
    meter.join();
    EXPECT_EQ(reply, kReply);
}
