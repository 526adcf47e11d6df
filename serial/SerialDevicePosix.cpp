// POSIX backend of the serial device: a terminal device opened non-blocking,
// eventfds as manual-reset events, and poll() for every wait.
#include "SerialDevice.h"

#include "CustomBaudRate.h"
#include "PosixTermios.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

struct SerialEvent::Native {
    int fd;
};

struct SerialDevice::Native {
    int fd;

    // Line watch state, touched by the receive thread only.
    enum class LineWatch { Unknown, Counters, ModemLines, Unsupported };
    LineWatch lineWatch = LineWatch::Unknown;
    LineCounters counters;
    int modemLines = 0;
};

namespace {

bool IsGoneError(int error) {
    // EIO: the other side of a pty closed, or a USB adapter was unplugged.
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE ||
           error == ESHUTDOWN;
}

IoResult FromErrno(int error) {
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
        return {IoResult::WouldBlock};
    if (error == EBADF)
        return {IoResult::Closed};
    if (IsGoneError(error))
        return {IoResult::Gone};
    return {IoResult::Failed};
}

// Polls `stop` first and `other` second; `events` asks for read or write.
WaitResult PollPair(int stop, int other, short events,
                    std::optional<std::chrono::nanoseconds> timeout, bool otherIsEvent) {
    pollfd fds[2] = {{stop, POLLIN, 0}, {other, events, 0}};
    timespec ts{};
    if (timeout) {
        const auto ns = std::max<int64_t>(timeout->count(), 0);
        ts.tv_sec = static_cast<time_t>(ns / 1000000000);
        ts.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    const int n = ::ppoll(fds, 2, timeout ? &ts : nullptr, nullptr);
    if (n < 0)
        return errno == EINTR ? WaitResult::TimedOut : WaitResult::Failed;
    if (fds[0].revents & POLLNVAL)
        return WaitResult::Failed;
    if (fds[0].revents)
        return WaitResult::Stop;
    if (n == 0)
        return WaitResult::TimedOut;
    const short got = fds[1].revents;
    if (got & POLLNVAL)
        return otherIsEvent ? WaitResult::Failed : WaitResult::Closed;
    if (otherIsEvent)
        return WaitResult::Signalled;
    // Data still buffered is read before a hang-up is believed: the read
    // that follows reports the end.
    if (got & events)
        return WaitResult::Ready;
    if (got & (POLLHUP | POLLERR))
        return WaitResult::Gone;
    return WaitResult::TimedOut;
}

}  // namespace

// --- SerialEvent ---------------------------------------------------------

std::unique_ptr<SerialEvent> SerialEvent::Create() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<SerialEvent>(new SerialEvent(std::make_unique<Native>(Native{fd})));
}

SerialEvent::SerialEvent(std::unique_ptr<Native> native) : native_(std::move(native)) {}

SerialEvent::~SerialEvent() {
    ::close(native_->fd);
}

void SerialEvent::Set() {
    const uint64_t one = 1;
    // Can only fail when the counter is near overflow, and then it is set.
    [[maybe_unused]] ssize_t n = ::write(native_->fd, &one, sizeof one);
}

void SerialEvent::Reset() {
    uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(native_->fd, &value, sizeof value);
}

bool SerialEvent::IsSet() const {
    pollfd fd{native_->fd, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN);
}

WaitResult WaitForEvents(const SerialEvent& stop, const SerialEvent& other) {
    return PollPair(stop.Get().fd, other.Get().fd, POLLIN, std::nullopt, true);
}

// --- SerialDevice --------------------------------------------------------

std::unique_ptr<SerialDevice> SerialDevice::Open(const std::string& path, OpenError& error,
                                                 int& systemError) {
    systemError = 0;
    // Non-blocking: the open must not wait for carrier, and the worker
    // threads never block anywhere but in poll().
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        systemError = errno;
        error = OpenError::CannotOpen;
        return nullptr;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        systemError = ENOTTY;
        error = OpenError::NotAComm;
        return nullptr;
    }
    // Exclusive access, as a port opened without sharing: flock keeps out
    // every cooperating program (and this one), TIOCEXCL every other open
    // except root's. A driver that refuses either is tolerated; only a lock
    // held elsewhere means the port is busy.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        systemError = EWOULDBLOCK;
        error = OpenError::CannotOpen;
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL);
    // USB adapters hold received bytes for their latency timer (16 ms by
    // default) before passing them on; ask the driver not to. Ptys and
    // drivers without the flag refuse, and the port is used as it is.
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &serial);
    }
    error = OpenError::None;
    auto native = std::make_unique<Native>();
    native->fd = fd;
    return std::unique_ptr<SerialDevice>(new SerialDevice(std::move(native)));
}

SerialDevice::SerialDevice(std::unique_ptr<Native> native) : native_(std::move(native)) {}

