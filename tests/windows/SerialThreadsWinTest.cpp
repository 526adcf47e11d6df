// The component's core under Wine: its opening errors, and both worker
// threads running their bodies over COM1 (meter-sim's pty, mapped and
// checked by wine-run.sh). Meters 108 and 109 split their replies in halves
// 150 ms and 30 ms apart.
#include "SerialCore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "HexText.h"
#include "MeterCommands.h"
#include "ReplyRule.h"

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What the threads posted, in order.
class Recorder : public TNotifySink {
  public:
    struct Note {
        int message;
        std::string chunk;
    };

    void Post(int message, uintptr_t wParam, uintptr_t, std::unique_ptr<char[]> chunk,
              unsigned) override {
        std::lock_guard lock(mutex_);
        Note note{message, {}};
        if (chunk) {
            note.chunk.assign(chunk.get(), wParam);
            nulTerminated_ = nulTerminated_ && chunk[wParam] == '\0';
        }
        notes_.push_back(std::move(note));
        changed_.notify_all();
    }

    // Waits until `enough` holds for the notes, at most `limit`.
    bool WaitFor(const std::function<bool(const std::vector<Note>&)>& enough, milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return enough(notes_); });
    }

    std::vector<Note> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(notes_, {});
    }

    size_t Count(int message) {
        std::lock_guard lock(mutex_);
        return std::count_if(notes_.begin(), notes_.end(),
                             [&](const Note& n) { return n.message == message; });
    }

    bool NulTerminated() {
        std::lock_guard lock(mutex_);
        return nulTerminated_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Note> notes_;
    bool nulTerminated_ = true;
};

std::string ErrorOf(const std::string& commName) {
    try {
        OpenCommDevice(commName);
    } catch (const ECommsError& e) {
        return e.what();
    }
    return "";
}

TEST(WinSerialCore, PortsThatCannotBeOpenedRaiseTheComponentsTexts) {
    EXPECT_EQ(ErrorOf("COM300"), "Error opening serial port");
    EXPECT_EQ(ErrorOf("NOPORT"), "Error opening serial port");
    // Nothing is mapped to COM9 (wine-run.sh checks); Wine still opens a
    // placeholder device there, which is no comm device.
    EXPECT_EQ(ErrorOf("COM9"), "File handle is not a comm handle ");
}

// The two bodies on threads of their own, as TComm runs them.
class WinSerialThreads : public testing::Test {
  protected:
    void SetUp() override {
        const char* device = std::getenv("METER_COM1_DEVICE");
        ASSERT_TRUE(device && std::string(device).rfind("/dev/pts/", 0) == 0)
            << "COM1 is not verified to be meter-sim's pty; not opening it";
        port_ = OpenCommDevice("COM1");
        port_->Purge(kPurgeAll);
        port_->ApplyTimeouts(CommTimeouts{});
        LineSettings line;  // the console's line
        line.baudRate = 2400;
        line.parity = TParity::Even;
        line.outxXonXoffFlow = line.inxXonXoffFlow = false;
        port_->ApplyLineSettings(line);
        close_ = SerialEvent::Create();
        ASSERT_TRUE(close_);
        ASSERT_TRUE(queue_.Init());
        receive_ = std::thread([this] { RunReceiveThread(*port_, *close_, recorder_, control_); });
        transmit_ = std::thread(
            [this] { RunTransmitThread(*port_, *close_, recorder_, queue_, sendDataEmpty_); });
    }

    void TearDown() override { Stop(); }

    // Sets the close event and joins both threads; how long that took.
    Clock::duration Stop() {
        const auto began = Clock::now();
        if (close_)
            close_->Set();
        if (port_)
            port_->Purge(kPurgeAll);
        if (receive_.joinable())
            receive_.join();
        if (transmit_.joinable())
            transmit_.join();
        return Clock::now() - began;
    }

    void Send(const std::string& bytes) {
        TWriteQueue::Block block;
        block.Data = std::make_unique<char[]>(bytes.size() + 1);
        std::memcpy(block.Data.get(), bytes.data(), bytes.size());
        block.Length = static_cast<uint16_t>(bytes.size());
        sendDataEmpty_ = false;
        ASSERT_TRUE(queue_.Push(std::move(block)));
    }

    std::string Request(const std::string& address) {
        return HexTextToBytes(BuildRequest(Operation::ReadReading, Tab::Serial, address));
    }

    // The chunks that arrive within `limit` after the first one.
    std::vector<std::string> Chunks(milliseconds limit) {
        recorder_.WaitFor([](auto& notes) { return HasChunk(notes); }, milliseconds(2000));
        std::this_thread::sleep_for(limit);
        std::vector<std::string> chunks;
        for (const auto& note : recorder_.Take()) {
            EXPECT_NE(note.message, MsgRequestHangup);
            if (note.message == MsgReceiveData)
                chunks.push_back(note.chunk);
        }
        return chunks;
    }

