#include "CustomBaudRate.h"
#include "PtyPair.h"
#include "SerialPort.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <termios.h>

#include <fstream>
#include <map>
#include <numeric>

using namespace std::chrono_literals;

namespace {

// What the component reported, in order.
struct Events {
    std::vector<std::string> chunks;
    std::vector<std::string> log;
    bool chunksEndInNul = true;

    void Bind(TComm& port) {
        port.OnReceiveData = [this](QObject*, const void* buffer, uint16_t length) {
            const char* bytes = static_cast<const char*>(buffer);
            chunks.emplace_back(bytes, length);
            chunksEndInNul = chunksEndInNul && bytes[length] == '\0';
            log.push_back("data");
        };
        port.OnRequestHangup = [this](QObject*) { log.push_back("hangup"); };
        port.OnSendDataEmpty = [this](QObject*) { log.push_back("empty"); };
        port.OnReceiveError = [this](QObject*, uint32_t) { log.push_back("error"); };
    }
    size_t Count(const std::string& what) const { return std::count(log.begin(), log.end(), what); }
};

std::string OpenError(TComm& port) {
    try {
        port.Open();
    } catch (const ECommsError& e) {
        return e.what();
    }
    return "";
}

void UseRawLine(TComm& port, const std::string& path) {
    port.SetCommName(path);
    // The test bytes include DC1 and DC3, which XON/XOFF would swallow.
    port.SetInx_XonXoffFlow(false);
    port.SetOutx_XonXoffFlow(false);
}

std::string Bytes(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
    return s;
}

class PortOnPty : public testing::Test {
  protected:
    void SetUp() override {
        UseRawLine(port, pty.Path());
        events.Bind(port);
        ASSERT_EQ(OpenError(port), "");
    }

    PtyPair pty;
    TComm port;
    Events events;
};

}  // namespace

TEST(SerialPort, NewComponentIsClosedWithDefaults) {
    TComm port;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.CommName(), "COM2");
    EXPECT_EQ(port.BaudRate(), 9600u);
    EXPECT_EQ(port.ByteSize(), TByteSize::_8);
    EXPECT_EQ(port.Parity(), TParity::None);
    EXPECT_EQ(port.StopBits(), TStopBits::_1);
    EXPECT_TRUE(port.Outx_XonXoffFlow());
    EXPECT_TRUE(port.Inx_XonXoffFlow());
    EXPECT_TRUE(port.TxContinueOnXoff());
    EXPECT_FALSE(port.ParityCheck());
    EXPECT_EQ(port.DtrControl(), TDtrControl::DtrEnable);
    EXPECT_EQ(port.RtsControl(), TRtsControl::RtsEnable);
    EXPECT_EQ(port.XonLimit(), 500);
    EXPECT_EQ(port.XoffLimit(), 500);
    EXPECT_EQ(port.XonChar(), 17);
    EXPECT_EQ(port.XoffChar(), 19);
    EXPECT_EQ(port.ReplacedChar(), 0);
    EXPECT_EQ(port.ReadIntervalTimeout(), 100u);
    EXPECT_EQ(port.ReadTotalTimeoutMultiplier() + port.ReadTotalTimeoutConstant() +
                  port.WriteTotalTimeoutMultiplier() + port.WriteTotalTimeoutConstant(),
              0u);
    EXPECT_TRUE(port.SendDataEmpty());
    EXPECT_FALSE(port.Send("x", 1));
    port.Close();  // closed: nothing to do
    EXPECT_FALSE(port.IsOpen());
}

TEST(SerialPort, OpenFailuresLeaveThePortClosed) {
    struct Case {
        const char* name;
        const char* message;
    } cases[] = {
        {"/nonexistent/ttyUSB9", "Error opening serial port"},
        {"COM0", "Error opening serial port"},
        {"/", "Error opening serial port"},
        {"/dev/null", "File handle is not a comm handle "},
    };
    for (const auto& c : cases) {
        TComm port;
        port.SetCommName(c.name);
        EXPECT_EQ(OpenError(port), c.message) << c.name;
        EXPECT_FALSE(port.IsOpen()) << c.name;
        EXPECT_FALSE(port.Send("x", 1)) << c.name;
    }
}

TEST_F(PortOnPty, SecondOpenFailsWhileThePortStaysUsable) {
    EXPECT_EQ(OpenError(port), "This serial port already opened");
    TComm other;
    other.SetCommName(pty.Path());
    EXPECT_EQ(OpenError(other), "Error opening serial port");
    EXPECT_FALSE(other.IsOpen());

    ASSERT_TRUE(port.IsOpen());
    pty.Send("in");
    ASSERT_TRUE(port.Send("out", 3));
    EXPECT_EQ(pty.Receive(), "out");
    ASSERT_TRUE(WaitUntil([&] { return !events.chunks.empty(); }));
    EXPECT_EQ(events.chunks[0], "in");

    // Exclusive access ends with the close.
    port.Close();
    EXPECT_EQ(OpenError(other), "");
    other.Close();
}

