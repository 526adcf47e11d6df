#include "PosixTermios.h"

#include <array>
#include <utility>

std::optional<speed_t> StandardSpeed(uint32_t baudRate) {
    static constexpr std::array<std::pair<uint32_t, speed_t>, 30> kSpeeds{{
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    }};
    for (const auto& [rate, speed] : kSpeeds)
        if (rate == baudRate)
            return speed;
    return std::nullopt;
}

bool BuildTermios(termios& t, const LineSettings& s) {
    // Input: no translation, no stripping; errors are marked in the stream
    // (\377 \0 X) so the receive thread can report them and still deliver X.
    // A break is marked too (neither IGNBRK nor BRKINT).
    t.c_iflag = INPCK | PARMRK;
    if (s.outxXonXoffFlow)
        t.c_iflag |= IXON;
    if (s.inxXonXoffFlow)
        t.c_iflag |= IXOFF;
    // No equivalent on Linux for the flow thresholds (XonLimit, XoffLimit),
    // TxContinueOnXoff, DSR output flow and DSR sensitivity: left out.

    t.c_oflag = 0;
    t.c_lflag = 0;

    // Keep only the speed bits; the rest of the control word is rebuilt.
    t.c_cflag &= CBAUD | CIBAUD;
    t.c_cflag |= CREAD | CLOCAL | HUPCL;  // HUPCL: DTR drops when the port closes
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[static_cast<int>(s.byteSize) & 3];
    switch (s.parity) {
        case TParity::None:
            break;
        case TParity::Odd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case TParity::Even:
            t.c_cflag |= PARENB;
            break;
        case TParity::Mark:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case TParity::Space:
            t.c_cflag |= PARENB | CMSPAR;
            break;
    }
    // One and a half stop bits: the UART sends 1.5 for five data bits when
    // asked for two, which is all termios can say.
    if (s.stopBits != TStopBits::_1)
        t.c_cflag |= CSTOPB;
    // RTS/CTS is one setting here: CTS holds output, RTS throttles input.
    if (s.outxCtsFlow || s.rtsControl == TRtsControl::RtsHandshake)
        t.c_cflag |= CRTSCTS;

    t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    if (s.baudRate == 0)
        return true;
    if (auto speed = StandardSpeed(s.baudRate)) {
        cfsetispeed(&t, *speed);
        cfsetospeed(&t, *speed);
        return true;
    }
    return false;
}
