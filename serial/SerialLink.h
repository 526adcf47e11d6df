// The blocking request/reply exchange over the one serial port of the process.
// Everything here runs on the main thread.
#pragma once

#include "ReadChunker.h"

#include <cstdint>
#include <functional>
#include <string>

class QObject;
class TComm;

// Receives the port's chunks; exists so OnReceiveData has an object to call.
class TMYOBJ {
  public:
    // Stores the chunk as upper-case hex text in ReplyText (replacing the old
    // one), refreshes LastActivityTick and sets ReplyArrived.
    void ReceiveData(QObject* Sender, const void* Buffer, uint16_t BufferLength);
};

// Module state, one copy per process. The window's creation handler resets
// the four flags; other code only reads PortOpen.
extern TComm* CommPort;      // owned here: created by OpenSerialPort, released by CloseSerialPort
extern TMYOBJ* ReceiveSink;  // owned here, created and released with CommPort
extern bool PortOpen;
extern bool PortOpening;
extern bool ExchangeBusy;
extern bool ReplyArrived;
extern std::string ReplyText;
extern uint32_t LastActivityTick;
extern int32_t ReplyTimeout;
// Why the last OpenSerialPort that reached the device failed: the system's
// error number (errno), 0 when it opened or the failure was not the device's.
extern int OpenFailureErrno;
// Set when the open device went away (adapter pulled); cleared by the next open.
extern bool PortGone;

// 0 opened, 1 open or exchange in progress, -1 already open, -2 failed.
int OpenSerialPort(int portNumber, int baudRate, int replyTimeout);
// 0 closed, 1 closing raised a failure.
int CloseSerialPort();
// 0 reply, 1 time-out, 2 the device went away, -1 another exchange running,
// -2 port not open. reply is written only for 0, 1 and 2.
int SerialExchange(const std::string& request, std::string& reply);
// The same, with a rule that says where the reply ends in the bytes received
// for this request. Whatever the line delivered before the request is thrown
// away first; then chunks are collected until the rule finds the reply, and
// the port's reads end at the reply too. reply is every byte collected in
// time, the reply and whatever came with it, for the caller to tell apart.
int SerialExchange(const std::string& request, std::string& reply, const ReplyEndRule& rule);

// Called on the main thread, outside any exchange, when the open device goes
// away while no exchange waits (an exchange reports it as result 2 instead).
void SetPortGoneHandler(std::function<void()> handler);

// Dispatches every event of the main thread as it arrives until ms
// milliseconds have passed, sleeping in between. Returns at once for ms <= 0.
void PumpWait(int ms);

// Milliseconds since an arbitrary start, wrapping at 2^32.
uint32_t TickCount();

// Test seams. The tick count reads `value` now and runs on from there; and
// OpenSerialPort builds its port with `factory` (empty: a plain TComm).
void SetTickCountForTest(uint32_t value);
// Off: a ruled exchange still collects its reply by the rule, but the port's
// reads end by silence alone, as without one (for side-by-side timing).
void SetReadsEndAtReplyForTest(bool on);
void SetCommPortFactory(std::function<TComm*()> factory);
