#include "SerialCore.h"

#include "DeviceMap.h"
#include "ParityMarks.h"
#include "ReadChunker.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace {
// Modem lines and error counters are sampled this often where the driver
// has them (at most ten wake-ups a second is the budget).
constexpr auto kLineCheckPeriod = std::chrono::milliseconds(250);

void PostTo(TNotifySink& notify, int message, uintptr_t wParam, uintptr_t lParam) {
    notify.Post(message, wParam, lParam, nullptr, 0);
}

void PostChunk(TNotifySink& notify, const std::string& chunk, unsigned generation) {
    auto copy = std::make_unique<char[]>(chunk.size() + 1);  // zero-filled
    std::memcpy(copy.get(), chunk.data(), chunk.size());
    const auto address = reinterpret_cast<uintptr_t>(copy.get());
    notify.Post(MsgReceiveData, chunk.size(), address, std::move(copy), generation);
}

bool WriteBlock(SerialDevice& port, const SerialEvent& closeEvent, TNotifySink& notify,
                const TWriteQueue::Block& block) {
    size_t offset = 0;
    while (offset < block.Length) {
        const IoResult put = port.Write(block.Data.get() + offset, block.Length - offset);
        switch (put.status) {
            case IoResult::Ok:
                offset += put.count;
                break;
            case IoResult::WouldBlock:
                switch (port.WaitWritable(closeEvent)) {
                    case WaitResult::Stop:  // closing: the rest is discarded quietly
                    case WaitResult::Closed:
                        return false;
                    case WaitResult::Gone:
                    case WaitResult::Failed:
                        PostTo(notify, MsgRequestHangup, 0, 0);
                        return false;
                    default:
                        break;
                }
                break;
            case IoResult::Closed:
                return false;
            case IoResult::Gone:
            case IoResult::Failed:
                PostTo(notify, MsgRequestHangup, 0, 0);
                return false;
        }
    }
    return true;
}
}  // namespace

// --- TWriteQueue ---------------------------------------------------------

bool TWriteQueue::Init() {
    wake_ = SerialEvent::Create();
    return wake_ != nullptr;
}

bool TWriteQueue::Push(Block block) {
    std::lock_guard lock(mutex_);
    if (closed_ || !wake_)
        return false;
    blocks_.push_back(std::move(block));
    wake_->Set();
    return true;
}

std::optional<TWriteQueue::Block> TWriteQueue::Pop() {
    std::lock_guard lock(mutex_);
    if (blocks_.empty()) {
        // Reset under the lock: a Push after this sets it again, so the
        // thread's next wait cannot miss it.
        if (wake_)
            wake_->Reset();
        return std::nullopt;
    }
    Block block = std::move(blocks_.front());
    blocks_.pop_front();
    return block;
}

void TWriteQueue::Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    blocks_.clear();
}

// --- TReadControl --------------------------------------------------------

void TReadControl::SetEndRule(ReplyEndRule rule) {
    std::lock_guard lock(mutex_);
    rule_ = std::move(rule);
    ruleVersion_.fetch_add(1, std::memory_order_release);
}

bool TReadControl::EndRuleChanged(unsigned& seen, ReplyEndRule& rule) {
    if (ruleVersion_.load(std::memory_order_acquire) == seen)
        return false;
    std::lock_guard lock(mutex_);
    rule = rule_;
    seen = ruleVersion_.load(std::memory_order_relaxed);
    return true;
}

// --- Opening -------------------------------------------------------------

std::unique_ptr<SerialDevice> OpenCommDevice(const std::string& commName) {
    const std::string device = ResolveSerialDevice(commName);
    SerialDevice::OpenError error = SerialDevice::OpenError::None;
    int systemError = 0;
    std::unique_ptr<SerialDevice> port = SerialDevice::Open(device, error, systemError);
    if (error == SerialDevice::OpenError::NotAComm)
        throw ECommsError("File handle is not a comm handle ", systemError);
    if (!port)
        throw ECommsError("Error opening serial port", systemError);
    if (!port->SetupQueues(4096, 4096))
        throw ECommsError("Cannot setup comm buffer");  // the device closes with `port`
    return port;
}

// --- The receive thread --------------------------------------------------

