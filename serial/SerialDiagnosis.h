// Why a serial device did not open, found out from the system: which program
// holds it, whether the user may have its group, whether brltty or
// ModemManager are in the way. POSIX only, no Qt; every source is a
// parameter, so tests use fake trees.
#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

struct DiagnosisSources {
    std::string proc = "/proc";
    std::string groupFile = "/etc/group";
    // brltty installed (it claims CH340/CH341 adapters as braille displays).
    bool brlttyInstalled = false;
    // ModemManager running (it probes new ttyACM devices).
    bool modemManagerRunning = false;
    // A device vanished soon after it appeared (SerialDeviceWatch).
    bool sawShortLivedDevice = false;
};

// The sources of this machine; `sawShortLivedDevice` is the caller's.
DiagnosisSources SystemDiagnosisSources();

struct SerialOpenDiagnosis {
    enum class Kind { None, Busy, Permission, Missing, Other };
    Kind kind = Kind::None;

    // Busy: who holds the device (pid 0 when it cannot be seen).
    pid_t holderPid = 0;
    std::string holderName;

    // Permission: the device's group and where the user stands.
    std::string group;        // name from the group file, or the number
    std::string user;         // the user's login name
    bool userListed = false;  // member in the group file (or primary group)
    bool sessionHasGroup = false;

    // Missing: the device vanished soon after it appeared and brltty is there.
    bool brltty = false;
    // The device is a ttyACM and ModemManager runs.
    bool modemManager = false;
};

// path: the device that failed to open; systemError: its errno.
SerialOpenDiagnosis DiagnoseOpenFailure(const std::string& path, int systemError,
                                        const DiagnosisSources& sources);

// The processes that have `path` open, by pid, with their names (from
// <proc>/<pid>/fd and <proc>/<pid>/comm).
struct DeviceHolder {
    pid_t pid;
    std::string name;
};
std::vector<DeviceHolder> FindDeviceHolders(const std::string& path, const std::string& proc);
