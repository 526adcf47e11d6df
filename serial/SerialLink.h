// The blocking request/reply exchange over the one serial port of the process.
// Everything here runs on the main thread.
#pragma once

#include <cstdint>
#include <string>

class TComm;
class TMYOBJ;

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

// 0 opened, 1 open or exchange in progress, -1 already open, -2 failed.
int OpenSerialPort(int portNumber, int baudRate, int replyTimeout);
// 0 closed, 1 closing raised a failure.
int CloseSerialPort();
// 0 reply, 1 time-out, -1 another exchange running, -2 port not open.
// reply is written only for 0 and 1.
int SerialExchange(const std::string& request, std::string& reply);

std::string HexTextToBytes(const std::string& text);
std::string BytesToHexText(const std::string& bytes);

// Dispatches the main thread's events for about ms milliseconds.
void PumpWait(int ms);
