// Win32 backend of the serial device: a comm handle opened for overlapped
// I/O, manual-reset events, and WaitForMultipleObjects for every wait.
//
// The driver's reads complete as soon as the line pauses for a moment, and
// the receive thread's chunker applies the component's five time-outs to
// what they bring, as on POSIX. A read left to the component's own read
// interval would hold the bytes until 100 ms of silence, and a reply could
// then never end at its frame. ("At the first bytes", interval and
// multiplier MAXDWORD, would say it directly, but Wine never completes such
// an overlapped read on a pty.)
#include "SerialDeviceWin32.h"

#include "Win32Dcb.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

struct SerialEvent::Native {
    HANDLE event;
};

namespace {
constexpr DWORD kMaxDword = 0xFFFFFFFF;
constexpr size_t kReadSize = 2048;
// The read interval the driver works with: a read waits for its first byte
// without limit and completes 1 ms after the last one of a burst. At 19200
// baud a byte takes half a millisecond, so a busy line gives a read every
// few bytes, which the chunker joins again.
constexpr DWORD kDeliveryIntervalMs = 1;
constexpr DWORD kLineEventMask = EV_ERR | EV_RLSD | EV_RING;
constexpr DWORD kLineErrorMask = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;

HANDLE NewEvent() {
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset, not set
}

// One overlapped operation: its event and whether it is in flight.
struct Pending {
    OVERLAPPED overlapped{};
    bool inFlight = false;

    void Arm(HANDLE event) {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        ::ResetEvent(event);
    }
};

// USB adapters that are pulled out answer with one of these.
bool IsGoneError(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_GEN_FAILURE:
        case ERROR_NOT_READY:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_BROKEN_PIPE:
            return true;
        default:
            return false;
    }
}

IoResult FromError(DWORD error) {
    if (error == ERROR_INVALID_HANDLE)
        return {IoResult::Closed};
    if (IsGoneError(error))
        return {IoResult::Gone};
    return {IoResult::Failed};
}

WaitResult WaitFromError(DWORD error) {
    switch (FromError(error).status) {
        case IoResult::Closed:
            return WaitResult::Closed;
        case IoResult::Gone:
            return WaitResult::Gone;
        default:
            return WaitResult::Failed;
    }
}

DWORD ToMilliseconds(std::optional<std::chrono::nanoseconds> timeout) {
    if (!timeout)
        return INFINITE;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*timeout).count();
    return static_cast<DWORD>(std::clamp<int64_t>(ms, 0, kMaxDword - 1));
}
}  // namespace

struct SerialDevice::Native {
    HANDLE port = INVALID_HANDLE_VALUE;

    // Receive thread: the pending read and the bytes of the last one.
    HANDLE readEvent = nullptr;
    Pending read;
    std::vector<char> readBuffer = std::vector<char>(kReadSize);
    bool readDone = false;
    DWORD readCount = 0;
    DWORD readTaken = 0;

    // Receive thread: the pending wait for line events.
    enum class LineWatch { Unknown, Watching, Unsupported };
    LineWatch lineWatch = LineWatch::Unknown;
    HANDLE lineEvent = nullptr;
    Pending line;
    DWORD lineMask = 0;

    // Transmit thread: the pending write, from a copy of its own so that a
    // block freed on close cannot be under the driver.
    HANDLE writeEvent = nullptr;
    Pending write;
    std::vector<char> writeBuffer;
    bool writeDone = false;
    DWORD writeCount = 0;

