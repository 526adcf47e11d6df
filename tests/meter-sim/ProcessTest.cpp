// meter-sim as a process: its pty and TCP transports, start-up lines and shutdown.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TestBytes.h"

namespace metersim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Hex;

extern "C" char** environ;

const std::string kReadReading05 = "FEFEFE6805913130020068010243C3D216";
const std::string kReadReading06 = "FEFEFE6806913130020068010243C3D316";
const std::string kReading05 = "FEFEFE6805913130020068810843C33344333333339B16";
const std::string kReading06 = "FEFEFE6806913130020068810843C389674533B333A716";

std::string SimPath() {
    const char* build = std::getenv("METER_BUILD_DIR");
    return std::string(build ? build : ".") + "/tools/meter-sim/meter-sim";
}

// A temporary folder for links, removed with the test.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char name[] = "/tmp/meter-sim-test-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        args.insert(args.begin(), SimPath());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~SimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }

    // The next stdout line, or "" at end of output or after the deadline.
    std::string ReadLine(std::chrono::milliseconds within = 5s) {
        const auto deadline = Clock::now() + within;
        for (;;) {
            if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return "";
            char chunk[512];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0)
                return "";
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Reads up to "ready"; remembers the TCP port. False if it never got there.
    bool WaitReady() {
        for (std::string line = ReadLine(); !line.empty(); line = ReadLine()) {
            const std::string prefix = "tcp 127.0.0.1:";
            if (line.rfind(prefix, 0) == 0)
                port = std::stoi(line.substr(prefix.size()));
            if (line == "ready")
                return true;
        }
        return false;
    }

    // Exit code after `sig`, or -1 if it did not exit normally within a few seconds.
    int Stop(int sig) {
        ::kill(pid_, sig);
        const auto deadline = Clock::now() + 5s;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline)
                return -1;
            std::this_thread::sleep_for(5ms);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int port = 0;

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void Send(int fd, const std::string& hex) {
    const Bytes bytes = Hex(hex);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// One read within the deadline, as hex ("" when nothing came).
std::string ReadOnce(int fd, std::chrono::milliseconds within = 2s) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(within.count())) <= 0)
        return "";
    std::uint8_t buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    return n > 0 ? ToHex(Bytes(buffer, buffer + n)) : "";
}

// Reads until `size` hex digits have arrived or the deadline passes.
std::string ReadHex(int fd, std::size_t size, std::chrono::milliseconds within = 2s) {
    const auto deadline = Clock::now() + within;
    std::string text;
    while (text.size() < size && Clock::now() < deadline)
        text += ReadOnce(
            fd, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    return text;
}

TEST(MeterSimProcessTest, PtyIsRawAndTakesFramesInPieces) {
    TempDir dir;
    const std::string link = dir.path / "COM1";
    SimProcess sim({"--instant", "--pty", link});
    ASSERT_TRUE(sim.WaitReady());
    ASSERT_TRUE(std::filesystem::is_symlink(link));

    const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u);

    // Noise, a long preamble and the frame in three writes.
    Send(fd, "00FEFEFEFE68059131");
    std::this_thread::sleep_for(20ms);
    Send(fd, "3002006801");
    std::this_thread::sleep_for(20ms);
    Send(fd, "0243C3D216");
    EXPECT_EQ(ReadHex(fd, kReading05.size()), kReading05);

    // A frame with a bad checksum is met with silence; the line still works after it.
    Send(fd, "FEFEFE6805913130020068010243C3D316");
    Send(fd, kReadReading06);
    EXPECT_EQ(ReadHex(fd, kReading06.size()), kReading06);

    // Closing and reopening the far end, as a console does, changes nothing.
    ::close(fd);
    const int again = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(again, 0);
    Send(again, kReadReading05);
    EXPECT_EQ(ReadHex(again, kReading05.size()), kReading05);
    ::close(again);
}

// Opens `path`, retrying while another user's exclusive hold is still being released.
int OpenWithin(const std::string& path, std::chrono::milliseconds within) {
    const auto deadline = Clock::now() + within;
    for (;;) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 || errno != EBUSY || Clock::now() > deadline)
            return fd;
        std::this_thread::sleep_for(10ms);
    }
}

TEST(MeterSimProcessTest, ExclusiveUseEndsWhenTheHolderCloses) {
    // Root ignores TIOCEXCL, so the client and the simulator run as nobody.
    TempDir dir;
    ::chmod(dir.path.c_str(), 0777);
    const std::string link = dir.path / "COM1";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::getuid() == 0 &&
            (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0))
            ::_exit(2);
        const int code = [&] {
            SimProcess sim({"--instant", "--pty", link});
            if (!sim.WaitReady())
                return 3;
            for (int i = 0; i < 3; ++i) {
                const int fd = OpenWithin(link, 2s);
                if (fd < 0)
                    return 10 + i;  // still held by the previous, closed, user
                ::ioctl(fd, TIOCEXCL);
                const Bytes request = Hex(kReadReading05);
                const bool answered = ::write(fd, request.data(), request.size()) ==
                                          static_cast<ssize_t>(request.size()) &&
                                      ReadHex(fd, kReading05.size()) == kReading05;
                ::close(fd);
                if (!answered)
                    return 20 + i;
            }
            return sim.Stop(SIGTERM) == 0 ? 0 : 4;
        }();
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10+i: open i failed, 20+i: no answer, 2-4: setup";
}