    static bool HasChunk(const std::vector<Recorder::Note>& notes) {
        return std::any_of(notes.begin(), notes.end(),
                           [](auto& n) { return n.message == MsgReceiveData; });
    }

    std::unique_ptr<SerialDevice> port_;
    std::unique_ptr<SerialEvent> close_;
    TReadControl control_;
    TWriteQueue queue_;
    std::atomic<bool> sendDataEmpty_{true};
    Recorder recorder_;
    std::thread receive_;
    std::thread transmit_;
};

TEST_F(WinSerialThreads, RequestsAreWrittenAndTheRepliesDelivered) {
    // A pty has no line events: the receive thread must go on regardless,
    // exchange after exchange.
    const std::string address = "000230319105";
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Send(Request(address));
        const std::vector<std::string> chunks = Chunks(milliseconds(250));
        ASSERT_EQ(chunks.size(), 1u);
        const ReplyOutcome outcome =
            DecodeReply(Operation::ReadReading, Tab::Serial, BytesToHexText(chunks[0]), address);
        EXPECT_EQ(outcome.kind, OutcomeKind::Reading) << BytesToHexText(chunks[0]);
        EXPECT_EQ(outcome.tons, "11");
        EXPECT_TRUE(sendDataEmpty_);
    }
    EXPECT_TRUE(recorder_.NulTerminated());
}

TEST_F(WinSerialThreads, TheQueueRunningEmptyIsAnnouncedAfterWrites) {
    ASSERT_TRUE(recorder_.WaitFor(
        [](auto& notes) { return !notes.empty() && notes[0].message == MsgSendDataEmpty; },
        milliseconds(1000)))
        << "the first empty queue is announced once";
    recorder_.Take();
    Send(Request("000230319105"));
    EXPECT_TRUE(recorder_.WaitFor(
        [](auto& notes) {
            return std::any_of(notes.begin(), notes.end(),
                               [](auto& n) { return n.message == MsgSendDataEmpty; });
        },
        milliseconds(1000)));
    EXPECT_TRUE(sendDataEmpty_);
}

TEST_F(WinSerialThreads, ChunksEndAfterMoreThanTheReadInterval) {
    struct Case {
        const char* address;
        size_t chunks;
    } cases[] = {{"000230319108", 2}, {"000230319109", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        Send(Request(c.address));
        const std::vector<std::string> chunks = Chunks(milliseconds(400));
        EXPECT_EQ(chunks.size(), c.chunks);
        std::string all;
        for (const auto& chunk : chunks)
            all += chunk;
        const ReplyOutcome outcome =
            DecodeReply(Operation::ReadReading, Tab::Serial, BytesToHexText(all), c.address);
        EXPECT_EQ(outcome.kind, OutcomeKind::Reading) << BytesToHexText(all);
    }
}

TEST_F(WinSerialThreads, TheFrameRuleEndsTheReadAtTheFrame) {
    // meter-sim answers at once: by silence the reply is handed over more
    // than 100 ms after it came, by the rule as soon as its frame is whole.
    const std::string address = "000230319105";
    const std::string request = Request(address);
    auto delivery = [&] {
        recorder_.Take();
        const auto sent = Clock::now();
        Send(request);
        EXPECT_TRUE(
            recorder_.WaitFor([](auto& notes) { return HasChunk(notes); }, milliseconds(2000)));
        const auto took = Clock::now() - sent;
        std::this_thread::sleep_for(milliseconds(200));
        std::string all;
        for (const auto& note : recorder_.Take())
            if (note.message == MsgReceiveData)
                all += note.chunk;
        const ReplyOutcome outcome =
            DecodeReply(Operation::ReadReading, Tab::Serial, BytesToHexText(all), address);
        EXPECT_EQ(outcome.kind, OutcomeKind::Reading) << BytesToHexText(all);
        return took;
    };
    const auto bySilence = delivery();
    const ReplyRule rule = ReplyRule::ForRequest(request);
    control_.SetEndRule([rule](std::string_view bytes) { return rule.ReplyEnd(bytes); });
    const auto byFrame = delivery();
    EXPECT_GE(bySilence, milliseconds(100));
    EXPECT_LT(byFrame + milliseconds(50), bySilence);
}

TEST_F(WinSerialThreads, TheCloseEventEndsBothThreadsPromptly) {
    Send(Request("000230319105"));
    recorder_.WaitFor([](auto& notes) { return HasChunk(notes); }, milliseconds(2000));
    EXPECT_LT(Stop(), milliseconds(200));
    EXPECT_EQ(recorder_.Count(MsgRequestHangup), 0u) << "closing is no hang-up";
    TWriteQueue::Block late;
    late.Data = std::make_unique<char[]>(2);
    late.Length = 1;
    EXPECT_FALSE(queue_.Push(std::move(late))) << "an ended transmit thread takes nothing";
}
}  // namespace