TEST_F(PortOnPty, BurstWithGapsOfAtMost100msIsOneChunk) {
    for (const char* piece : {"abc", "def", "ghi"}) {
        pty.Send(piece);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(WaitUntil([&] { return !events.chunks.empty(); }));
    RunEventsFor(250);
    EXPECT_EQ(events.chunks, std::vector<std::string>{"abcdefghi"});
}

TEST_F(PortOnPty, GapOfMoreThan100msGivesTwoChunks) {
    pty.Send("12");
    std::this_thread::sleep_for(250ms);
    pty.Send("34");
    ASSERT_TRUE(WaitUntil([&] { return events.chunks.size() >= 2; }));
    RunEventsFor(150);
    EXPECT_EQ(events.chunks, (std::vector<std::string>{"12", "34"}));
}

TEST_F(PortOnPty, FiveThousandBytesGiveThreeChunksIntact) {
    // Every byte value, 0xFF (escaped by the kernel) and NUL included.
    const std::string sent = Bytes(5000);
    pty.Send(sent);
    ASSERT_TRUE(WaitUntil([&] { return events.chunks.size() >= 3; }));
    RunEventsFor(150);
    ASSERT_EQ(events.chunks.size(), 3u);
    EXPECT_EQ(events.chunks[0].size(), 2048u);
    EXPECT_EQ(events.chunks[1].size(), 2048u);
    EXPECT_EQ(events.chunks[2].size(), 904u);
    EXPECT_EQ(events.chunks[0] + events.chunks[1] + events.chunks[2], sent);
    EXPECT_TRUE(events.chunksEndInNul);
    EXPECT_EQ(events.Count("error"), 0u);
}

TEST_F(PortOnPty, BlocksAreSentInTheOrderQueued) {
    RunEventsFor(50);
    events.log.clear();
    std::string expected;
    for (int i = 1; i <= 40; ++i) {
        const std::string block = Bytes(size_t(i * 37)).substr(size_t(i));
        ASSERT_TRUE(port.Send(block.data(), static_cast<uint16_t>(block.size())));
        expected += block;
    }
    EXPECT_FALSE(port.Send("x", 0));
    EXPECT_EQ(pty.Receive(), expected);
    ASSERT_TRUE(WaitUntil([&] { return events.Count("empty") > 0; }));
    EXPECT_TRUE(port.SendDataEmpty());
}

// The transmit thread can write a block and mark the queue empty before Send
// returns; the mark must still stand once the last block is out.
TEST_F(PortOnPty, QueueEmptyMarkStandsAfterEveryQuickBlock) {
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(port.Send("\x68", 1));
        ASSERT_TRUE(WaitUntil([&] { return port.SendDataEmpty(); }, 1000)) << "after block " << i;
    }
    EXPECT_EQ(pty.Receive(), std::string(300, '\x68'));
}

TEST_F(PortOnPty, CloseDuringALongWriteReturnsPromptly) {
    // Nobody reads the far end, so the writes stall once the pty is full.
    const std::string block = Bytes(65535);
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(port.Send(block.data(), static_cast<uint16_t>(block.size())));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(port.SendDataEmpty());

    const auto start = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);  // a hang, not a speed
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.SendDataEmpty());
    EXPECT_LT(pty.Receive(20).size(), 4 * block.size());  // the rest was discarded
}

TEST_F(PortOnPty, FarEndClosingEndsReceptionWithHangup) {
    pty.Send("xyz");
    std::this_thread::sleep_for(50ms);  // read, but its silence not yet complete
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return events.Count("hangup") > 0; }));
    // What had arrived is delivered first, nothing is lost.
    ASSERT_EQ(events.chunks, std::vector<std::string>{"xyz"});
    EXPECT_EQ(events.log.front() == "empty" ? events.log[1] : events.log[0], "data");

    // Sending to the dead line ends the transmit thread as well.
    port.Send("a", 1);
    ASSERT_TRUE(WaitUntil([&] { return events.Count("hangup") > 1; }));
    EXPECT_FALSE(port.Send("a", 1));
    RunEventsFor(100);
    EXPECT_EQ(events.Count("hangup"), 2u);  // and nothing spins or repeats

    port.Close();
    PtyPair next;
    port.SetCommName(next.Path());
    ASSERT_EQ(OpenError(port), "");
    next.Send("again");
    ASSERT_TRUE(WaitUntil([&] { return events.chunks.size() > 1; }));
    EXPECT_EQ(events.chunks.back(), "again");
}

TEST(SerialPort, AHandlerMayCloseAndDeleteThePort) {
    PtyPair pty;
    auto* port = new TComm;
    UseRawLine(*port, pty.Path());
    port->OnRequestHangup = [&port](QObject*) {
        port->Close();
        delete port;
        port = nullptr;
    };
    ASSERT_EQ(OpenError(*port), "");
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return port == nullptr; }));
    RunEventsFor(50);  // later notifications of the released port are dropped
}

