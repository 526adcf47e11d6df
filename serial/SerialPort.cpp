#include "SerialPort.h"

#include "SerialDevice.h"

#include <QCoreApplication>

#include <cstring>

// The hidden object the worker threads post to. It lives on the component's
// thread, so Qt delivers its events there, in the order each thread posted
// them. When the component goes away while one of its handlers is still
// running (a handler that closes and deletes the port), the notifier is
// orphaned and deleted once that handler has returned.
class TCommNotifier : public QObject, public TNotifySink {
  public:
    explicit TCommNotifier(TComm* owner) : owner_(owner) {}

    // Any thread. postEvent never blocks, takes ownership of the event, and
    // keeps the events of one thread in order.
    void Post(int message, uintptr_t wParam, uintptr_t lParam, std::unique_ptr<char[]> chunk,
              unsigned generation) override {
        auto* posted = new TCommMessage(message, wParam, lParam, std::move(chunk));
        posted->Generation = generation;
        Post(posted);
    }
    void Post(TCommMessage* message);

    void Orphan() {
        owner_ = nullptr;
        if (depth_ == 0)
            delete this;
        else
            orphaned_ = true;
    }

    bool event(QEvent* e) override {
        // Qt's queue already orders the delivery after the post; this pairs
        // with Post so that race detectors, blind to Qt's own locks, see it.
        posted_.load(std::memory_order_acquire);
        if (e->type() != TCommMessage::EventType())
            return QObject::event(e);
        if (owner_) {
            ++depth_;
            struct Leave {
                TCommNotifier* self;
                ~Leave() { --self->depth_; }
            } leave{this};
            owner_->HandleNotification(*static_cast<TCommMessage*>(e));
        }
        if (orphaned_ && depth_ == 0) {
            orphaned_ = false;
            deleteLater();
        }
        return true;
    }

  private:
    TComm* owner_;
    std::mutex postMutex_;
    std::atomic<unsigned> posted_{0};
    int depth_ = 0;
    bool orphaned_ = false;
};

// The two workers hand their events to Qt one at a time. Out of line and
// never a bare tail call (the lock is released after it), so this frame shows
// in race reports: what Qt does under it is guarded by Qt's own locks.
Q_NEVER_INLINE void TCommNotifier::Post(TCommMessage* message) {
    std::lock_guard lock(postMutex_);
    posted_.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(this, message);
}

// --- TCommMessage --------------------------------------------------------

QEvent::Type TCommMessage::EventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

TCommMessage::TCommMessage(int message, uintptr_t wParam, uintptr_t lParam,
                           std::unique_ptr<char[]> chunk)
    : QEvent(EventType()),
      Message(message),
      WParam(wParam),
      LParam(lParam),
      Chunk(std::move(chunk)) {}

// --- TReadThread ---------------------------------------------------------

TReadThread::TReadThread(SerialDevice* port, const SerialEvent* closeEvent,
                         TCommNotifier* notifyWindow, std::shared_ptr<TReadControl> control)
    : port_(port),
      closeEvent_(closeEvent),
      notifyWindow_(notifyWindow),
      control_(control ? std::move(control) : std::make_shared<TReadControl>()) {
    setObjectName(QStringLiteral("TReadThread"));
}

void TReadThread::run() {
    RunReceiveThread(*port_, *closeEvent_, *notifyWindow_, *control_);
    finished_.store(true, std::memory_order_release);
}

void TReadThread::Join() {
    wait();
    // QThread::wait synchronises through Qt's own locks; this makes the
    // body's writes visible in a way race detectors can follow too.
    finished_.load(std::memory_order_acquire);
}

// --- TWriteThread --------------------------------------------------------

TWriteThread::TWriteThread(SerialDevice* port, const SerialEvent* closeEvent,
                           TCommNotifier* notifyWindow, std::atomic<bool>& sendDataEmpty)
    : port_(port),
      closeEvent_(closeEvent),
      notifyWindow_(notifyWindow),
      sendDataEmpty_(sendDataEmpty) {
    setObjectName(QStringLiteral("TWriteThread"));
}

void TWriteThread::run() {
    RunTransmitThread(*port_, *closeEvent_, *notifyWindow_, queue_, sendDataEmpty_);
    finished_.store(true, std::memory_order_release);
}

