#include "SerialLink.h"

#include "HexText.h"
#include "SerialPort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

TComm* CommPort = nullptr;
TMYOBJ* ReceiveSink = nullptr;
bool PortOpen = false;
bool PortOpening = false;
bool ExchangeBusy = false;
bool ReplyArrived = false;
std::string ReplyText;
uint32_t LastActivityTick = 0;
int32_t ReplyTimeout = 0;
int OpenFailureErrno = 0;
bool PortGone = false;

// --- Ticks and waiting -----------------------------------------------------

namespace {
using SteadyClock = std::chrono::steady_clock;

uint32_t tickOffset = 0;
bool readsEndAtReply = true;
std::function<TComm*()> commPortFactory;
std::function<void()> portGoneHandler;

uint32_t RawTicks() {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(SteadyClock::now().time_since_epoch()).count());
}
}  // namespace

uint32_t TickCount() {
    return RawTicks() + tickOffset;
}

void SetTickCountForTest(uint32_t value) {
    tickOffset = value - RawTicks();
}

void SetReadsEndAtReplyForTest(bool on) {
    readsEndAtReply = on;
}

void SetCommPortFactory(std::function<TComm*()> factory) {
    commPortFactory = std::move(factory);
}

void SetPortGoneHandler(std::function<void()> handler) {
    portGoneHandler = std::move(handler);
}

namespace {
// Runs the main thread's events until `deadline`: the loop sleeps in the
// dispatcher until an event or its timer comes, so nothing polls. Through
// `wake`, when given, the loop can be ended early.
void RunEventsUntil(SteadyClock::time_point deadline, QEventLoop** wake = nullptr) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left.count() <= 0)
        return;
    if (!QCoreApplication::instance()) {
        std::this_thread::sleep_until(deadline);
        return;
    }
    QEventLoop loop;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(static_cast<int>(left.count()));
    struct Registration {
        QEventLoop** wake;
        Registration(QEventLoop** w, QEventLoop* loop) : wake(w) {
            if (wake)
                *wake = loop;
        }
        ~Registration() {
            if (wake)
                *wake = nullptr;
        }
    } registration(wake, &loop);
    if (loop.exec() != 0) {
        // The application is quitting and loops no longer run: keep the
        // promised time without spinning.
        std::this_thread::sleep_until(deadline);
    }
}
}  // namespace

void PumpWait(int ms) {
    if (ms <= 0)
        return;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
    // A loop can also end early when the application asks all loops to quit.
    while (SteadyClock::now() < deadline)
        RunEventsUntil(deadline);
}

// --- The port and the exchange ---------------------------------------------

namespace {
// The running exchange's wait, which ReceiveData ends early.
QEventLoop* replyWait = nullptr;
constexpr int64_t kLongestStepMs = 60 * 1000;

// The exchange that collects its reply by a rule: its bytes so far and
// whether they hold the reply, found in time.
const ReplyEndRule* collectRule = nullptr;
std::string collected;
size_t collectedEnd = 0;
bool replyInTime = false;
uint32_t exchangeStartTick = 0;
// Past this much without a reply the line carries noise: stop collecting.
constexpr size_t kCollectLimit = 65536;

bool WithinTimeout(uint32_t tick) {
    return static_cast<int64_t>(uint32_t(tick - exchangeStartTick)) <=
           static_cast<int64_t>(ReplyTimeout);
}

// Runs the main thread's events for up to `ms`, or until a chunk arrives.
void WaitForReply(int ms) {
    RunEventsUntil(SteadyClock::now() + std::chrono::milliseconds(ms), &replyWait);
}
}  // namespace

void TMYOBJ::ReceiveData(QObject*, const void* Buffer, uint16_t BufferLength) {
    LastActivityTick = TickCount();
    const std::string chunk(static_cast<const char*>(Buffer), BufferLength);
    ReplyText = BytesToHexText(chunk);
    if (collectRule) {
        // Judged on arrival: a wait held up by a nested handler must not
        // turn a reply that came in time into a time-out, nor take bytes
        // that came after it.
        if (collectedEnd == 0 && collected.size() < kCollectLimit &&
            WithinTimeout(LastActivityTick)) {
            collected += chunk;
            collectedEnd = (*collectRule)(collected);
            replyInTime = collectedEnd > 0;
        }
        if (collectedEnd == 0)
            return;  // not the reply yet: keep waiting
    }
    ReplyArrived = true;
    if (replyWait)
        replyWait->quit();
}

namespace {
void FreePortObjects() {
    // Failures while releasing are ignored (the destructors report none).
    delete ReceiveSink;
    ReceiveSink = nullptr;
    delete CommPort;
    CommPort = nullptr;
}

void CreatePortObjects() {
    FreePortObjects();  // leftovers of an earlier failed open
    ReceiveSink = new TMYOBJ;
    CommPort = commPortFactory ? commPortFactory() : new TComm(nullptr);
    CommPort->SetInx_XonXoffFlow(false);
    CommPort->SetOutx_XonXoffFlow(false);
    TMYOBJ* sink = ReceiveSink;
    CommPort->OnReceiveData = [sink](QObject* sender, const void* buffer, uint16_t length) {
        sink->ReceiveData(sender, buffer, length);
    };
    // The receive thread ends on a vanished device; the exchange must not sit
    // out its time-out on a port that cannot answer.
    CommPort->OnRequestHangup = [](QObject*) {
        PortGone = true;
        if (replyWait) {
            replyWait->quit();
        } else if (portGoneHandler && QCoreApplication::instance()) {
            // Not from inside the port's own notification: the handler may
            // release the port.
            QTimer::singleShot(0, QCoreApplication::instance(), [] {
                if (PortGone && PortOpen && !ExchangeBusy && portGoneHandler)
                    portGoneHandler();
            });
        }
    };
}
}  // namespace