TEST_F(PortOnPty, IdleWorkerThreadsDoNotWake) {
    RunEventsFor(100);
    // Context switches of the two worker threads, by name.
    auto switches = [] {
        std::map<std::string, long> count;
        DIR* dir = ::opendir("/proc/self/task");
        while (dirent* entry = ::readdir(dir)) {
            const std::string task = std::string("/proc/self/task/") + entry->d_name;
            std::string name;
            std::getline(std::ifstream(task + "/comm"), name);
            if (name != "TReadThread" && name != "TWriteThread")
                continue;
            std::ifstream status(task + "/status");
            for (std::string line; std::getline(status, line);)
                if (line.find("ctxt_switches:") != std::string::npos)
                    count[name] += std::stol(line.substr(line.find(':') + 1));
        }
        ::closedir(dir);
        return count;
    };
    const auto before = switches();
    ASSERT_EQ(before.size(), 2u);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(switches(), before);
}

TEST(SerialPort, LineSettingsReachTheDevice) {
    struct Case {
        const char* what;
        std::function<void(TComm&)> set;
        tcflag_t cflag;  // of PARODD | CMSPAR | CSTOPB | CRTSCTS (a pty keeps these)
        tcflag_t iflag;  // of IXON | IXOFF
        uint32_t rate;
        char xon, xoff;
    };
    const Case cases[] = {
        {"defaults", [](TComm&) {}, 0, IXON | IXOFF, 9600, 17, 19},
        {"19200, odd, two stop bits, CTS flow, own XON/XOFF characters",
         [](TComm& p) {
             p.SetBaudRate(19200);
             p.SetParity(TParity::Odd);
             p.SetStopBits(TStopBits::_2);
             p.SetOutx_CtsFlow(true);
             p.SetXonChar('Q');
             p.SetXoffChar('S');
         },
         PARODD | CSTOPB | CRTSCTS, IXON | IXOFF, 19200, 'Q', 'S'},
        {"600, mark, input XON/XOFF only",
         [](TComm& p) {
             p.SetBaudRate(600);
             p.SetParity(TParity::Mark);
             p.SetOutx_XonXoffFlow(false);
         },
         PARODD | CMSPAR, IXOFF, 600, 17, 19},
        {"a rate without a constant, space parity, no flow control",
         [](TComm& p) {
             p.SetBaudRate(12345);
             p.SetParity(TParity::Space);
             p.SetOutx_XonXoffFlow(false);
             p.SetInx_XonXoffFlow(false);
         },
         CMSPAR, 0, 12345, 17, 19},
    };
    for (const auto& c : cases) {
        PtyPair pty;
        TComm port;
        port.SetCommName(pty.Path());
        c.set(port);
        ASSERT_EQ(OpenError(port), "") << c.what;
        termios t;
        ASSERT_EQ(::tcgetattr(pty.Slave(), &t), 0);
        EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS), c.cflag) << c.what;
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF), c.iflag) << c.what;
        EXPECT_EQ(t.c_iflag & (INPCK | PARMRK | ICRNL), tcflag_t(INPCK | PARMRK)) << c.what;
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << c.what;
        EXPECT_EQ(t.c_cc[VSTART], c.xon) << c.what;
        EXPECT_EQ(t.c_cc[VSTOP], c.xoff) << c.what;
        uint32_t in = 0, out = 0;
        ASSERT_TRUE(GetBaudRate(pty.Slave(), in, out));
        EXPECT_EQ(out, c.rate) << c.what;
        EXPECT_EQ(in, c.rate) << c.what;
        port.Close();
    }
}

TEST_F(PortOnPty, SettersApplyAtOnceExceptParity) {
    auto rate = [&] {
        uint32_t in = 0, out = 0;
        GetBaudRate(pty.Slave(), in, out);
        return out;
    };
    auto cflag = [&] {
        termios t;
        ::tcgetattr(pty.Slave(), &t);
        return t.c_cflag;
    };
    // Someone else changes the line behind the component's back.
    termios t;
    ASSERT_EQ(::tcgetattr(pty.Slave(), &t), 0);
    cfsetspeed(&t, B1200);
    ASSERT_EQ(::tcsetattr(pty.Slave(), TCSANOW, &t), 0);

    port.SetBaudRate(9600);  // the value it holds: the device is not touched
    EXPECT_EQ(rate(), 1200u);
    port.SetParity(TParity::Odd);  // stored only
    EXPECT_EQ(rate(), 1200u);
    EXPECT_FALSE(cflag() & PARODD);

    port.SetStopBits(TStopBits::_2);  // any other change applies everything
    EXPECT_EQ(rate(), 9600u);
    EXPECT_TRUE(cflag() & PARODD);
    EXPECT_TRUE(cflag() & CSTOPB);
    port.SetBaudRate(4800);
    EXPECT_EQ(rate(), 4800u);
}
