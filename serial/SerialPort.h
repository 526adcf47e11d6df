// The serial port component: opens a named port with the line settings of
// its properties, transmits blocks without blocking the caller, and reports
// received chunks, line errors and modem events on the thread that created
// it. All device I/O runs on two worker threads that share one close event.
#pragma once

#include "SerialCore.h"
#include "SerialSettings.h"

#include <QEvent>
#include <QObject>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

class TCommNotifier;

// Events: plain callables, bound by assignment.
using TNotifyEvent = std::function<void(QObject* Sender)>;
using TReceiveDataEvent =
    std::function<void(QObject* Sender, const void* Buffer, uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(QObject* Sender, uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(QObject* Sender, uint32_t ModemEvent)>;
using TSendDataEmptyEvent = std::function<void(QObject* Sender)>;

// One posted notification. A chunk copy (length + 1 zero-filled bytes)
// belongs to the message and goes with it, delivered or dropped.
class TCommMessage : public QEvent {
  public:
    static QEvent::Type EventType();
    TCommMessage(int message, uintptr_t wParam, uintptr_t lParam,
                 std::unique_ptr<char[]> chunk = nullptr);

    int Message;
    uintptr_t WParam;
    uintptr_t LParam;
    std::unique_ptr<char[]> Chunk;
    unsigned Generation = 0;  // of a chunk: see TReadControl
};

// Runs the receive thread's body (SerialCore.h) on a thread of its own.
class TReadThread : public QThread {
  public:
    TReadThread(SerialDevice* port, const SerialEvent* closeEvent, TCommNotifier* notifyWindow,
                std::shared_ptr<TReadControl> control = nullptr);

    // Waits for the body to end; everything it did is then visible here.
    void Join();

  protected:
    void run() override;

  private:
    SerialDevice* port_;
    const SerialEvent* closeEvent_;
    TCommNotifier* notifyWindow_;
    std::shared_ptr<TReadControl> control_;
    std::atomic<bool> finished_{false};
};

// Runs the transmit thread's body (SerialCore.h) on a thread of its own.
class TWriteThread : public QThread {
  public:
    TWriteThread(SerialDevice* port, const SerialEvent* closeEvent, TCommNotifier* notifyWindow,
                 std::atomic<bool>& sendDataEmpty);

    bool Init() { return queue_.Init(); }
    TWriteQueue& Queue() { return queue_; }
    void Join();

  protected:
    void run() override;

  private:
    SerialDevice* port_;
    const SerialEvent* closeEvent_;
    TCommNotifier* notifyWindow_;
    std::atomic<bool>& sendDataEmpty_;
    TWriteQueue queue_;
    std::atomic<bool> finished_{false};
};

class TComm : public QObject {
  public:
    explicit TComm(QObject* owner = nullptr);
    // Closes the port if the owner has not: the worker threads must not
    // outlive the object they post to.
    ~TComm() override;

    // Raises ECommsError on every failure.
    virtual void Open();
    // Does nothing when the port is not open.
    virtual void Close();
    // Queues a copy of the block; false when closed, when length is 0, or
    // when the transmit thread has ended.
    bool Send(const void* data, uint16_t length);

    bool IsOpen() const { return port_ != nullptr; }

    // Reads end as soon as `rule` finds a whole reply in them, besides the
    // time-outs; an empty rule leaves the time-outs alone. Safe while open.
    void SetReplyEndRule(ReplyEndRule rule) { readControl_->SetEndRule(std::move(rule)); }
    // Drops everything received so far: bytes waiting in the driver, the
    // read in progress and chunks not yet delivered.
    void DiscardInput();
    // Cleared by Send, set again once the transmit queue has run empty.
    bool SendDataEmpty() const { return sendDataEmpty_; }

    // Properties. Assigning the value already held does nothing; otherwise
    // the value is stored and, while open, applied to the device at once.
    const std::string& CommName() const { return commName_; }
    void SetCommName(const std::string& value) { commName_ = value; }  // used at the next Open
    uint32_t BaudRate() const { return line_.baudRate; }
    void SetBaudRate(uint32_t value);
    bool ParityCheck() const { return line_.parityCheck; }
    void SetParityCheck(bool value);
    bool Outx_CtsFlow() const { return line_.outxCtsFlow; }
    void SetOutx_CtsFlow(bool value);
    bool Outx_DsrFlow() const { return line_.outxDsrFlow; }
    void SetOutx_DsrFlow(bool value);
    TDtrControl DtrControl() const { return line_.dtrControl; }
    void SetDtrControl(TDtrControl value);
    bool DsrSensitivity() const { return line_.dsrSensitivity; }
    void SetDsrSensitivity(bool value);
    bool TxContinueOnXoff() const { return line_.txContinueOnXoff; }
    void SetTxContinueOnXoff(bool value);
    bool Outx_XonXoffFlow() const { return line_.outxXonXoffFlow; }
    void SetOutx_XonXoffFlow(bool value);
    bool Inx_XonXoffFlow() const { return line_.inxXonXoffFlow; }
    void SetInx_XonXoffFlow(bool value);
    bool ReplaceWhenParityError() const { return line_.replaceWhenParityError; }
    void SetReplaceWhenParityError(bool value);
    bool IgnoreNullChar() const { return line_.ignoreNullChar; }
    void SetIgnoreNullChar(bool value);
    TRtsControl RtsControl() const { return line_.rtsControl; }
    void SetRtsControl(TRtsControl value);
    uint16_t XonLimit() const { return line_.xonLimit; }
    void SetXonLimit(uint16_t value);
    uint16_t XoffLimit() const { return line_.xoffLimit; }
    void SetXoffLimit(uint16_t value);
    TByteSize ByteSize() const { return line_.byteSize; }
    void SetByteSize(TByteSize value);
    // Stored only: takes effect with the next Open or the next change of
    // another line setting.
    TParity Parity() const { return line_.parity; }
    void SetParity(TParity value) { line_.parity = value; }
    TStopBits StopBits() const { return line_.stopBits; }
    void SetStopBits(TStopBits value);
    char XonChar() const { return line_.xonChar; }
    void SetXonChar(char value);
    char XoffChar() const { return line_.xoffChar; }
    void SetXoffChar(char value);
    char ReplacedChar() const { return line_.replacedChar; }
    void SetReplacedChar(char value);
    uint32_t ReadIntervalTimeout() const { return timeouts_.readIntervalTimeout; }
    void SetReadIntervalTimeout(uint32_t value);
    uint32_t ReadTotalTimeoutMultiplier() const { return timeouts_.readTotalTimeoutMultiplier; }
    void SetReadTotalTimeoutMultiplier(uint32_t value);
    uint32_t ReadTotalTimeoutConstant() const { return timeouts_.readTotalTimeoutConstant; }
    void SetReadTotalTimeoutConstant(uint32_t value);
    uint32_t WriteTotalTimeoutMultiplier() const { return timeouts_.writeTotalTimeoutMultiplier; }
    void SetWriteTotalTimeoutMultiplier(uint32_t value);
    uint32_t WriteTotalTimeoutConstant() const { return timeouts_.writeTotalTimeoutConstant; }
    void SetWriteTotalTimeoutConstant(uint32_t value);

    TReceiveDataEvent OnReceiveData;
    TReceiveErrorEvent OnReceiveError;
    TModemStateChangeEvent OnModemStateChange;
    TNotifyEvent OnRequestHangup;
    TSendDataEmptyEvent OnSendDataEmpty;

    // Raises the bound event for one notification; others are ignored.
    void HandleNotification(const TCommMessage& message);

  private:
    template <typename T>
    void SetLineSetting(T LineSettings::*field, T value);
    void SetTimeout(uint32_t CommTimeouts::*field, uint32_t value);
    void ApplyLineSettings();
    void ApplyTimeouts();
    void StopReceiveThread();
    void StopTransmitThread();
    void ReleasePort();

    std::string commName_ = "COM2";
    LineSettings line_;
    CommTimeouts timeouts_;

    std::unique_ptr<SerialDevice> port_;  // PortHandle: set exactly while open
    std::unique_ptr<SerialEvent> closeEvent_;
    std::unique_ptr<TReadThread> receiveThread_;
    std::unique_ptr<TWriteThread> transmitThread_;
    TCommNotifier* notifyWindow_;  // hidden, created and released with the component
    std::atomic<bool> sendDataEmpty_{true};
    std::shared_ptr<TReadControl> readControl_ = std::make_shared<TReadControl>();
};
