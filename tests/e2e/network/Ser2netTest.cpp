// A batch read through a gateway we did not write: Debian's ser2net exposing
// meter-sim's pseudo-terminal as a raw TCP port. ser2net forwards what the
// serial side delivers as it comes, so a reply the meter sends in two bursts
// reaches us in two pieces.
#include "DefaultBus.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QPushButton>

#include <chrono>
#include <fstream>
#include <thread>

extern char** environ;

using namespace bus;

namespace {
std::string FindSer2net() {
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
        if (::access(path, X_OK) == 0)
            return path;
    return {};
}

// A loopback port nobody listens on right now.
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// ser2net in the foreground on one raw TCP port, stopped on destruction.
class Ser2net {
  public:
    Ser2net(const std::string& folder, const std::string& device, int port) {
        const std::string config = folder + "/ser2net.yaml";
        std::ofstream(config) << "connection: &meters\n"
                              << "    accepter: tcp,127.0.0.1," << port << "\n"
                              << "    connector: serialdev," << device << ",2400e81,local\n";
        std::vector<std::string> args{FindSer2net(),          "-n", "-u", "-c", config, "-P",
                                      folder + "/ser2net.pid"};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }
    ~Ser2net() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    bool Running() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
};
}  // namespace

TEST_F(NetworkTab, BatchReadThroughSer2net) {
    ASSERT_FALSE(FindSer2net().empty()) << "ser2net is not installed (scripts/install-deps.sh)";
    sim = std::make_unique<MeterSimProcess>(
        std::vector<std::string>{"--baud", "2400", "--fault", kMeter2 + ":split=50"}, true, false);
    ASSERT_TRUE(sim->Ready()) << sim->Output();
    const int port = FreePort();
    Ser2net gateway(sim->Folder(), sim->PtyLink(), port);
    ASSERT_TRUE(gateway.Running());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!Accepts(port) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The probe's connection must be gone before ours may have the port.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    Open(port);
    Connect();
    SetAddresses({QString::fromStdString(kMeter1), QString::fromStdString(kMeter2),
                  QString::fromStdString(kMeter3)});
    const size_t mark = Mark();
    form().ui->btnGetDataTCP->click();
    EXPECT_EQ(Results(),
              QStringList({Shown(ReadingLines(kMeter1Reading)), Shown(ReadingLines(kMeter2Reading)),
                           Shown(ReadingLines(kMeter3Reading))})
                  .join(u'\n'));
    std::vector<LogEntry> expected;
    for (const Reading* r : {&kMeter1Reading, &kMeter2Reading, &kMeter3Reading})
        for (const LogEntry& e : ReadingLog(*r))
            expected.push_back(e);
    EXPECT_EQ(LogSince(mark), expected);
}