    // Starts a read; completes at once or stays in flight.
    WaitResult StartRead() {
        read.Arm(readEvent);
        if (::ReadFile(port, readBuffer.data(), DWORD(readBuffer.size()), nullptr,
                       &read.overlapped))
            return FinishRead();
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            read.inFlight = true;
            return WaitResult::TimedOut;
        }
        return WaitFromError(error);
    }

    // The read's event is set (or it completed at once): fetch its count.
    WaitResult FinishRead() {
        read.inFlight = false;
        DWORD got = 0;
        if (!::GetOverlappedResult(port, &read.overlapped, &got, FALSE)) {
            const DWORD error = ::GetLastError();
            // A purge aborted it: the next wait starts another.
            if (error == ERROR_OPERATION_ABORTED)
                return WaitResult::TimedOut;
            return WaitFromError(error);
        }
        // Nothing read (a driver that ends reads on its own): read again.
        if (got == 0)
            return WaitResult::TimedOut;
        readDone = true;
        readCount = got;
        readTaken = 0;
        return WaitResult::Ready;
    }

    // Starts the wait for line events; false when the device has none.
    bool StartLineWait(LineEvents& events) {
        for (;;) {
            line.Arm(lineEvent);
            lineMask = 0;
            if (::WaitCommEvent(port, &lineMask, &line.overlapped)) {
                AddLineEvents(lineMask, events);
                continue;
            }
            const DWORD error = ::GetLastError();
            if (error == ERROR_IO_PENDING) {
                line.inFlight = true;
                return true;
            }
            // A pty under Wine refuses the carrier and ring events with
            // ERROR_NOT_SUPPORTED: a device without line events, nothing worse.
            return false;
        }
    }

    void AddLineEvents(DWORD mask, LineEvents& events) {
        if (mask & EV_ERR) {
            DWORD errors = 0;
            if (::ClearCommError(port, &errors, nullptr))
                events.lineErrors |= errors & kLineErrorMask;
        }
        if (mask & EV_RLSD)
            events.modemEvents |= kModemCarrierChanged;
        if (mask & EV_RING)
            events.modemEvents |= kModemRing;
    }

    // Waits for the operation in flight to end after a cancel, so that its
    // OVERLAPPED and buffer are no longer the driver's.
    void Drain(Pending& op) {
        if (!op.inFlight)
            return;
        DWORD ignored = 0;
        ::GetOverlappedResult(port, &op.overlapped, &ignored, TRUE);
        op.inFlight = false;
    }
};

// --- SerialEvent ---------------------------------------------------------

std::unique_ptr<SerialEvent> SerialEvent::Create() {
    const HANDLE event = NewEvent();
    if (!event)
        return nullptr;
    return std::unique_ptr<SerialEvent>(new SerialEvent(std::make_unique<Native>(Native{event})));
}

SerialEvent::SerialEvent(std::unique_ptr<Native> native) : native_(std::move(native)) {}

SerialEvent::~SerialEvent() {
    ::CloseHandle(native_->event);
}

void SerialEvent::Set() {
    ::SetEvent(native_->event);
}

void SerialEvent::Reset() {
    ::ResetEvent(native_->event);
}

bool SerialEvent::IsSet() const {
    return ::WaitForSingleObject(native_->event, 0) == WAIT_OBJECT_0;
}

WaitResult WaitForEvents(const SerialEvent& stop, const SerialEvent& other) {
    const HANDLE events[2] = {stop.Get().event, other.Get().event};
    switch (::WaitForMultipleObjects(2, events, FALSE, INFINITE)) {
        case WAIT_OBJECT_0:
            return WaitResult::Stop;
        case WAIT_OBJECT_0 + 1:
            return WaitResult::Signalled;
        default:
            return WaitResult::Failed;
    }
}

// --- SerialDevice --------------------------------------------------------