void TWriteThread::Join() {
    wait();
    finished_.load(std::memory_order_acquire);  // see TReadThread::Join
}

// --- TComm ---------------------------------------------------------------

TComm::TComm(QObject* owner) : QObject(owner), notifyWindow_(new TCommNotifier(this)) {}

TComm::~TComm() {
    try {
        TComm::Close();
    } catch (...) {
        // A destructor reports nothing; the threads are gone either way.
    }
    notifyWindow_->Orphan();
}

void TComm::Open() {
    if (port_)
        throw ECommsError("This serial port already opened");

    std::unique_ptr<SerialDevice> device = OpenCommDevice(commName_);

    port_ = std::move(device);
    port_->Purge(kPurgeAll);
    sendDataEmpty_ = true;
    ApplyTimeouts();
    ApplyLineSettings();

    closeEvent_ = SerialEvent::Create();
    if (!closeEvent_) {
        ReleasePort();
        throw ECommsError("Unable to create event");
    }

    receiveThread_ =
        std::make_unique<TReadThread>(port_.get(), closeEvent_.get(), notifyWindow_, readControl_);
    transmitThread_ = std::make_unique<TWriteThread>(port_.get(), closeEvent_.get(), notifyWindow_,
                                                     sendDataEmpty_);
    if (!transmitThread_->Init()) {
        ReleasePort();
        throw ECommsError("Unable to create write thread");
    }

    // QThread reports a refused start only through its state.
    auto started = [](QThread& t) { return t.isRunning() || t.isFinished(); };
    receiveThread_->start(QThread::HighestPriority);
    if (!started(*receiveThread_)) {
        ReleasePort();
        throw ECommsError("Unable to create read thread");
    }
    transmitThread_->start(QThread::HighPriority);
    if (!started(*transmitThread_)) {
        StopReceiveThread();
        ReleasePort();
        throw ECommsError("Unable to create write thread");
    }
}

void TComm::ReleasePort() {
    receiveThread_.reset();
    transmitThread_.reset();
    closeEvent_.reset();
    port_.reset();
}

void TComm::Close() {
    if (!port_)
        return;
    // Signal, join, and only then close: the device is never closed while a
    // thread may still use it.
    StopReceiveThread();
    StopTransmitThread();
    closeEvent_.reset();
    port_->Purge(kPurgeAll);  // so the close cannot wait on unsent output
    port_.reset();
}

void TComm::StopReceiveThread() {
    if (!receiveThread_)
        return;
    closeEvent_->Set();
    port_->Purge(kPurgeRxAbort | kPurgeRxClear);
    receiveThread_->Join();
    receiveThread_.reset();
}

void TComm::StopTransmitThread() {
    if (!transmitThread_)
        return;
    closeEvent_->Set();
    port_->Purge(kPurgeTxAbort | kPurgeTxClear);
    sendDataEmpty_ = true;
    transmitThread_->Join();
    transmitThread_.reset();
}

void TComm::DiscardInput() {
    // The driver first, then the new generation: what arrives in between
    // is read as the old one and dropped with it.
    if (port_)
        port_->Purge(kPurgeRxClear);
    readControl_->Discard();
}

bool TComm::Send(const void* data, uint16_t length) {
    if (!transmitThread_ || length == 0 || !data)
        return false;
    TWriteQueue::Block block;
    block.Data = std::make_unique<char[]>(size_t(length) + 1);  // zero-filled
    std::memcpy(block.Data.get(), data, length);
    block.Length = length;
    // Cleared before the block is queued: the transmit thread may write it
    // and mark the queue empty again before Push returns.
    const bool wasEmpty = sendDataEmpty_.exchange(false);
    if (!transmitThread_->Queue().Push(std::move(block))) {
        sendDataEmpty_ = wasEmpty;
        return false;
    }
    return true;
}

