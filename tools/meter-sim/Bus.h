// The simulated meters and what they put on the line in answer to a request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Frame.h"

namespace metersim {

enum class FaultKind {
    Silent,       // no reply at all
    Delay,        // answer `value` ms later than usual
    Split,        // reply in two halves with `value` ms between them
    LoneByte,     // a lone 00 byte, then the reply `value` ms later
    BadChecksum,  // checksum off by one
    Control,      // reply carries control code `value`
    Refuse,       // valve writes refused with failure code `value`
    Foreign,      // reply carries the address `other`
    NonDecimal,   // reading digits that are not decimal
    Noise,        // `bytes` in front of the reply, in the same burst
    Trail,        // `bytes` right after the reply, in the same burst
};

struct Fault {
    FaultKind kind = FaultKind::Silent;
    int value = 0;
    std::string other;     // Foreign only: 12 digits
    Bytes bytes;           // Noise and Trail only
    unsigned onlyNth = 0;  // 0: every request; n: only the meter's n-th request
};

struct Meter {
    std::string address;        // 12 decimal digits
    std::uint32_t reading = 0;  // hundredths of a ton, at most 99999999
    std::uint8_t status = 0;    // bit 7 is replaced by the valve position when one is fitted
    bool hasValve = true;
    bool valveClosed = false;
    std::uint8_t level = 0x02;
    std::string password = "250913";  // six hex digits as the console sends them
    std::vector<Fault> faults;
    unsigned requests = 0;  // frames addressed to this meter so far
};

// The three meters a bus starts with unless told otherwise.
std::vector<Meter> DefaultMeters();

struct Timing {
    int baud = 0;     // 0: no wire-time pacing
    int delayMs = 0;  // the meters' answer time
};

// Bytes to write `atMs` after the request arrived.
struct Segment {
    std::int64_t atMs = 0;
    Bytes bytes;
};
using Transmission = std::vector<Segment>;

// Wire time of `count` bytes at 8-E-1 (11 bits a byte), rounded up.
std::int64_t WireTimeMs(std::size_t count, int baud);

class Bus {
  public:
    static constexpr int kPreambleLength = 3;
    // DL/T 645-1997 error-reply bits and the valve refusal codes.
    static constexpr std::uint8_t kErrIllegalData = 0x01;
    static constexpr std::uint8_t kErrUnknownIdentifier = 0x02;
    static constexpr std::uint8_t kRefusedPassword = 0x04;
    static constexpr std::uint8_t kRefusedNoValve = 0x02;

    Bus(std::vector<Meter> meters, Timing timing);

    // What the bus puts on the line for one valid request; empty for silence.
    // Meter state (valve position, request counts) changes as a real bus would.
    Transmission Handle(const Frame& request);

    const std::vector<Meter>& Meters() const { return meters_; }
    const Timing& GetTiming() const { return timing_; }

  private:
    struct Part {
        std::int64_t gapMs;  // silence before these bytes
        Bytes bytes;
    };
    // One meter's answer as parts in line order; empty when it stays silent.
    std::vector<Part> Answer(Meter& meter, const Frame& request);
    Transmission Pace(const std::vector<Part>& parts) const;

    std::vector<Meter> meters_;
    Timing timing_;
};

}  // namespace metersim
