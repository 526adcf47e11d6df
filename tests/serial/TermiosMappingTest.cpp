#include "PosixTermios.h"

#include <gtest/gtest.h>

namespace {
termios Cooked() {
    termios t{};
    t.c_iflag = ICRNL | IXON | IGNPAR | ISTRIP | BRKINT;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | CREAD;
    t.c_cc[VEOF] = 4;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 5;
    cfsetispeed(&t, B1200);
    cfsetospeed(&t, B1200);
    return t;
}
}  // namespace

TEST(TermiosMapping, LineSettingsBecomeRawTermios) {
    struct Case {
        const char* what;
        LineSettings s;
        tcflag_t cflag;  // the bits under test below
        tcflag_t iflag;
        speed_t speed;
    };
    auto with = [](auto change) {
        LineSettings s;
        change(s);
        return s;
    };
    const tcflag_t kMarks = INPCK | PARMRK;
    const Case cases[] = {
        {"defaults: 8N1, XON/XOFF both ways", {}, CS8, kMarks | IXON | IXOFF, B9600},
        {"the console's line: 8E1, no flow control", with([](auto& s) {
             s.parity = TParity::Even;
             s.outxXonXoffFlow = s.inxXonXoffFlow = false;
             s.baudRate = 2400;
         }),
         CS8 | PARENB, kMarks, B2400},
        {"odd, 7 bits, 2 stop", with([](auto& s) {
             s.parity = TParity::Odd;
             s.byteSize = TByteSize::_7;
             s.stopBits = TStopBits::_2;
         }),
         CS7 | PARENB | PARODD | CSTOPB, kMarks | IXON | IXOFF, B9600},
        {"mark parity, 5 bits, 1.5 stop", with([](auto& s) {
             s.parity = TParity::Mark;
             s.byteSize = TByteSize::_5;
             s.stopBits = TStopBits::_1_5;
         }),
         CS5 | PARENB | PARODD | CMSPAR | CSTOPB, kMarks | IXON | IXOFF, B9600},
        {"space parity, 6 bits, output XON/XOFF only", with([](auto& s) {
             s.parity = TParity::Space;
             s.byteSize = TByteSize::_6;
             s.inxXonXoffFlow = false;
         }),
         CS6 | PARENB | CMSPAR, kMarks | IXON, B9600},
        {"CTS output flow", with([](auto& s) { s.outxCtsFlow = true; }), CS8 | CRTSCTS,
         kMarks | IXON | IXOFF, B9600},
        {"RTS input handshake", with([](auto& s) {
             s.rtsControl = TRtsControl::RtsHandshake;
             s.baudRate = 115200;
         }),
         CS8 | CRTSCTS, kMarks | IXON | IXOFF, B115200},
    };
    const tcflag_t cMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    const tcflag_t iMask = INPCK | PARMRK | IXON | IXOFF | IXANY | IGNPAR | ISTRIP | ICRNL | INLCR |
                           IGNCR | IGNBRK | BRKINT;
    for (const auto& c : cases) {
        termios t = Cooked();
        EXPECT_TRUE(BuildTermios(t, c.s)) << c.what;
        EXPECT_EQ(t.c_cflag & cMask, c.cflag) << c.what;
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL)) << c.what;
        EXPECT_EQ(t.c_iflag & iMask, c.iflag) << c.what;
        EXPECT_EQ(t.c_oflag, 0u) << c.what;
        EXPECT_EQ(t.c_lflag, 0u) << c.what;
        EXPECT_EQ(cfgetospeed(&t), c.speed) << c.what;
        EXPECT_EQ(cfgetispeed(&t), c.speed) << c.what;
        EXPECT_EQ(t.c_cc[VSTART], c.s.xonChar) << c.what;
        EXPECT_EQ(t.c_cc[VSTOP], c.s.xoffChar) << c.what;
        EXPECT_EQ(t.c_cc[VMIN], 1) << c.what;
        EXPECT_EQ(t.c_cc[VTIME], 0) << c.what;
        EXPECT_EQ(t.c_cc[VEOF], 4) << c.what;  // left as the device had it
    }
}

TEST(TermiosMapping, RatesWithoutAConstantOrZeroKeepTheSpeed) {
    for (uint32_t rate : {0u, 12345u, 250000u}) {
        LineSettings s;
        s.baudRate = rate;
        termios t = Cooked();
        EXPECT_EQ(BuildTermios(t, s), rate == 0) << rate;
        EXPECT_EQ(cfgetospeed(&t), speed_t(B1200)) << rate;
    }
    EXPECT_EQ(StandardSpeed(600), speed_t(B600));
    EXPECT_EQ(StandardSpeed(19200), speed_t(B19200));
    EXPECT_FALSE(StandardSpeed(0));
    EXPECT_FALSE(StandardSpeed(9601));
}
