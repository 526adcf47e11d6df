// The serial port component below its Qt shell: opening the device with the
// component's error texts, the transmit queue, and the two worker-thread
// bodies. No Qt here, so the core builds and is tested on every platform;
// TComm (SerialPort.h) runs the bodies on its threads and turns what they
// post into its events.
#pragma once

#include "ReadChunker.h"
#include "SerialDevice.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

// Every failure of TComm::Open, with a fixed English message. SystemError()
// is the system's reason when the device itself refused (errno on POSIX,
// GetLastError() on Windows), so the console can tell the operator what to
// do; 0 otherwise.
class ECommsError : public std::runtime_error {
  public:
    explicit ECommsError(const std::string& message, int systemError = 0)
        : std::runtime_error(message), systemError_(systemError) {}
    int SystemError() const { return systemError_; }

  private:
    int systemError_;
};

// Notifications from the worker threads (numbered as the Windows messages
// they stand for, WM_USER = 1024).
constexpr int MsgReceiveData = 1025;
constexpr int MsgReceiveError = 1026;
constexpr int MsgRequestHangup = 1027;
constexpr int MsgModemStateChange = 1028;
constexpr int MsgSendDataEmpty = 1029;
// To the transmit thread's own queue.
constexpr int MsgWriteData = 1025;

// Where the worker threads post: a queue to the component's thread that
// never blocks and keeps each thread's notifications in order. A chunk copy
// (length + 1 zero-filled bytes) goes with its notification, and with it
// the generation it was read in (see TReadControl).
class TNotifySink {
  public:
    virtual ~TNotifySink() = default;
    virtual void Post(int message, uintptr_t wParam, uintptr_t lParam,
                      std::unique_ptr<char[]> chunk, unsigned generation) = 0;
};

// What the main thread tells a running receive thread: the end rule for its
// reads, and when to drop what it has received so far. Each drop starts a new
// generation; chunks carry the generation they were read in, so those read
// before a drop are thrown away on delivery too.
class TReadControl {
  public:
    void SetEndRule(ReplyEndRule rule);
    // Receive thread: the rule, when it changed since `seen`.
    bool EndRuleChanged(unsigned& seen, ReplyEndRule& rule);
    void Discard() { generation_.fetch_add(1, std::memory_order_acq_rel); }
    unsigned Generation() const { return generation_.load(std::memory_order_acquire); }

  private:
    std::mutex mutex_;
    ReplyEndRule rule_;
    std::atomic<unsigned> ruleVersion_{0};
    std::atomic<unsigned> generation_{0};
};

// The transmit thread's queue: blocks in order, a wake-up event that is set
// while blocks wait, and a closed state once the thread has ended.
class TWriteQueue {
  public:
    struct Block {
        std::unique_ptr<char[]> Data;  // length + 1 zero-filled bytes
        uint16_t Length = 0;
    };

    bool Init();  // false when the wake-up event cannot be created
    bool Push(Block block);
    std::optional<Block> Pop();
    void Close();
    const SerialEvent& Wake() const { return *wake_; }

  private:
    std::mutex mutex_;
    std::deque<Block> blocks_;
    bool closed_ = false;
    std::shared_ptr<SerialEvent> wake_;
};

// Steps 2 to 4 of TComm::Open: the device named commName (COMn, or a path on
// POSIX), checked to be a comm device, with its driver queues set. Raises
// ECommsError with the component's messages.
std::unique_ptr<SerialDevice> OpenCommDevice(const std::string& commName);

// The receive thread: delivers chunks, line errors and modem events until
// the close event, a vanished device, or a read that completes with no bytes.
// Its reads also end where control's end rule finds a whole reply.
void RunReceiveThread(SerialDevice& port, const SerialEvent& closeEvent, TNotifySink& notify,
                      TReadControl& control);

// The transmit thread: writes queued blocks in order, continuing partial
// writes, until the close event or a failed write. Sets sendDataEmpty
// whenever its queue runs empty and when it ends.
void RunTransmitThread(SerialDevice& port, const SerialEvent& closeEvent, TNotifySink& notify,
                       TWriteQueue& queue, std::atomic<bool>& sendDataEmpty);