std::unique_ptr<SerialDevice> SerialDevice::Open(const std::string& name, OpenError& error,
                                                 int& systemError) {
    systemError = 0;
    // COMn is a name of its own here; the device namespace also reaches
    // COM10 and above.
    const std::string path = "\\\\.\\" + name;
    std::wstring wide(path.begin(), path.end());
    // No sharing: the port is ours alone while it is open.
    const HANDLE port = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        systemError = static_cast<int>(::GetLastError());
        error = OpenError::CannotOpen;
        return nullptr;
    }
    if (::GetFileType(port) != FILE_TYPE_CHAR) {
        ::CloseHandle(port);
        systemError = ERROR_INVALID_HANDLE;
        error = OpenError::NotAComm;
        return nullptr;
    }
    auto native = std::make_unique<Native>();
    native->port = port;
    native->readEvent = NewEvent();
    native->lineEvent = NewEvent();
    native->writeEvent = NewEvent();
    if (!native->readEvent || !native->lineEvent || !native->writeEvent) {
        systemError = static_cast<int>(::GetLastError());
        for (HANDLE h : {native->readEvent, native->lineEvent, native->writeEvent})
            if (h)
                ::CloseHandle(h);
        ::CloseHandle(port);
        error = OpenError::CannotOpen;
        return nullptr;
    }
    error = OpenError::None;
    return std::unique_ptr<SerialDevice>(new SerialDevice(std::move(native)));
}

SerialDevice::SerialDevice(std::unique_ptr<Native> native) : native_(std::move(native)) {}

SerialDevice::~SerialDevice() {
    Native& n = *native_;
    // Unsent output is dropped so that closing cannot wait for it, and
    // nothing may be in flight once the buffers and events go.
    ::PurgeComm(n.port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    ::CancelIoEx(n.port, nullptr);
    n.Drain(n.read);
    n.Drain(n.line);
    n.Drain(n.write);
    ::CloseHandle(n.readEvent);
    ::CloseHandle(n.lineEvent);
    ::CloseHandle(n.writeEvent);
    ::CloseHandle(n.port);
}

bool SerialDevice::SetupQueues(uint32_t inputSize, uint32_t outputSize) {
    return ::SetupComm(native_->port, inputSize, outputSize);
}

void SerialDevice::Purge(uint32_t flags) {
    // The kPurge values are the PURGE_ flags.
    ::PurgeComm(native_->port, flags & kPurgeAll);
}

void SerialDevice::ApplyLineSettings(const LineSettings& s) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (::GetCommState(native_->port, &dcb)) {
        BuildDcb(dcb, s);
        ::SetCommState(native_->port, &dcb);
    }
    // The driver checks parity, replaces and drops NULs itself; the bytes
    // it delivers carry no marks.
    ReceiveOptions options;
    options.parityCheck = s.parityCheck;
    options.marks.marked = false;
    std::lock_guard lock(settingsMutex_);
    receiveOptions_ = options;
}

void SerialDevice::ApplyTimeouts(const CommTimeouts& timeouts) {
    // Reads: handed over at the first pause, the rest is the chunker's.
    // Writes: as the component says.
    CommTimeouts device = timeouts;
    device.readIntervalTimeout = kDeliveryIntervalMs;
    device.readTotalTimeoutMultiplier = 0;
    device.readTotalTimeoutConstant = 0;
    COMMTIMEOUTS c = ToCommTimeouts(device);
    ::SetCommTimeouts(native_->port, &c);
    std::lock_guard lock(settingsMutex_);
    timeouts_ = timeouts;
}

CommTimeouts SerialDevice::Timeouts() const {
    std::lock_guard lock(settingsMutex_);
    return timeouts_;
}

ReceiveOptions SerialDevice::CurrentReceiveOptions() const {
    std::lock_guard lock(settingsMutex_);
    return receiveOptions_;
}

WaitResult SerialDevice::WaitReadable(const SerialEvent& stop,
                                      std::optional<std::chrono::nanoseconds> timeout) {
    Native& n = *native_;
    if (stop.IsSet())
        return WaitResult::Stop;
    if (n.readDone)
        return WaitResult::Ready;
    if (!n.read.inFlight) {
        const WaitResult started = n.StartRead();
        if (!n.read.inFlight)  // done at once, aborted or refused
            return started;
    }
    const HANDLE events[2] = {stop.Get().event, n.readEvent};
    switch (::WaitForMultipleObjects(2, events, FALSE, ToMilliseconds(timeout))) {
        case WAIT_OBJECT_0:
            return WaitResult::Stop;
        case WAIT_OBJECT_0 + 1:
            return n.FinishRead();
        case WAIT_TIMEOUT:
            return WaitResult::TimedOut;
        default:
            return WaitResult::Failed;
    }
}

