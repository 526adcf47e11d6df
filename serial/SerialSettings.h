// Line settings, time-outs and status flags of a serial port, in the terms the
// port component publishes. Plain C++ so the platform code and the pure
// helpers can use them without the toolkit.
#pragma once

#include <cstdint>

// The device code of each enumeration equals its ordinal.
enum class TParity { None, Odd, Even, Mark, Space };
enum class TStopBits { _1, _1_5, _2 };
enum class TByteSize { _5, _6, _7, _8 };  // data bits = ordinal + 5
enum class TDtrControl { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };

// Everything ApplyLineSettings hands to the device in one go.
struct LineSettings {
    uint32_t baudRate = 9600;
    bool parityCheck = false;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    TDtrControl dtrControl = TDtrControl::DtrEnable;
    bool dsrSensitivity = false;
    bool txContinueOnXoff = true;
    bool outxXonXoffFlow = true;
    bool inxXonXoffFlow = true;
    bool replaceWhenParityError = false;
    bool ignoreNullChar = false;
    TRtsControl rtsControl = TRtsControl::RtsEnable;
    uint16_t xonLimit = 500;
    uint16_t xoffLimit = 500;
    TByteSize byteSize = TByteSize::_8;
    TParity parity = TParity::None;
    TStopBits stopBits = TStopBits::_1;
    char xonChar = 17;   // DC1
    char xoffChar = 19;  // DC3
    char replacedChar = 0;
};

// The five time-outs, with the meaning they have on Windows comm devices.
struct CommTimeouts {
    uint32_t readIntervalTimeout = 100;
    uint32_t readTotalTimeoutMultiplier = 0;
    uint32_t readTotalTimeoutConstant = 0;
    uint32_t writeTotalTimeoutMultiplier = 0;
    uint32_t writeTotalTimeoutConstant = 0;
};

// Line-error flags carried by OnReceiveError (the Windows CE_ values, so a
// handler written for either platform reads them the same way).
constexpr uint32_t kLineErrorRxOver = 0x0001;   // input queue overflow
constexpr uint32_t kLineErrorOverrun = 0x0002;  // hardware overrun, a byte was lost
constexpr uint32_t kLineErrorParity = 0x0004;
constexpr uint32_t kLineErrorFrame = 0x0008;
constexpr uint32_t kLineErrorBreak = 0x0010;

// Bits of OnModemStateChange.
constexpr uint32_t kModemCarrierChanged = 8;
constexpr uint32_t kModemRing = 4;
