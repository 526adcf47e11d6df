// A /dev and /sys pair in a temporary folder, laid out as the kernel lays out
// USB serial adapters, CDC-ACM devices and 8250 ports.
#pragma once

// Cases name only the adapter fields they change.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <filesystem>
#include <fstream>
#include <string>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

class FakeDeviceTree {
  public:
    struct Usb {
        std::string vendor = "0403";
        std::string product = "6001";
        std::string serial = "A50285BI";
        std::string manufacturer = "FTDI";
        std::string productName = "FT232R USB UART";
        std::string driver = "ftdi_sio";
        std::string byId;  // empty: no by-id link
        // What the node is: empty for a plain file, else a symlink target
        // (a pty, for a device that can really be opened).
        std::string nodeTarget;
    };

    FakeDeviceTree() {
        char pattern[] = "/tmp/fake-devices-XXXXXX";
        root_ = ::mkdtemp(pattern);
        ::chmod(root_.c_str(), 0755);  // tests may look at it as another user
        std::filesystem::create_directories(Dev() + "/serial/by-id");
        std::filesystem::create_directories(Sys() + "/class/tty");
    }
    ~FakeDeviceTree() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    FakeDeviceTree(const FakeDeviceTree&) = delete;
    FakeDeviceTree& operator=(const FakeDeviceTree&) = delete;

    std::string Dev() const { return root_ + "/dev"; }
    std::string Sys() const { return root_ + "/sys"; }

    // ttyUSB<n> or ttyACM<n> on USB port `port` (1-2, 1-3 ...).
    void AddUsb(const std::string& kernelName, const std::string& port, const Usb& usb) {
        namespace fs = std::filesystem;
        const fs::path usbDevice = fs::path(Sys()) / "devices/pci0000:00/0000:00:14.0/usb1" / port;
        const fs::path interface = usbDevice / (port + ":1.0");
        const bool acm = kernelName.rfind("ttyACM", 0) == 0;
        // usb-serial puts a port device between the interface and the tty.
        const fs::path device = acm ? interface : interface / kernelName;
        const fs::path classDir = device / "tty" / kernelName;
        fs::create_directories(classDir);
        Write(usbDevice / "idVendor", usb.vendor);
        Write(usbDevice / "idProduct", usb.product);
        if (!usb.serial.empty())
            Write(usbDevice / "serial", usb.serial);
        Write(usbDevice / "manufacturer", usb.manufacturer);
        Write(usbDevice / "product", usb.productName);
        const fs::path driver = fs::path(Sys()) / "bus/usb-serial/drivers" / usb.driver;
        fs::create_directories(driver);
        Link(driver, device / "driver");
        Link(device, classDir / "device");
        Link(classDir, fs::path(Sys()) / "class/tty" / kernelName);
        AddNode(kernelName, usb.nodeTarget);
        if (!usb.byId.empty())
            Link("../../" + kernelName, fs::path(Dev()) / "serial/by-id" / usb.byId);
    }

    // ttyS<n>: `type` 0 is a port with nothing behind it.
    void AddPort(const std::string& kernelName, int type) {
        namespace fs = std::filesystem;
        const fs::path device = fs::path(Sys()) / "devices/pnp0/00:00/00:00:0/00:00:0.0";
        const fs::path classDir = fs::path(Sys()) / "devices/platform/serial8250/tty" / kernelName;
        fs::create_directories(classDir);
        fs::create_directories(device);
        const fs::path base = fs::path(Sys()) / "bus/serial-base/drivers/port";
        const fs::path pnp = fs::path(Sys()) / "bus/pnp/drivers/serial";
        fs::create_directories(base);
        fs::create_directories(pnp);
        std::error_code ec;
        fs::create_symlink(base, device / "driver", ec);
        fs::create_symlink(pnp, device.parent_path().parent_path() / "driver", ec);
        Write(classDir / "type", std::to_string(type));
        Link(device, classDir / "device");
        Link(classDir, fs::path(Sys()) / "class/tty" / kernelName);
        AddNode(kernelName, "");
    }

    // The adapter is pulled: the kernel removes the class entry, the node
    // and its by-id link.
    void Remove(const std::string& kernelName) {
        namespace fs = std::filesystem;
        const fs::path entry = fs::path(Sys()) / "class/tty" / kernelName;
        fs::remove_all(fs::canonical(entry / "device"));
        fs::remove(entry);
        fs::remove(fs::path(Dev()) / kernelName);
        for (const auto& link : fs::directory_iterator(fs::path(Dev()) / "serial/by-id"))
            if (fs::read_symlink(link.path()).filename() == kernelName)
                fs::remove(link.path());
    }

  private:
    static void Write(const std::filesystem::path& file, const std::string& value) {
        std::ofstream(file) << value << "\n";
    }
    static void Link(const std::filesystem::path& target, const std::filesystem::path& link) {
        std::filesystem::create_symlink(target, link);
    }
    void AddNode(const std::string& kernelName, const std::string& target) {
        const std::filesystem::path node = std::filesystem::path(Dev()) / kernelName;
        if (target.empty())
            std::ofstream(node).put('\0');
        else
            std::filesystem::create_symlink(target, node);
    }

    std::string root_;
};
