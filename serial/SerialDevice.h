// The platform side of the serial port component: the open device, the
// manual-reset events the worker threads share, and the waits they block in.
// The component and its thread bodies use nothing else of the platform, so a
// backend only supplies these classes (POSIX: SerialDevicePosix.cpp, Win32:
// SerialDeviceWin32.cpp). Handles and other platform types stay inside each
// backend's file, behind Native.
#pragma once

#include "LineEvents.h"
#include "ParityMarks.h"
#include "SerialSettings.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// A manual-reset event: once set it stays set (level-triggered) until Reset,
// so a wake-up can never be lost.
class SerialEvent {
  public:
    struct Native;  // the platform's event object, for the backend's waits

    static std::unique_ptr<SerialEvent> Create();  // nullptr when the platform refuses
    ~SerialEvent();
    SerialEvent(const SerialEvent&) = delete;
    SerialEvent& operator=(const SerialEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    const Native& Get() const { return *native_; }

  private:
    explicit SerialEvent(std::unique_ptr<Native> native);
    std::unique_ptr<Native> native_;
};

enum class WaitResult {
    Stop,       // the stop event is set; it is always checked first
    Signalled,  // the other event is set
    Ready,      // the device can be read or written
    TimedOut,   // the time limit passed (or the wait was interrupted)
    Gone,       // the device went away (hang-up, error, adapter unplugged)
    Closed,     // the handle is no longer valid
    Failed,     // the wait itself failed
};

// Waits without limit for `stop` or `other`.
WaitResult WaitForEvents(const SerialEvent& stop, const SerialEvent& other);

struct IoResult {
    enum Status { Ok, WouldBlock, Gone, Closed, Failed } status;
    size_t count = 0;
};

// Purge flags (the Windows PURGE_ values). Aborting is done by the worker
// threads themselves when they see the stop event; the device only drops
// what its queues hold.
constexpr uint32_t kPurgeTxAbort = 0x1;
constexpr uint32_t kPurgeRxAbort = 0x2;
constexpr uint32_t kPurgeTxClear = 0x4;
constexpr uint32_t kPurgeRxClear = 0x8;
constexpr uint32_t kPurgeAll = 0xF;

// What the receive thread does to received bytes itself, where the driver has
// no such setting (POSIX; the Windows driver does it and marks nothing).
struct ReceiveOptions {
    bool parityCheck = false;
    ParityMarkOptions marks;
};

class SerialDevice {
  public:
    enum class OpenError { None, CannotOpen, NotAComm };

    // Opens a device for reading and writing with exclusive access: a path
    // on POSIX, a port name such as COM3 on Windows. On failure systemError
    // holds the system's reason (POSIX: ENOTTY for NotAComm, EWOULDBLOCK when
    // another program holds the port's lock; Windows: GetLastError()).
    static std::unique_ptr<SerialDevice> Open(const std::string& path, OpenError& error,
                                              int& systemError);
    ~SerialDevice();  // leaves the line settings alone, releases the device
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    bool SetupQueues(uint32_t inputSize, uint32_t outputSize);
    void Purge(uint32_t flags);
    // Neither reports the device's answer: a refused setting leaves the
    // previous one in force.
    void ApplyLineSettings(const LineSettings& settings);
    void ApplyTimeouts(const CommTimeouts& timeouts);

    // What the worker threads read back (any thread).
    CommTimeouts Timeouts() const;
    ReceiveOptions CurrentReceiveOptions() const;

    // Receive thread: waits for `stop`, input, or the time limit (none: no limit).
    WaitResult WaitReadable(const SerialEvent& stop,
                            std::optional<std::chrono::nanoseconds> timeout);
    IoResult Read(char* buffer, size_t size);

    // Modem-line events and counted line errors since the previous call; the
    // first call only takes the baseline. False when the driver cannot tell
    // (a pty), and then there is nothing to watch. `counted` says whether
    // the driver counts line errors. Receive thread only.
    bool PollLineStatus(LineEvents& events, bool& counted);

    // Transmit thread.
    WaitResult WaitWritable(const SerialEvent& stop);
    IoResult Write(const char* data, size_t size);

    // The open handle and the backend's own state, known only to the
    // backend's files.
    struct Native;
    const Native& Get() const { return *native_; }

  private:
    explicit SerialDevice(std::unique_ptr<Native> native);

    std::unique_ptr<Native> native_;
    mutable std::mutex settingsMutex_;
    CommTimeouts timeouts_;
    ReceiveOptions receiveOptions_;
};