IoResult SerialDevice::Read(char* buffer, size_t size) {
    Native& n = *native_;
    if (!n.readDone)
        return {IoResult::WouldBlock};
    const size_t count = std::min<size_t>(size, n.readCount - n.readTaken);
    std::memcpy(buffer, n.readBuffer.data() + n.readTaken, count);
    n.readTaken += static_cast<DWORD>(count);
    if (n.readTaken == n.readCount)
        n.readDone = false;
    return {IoResult::Ok, count};
}

WaitResult SerialDevice::WaitWritable(const SerialEvent& stop) {
    Native& n = *native_;
    if (!n.write.inFlight)
        return WaitResult::Ready;
    const HANDLE events[2] = {stop.Get().event, n.writeEvent};
    switch (::WaitForMultipleObjects(2, events, FALSE, INFINITE)) {
        case WAIT_OBJECT_0:
            return WaitResult::Stop;
        case WAIT_OBJECT_0 + 1: {
            n.write.inFlight = false;
            DWORD written = 0;
            if (!::GetOverlappedResult(n.port, &n.write.overlapped, &written, FALSE)) {
                const DWORD error = ::GetLastError();
                return error == ERROR_OPERATION_ABORTED ? WaitResult::Closed : WaitFromError(error);
            }
            n.writeDone = true;
            n.writeCount = written;
            return WaitResult::Ready;
        }
        default:
            return WaitResult::Failed;
    }
}

IoResult SerialDevice::Write(const char* data, size_t size) {
    Native& n = *native_;
    // The write that WaitWritable saw complete was of these same bytes.
    if (n.writeDone) {
        n.writeDone = false;
        return {IoResult::Ok, n.writeCount};
    }
    if (n.write.inFlight)
        return {IoResult::WouldBlock};
    n.writeBuffer.assign(data, data + std::min<size_t>(size, 1u << 20));
    n.write.Arm(n.writeEvent);
    if (::WriteFile(n.port, n.writeBuffer.data(), DWORD(n.writeBuffer.size()), nullptr,
                    &n.write.overlapped)) {
        DWORD written = 0;
        if (!::GetOverlappedResult(n.port, &n.write.overlapped, &written, FALSE))
            return FromError(::GetLastError());
        if (written == 0)
            return {IoResult::WouldBlock};
        return {IoResult::Ok, written};
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        n.write.inFlight = true;
        return {IoResult::WouldBlock};
    }
    return FromError(error);
}

bool SerialDevice::PollLineStatus(LineEvents& events, bool& counted) {
    Native& n = *native_;
    events = {};
    counted = false;
    if (n.lineWatch == Native::LineWatch::Unsupported)
        return false;
    if (n.lineWatch == Native::LineWatch::Unknown) {
        if (!::SetCommMask(n.port, kLineEventMask) || !n.StartLineWait(events)) {
            n.lineWatch = Native::LineWatch::Unsupported;
            return false;
        }
        n.lineWatch = Native::LineWatch::Watching;
        counted = true;
        return true;
    }
    // The driver counts line errors exactly, and reports them as EV_ERR.
    counted = true;
    if (n.line.inFlight && ::WaitForSingleObject(n.lineEvent, 0) == WAIT_OBJECT_0) {
        n.line.inFlight = false;
        DWORD ignored = 0;
        if (::GetOverlappedResult(n.port, &n.line.overlapped, &ignored, FALSE))
            n.AddLineEvents(n.lineMask, events);
        if (!n.StartLineWait(events)) {
            n.lineWatch = Native::LineWatch::Unsupported;
            return false;
        }
    }
    return true;
}

std::optional<DCB> ReadBackDcb(const SerialDevice& device) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(device.Get().port, &dcb))
        return std::nullopt;
    return dcb;
}
