#include "ReplyScan.h"

namespace {
constexpr unsigned char kStart = 0x68;
constexpr unsigned char kEnd = 0x16;
constexpr size_t kAddressSize = 6;
constexpr size_t kHeaderSize = 10;  // 68, address, 68, control, length
constexpr size_t kTrailerSize = 2;  // checksum, end

unsigned char ByteAt(std::string_view bytes, size_t i) {
    return static_cast<unsigned char>(bytes[i]);
}

// Length of the complete frame starting at i, or 0 when none starts there (yet).
size_t CompleteFrameAt(std::string_view bytes, size_t i) {
    if (bytes.size() - i < kHeaderSize || ByteAt(bytes, i) != kStart ||
        ByteAt(bytes, i + 1 + kAddressSize) != kStart)
        return 0;
    const size_t length = kHeaderSize + ByteAt(bytes, i + kHeaderSize - 1) + kTrailerSize;
    if (bytes.size() - i < length || ByteAt(bytes, i + length - 1) != kEnd)
        return 0;
    return length;
}
}  // namespace

ReplyScanResult ScanReply(std::string_view bytes, std::string_view expectedAddress) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        const size_t length = CompleteFrameAt(bytes, i);
        if (length == 0)
            continue;
        ReplyScanResult result;
        result.frameStart = i;
        result.end = i + length;
        const bool foreign =
            !expectedAddress.empty() && bytes.substr(i + 1, kAddressSize) != expectedAddress;
        result.kind = foreign ? ReplyScanKind::kForeignFrame : ReplyScanKind::kFrame;
        return result;
    }
    return {};
}

std::string_view FrameAddress(std::string_view bytes) {
    const ReplyScanResult found = ScanReply(bytes, {});
    if (found.kind != ReplyScanKind::kFrame)
        return {};
    return bytes.substr(found.frameStart + 1, kAddressSize);
}
