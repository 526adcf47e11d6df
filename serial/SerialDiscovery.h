// The serial devices present on this machine, read from the device tree
// (/dev, /dev/serial/by-id and /sys/class/tty) the way the kernel lays it
// out. POSIX only, no Qt: the roots are parameters, so tests use fake trees.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

struct SerialDiscoveryRoots {
    std::string dev = "/dev";
    std::string sys = "/sys";
};

struct SerialDeviceInfo {
    std::string kernelName;  // ttyUSB0
    std::string node;        // <dev>/ttyUSB0
    std::string stableName;  // <dev>/serial/by-id/usb-…; empty when there is none
    std::string driver;      // ftdi_sio, cdc_acm, ch341, serial …
    // USB adapters only (empty otherwise), from the USB device in sysfs.
    std::string vendorId;
    std::string productId;
    std::string serialNumber;
    std::string manufacturer;
    std::string product;

    // The name to keep for this device: the stable one where there is one.
    const std::string& PreferredPath() const { return stableName.empty() ? node : stableName; }
    bool operator==(const SerialDeviceInfo&) const = default;
};

// ttyUSB and ttyACM devices, and ttyS ports with a UART behind them (the
// kernel creates ttyS nodes for every possible port; most lead nowhere).
// Sorted by kernel name, ttyS0 before ttyS1 before ttyS10.
std::vector<SerialDeviceInfo> DiscoverSerialDevices(const SerialDiscoveryRoots& roots = {});

// Follows the device list as adapters come and go. It remembers devices that
// vanished soon after they appeared: the sign of another program (brltty)
// claiming the adapter.
class SerialDeviceWatch {
  public:
    using Clock = std::chrono::steady_clock;
    // A device gone within this time after it appeared counts as snatched.
    static constexpr std::chrono::seconds kShortLife{3};
    // How long such a loss is remembered.
    static constexpr std::chrono::minutes kMemory{5};

    explicit SerialDeviceWatch(SerialDiscoveryRoots roots = {}) : roots_(std::move(roots)) {}

    // Reads the tree again; true when the list changed.
    bool Refresh(Clock::time_point now = Clock::now());
    const std::vector<SerialDeviceInfo>& Devices() const { return devices_; }
    // Whether a device vanished soon after it appeared, recently.
    bool SawShortLivedDevice(Clock::time_point now = Clock::now()) const;
    const SerialDiscoveryRoots& Roots() const { return roots_; }

  private:
    struct Seen {
        std::string kernelName;
        Clock::time_point since;
    };
    SerialDiscoveryRoots roots_;
    std::vector<SerialDeviceInfo> devices_;
    std::vector<Seen> appeared_;
    bool first_ = true;
    std::optional<Clock::time_point> lastShortLived_;
};
