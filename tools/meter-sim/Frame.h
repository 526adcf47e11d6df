// DL/T 645-1997 frames as raw bytes: building replies and cutting requests out
// of a byte stream that may arrive in pieces, with preambles and line noise.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace metersim {

using Bytes = std::vector<std::uint8_t>;
// The six address bytes as they travel: least significant digit pair first.
using WireAddress = std::array<std::uint8_t, 6>;

inline constexpr std::uint8_t kFrameStart = 0x68;
inline constexpr std::uint8_t kFrameEnd = 0x16;
inline constexpr std::uint8_t kPreambleByte = 0xFE;
// Data bytes travel with this added, modulo 256.
inline constexpr std::uint8_t kDataOffset = 0x33;

struct Frame {
    WireAddress address{};
    std::uint8_t control = 0;
    Bytes data;  // wire form: offset by 0x33, least significant byte first
};

// Sum modulo 256.
std::uint8_t Checksum(const std::uint8_t* begin, const std::uint8_t* end);

// 68 A0..A5 68 C L DATA CS 16, without preamble. The length byte is the data size.
Bytes EncodeFrame(const Frame& frame);

// "000230319105" -> {05 91 31 30 02 00}. Expects 12 decimal digits.
WireAddress AddressToWire(const std::string& digits);
// The inverse; nibbles above 9 show as hex letters.
std::string AddressFromWire(const WireAddress& wire);

std::string ToHex(const Bytes& bytes);

// Cuts frames out of one connection's byte stream. A meter does not answer
// what it cannot trust, so frames with a bad checksum or end byte are reported
// as rejected and otherwise dropped.
class FrameReader {
  public:
    enum class Kind { Frame, BadChecksum, BadEnd };
    struct Event {
        Kind kind;
        Bytes raw;    // the frame's bytes from its first 68 to its last byte
        Frame frame;  // valid for Kind::Frame only
    };

    // A partial frame older than this is line noise, not the start of a request:
    // without the reset one truncated frame would swallow the next request.
    static constexpr std::int64_t kStaleAfterMs = 500;

    // Appends bytes received at nowMs and returns what became complete.
    std::vector<Event> Feed(const std::uint8_t* data, std::size_t size, std::int64_t nowMs);
    std::vector<Event> Feed(const Bytes& bytes, std::int64_t nowMs) {
        return Feed(bytes.data(), bytes.size(), nowMs);
    }

    std::size_t Pending() const { return buffer_.size(); }

  private:
    Bytes buffer_;
    std::int64_t lastByteMs_ = 0;
};

}  // namespace metersim
