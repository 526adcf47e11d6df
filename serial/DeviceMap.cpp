#include "DeviceMap.h"

#include <sys/stat.h>

#include <cctype>

namespace {
SerialDeviceMap& InstalledMap() {
    static SerialDeviceMap map;
    return map;
}

#ifndef _WIN32
bool PathExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}
#endif

// "COM12" -> 12; anything that is not COM followed by 1 to 9 digits -> -1.
int ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 12)
        return -1;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i])
            return -1;
    int n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}
}  // namespace

void SetSerialDeviceMap(SerialDeviceMap map) {
    InstalledMap() = std::move(map);
}

const SerialDeviceMap& GetSerialDeviceMap() {
    return InstalledMap();
}

std::string ResolveSerialDevice(const std::string& commName, const SerialDeviceMap& map,
                                const std::function<bool(const std::string&)>& exists) {
    if (!commName.empty() && commName[0] == '/')
        return commName;
    const int n = ComNumber(commName);
    if (n < 1)
        return commName;
    if (auto it = map.find(n); it != map.end() && !it->second.empty())
        return it->second;
    const std::string usb = "/dev/ttyUSB" + std::to_string(n - 1);
    if (exists(usb))
        return usb;
    return "/dev/ttyS" + std::to_string(n - 1);
}

std::string ResolveSerialDevice(const std::string& commName) {
#ifdef _WIN32
    // COMn is a name of its own on Windows: no device map.
    return commName;
#else
    return ResolveSerialDevice(commName, InstalledMap(), PathExists);
#endif
}
