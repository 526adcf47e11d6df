#include "SerialDiagnosis.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {
std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

bool IsPid(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

struct GroupEntry {
    std::string name;
    gid_t gid = 0;
    std::vector<std::string> members;
};

// The group database in its file form: name:password:gid:member,member
std::vector<GroupEntry> ReadGroups(const std::string& file) {
    std::vector<GroupEntry> groups;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream parts(line);
        std::string field;
        while (std::getline(parts, field, ':'))
            fields.push_back(field);
        if (line.size() && line.back() == ':')
            fields.emplace_back();
        if (fields.size() < 3 || fields[2].empty() || !IsPid(fields[2]))
            continue;
        GroupEntry entry{fields[0], static_cast<gid_t>(std::stoul(fields[2])), {}};
        if (fields.size() > 3) {
            std::stringstream members(fields[3]);
            std::string member;
            while (std::getline(members, member, ','))
                if (!member.empty())
                    entry.members.push_back(member);
        }
        groups.push_back(std::move(entry));
    }
    return groups;
}

bool SessionHas(gid_t gid) {
    if (::getegid() == gid)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> list(static_cast<size_t>(count));
    const int got = ::getgroups(count, list.data());
    return got > 0 && std::find(list.begin(), list.begin() + got, gid) != list.begin() + got;
}

bool IsAcm(const std::string& path) {
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    const std::string name = (ec ? fs::path(path) : real).filename().string();
    return name.rfind("ttyACM", 0) == 0;
}

// The process holding an flock() lock on the file, from <proc>/locks:
// "1: FLOCK  ADVISORY  WRITE 4242 00:19:3 0 EOF" (device in hex, inode).
pid_t LockHolder(const struct stat& file, const std::string& proc) {
    std::ifstream in(fs::path(proc) / "locks");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, where;
        if (!(fields >> id >> kind))
            continue;
        if (kind == "->")  // a waiter, not the holder
            continue;
        if (!(fields >> mode >> access >> pid >> where) || kind != "FLOCK" || !IsPid(pid))
            continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3)
            continue;
        if (major == ::major(file.st_dev) && minor == ::minor(file.st_dev) && inode == file.st_ino)
            return static_cast<pid_t>(std::stol(pid));
    }
    return 0;
}

bool ProcessRuns(const std::string& proc, const std::string& comm) {
    std::error_code ec;
    for (fs::directory_iterator it(proc, ec), end; !ec && it != end; it.increment(ec))
        if (IsPid(it->path().filename().string()) && FirstLine(it->path() / "comm") == comm)
            return true;
    return false;
}
}  // namespace

DiagnosisSources SystemDiagnosisSources() {
    DiagnosisSources sources;
    std::error_code ec;
    for (const char* program : {"/usr/bin/brltty", "/bin/brltty", "/usr/sbin/brltty"})
        sources.brlttyInstalled = sources.brlttyInstalled || fs::exists(program, ec);
    sources.modemManagerRunning = ProcessRuns(sources.proc, "ModemManager");
    return sources;
}

std::vector<DeviceHolder> FindDeviceHolders(const std::string& path, const std::string& proc) {
    std::vector<DeviceHolder> holders;
    struct stat device;
    if (::stat(path.c_str(), &device) != 0)
        return holders;
    const pid_t self = ::getpid();
    std::error_code ec;
    for (fs::directory_iterator it(proc, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string pidText = it->path().filename().string();
        if (!IsPid(pidText))
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(pidText));
        if (pid == self)
            continue;
        std::error_code fdError;
        for (fs::directory_iterator fd(it->path() / "fd", fdError), fdEnd; !fdError && fd != fdEnd;
             fd.increment(fdError)) {
            struct stat open;
            if (::stat(fd->path().c_str(), &open) != 0)
                continue;
            const bool same = S_ISCHR(device.st_mode)
                                  ? S_ISCHR(open.st_mode) && open.st_rdev == device.st_rdev
                                  : open.st_dev == device.st_dev && open.st_ino == device.st_ino;
            if (same) {
                holders.push_back({pid, FirstLine(it->path() / "comm")});
                break;
            }
        }
    }
    std::sort(holders.begin(), holders.end(),
              [](const DeviceHolder& a, const DeviceHolder& b) { return a.pid < b.pid; });
    return holders;
}

SerialOpenDiagnosis DiagnoseOpenFailure(const std::string& path, int systemError,
                                        const DiagnosisSources& sources) {
    SerialOpenDiagnosis d;
    d.modemManager = sources.modemManagerRunning && IsAcm(path);
    switch (systemError) {
        case 0:
            return d;
        case EBUSY:
        case EWOULDBLOCK: {
            d.kind = SerialOpenDiagnosis::Kind::Busy;
            // Refused by a lock: its owner is the one to name, whoever else
            // has the device open. Our own lock names nobody.
            struct stat st;
            if (systemError == EWOULDBLOCK && ::stat(path.c_str(), &st) == 0) {
                if (const pid_t owner = LockHolder(st, sources.proc)) {
                    if (owner != ::getpid()) {
                        d.holderPid = owner;
                        d.holderName =
                            FirstLine(fs::path(sources.proc) / std::to_string(owner) / "comm");
                    }
                    return d;
                }
            }
            const auto holders = FindDeviceHolders(path, sources.proc);
            if (!holders.empty()) {
                d.holderPid = holders.front().pid;
                d.holderName = holders.front().name;
            }
            return d;
        }
        case EACCES:
        case EPERM: {
            d.kind = SerialOpenDiagnosis::Kind::Permission;
            struct stat st;
            if (::stat(path.c_str(), &st) != 0)
                return d;
            d.group = std::to_string(st.st_gid);
            const passwd* pw = ::getpwuid(::geteuid());
            if (pw)
                d.user = pw->pw_name;
            for (const GroupEntry& g : ReadGroups(sources.groupFile)) {
                if (g.gid != st.st_gid)
                    continue;
                d.group = g.name;
                d.userListed =
                    std::find(g.members.begin(), g.members.end(), d.user) != g.members.end();
                break;
            }
            if (pw && pw->pw_gid == st.st_gid)
                d.userListed = true;
            d.sessionHasGroup = SessionHas(st.st_gid);
            return d;
        }
        case ENOENT:
        case ENODEV:
        case ENXIO:
            d.kind = SerialOpenDiagnosis::Kind::Missing;
            d.brltty = sources.brlttyInstalled && sources.sawShortLivedDevice;
            return d;
        default:
            d.kind = SerialOpenDiagnosis::Kind::Other;
            return d;
    }
}