// Each handler runs from a copy, so one that closes and deletes the port
// does not pull its own callable out from under itself.
void TComm::HandleNotification(const TCommMessage& m) {
    switch (m.Message) {
        case MsgReceiveData:
            if (m.Generation != readControl_->Generation())
                break;  // received before DiscardInput
            if (auto handler = OnReceiveData)
                handler(this, m.Chunk.get(), static_cast<uint16_t>(m.WParam));
            break;
        case MsgReceiveError:
            if (auto handler = OnReceiveError)
                handler(this, static_cast<uint32_t>(m.LParam));
            break;
        case MsgRequestHangup:
            if (auto handler = OnRequestHangup)
                handler(this);
            break;
        case MsgModemStateChange:
            if (auto handler = OnModemStateChange)
                handler(this, static_cast<uint32_t>(m.LParam));
            break;
        case MsgSendDataEmpty:
            if (auto handler = OnSendDataEmpty)
                handler(this);
            break;
        default:
            break;
    }
}

void TComm::ApplyLineSettings() {
    if (port_)
        port_->ApplyLineSettings(line_);
}

void TComm::ApplyTimeouts() {
    if (port_)
        port_->ApplyTimeouts(timeouts_);
}

template <typename T>
void TComm::SetLineSetting(T LineSettings::*field, T value) {
    if (line_.*field == value)
        return;
    line_.*field = value;
    ApplyLineSettings();
}

void TComm::SetTimeout(uint32_t CommTimeouts::*field, uint32_t value) {
    if (timeouts_.*field == value)
        return;
    timeouts_.*field = value;
    ApplyTimeouts();
}

// clang-format off
void TComm::SetBaudRate(uint32_t v) { SetLineSetting(&LineSettings::baudRate, v); }
void TComm::SetParityCheck(bool v) { SetLineSetting(&LineSettings::parityCheck, v); }
void TComm::SetOutx_CtsFlow(bool v) { SetLineSetting(&LineSettings::outxCtsFlow, v); }
void TComm::SetOutx_DsrFlow(bool v) { SetLineSetting(&LineSettings::outxDsrFlow, v); }
void TComm::SetDtrControl(TDtrControl v) { SetLineSetting(&LineSettings::dtrControl, v); }
void TComm::SetDsrSensitivity(bool v) { SetLineSetting(&LineSettings::dsrSensitivity, v); }
void TComm::SetTxContinueOnXoff(bool v) { SetLineSetting(&LineSettings::txContinueOnXoff, v); }
void TComm::SetOutx_XonXoffFlow(bool v) { SetLineSetting(&LineSettings::outxXonXoffFlow, v); }
void TComm::SetInx_XonXoffFlow(bool v) { SetLineSetting(&LineSettings::inxXonXoffFlow, v); }
void TComm::SetReplaceWhenParityError(bool v) { SetLineSetting(&LineSettings::replaceWhenParityError, v); }
void TComm::SetIgnoreNullChar(bool v) { SetLineSetting(&LineSettings::ignoreNullChar, v); }
void TComm::SetRtsControl(TRtsControl v) { SetLineSetting(&LineSettings::rtsControl, v); }
void TComm::SetXonLimit(uint16_t v) { SetLineSetting(&LineSettings::xonLimit, v); }
void TComm::SetXoffLimit(uint16_t v) { SetLineSetting(&LineSettings::xoffLimit, v); }
void TComm::SetByteSize(TByteSize v) { SetLineSetting(&LineSettings::byteSize, v); }
void TComm::SetStopBits(TStopBits v) { SetLineSetting(&LineSettings::stopBits, v); }
void TComm::SetXonChar(char v) { SetLineSetting(&LineSettings::xonChar, v); }
void TComm::SetXoffChar(char v) { SetLineSetting(&LineSettings::xoffChar, v); }
void TComm::SetReplacedChar(char v) { SetLineSetting(&LineSettings::replacedChar, v); }
void TComm::SetReadIntervalTimeout(uint32_t v) { SetTimeout(&CommTimeouts::readIntervalTimeout, v); }
void TComm::SetReadTotalTimeoutMultiplier(uint32_t v) { SetTimeout(&CommTimeouts::readTotalTimeoutMultiplier, v); }
void TComm::SetReadTotalTimeoutConstant(uint32_t v) { SetTimeout(&CommTimeouts::readTotalTimeoutConstant, v); }
void TComm::SetWriteTotalTimeoutMultiplier(uint32_t v) { SetTimeout(&CommTimeouts::writeTotalTimeoutMultiplier, v); }
void TComm::SetWriteTotalTimeoutConstant(uint32_t v) { SetTimeout(&CommTimeouts::writeTotalTimeoutConstant, v); }
// clang-format on