void RunReceiveThread(SerialDevice& port, const SerialEvent& closeEvent, TNotifySink& notify,
                      TReadControl& control) {
    using Clock = ReadChunker::Clock;
    ReadChunker chunker;
    ParityMarkDecoder decoder;
    std::vector<char> raw(ReadChunker::kCapacity);
    std::string decoded;

    LineEvents lineEvents;
    bool counted = false;
    // Where the driver cannot report its lines (a pty) the thread has
    // nothing to sample and sleeps until input or the close event.
    const bool watchLines = port.PollLineStatus(lineEvents, counted);
    auto nextLineCheck = Clock::now() + kLineCheckPeriod;

    unsigned ruleSeen = 0;
    ReplyEndRule rule;
    // The generation of the bytes the chunker holds.
    unsigned generation = control.Generation();

    // Delivers what a read holds before the thread ends on a vanished device.
    auto endWithHangup = [&] {
        if (std::string rest = chunker.Take(); !rest.empty())
            PostChunk(notify, rest, generation);
        PostTo(notify, MsgRequestHangup, 0, 0);
    };

    chunker.Begin(port.Timeouts(), Clock::now());
    for (;;) {
        auto now = Clock::now();
        std::optional<std::chrono::nanoseconds> wait = chunker.TimeLeft(now);
        if (watchLines) {
            const auto untilCheck = std::max<std::chrono::nanoseconds>(nextLineCheck - now, {});
            if (!wait || untilCheck < *wait)
                wait = untilCheck;
        }

        const WaitResult woke = port.WaitReadable(closeEvent, wait);
        if (woke == WaitResult::Stop || woke == WaitResult::Closed)
            break;
        if (woke == WaitResult::Gone || woke == WaitResult::Failed) {
            endWithHangup();
            break;
        }

        size_t marks = 0;
        ReceiveOptions options;
        if (woke == WaitResult::Ready) {
            const IoResult got = port.Read(raw.data(), std::max<size_t>(chunker.Room(), 1));
            if (got.status == IoResult::Closed)
                break;
            if (got.status == IoResult::Gone || got.status == IoResult::Failed) {
                endWithHangup();
                break;
            }
            if (got.count > 0) {
                // Bytes held from before a drop are dropped too. Those just
                // read count as new even when the drop came while reading:
                // a reply is never lost, and a stale byte is left to the rule.
                if (const unsigned now = control.Generation(); now != generation) {
                    chunker.Take();
                    chunker.Begin(port.Timeouts(), Clock::now());
                    generation = now;
                }
                if (control.EndRuleChanged(ruleSeen, rule))
                    chunker.SetEndRule(rule);
                options = port.CurrentReceiveOptions();
                decoded.clear();
                marks = decoder.Decode({raw.data(), got.count}, decoded, options.marks);
                chunker.Feed(decoded, Clock::now());
            }
        }

        now = Clock::now();
        uint32_t countedErrors = 0;
        if (watchLines && (marks > 0 || now >= nextLineCheck)) {
            port.PollLineStatus(lineEvents, counted);
            nextLineCheck = now + kLineCheckPeriod;
            if (lineEvents.modemEvents)
                PostTo(notify, MsgModemStateChange, 0, lineEvents.modemEvents);
            countedErrors = lineEvents.lineErrors;
        }
        if (marks > 0 || countedErrors) {
            const bool parityCheck = port.CurrentReceiveOptions().parityCheck;
            if (uint32_t errors = ReportedLineErrors(countedErrors, counted, marks, parityCheck))
                PostTo(notify, MsgReceiveError, 0, errors);
        }

        if (chunker.Complete(now)) {
            const std::string chunk = chunker.Take();
            if (chunk.empty())  // only under read totals: the loop ends quietly
                break;
            PostChunk(notify, chunk, generation);
            chunker.Begin(port.Timeouts(), now);
        }
    }
    port.Purge(kPurgeRxAbort | kPurgeRxClear);
}

// --- The transmit thread -------------------------------------------------

void RunTransmitThread(SerialDevice& port, const SerialEvent& closeEvent, TNotifySink& notify,
                       TWriteQueue& queue, std::atomic<bool>& sendDataEmpty) {
    // Starts true so the first empty queue is announced once.
    bool wroteSinceNotice = true;
    for (;;) {
        std::optional<TWriteQueue::Block> block = queue.Pop();
        if (!block) {
            sendDataEmpty = true;
            if (wroteSinceNotice)
                PostTo(notify, MsgSendDataEmpty, 0, 0);
            wroteSinceNotice = false;
            const WaitResult woke = WaitForEvents(closeEvent, queue.Wake());
            if (woke == WaitResult::Stop)
                break;
            if (woke == WaitResult::Signalled)
                continue;
            PostTo(notify, MsgRequestHangup, 0, 0);
            break;
        }
        if (closeEvent.IsSet())
            break;
        if (!WriteBlock(port, closeEvent, notify, *block))
            break;
        wroteSinceNotice = true;
    }
    // Send refuses from now on; blocks still queued are discarded.
    queue.Close();
    port.Purge(kPurgeTxAbort | kPurgeTxClear);
    sendDataEmpty = true;
}
