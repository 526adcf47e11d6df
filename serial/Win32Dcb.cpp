#include "Win32Dcb.h"

void BuildDcb(DCB& dcb, const LineSettings& s) {
    const DCB old = dcb;
    // Clearing the whole block clears the bit fields, which have no word of
    // their own to assign.
    dcb = DCB{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = s.baudRate;
    dcb.fBinary = TRUE;
    dcb.fParity = s.parityCheck;
    dcb.fOutxCtsFlow = s.outxCtsFlow;
    dcb.fOutxDsrFlow = s.outxDsrFlow;
    switch (s.dtrControl) {
        case TDtrControl::DtrEnable:
            dcb.fDtrControl = DTR_CONTROL_ENABLE;
            break;
        case TDtrControl::DtrDisable:
            dcb.fDtrControl = DTR_CONTROL_DISABLE;
            break;
        case TDtrControl::DtrHandshake:
            dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            break;
    }
    dcb.fDsrSensitivity = s.dsrSensitivity;
    dcb.fTXContinueOnXoff = s.txContinueOnXoff;
    dcb.fOutX = s.outxXonXoffFlow;
    dcb.fInX = s.inxXonXoffFlow;
    dcb.fErrorChar = s.replaceWhenParityError;
    dcb.fNull = s.ignoreNullChar;
    switch (s.rtsControl) {
        case TRtsControl::RtsEnable:
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
            break;
        case TRtsControl::RtsDisable:
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
            break;
        case TRtsControl::RtsHandshake:
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            break;
        case TRtsControl::RtsTransmissionAvailable:
            dcb.fRtsControl = RTS_CONTROL_TOGGLE;
            break;
    }
    dcb.fAbortOnError = FALSE;
    dcb.XonLim = s.xonLimit;
    dcb.XoffLim = s.xoffLimit;
    // The device codes equal the ordinals: NOPARITY..SPACEPARITY,
    // ONESTOPBIT..TWOSTOPBITS.
    dcb.ByteSize = static_cast<BYTE>(static_cast<int>(s.byteSize) + 5);
    dcb.Parity = static_cast<BYTE>(s.parity);
    dcb.StopBits = static_cast<BYTE>(s.stopBits);
    dcb.XonChar = s.xonChar;
    dcb.XoffChar = s.xoffChar;
    dcb.ErrorChar = s.replacedChar;
    dcb.EofChar = old.EofChar;
    dcb.EvtChar = old.EvtChar;
}

COMMTIMEOUTS ToCommTimeouts(const CommTimeouts& t) {
    COMMTIMEOUTS c{};
    c.ReadIntervalTimeout = t.readIntervalTimeout;
    c.ReadTotalTimeoutMultiplier = t.readTotalTimeoutMultiplier;
    c.ReadTotalTimeoutConstant = t.readTotalTimeoutConstant;
    c.WriteTotalTimeoutMultiplier = t.writeTotalTimeoutMultiplier;
    c.WriteTotalTimeoutConstant = t.writeTotalTimeoutConstant;
    return c;
}
