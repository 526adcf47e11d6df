#include "SerialDiscovery.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

namespace fs = std::filesystem;

namespace {
std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string value;
    if (!in || !std::getline(in, value))
        return {};
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.pop_back();
    return value;
}

bool HasPrefix(const std::string& name, const char* prefix) {
    const std::string p(prefix);
    return name.size() > p.size() && name.compare(0, p.size(), p) == 0 &&
           std::all_of(name.begin() + p.size(), name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The serial core adds its own port devices between a UART and its tty; the
// driver worth naming is the first one above them.
std::string DriverOf(fs::path device) {
    std::error_code ec;
    for (int depth = 0; depth < 4 && !device.empty(); ++depth) {
        const fs::path link = fs::read_symlink(device / "driver", ec);
        if (!ec && link.string().find("/serial-base/") == std::string::npos)
            return link.filename().string();
        device = device.parent_path();
    }
    return {};
}

// The USB device (the directory holding idVendor) at or above `device`.
fs::path UsbDeviceOf(fs::path device, const fs::path& sysRoot) {
    const std::string top = (sysRoot / "devices").string();
    for (int depth = 0; depth < 6 && device.string().size() > top.size(); ++depth) {
        std::error_code ec;
        if (fs::exists(device / "idVendor", ec))
            return device;
        device = device.parent_path();
    }
    return {};
}

// A ttyS node exists for every port the driver could have; only a known UART
// type (non-zero) means hardware answers there.
bool HasUart(const fs::path& classEntry) {
    const std::string type = ReadAttribute(classEntry / "type");
    return !type.empty() && type != "0";
}

// by-id links, by the kernel name they lead to.
std::map<std::string, std::string> StableNames(const fs::path& devRoot) {
    std::map<std::string, std::string> names;
    std::error_code ec;
    const fs::path byId = devRoot / "serial" / "by-id";
    for (fs::directory_iterator it(byId, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(it->path(), linkError);
        if (linkError)
            continue;
        const std::string kernelName = target.lexically_normal().filename().string();
        const std::string stable = (byId / it->path().filename()).string();
        // Several links may lead to one node; the first by name wins, so
        // the choice does not depend on the directory order.
        auto [pos, added] = names.emplace(kernelName, stable);
        if (!added && stable < pos->second)
            pos->second = stable;
    }
    return names;
}

// ttyS2 before ttyS10.
bool KernelOrder(const SerialDeviceInfo& a, const SerialDeviceInfo& b) {
    auto split = [](const std::string& name) {
        size_t digits = name.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1])))
            --digits;
        return std::make_pair(name.substr(0, digits), std::stoul("0" + name.substr(digits)));
    };
    return split(a.kernelName) < split(b.kernelName);
}
}  // namespace

std::vector<SerialDeviceInfo> DiscoverSerialDevices(const SerialDiscoveryRoots& roots) {
    std::vector<SerialDeviceInfo> found;
    const fs::path devRoot(roots.dev);
    const fs::path sysRoot(roots.sys);
    const auto stable = StableNames(devRoot);

    std::error_code ec;
    for (fs::directory_iterator it(sysRoot / "class" / "tty", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool isS = HasPrefix(name, "ttyS");
        if (!isS && !HasPrefix(name, "ttyUSB") && !HasPrefix(name, "ttyACM"))
            continue;
        if (isS && !HasUart(it->path()))
            continue;
        // Only what can be opened: the node must be there.
        struct stat st;
        const fs::path node = devRoot / name;
        if (::lstat(node.c_str(), &st) != 0)
            continue;

        SerialDeviceInfo info;
        info.kernelName = name;
        info.node = node.string();
        if (auto s = stable.find(name); s != stable.end())
            info.stableName = s->second;

        std::error_code deviceError;
        const fs::path device = fs::canonical(it->path() / "device", deviceError);
        if (!deviceError) {
            info.driver = DriverOf(device);
            const fs::path usb = UsbDeviceOf(device, fs::weakly_canonical(sysRoot));
            if (!usb.empty()) {
                info.vendorId = ReadAttribute(usb / "idVendor");
                info.productId = ReadAttribute(usb / "idProduct");
                info.serialNumber = ReadAttribute(usb / "serial");
                info.manufacturer = ReadAttribute(usb / "manufacturer");
                info.product = ReadAttribute(usb / "product");
            }
        }
        found.push_back(std::move(info));
    }
    std::sort(found.begin(), found.end(), KernelOrder);
    return found;
}

bool SerialDeviceWatch::Refresh(Clock::time_point now) {
    std::vector<SerialDeviceInfo> current = DiscoverSerialDevices(roots_);
    // Appearance times: kept for devices still present, new ones start now.
    std::vector<Seen> appeared;
    for (const SerialDeviceInfo& device : current) {
        auto old = std::find_if(appeared_.begin(), appeared_.end(),
                                [&](const Seen& s) { return s.kernelName == device.kernelName; });
        // Devices present at the first look have been there for a while.
        const Clock::time_point since =
            old != appeared_.end() ? old->since : (first_ ? now - kShortLife : now);
        appeared.push_back({device.kernelName, since});
    }
    for (const Seen& seen : appeared_) {
        const bool stillThere = std::any_of(appeared.begin(), appeared.end(), [&](const Seen& s) {
            return s.kernelName == seen.kernelName;
        });
        if (!stillThere && now - seen.since < kShortLife)
            lastShortLived_ = now;
    }
    first_ = false;
    appeared_ = std::move(appeared);
    const bool changed = current != devices_;
    devices_ = std::move(current);
    return changed;
}

bool SerialDeviceWatch::SawShortLivedDevice(Clock::time_point now) const {
    return lastShortLived_ && now - *lastShortLived_ < kMemory;
}
