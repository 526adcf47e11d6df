#include <gtest/gtest.h>

#include <string>

#include "ReplyScan.h"
#include "HexText.h"

namespace {
const std::string kOurs = "FEFEFE6805913130020068810843C33344333333339B16";
const std::string kOursBody = "6805913130020068810843C33344333333339B16";
const std::string kOther = "FEFEFE682674151002006881036FF3B32A16";
const std::string kOurAddress = "059131300200";

struct ScanCase {
    const char* name;
    std::string bytes;
    std::string address;  // hex, wire order; empty accepts any
    ReplyScanKind kind;
    size_t frameStart, end;  // in bytes; checked for found frames only
};

TEST(ReplyScan, FindsTheReplyFrame) {
    const size_t ours = kOurs.size() / 2, other = kOther.size() / 2;
    const ScanCase cases[] = {
        {"nothing yet", "", kOurAddress, ReplyScanKind::kNeedMore, 0, 0},
        {"preamble only", "FEFEFE", kOurAddress, ReplyScanKind::kNeedMore, 0, 0},
        {"whole frame", kOurs, kOurAddress, ReplyScanKind::kFrame, 3, ours},
        {"no preamble", kOursBody, kOurAddress, ReplyScanKind::kFrame, 0, ours - 3},
        {"any address accepted", kOther, "", ReplyScanKind::kFrame, 3, other},
        {"bytes after the frame left out", kOurs + "FE68", kOurAddress, ReplyScanKind::kFrame, 3,
         ours},
        {"junk before the preamble", "0011" + kOurs, kOurAddress, ReplyScanKind::kFrame, 5,
         ours + 2},
        {"junk between preamble and start", "FEFE00" + kOursBody, kOurAddress,
         ReplyScanKind::kFrame, 3, ours},
        {"a 68 that starts no frame", "68AA" + kOurs, kOurAddress, ReplyScanKind::kFrame, 5,
         ours + 2},
        {"checksum not judged here", "6805913130020068810843C33344333333339C16", kOurAddress,
         ReplyScanKind::kFrame, 0, 20},
        {"wrong end byte is no frame", "6805913130020068810843C33344333333339B17", kOurAddress,
         ReplyScanKind::kNeedMore, 0, 0},
        {"another meter's frame", kOther + kOurs, kOurAddress, ReplyScanKind::kForeignFrame, 3,
         other},
        {"another meter's frame after junk", "00" + kOther, kOurAddress,
         ReplyScanKind::kForeignFrame, 4, other + 1},
        {"a cut-off frame start before ours", "FE6805913130" + kOurs, kOurAddress,
         ReplyScanKind::kFrame, 9, ours + 6},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = HexTextToBytes(c.bytes);
        const ReplyScanResult r = ScanReply(bytes, HexTextToBytes(c.address));
        EXPECT_EQ(r.kind, c.kind);
        if (r.kind == ReplyScanKind::kNeedMore || c.kind == ReplyScanKind::kNeedMore)
            continue;
        EXPECT_EQ(r.frameStart, c.frameStart);
        EXPECT_EQ(r.end, c.end);
    }
}

TEST(ReplyScan, EveryCutShortFrameNeedsMore) {
    // A data length of 0xFF and a frame cut anywhere must neither be taken
    // nor read past the end.
    std::string longFrame =
        "6805913130020068"
        "81"
        "FF" +
        std::string(255 * 2, '3') + "0016";
    for (const std::string& hex : {kOurs, longFrame}) {
        const std::string bytes = HexTextToBytes(hex);
        for (size_t n = 0; n < bytes.size(); ++n)
            ASSERT_EQ(ScanReply(bytes.substr(0, n), {}).kind, ReplyScanKind::kNeedMore) << n;
        EXPECT_EQ(ScanReply(bytes, {}).kind, ReplyScanKind::kFrame);
    }
}

TEST(ReplyScan, FrameAddressIsTheWireAddress) {
    EXPECT_EQ(HexTextToBytes(kOurAddress), FrameAddress(HexTextToBytes(kOurs)));
    EXPECT_EQ(HexTextToBytes("999999999999"),
              FrameAddress(HexTextToBytes("FEFEFE6899999999999968010265F3C116")));
    EXPECT_TRUE(FrameAddress("").empty());
    EXPECT_TRUE(FrameAddress(HexTextToBytes("FEFEFE68059131")).empty());
}
}  // namespace
