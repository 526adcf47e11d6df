#include "DeviceMap.h"
#include "PtyPair.h"
#include "HexText.h"
#include "SerialLink.h"
#include "SerialPort.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <termios.h>
#include <time.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kRequest = "FEFEFE6805913130020068010243C3D216";
const std::string kReplyBytes("\x68\x81\x0a\xff\x00\x16", 6);
const std::string kReplyText = "68810AFF0016";

// The meter at the far end: takes one request, then answers with the given
// pieces, each after its pause.
class FarEnd {
  public:
    using Answer = std::vector<std::pair<std::chrono::milliseconds, std::string>>;
    FarEnd(const PtyPair& pty, Answer answer)
        : thread_([this, &pty, answer] {
              request_ = pty.Receive(50);
              for (const auto& [pause, bytes] : answer) {
                  std::this_thread::sleep_for(pause);
                  pty.Send(bytes);
              }
          }) {}
    ~FarEnd() { Join(); }
    // Everything the meter received.
    std::string Join() {
        if (thread_.joinable())
            thread_.join();
        return request_;
    }

  private:
    std::string request_;
    std::thread thread_;
};

long ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

double CpuSeconds() {
    timespec ts;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

class SerialLinkTest : public testing::Test {
  protected:
    void SetUp() override {
        SetSerialDeviceMap({{1, pty.Path()}});
        PortOpen = PortOpening = ExchangeBusy = ReplyArrived = false;
    }
    void TearDown() override {
        SetCommPortFactory({});
        CloseSerialPort();
        SetSerialDeviceMap({});
    }
    PtyPair pty;
};

// A port whose close fails (the objects are still released afterwards).
class CloseRefused : public TComm {
  public:
    void Close() override { throw ECommsError("close refused"); }
};

}  // namespace

