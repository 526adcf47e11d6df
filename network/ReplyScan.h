// Finds the reply frame in the bytes a gateway delivered. Pure: no I/O, no
// state, so it can be driven with any bytes at all.
#pragma once

#include <cstddef>
#include <string_view>

enum class ReplyScanKind {
    kNeedMore,      // no complete frame yet
    kFrame,         // bytes[0, end) is the reply
    kForeignFrame,  // a complete frame for another meter ends at end: drop bytes[0, end)
};

struct ReplyScanResult {
    ReplyScanKind kind = ReplyScanKind::kNeedMore;
    size_t frameStart = 0;  // the first 0x68 of the frame
    size_t end = 0;         // one past the end byte 0x16
};

// A complete frame is 68, six address bytes, 68, control, length L, L data
// bytes, checksum, 16; the checksum is left to the reply check. The first
// complete frame in bytes wins. Whatever arrived before it stays part of the
// reply, so that a stray byte in front makes the reply check reject it rather
// than pass unnoticed.
// expectedAddress holds the six address bytes in wire order; a frame carrying
// another address is foreign. An empty expectedAddress accepts any address.
ReplyScanResult ScanReply(std::string_view bytes, std::string_view expectedAddress);

// The six wire-order address bytes of the first complete frame in bytes, or
// empty when there is none.
std::string_view FrameAddress(std::string_view bytes);
