// The line settings as the Windows driver receives them.
#include "Win32Dcb.h"

#include <gtest/gtest.h>

namespace {
// What a driver might hand back before the settings are applied.
DCB Used() {
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = 1200;
    d.fAbortOnError = TRUE;
    d.fOutX = d.fInX = TRUE;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.ByteSize = 7;
    d.Parity = ODDPARITY;
    d.EofChar = 0x1A;
    d.EvtChar = 0x7E;
    return d;
}

template <typename Change>
LineSettings With(Change change) {
    LineSettings s;
    change(s);
    return s;
}
}  // namespace

TEST(Win32Dcb, LineSettingsBecomeTheDeviceControlBlock) {
    struct Case {
        const char* what;
        LineSettings s;
        DWORD baud;
        BYTE byteSize, parity, stopBits;
        DWORD outX, inX, dtr, rts;
    };
    const Case cases[] = {
        {"defaults: 9600 8N1, XON/XOFF both ways",
         {},
         9600,
         8,
         NOPARITY,
         ONESTOPBIT,
         1,
         1,
         DTR_CONTROL_ENABLE,
         RTS_CONTROL_ENABLE},
        {"the console's line: 8E1, no flow control", With([](auto& s) {
             s.baudRate = 2400;
             s.parity = TParity::Even;
             s.outxXonXoffFlow = s.inxXonXoffFlow = false;
         }),
         2400, 8, EVENPARITY, ONESTOPBIT, 0, 0, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
        {"odd, 7 bits, 2 stop, lines lowered", With([](auto& s) {
             s.baudRate = 19200;
             s.parity = TParity::Odd;
             s.byteSize = TByteSize::_7;
             s.stopBits = TStopBits::_2;
             s.dtrControl = TDtrControl::DtrDisable;
             s.rtsControl = TRtsControl::RtsDisable;
         }),
         19200, 7, ODDPARITY, TWOSTOPBITS, 1, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
        {"mark, 5 bits, 1.5 stop, handshakes", With([](auto& s) {
             s.baudRate = 600;
             s.parity = TParity::Mark;
             s.byteSize = TByteSize::_5;
             s.stopBits = TStopBits::_1_5;
             s.dtrControl = TDtrControl::DtrHandshake;
             s.rtsControl = TRtsControl::RtsHandshake;
             s.inxXonXoffFlow = false;
         }),
         600, 5, MARKPARITY, ONE5STOPBITS, 1, 0, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE},
        {"space, 6 bits, RTS while sending", With([](auto& s) {
             s.parity = TParity::Space;
             s.byteSize = TByteSize::_6;
             s.rtsControl = TRtsControl::RtsTransmissionAvailable;
             s.outxXonXoffFlow = false;
         }),
         9600, 6, SPACEPARITY, ONESTOPBIT, 0, 1, DTR_CONTROL_ENABLE, RTS_CONTROL_TOGGLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DCB d = Used();
        BuildDcb(d, c.s);
        EXPECT_EQ(d.DCBlength, sizeof(DCB));
        EXPECT_EQ(d.BaudRate, c.baud);
        EXPECT_EQ(d.ByteSize, c.byteSize);
        EXPECT_EQ(d.Parity, c.parity);
        EXPECT_EQ(d.StopBits, c.stopBits);
        EXPECT_EQ(d.fOutX, c.outX);
        EXPECT_EQ(d.fInX, c.inX);
        EXPECT_EQ(d.fDtrControl, c.dtr);
        EXPECT_EQ(d.fRtsControl, c.rts);
        EXPECT_EQ(d.fBinary, 1u);
        EXPECT_EQ(d.fAbortOnError, 0u) << "a line error must not stall the port";
        EXPECT_EQ(d.EofChar, 0x1A) << "kept from the device";
        EXPECT_EQ(d.EvtChar, 0x7E) << "kept from the device";
    }
}

TEST(Win32Dcb, EveryOtherFlagFollowsItsProperty) {
    DCB d = Used();
    BuildDcb(d, {});
    EXPECT_EQ(d.fParity, 0u);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
    EXPECT_EQ(d.fOutxDsrFlow, 0u);
    EXPECT_EQ(d.fDsrSensitivity, 0u);
    EXPECT_EQ(d.fTXContinueOnXoff, 1u);
    EXPECT_EQ(d.fErrorChar, 0u);
    EXPECT_EQ(d.fNull, 0u);
    EXPECT_EQ(d.XonLim, 500);
    EXPECT_EQ(d.XoffLim, 500);
    EXPECT_EQ(d.XonChar, 17);
    EXPECT_EQ(d.XoffChar, 19);
    EXPECT_EQ(d.ErrorChar, 0);

    BuildDcb(d, With([](auto& s) {
                 s.parityCheck = s.outxCtsFlow = s.outxDsrFlow = s.dsrSensitivity = true;
                 s.txContinueOnXoff = false;
                 s.replaceWhenParityError = s.ignoreNullChar = true;
                 s.xonLimit = 100;
                 s.xoffLimit = 3000;
                 s.xonChar = 'Q';
                 s.xoffChar = 'S';
                 s.replacedChar = '?';
             }));
    EXPECT_EQ(d.fParity, 1u);
    EXPECT_EQ(d.fOutxCtsFlow, 1u);
    EXPECT_EQ(d.fOutxDsrFlow, 1u);
    EXPECT_EQ(d.fDsrSensitivity, 1u);
    EXPECT_EQ(d.fTXContinueOnXoff, 0u);
    EXPECT_EQ(d.fErrorChar, 1u);
    EXPECT_EQ(d.fNull, 1u);
    EXPECT_EQ(d.XonLim, 100);
    EXPECT_EQ(d.XoffLim, 3000);
    EXPECT_EQ(d.XonChar, 'Q');
    EXPECT_EQ(d.XoffChar, 'S');
    EXPECT_EQ(d.ErrorChar, '?');
}

TEST(Win32Dcb, TimeOutsKeepTheirOrder) {
    const COMMTIMEOUTS c = ToCommTimeouts({100, 1, 2, 3, 4});
    EXPECT_EQ(c.ReadIntervalTimeout, 100u);
    EXPECT_EQ(c.ReadTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(c.ReadTotalTimeoutConstant, 2u);
    EXPECT_EQ(c.WriteTotalTimeoutMultiplier, 3u);
    EXPECT_EQ(c.WriteTotalTimeoutConstant, 4u);
}