SerialDevice::~SerialDevice() {
    const int fd = native_->fd;
    // Drop unsent output so close() cannot wait for it to drain, and give
    // up exclusivity, which would otherwise outlive us while another
    // descriptor of the same terminal stays open.
    ::tcflush(fd, TCOFLUSH);
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

bool SerialDevice::SetupQueues(uint32_t, uint32_t) {
    // The driver's queue sizes cannot be chosen on Linux (the tty layer
    // sizes its own buffers), so there is nothing to set.
    return true;
}

void SerialDevice::Purge(uint32_t flags) {
    const bool rx = flags & kPurgeRxClear;
    const bool tx = flags & kPurgeTxClear;
    if (rx && tx)
        ::tcflush(native_->fd, TCIOFLUSH);
    else if (rx)
        ::tcflush(native_->fd, TCIFLUSH);
    else if (tx)
        ::tcflush(native_->fd, TCOFLUSH);
}

void SerialDevice::ApplyLineSettings(const LineSettings& s) {
    termios t;
    if (::tcgetattr(native_->fd, &t) == 0) {
        const bool standardRate = BuildTermios(t, s);
        ::tcsetattr(native_->fd, TCSANOW, &t);
        if (!standardRate)
            SetCustomBaudRate(native_->fd, s.baudRate);
    }

    // Modem lines; a pty has none and refuses, which is fine. Handshake on
    // DTR has no Linux equivalent and neither has an RTS that follows
    // transmission: both lines are simply raised.
    const int dtr = TIOCM_DTR;
    const int rts = TIOCM_RTS;
    ::ioctl(native_->fd, s.dtrControl == TDtrControl::DtrDisable ? TIOCMBIC : TIOCMBIS, &dtr);
    if (s.rtsControl != TRtsControl::RtsHandshake)
        ::ioctl(native_->fd, s.rtsControl == TRtsControl::RtsDisable ? TIOCMBIC : TIOCMBIS, &rts);

    ReceiveOptions options;
    options.parityCheck = s.parityCheck;
    // Replacing needs parity checking on, as the Windows driver has it.
    options.marks.replaceMarked = s.replaceWhenParityError && s.parityCheck;
    options.marks.replacement = s.replacedChar;
    options.marks.dropNul = s.ignoreNullChar;
    std::lock_guard lock(settingsMutex_);
    receiveOptions_ = options;
}

void SerialDevice::ApplyTimeouts(const CommTimeouts& timeouts) {
    // The receive thread cuts its reads by these itself. The write totals
    // only split a write on Windows, and the transmit thread continues
    // partial writes anyway, so they change nothing here.
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
    return PollPair(stop.Get().fd, native_->fd, POLLIN, timeout, false);
}

WaitResult SerialDevice::WaitWritable(const SerialEvent& stop) {
    return PollPair(stop.Get().fd, native_->fd, POLLOUT, std::nullopt, false);
}

IoResult SerialDevice::Read(char* buffer, size_t size) {
    const ssize_t n = ::read(native_->fd, buffer, size);
    if (n > 0)
        return {IoResult::Ok, static_cast<size_t>(n)};
    if (n == 0)  // end of file after readiness: the device is gone
        return {IoResult::Gone};
    return FromErrno(errno);
}

IoResult SerialDevice::Write(const char* data, size_t size) {
    const ssize_t n = ::write(native_->fd, data, size);
    if (n > 0)
        return {IoResult::Ok, static_cast<size_t>(n)};
    if (n == 0)
        return {IoResult::WouldBlock};
    return FromErrno(errno);
}

bool SerialDevice::PollLineStatus(LineEvents& events, bool& counted) {
    Native& w = *native_;
    events = {};
    counted = false;
    if (w.lineWatch == Native::LineWatch::Unsupported)
        return false;

    // Interrupt counters catch every change between two samples; plain modem
    // lines are the fallback for drivers without them.
    if (w.lineWatch == Native::LineWatch::Unknown || w.lineWatch == Native::LineWatch::Counters) {
        serial_icounter_struct ic{};
        if (::ioctl(native_->fd, TIOCGICOUNT, &ic) == 0) {
            const LineCounters now{ic.dcd, ic.rng,     ic.frame,      ic.parity,
                                   ic.brk, ic.overrun, ic.buf_overrun};
            if (w.lineWatch == Native::LineWatch::Counters)
                events = CompareLineCounters(w.counters, now);
            w.counters = now;
            w.lineWatch = Native::LineWatch::Counters;
            counted = true;
            return true;
        }
        if (w.lineWatch == Native::LineWatch::Counters) {
            w.lineWatch = Native::LineWatch::Unsupported;
            return false;
        }
    }

    int lines = 0;
    if (::ioctl(native_->fd, TIOCMGET, &lines) != 0) {
        w.lineWatch = Native::LineWatch::Unsupported;
        return false;
    }
    if (w.lineWatch == Native::LineWatch::ModemLines)
        events.modemEvents = CompareModemLines(w.modemLines & TIOCM_CD, w.modemLines & TIOCM_RI,
                                               lines & TIOCM_CD, lines & TIOCM_RI);
    w.modemLines = lines;
    w.lineWatch = Native::LineWatch::ModemLines;
    return true;
}