int OpenSerialPort(int portNumber, int baudRate, int replyTimeout) {
    if (PortOpening || ExchangeBusy)
        return 1;
    if (PortOpen)
        return -1;
    PortOpening = true;
    OpenFailureErrno = 0;
    PortGone = false;
    int result;
    try {
        CreatePortObjects();
        CommPort->SetBaudRate(static_cast<uint32_t>(baudRate));
        CommPort->SetParity(TParity::Even);
        CommPort->SetStopBits(TStopBits::_1);
        CommPort->SetByteSize(TByteSize::_8);
        CommPort->SetCommName("COM" + std::to_string(portNumber));
        CommPort->Open();
        PortOpen = true;
        ReplyTimeout = replyTimeout;
        result = 0;
    } catch (const ECommsError& e) {
        // The message goes nowhere: the caller reports its own, and may
        // explain the system's reason.
        OpenFailureErrno = e.SystemError();
        PortOpen = false;
        result = -2;
    } catch (...) {
        PortOpen = false;
        result = -2;
    }
    PortOpening = false;
    return result;
}

int CloseSerialPort() {
    int result = 0;
    try {
        if (CommPort)
            CommPort->Close();
        PortOpen = false;
    } catch (...) {
        result = 1;  // PortOpen stays as it was
    }
    FreePortObjects();
    return result;
}

int SerialExchange(const std::string& request, std::string& reply) {
    return SerialExchange(request, reply, ReplyEndRule());
}

int SerialExchange(const std::string& request, std::string& reply, const ReplyEndRule& rule) {
    if (ExchangeBusy)
        return -1;
    if (!PortOpen)
        return -2;

    ExchangeBusy = true;
    ReplyArrived = false;
    LastActivityTick = TickCount();
    exchangeStartTick = LastActivityTick;
    ReplyText.clear();
    collectRule = rule ? &rule : nullptr;
    collected.clear();
    collectedEnd = 0;
    replyInTime = false;
    // Whatever happens, the next exchange starts without this one's rule.
    struct EndCollect {
        bool ruled;
        ~EndCollect() {
            collectRule = nullptr;
            collected.clear();
            if (ruled && CommPort)
                CommPort->SetReplyEndRule({});
        }
    } endCollect{collectRule != nullptr};

    int result;
    try {
        // After a failed close PortOpen is still set but the port is gone.
        if (!CommPort)
            throw std::logic_error("serial port released");
        if (collectRule) {
            // The tail of an earlier answer, a late reply: none of it
            // belongs to this request.
            CommPort->DiscardInput();
            if (readsEndAtReply)
                CommPort->SetReplyEndRule(rule);
        }
        const std::string bytes = HexTextToBytes(request);
        // A block longer than a 16-bit count cannot be sent whole; cutting
        // it would put a corrupt frame on the line, so it is not sent and
        // the exchange times out like any unanswered request.
        if (bytes.size() <= 0xFFFF)
            CommPort->Send(bytes.data(), static_cast<uint16_t>(bytes.size()));

        // Checked as often as a 1-ms step would, but the wait sleeps until
        // the reply wakes it or the time-out is due instead of waking every
        // millisecond.
        bool timedOut = false;
        // Chunks that hold no reply refresh LastActivityTick but must not
        // stretch the time-out: a ruled exchange counts from its start.
        const auto since = [] { return collectRule ? exchangeStartTick : LastActivityTick; };
        while (!ReplyArrived && !PortGone) {
            const int64_t untilExceeded =
                int64_t(ReplyTimeout) - int64_t(uint32_t(TickCount() - since())) + 1;
            WaitForReply(static_cast<int>(std::clamp<int64_t>(untilExceeded, 1, kLongestStepMs)));
            if (collectRule && ReplyArrived && replyInTime)
                break;
            const uint32_t elapsed = TickCount() - since();  // modulo 2^32
            if (static_cast<int64_t>(elapsed) > static_cast<int64_t>(ReplyTimeout)) {
                timedOut = true;
                break;
            }
        }
        if (collectRule) {
            reply = BytesToHexText(collected);
            const bool answered = ReplyArrived && replyInTime;
            result = answered ? 0 : (PortGone && !timedOut) ? 2 : 1;
        } else {
            // Bytes that came before the device went are still the reply.
            reply = ReplyText;
            result = timedOut ? 1 : ReplyArrived ? 0 : 2;
        }
    } catch (...) {
        // Absorbed: the caller sees a time-out with no reply.
        result = 1;
        reply.clear();
    }
    ReplyText.clear();
    ExchangeBusy = false;
    return result;
}