TEST_F(SerialLinkTest, OpenAndCloseResults) {
    ASSERT_EQ(OpenSerialPort(1, 9600, 500), 0);
    EXPECT_TRUE(PortOpen);
    EXPECT_FALSE(PortOpening);
    EXPECT_EQ(ReplyTimeout, 500);
    termios t;
    ASSERT_EQ(::tcgetattr(pty.Slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);  // no software flow control
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);

    EXPECT_EQ(OpenSerialPort(1, 19200, 100), -1);  // already open: untouched
    ASSERT_EQ(::tcgetattr(pty.Slave(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(ReplyTimeout, 500);

    EXPECT_EQ(CloseSerialPort(), 0);
    EXPECT_FALSE(PortOpen);
    EXPECT_EQ(CommPort, nullptr);
    EXPECT_EQ(ReceiveSink, nullptr);

    EXPECT_EQ(OpenSerialPort(0, 9600, 500), -2);  // names no device
    EXPECT_FALSE(PortOpen);
    EXPECT_FALSE(PortOpening);
    EXPECT_EQ(ReplyTimeout, 500);
    EXPECT_EQ(OpenSerialPort(1, 9600, 700), 0);  // the leftovers are replaced
    EXPECT_EQ(ReplyTimeout, 700);
}

TEST_F(SerialLinkTest, ReplyArrives) {
    ASSERT_EQ(OpenSerialPort(1, 9600, 2000), 0);
    FarEnd meter(pty, {{20ms, kReplyBytes}});
    std::string reply = "junk";
    EXPECT_EQ(SerialExchange("fe fe fe 68 05 91 31 30 02 00 68 01 02 43 c3 d2 16", reply), 0);
    EXPECT_EQ(reply, kReplyText);
    EXPECT_EQ(meter.Join(), HexTextToBytes(kRequest));
    EXPECT_FALSE(ExchangeBusy);
    EXPECT_TRUE(ReplyText.empty());
}

TEST_F(SerialLinkTest, SplitReplyIsCutToItsFirstChunk) {
    ASSERT_EQ(OpenSerialPort(1, 9600, 400), 0);
    FarEnd meter(pty, {{10ms, kReplyBytes.substr(0, 2)}, {250ms, kReplyBytes.substr(2)}});
    std::string reply;
    EXPECT_EQ(SerialExchange(kRequest, reply), 0);
    EXPECT_EQ(reply, "6881");

    // The rest is stored when it comes, while no exchange runs ...
    meter.Join();
    ASSERT_TRUE(WaitUntil([] { return ReplyText == "0AFF0016"; }));
    // ... and thrown away by the next exchange, which gets no answer.
    EXPECT_EQ(SerialExchange(kRequest, reply), 1);
    EXPECT_EQ(reply, "");
}

// A rule that finds kReplyBytes anywhere in what was received.
size_t ReplyEnd(std::string_view bytes) {
    const size_t at = bytes.find(kReplyBytes);
    return at == std::string_view::npos ? 0 : at + kReplyBytes.size();
}

TEST_F(SerialLinkTest, RuledExchangeDropsLeftoversAndCollectsTheReplyAcrossChunks) {
    ASSERT_EQ(OpenSerialPort(1, 9600, 1500), 0);
    // The tail of an earlier answer, delivered and still waiting.
    pty.Send("\x68\x81\x0a\xff");
    ASSERT_TRUE(WaitUntil([] { return ReplyText == "68810AFF"; }));
    pty.Send(kReplyBytes);
    // Noise, then the reply with a pause inside it far longer than a chunk's silence.
    FarEnd meter(
        pty,
        {{10ms, "\x01\x02"}, {20ms, kReplyBytes.substr(0, 3)}, {300ms, kReplyBytes.substr(3)}});
    std::string reply;
    EXPECT_EQ(SerialExchange(kRequest, reply, ReplyEnd), 0);
    EXPECT_EQ(reply, "0102" + kReplyText);
    EXPECT_EQ(meter.Join(), HexTextToBytes(kRequest));
    EXPECT_FALSE(ExchangeBusy);
}

TEST_F(SerialLinkTest, RuledExchangeWithoutAReplyTimesOutWithWhatCame) {
    ASSERT_EQ(OpenSerialPort(1, 9600, 600), 0);
    // Several chunks of something that is not the reply: they neither end
    // the wait nor stretch it.
    FarEnd meter(pty, {{10ms, "\x01"}, {120ms, "\x02"}, {120ms, kReplyBytes.substr(0, 4)}});
    std::string reply;
    const auto start = Clock::now();
    EXPECT_EQ(SerialExchange(kRequest, reply, ReplyEnd), 1);
    EXPECT_LT(ElapsedMs(start), 900);
    meter.Join();
    EXPECT_EQ(reply, "010268810AFF");
}

TEST_F(SerialLinkTest, UnansweredRequestTimesOut) {
    ASSERT_EQ(OpenSerialPort(1, 9600, 200), 0);
    std::string reply = "junk";
    const auto start = Clock::now();
    EXPECT_EQ(SerialExchange(kRequest, reply), 1);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 200);
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(reply, "");
    EXPECT_EQ(pty.Receive(20), HexTextToBytes(kRequest));
}

TEST_F(SerialLinkTest, NegativeTimeoutEndsAfterTheFirstStep) {
    ASSERT_EQ(OpenSerialPort(1, 9600, -5), 0);
    std::string reply = "junk";
    const auto start = Clock::now();
    EXPECT_EQ(SerialExchange(kRequest, reply), 1);
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_EQ(reply, "");
}

TEST_F(SerialLinkTest, NestedCallsAreRefusedAndTheRunningExchangeGoesOn) {
    ASSERT_EQ(OpenSerialPort(1, 9600, 2000), 0);
    FarEnd meter(pty, {{150ms, kReplyBytes}});
    std::string nestedReply = "untouched";
    int nestedExchange = 99, nestedOpen = 99;
    QTimer::singleShot(20, [&] {
        nestedExchange = SerialExchange("0102", nestedReply);
        nestedOpen = OpenSerialPort(1, 9600, 100);
    });
    std::string reply;
    EXPECT_EQ(SerialExchange(kRequest, reply), 0);
    EXPECT_EQ(reply, kReplyText);
    EXPECT_EQ(nestedExchange, -1);
    EXPECT_EQ(nestedReply, "untouched");
    EXPECT_EQ(nestedOpen, 1);
    EXPECT_EQ(meter.Join(), HexTextToBytes(kRequest));  // the nested request was never sent
}

TEST_F(SerialLinkTest, ClosedPortIsRefused) {
    std::string reply = "untouched";
    EXPECT_EQ(SerialExchange(kRequest, reply), -2);
    EXPECT_EQ(reply, "untouched");
    EXPECT_FALSE(ExchangeBusy);
}

TEST_F(SerialLinkTest, NestedCloseLeavesTheWaitingExchangeToTimeOut) {
    ASSERT_EQ(OpenSerialPort(1, 9600, 300), 0);
    int closed = 99;
    QTimer::singleShot(20, [&] { closed = CloseSerialPort(); });
    std::string reply;
    EXPECT_EQ(SerialExchange(kRequest, reply), 1);
    EXPECT_EQ(closed, 0);
    EXPECT_FALSE(PortOpen);
    EXPECT_EQ(CommPort, nullptr);
    EXPECT_EQ(OpenSerialPort(1, 9600, 300), 0);
}

TEST_F(SerialLinkTest, TickCounterWrapsDuringAWait) {
    ASSERT_EQ(OpenSerialPort(1, 9600, 300), 0);
    SetTickCountForTest(0xFFFFFFFFu - 100);
    std::string reply;
    const auto start = Clock::now();
    EXPECT_EQ(SerialExchange(kRequest, reply), 1);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 300);              // the wrap is not taken for a long wait ...
    EXPECT_LT(ms, 2000);             // ... nor hides the time-out
    EXPECT_LT(TickCount(), 10000u);  // it did wrap
    pty.Receive(20);

    SetTickCountForTest(0xFFFFFFFFu - 10);
    FarEnd meter(pty, {{50ms, kReplyBytes}});
    EXPECT_EQ(SerialExchange(kRequest, reply), 0);
    EXPECT_EQ(reply, kReplyText);
}

TEST_F(SerialLinkTest, ExchangeAfterAFailedCloseFailsSafely) {
    SetCommPortFactory([] { return new CloseRefused; });
    ASSERT_EQ(OpenSerialPort(1, 9600, 5000), 0);
    EXPECT_EQ(CloseSerialPort(), 1);
    EXPECT_TRUE(PortOpen);  // as it was
    EXPECT_EQ(CommPort, nullptr);

    std::string reply = "junk";
    const auto start = Clock::now();
    EXPECT_EQ(SerialExchange(kRequest, reply), 1);
    EXPECT_LT(ElapsedMs(start), 1000);  // failed at once, did not wait out 5 s
    EXPECT_EQ(reply, "");
    EXPECT_FALSE(ExchangeBusy);

    EXPECT_EQ(CloseSerialPort(), 0);
    EXPECT_FALSE(PortOpen);
    // The released port really let go of the device.
    SetCommPortFactory({});
    EXPECT_EQ(OpenSerialPort(1, 9600, 300), 0);
}

TEST_F(SerialLinkTest, WaitingDispatchesEventsWithoutBurningACore) {
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    PumpWait(0);
    EXPECT_EQ(ticks, 0);

    double cpu = CpuSeconds();
    auto start = Clock::now();
    PumpWait(300);
    EXPECT_GE(ElapsedMs(start), 300);
    EXPECT_GE(ticks, 10);
    // A spinning wait would take the whole interval; a sleeping one a sliver.
    EXPECT_LT(CpuSeconds() - cpu, 0.3 * 0.3);

    ASSERT_EQ(OpenSerialPort(1, 9600, 500), 0);
    std::string reply;
    cpu = CpuSeconds();
    ticks = 0;
    EXPECT_EQ(SerialExchange(kRequest, reply), 1);
    EXPECT_GE(ticks, 20);  // the clock kept running during the exchange
    EXPECT_LT(CpuSeconds() - cpu, 0.5 * 0.3);
}
