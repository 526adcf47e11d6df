#include "DeviceMap.h"

#include <gtest/gtest.h>

#include <set>

TEST(DeviceMap, ResolvesNamesInOrderOfPrecedence) {
    const SerialDeviceMap map{{3, "/dev/ttyUSB7"}, {4, ""}};
    const std::set<std::string> present{"/dev/ttyUSB0", "/dev/ttyUSB3"};
    auto exists = [&](const std::string& p) { return present.count(p) > 0; };
    struct Case {
        const char* name;
        const char* path;
    } cases[] = {
        {"COM3", "/dev/ttyUSB7"},  // the map wins over everything
        {"COM1", "/dev/ttyUSB0"},  // an existing USB adapter
        {"COM2", "/dev/ttyS1"},    // no adapter: the on-board port
        {"COM4", "/dev/ttyUSB3"},  // an empty map entry is no entry
        {"com1", "/dev/ttyUSB0"},  // case does not matter
        {"COM19", "/dev/ttyS18"},
        {"/tmp/meter-pty", "/tmp/meter-pty"},  // a path is used as it is
        {"COM0", "COM0"},                      // names no device: opening fails
        {"COM", "COM"},
        {"COMx", "COMx"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ResolveSerialDevice(c.name, map, exists), c.path) << c.name;
}

TEST(DeviceMap, InstalledMapIsUsedByTheShortForm) {
    SetSerialDeviceMap({{9, "/dev/pts/42"}});
    EXPECT_EQ(ResolveSerialDevice("COM9"), "/dev/pts/42");
    SetSerialDeviceMap({});
    EXPECT_EQ(ResolveSerialDevice("COM9").rfind("/dev/tty", 0), 0u);
}