TEST(MeterSimProcessTest, TcpClientsEachGetTheirOwnReplies) {
    SimProcess sim({"--instant", "--tcp", "127.0.0.1:0"});
    ASSERT_TRUE(sim.WaitReady());
    ASSERT_GT(sim.port, 0);

    // Clients that come and go, some leaving with a reply still to come.
    for (int i = 0; i < 20; ++i) {
        const int fd = Connect(sim.port);
        ASSERT_GE(fd, 0);
        if (i % 2)
            Send(fd, kReadReading05);
        ::close(fd);
    }

    const int a = Connect(sim.port);
    const int b = Connect(sim.port);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    Send(a, kReadReading05);
    Send(b, kReadReading06);
    EXPECT_EQ(ReadHex(b, kReading06.size()), kReading06);
    EXPECT_EQ(ReadHex(a, kReading05.size()), kReading05);
    // A request in two TCP segments.
    Send(a, kReadReading06.substr(0, 10));
    std::this_thread::sleep_for(20ms);
    Send(a, kReadReading06.substr(10));
    EXPECT_EQ(ReadHex(a, kReading06.size()), kReading06);
    ::close(a);
    ::close(b);
}

TEST(MeterSimProcessTest, SplitAndLoneByteArriveAsSeparateReceives) {
    SimProcess sim({"--instant", "--tcp", "0", "--fault", "000230319105:split=300@1,lone=300@2"});
    ASSERT_TRUE(sim.WaitReady());
    const int fd = Connect(sim.port);
    ASSERT_GE(fd, 0);

    Send(fd, kReadReading05);
    const std::string first = ReadOnce(fd);
    EXPECT_EQ(first, kReading05.substr(0, first.size()));
    EXPECT_LT(first.size(), kReading05.size());
    EXPECT_EQ(first + ReadHex(fd, kReading05.size() - first.size()), kReading05);

    Send(fd, kReadReading05);
    EXPECT_EQ(ReadOnce(fd), "00");
    EXPECT_EQ(ReadHex(fd, kReading05.size()), kReading05);
    ::close(fd);
}

TEST(MeterSimProcessTest, VerboseLogsEveryFrameWithATimeStamp) {
    SimProcess sim({"--instant", "--tcp", "0", "--verbose"});
    ASSERT_TRUE(sim.WaitReady());
    const int fd = Connect(sim.port);
    ASSERT_GE(fd, 0);
    Send(fd, kReadReading05);
    EXPECT_EQ(ReadHex(fd, kReading05.size()), kReading05);
    Send(fd, "FEFEFE6805913130020068010243C3D316");

    // "hh:mm:ss.mmm " and then the event.
    auto stamped = [](const std::string& line, const std::string& event) {
        const std::string pattern = "dd:dd:dd.ddd ";
        if (line.size() != pattern.size() + event.size())
            return false;
        for (std::size_t i = 0; i < pattern.size(); ++i)
            if (pattern[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i]))
                                  : line[i] != pattern[i])
                return false;
        return line.substr(pattern.size()) == event;
    };
    for (const std::string& event : std::vector<std::string>{
             "tcp#1 connected",
             "tcp#1 rx 6805913130020068010243C3D216",
             "tcp#1 tx " + kReading05,
             "tcp#1 rx 6805913130020068010243C3D316 (bad checksum, ignored)",
         }) {
        const std::string line = sim.ReadLine(2s);
        EXPECT_TRUE(stamped(line, event)) << line;
    }
    ::close(fd);
}

TEST(MeterSimProcessTest, StopsCleanlyOnSignalsAndRemovesTheLink) {
    for (int sig : {SIGTERM, SIGINT}) {
        TempDir dir;
        const std::string link = dir.path / "COM1";
        // A stale link from an earlier run is replaced.
        std::filesystem::create_symlink("/nonexistent/pts", link);
        SimProcess sim({"--instant", "--pty", link, "--tcp", "0"});
        ASSERT_TRUE(sim.WaitReady());
        EXPECT_NE(std::filesystem::read_symlink(link), "/nonexistent/pts");
        const int client = Connect(sim.port);
        EXPECT_EQ(sim.Stop(sig), 0) << "signal " << sig;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
        ::close(client);
    }
}

TEST(MeterSimProcessTest, RefusesToReplaceAFileAndBadUsage) {
    TempDir dir;
    const std::string file = dir.path / "notes.txt";
    {
        std::FILE* f = std::fopen(file.c_str(), "w");
        std::fputs("keep", f);
        std::fclose(f);
    }
    SimProcess overFile({"--instant", "--pty", file});
    EXPECT_EQ(overFile.Wait(), 1);
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
    EXPECT_EQ(std::filesystem::file_size(file), 4u);

    SimProcess usage({"--tcp", "0", "--fault", "000230319105:fizz"});
    EXPECT_EQ(usage.Wait(), 2);
}

}  // namespace
}  // namespace metersim
