// The gateway reply finder on any bytes: whatever it reports must be a whole
// frame inside the bytes, a foreign frame must let the caller move on, and a
// frame is found only once its last byte is there (unless a shorter one
// inside it completes first).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "ReplyScan.h"

namespace {
unsigned char At(std::string_view bytes, size_t i) {
    return static_cast<unsigned char>(bytes.at(i));
}

void CheckResult(std::string_view bytes, std::string_view address, const ReplyScanResult& r) {
    if (r.kind == ReplyScanKind::kNeedMore)
        return;
    FUZZ_CHECK(r.frameStart < r.end && r.end <= bytes.size());
    // 68, six address bytes, 68, control, length L, L data bytes, checksum, 16.
    FUZZ_CHECK(r.end - r.frameStart >= 12);
    FUZZ_CHECK(At(bytes, r.frameStart) == 0x68 && At(bytes, r.frameStart + 7) == 0x68);
    FUZZ_CHECK(r.end - r.frameStart == 12u + At(bytes, r.frameStart + 9));
    FUZZ_CHECK(At(bytes, r.end - 1) == 0x16);
    const std::string_view frameAddress = bytes.substr(r.frameStart + 1, 6);
    if (r.kind == ReplyScanKind::kForeignFrame)
        FUZZ_CHECK(!address.empty() && frameAddress != address);
    else
        FUZZ_CHECK(address.empty() || frameAddress == address);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string address = input.ConsumeBool() ? std::string() : input.ConsumeBytesAsString(6);
    const size_t cut = input.ConsumeIntegral<uint16_t>();
    // An exact-size copy, so a read past the end is caught.
    const std::string owned = input.ConsumeRemainingBytesAsString();
    const std::string_view bytes = owned;

    const ReplyScanResult found = ScanReply(bytes, address);
    CheckResult(bytes, address, found);
    if (found.kind != ReplyScanKind::kNeedMore) {
        // The bytes up to the frame's end byte give the same frame. Before
        // that byte arrives, nothing that starts where it starts or earlier
        // is found (a shorter frame inside it may be).
        const ReplyScanResult upToEnd = ScanReply(bytes.substr(0, found.end), address);
        FUZZ_CHECK(upToEnd.kind == found.kind && upToEnd.frameStart == found.frameStart &&
                   upToEnd.end == found.end);
        for (const size_t shorter : {found.end - 1, cut % found.end}) {
            const ReplyScanResult early = ScanReply(bytes.substr(0, shorter), address);
            CheckResult(bytes.substr(0, shorter), address, early);
            FUZZ_CHECK(early.kind == ReplyScanKind::kNeedMore ||
                       early.frameStart > found.frameStart);
        }
    }

    // The way an exchange uses it: drop foreign frames until ours or nothing.
    std::string_view rest = bytes;
    for (size_t rounds = 0;; ++rounds) {
        FUZZ_CHECK(rounds <= bytes.size());
        const ReplyScanResult r = ScanReply(rest, address);
        CheckResult(rest, address, r);
        if (r.kind != ReplyScanKind::kForeignFrame)
            break;
        rest.remove_prefix(r.end);
    }

    const std::string_view first = FrameAddress(bytes);
    FUZZ_CHECK(first.empty() || first.size() == 6);
    if (!first.empty()) {
        const ReplyScanResult own = ScanReply(bytes, first);
        FUZZ_CHECK(own.kind == ReplyScanKind::kFrame &&
                   bytes.substr(own.frameStart + 1, 6) == first);
    }
    return 0;
}
