#include <gtest/gtest.h>

#include <string>

#include "ReplyRule.h"

namespace {
// Hex text to bytes, two digits a byte, for readable fixtures.
std::string Bytes(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

const std::string kRequest = "FEFEFE6805913130020068010243C3D216";  // read reading of 000230319105
const std::string kBroadcast = "FEFEFE6899999999999968010265F3C116";
const std::string kOurs = "FEFEFE6805913130020068810843C33344333333339B16";
const std::string kOursBody = "6805913130020068810843C33344333333339B16";
const std::string kOther = "FEFEFE682674151002006881036FF3B32A16";

struct FindCase {
    const char* name;
    std::string request;
    std::string received;
    bool found;
    size_t begin, end;  // in bytes; checked for found replies only
};

TEST(ReplyRule, FindsTheFirstReplyFromTheAddressedMeter) {
    const size_t ours = kOurs.size() / 2, other = kOther.size() / 2, echo = kRequest.size() / 2;
    const FindCase cases[] = {
        {"nothing yet", kRequest, "", false, 0, 0},
        {"preamble only", kRequest, "FEFEFE", false, 0, 0},
        {"whole reply, preamble included", kRequest, kOurs, true, 0, ours},
        {"no preamble", kRequest, kOursBody, true, 0, ours - 3},
        {"the echo is no reply", kRequest, kRequest, false, 0, 0},
        {"echo then reply", kRequest, kRequest + kOurs, true, echo, echo + ours},
        {"another meter is no reply", kRequest, kOther, false, 0, 0},
        {"another meter then ours", kRequest, kOther + kOurs, true, other, other + ours},
        {"the broadcast takes any meter", kBroadcast, kBroadcast + kOther, true, echo,
         echo + other},
        {"noise in front", kRequest, "0011" + kOurs, true, 2, 2 + ours},
        {"a lone byte in front", kRequest, "FF" + kOurs, true, 1, 1 + ours},
        {"a 68 that starts no frame", kRequest, "68AA" + kOurs, true, 2, 2 + ours},
        {"a stray byte after", kRequest, kOurs + "00", true, 0, ours},
        {"checksum not judged here", kRequest, "6805913130020068810843C33344333333339C16", true, 0,
         20},
        {"wrong end byte is no frame", kRequest, "6805913130020068810843C33344333333339B17", false,
         0, 0},
        {"a cut frame start before ours", kRequest, "FE6805913130" + kOurs, true, 6, 6 + ours},
        {"a request without a frame has no reply", "", kOurs, false, 0, 0},
    };
    for (const FindCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ReplyMatch m = ReplyRule::ForRequest(Bytes(c.request)).Find(Bytes(c.received));
        ASSERT_EQ(m.found, c.found);
        if (!m.found)
            continue;
        EXPECT_EQ(m.begin, c.begin);
        EXPECT_EQ(m.end, c.end);
        EXPECT_EQ(ReplyRule::ForRequest(Bytes(c.request)).ReplyEnd(Bytes(c.received)), c.end);
    }
}

TEST(ReplyRule, EveryCutShortReplyIsNoReply) {
    // A data length of 0xFF and a frame cut anywhere must neither be taken
    // nor read past the end.
    const std::string longFrame =
        "6805913130020068"
        "81"
        "FF" +
        std::string(255 * 2, '3') + "0016";
    const ReplyRule rule = ReplyRule::ForRequest(Bytes(kRequest));
    for (const std::string& hex : {kOurs, longFrame}) {
        const std::string bytes = Bytes(hex);
        for (size_t n = 0; n < bytes.size(); ++n)
            ASSERT_EQ(rule.ReplyEnd(bytes.substr(0, n)), 0u) << n;
        EXPECT_EQ(rule.ReplyEnd(bytes), bytes.size());
    }
}

struct SplitCase {
    const char* name;
    std::string received;
    bool found;
    std::string reply, skipped;  // hex
};

TEST(ReplyRule, SplitsWhatArrivedIntoReplyAndSkippedBytes) {
    const SplitCase cases[] = {
        {"reply only", kOurs, true, kOurs, ""},
        {"echo, reply and a stray byte", kRequest + kOurs + "00", true, kOurs, kRequest + "00"},
        {"other meter and noise", "AA" + kOther + kOurs, true, kOurs, "AA" + kOther},
        // No reply: whole frames that are none are taken out, so an echo
        // cannot pass the reply check; noise and cut frames stay in.
        {"echo only", kRequest, false, "", kRequest},
        {"echo and a cut reply", kRequest + "FEFE680591", false, "FEFE680591", kRequest},
        {"noise only", "0102", false, "0102", ""},
        {"noise around another meter", "01" + kOther + "02", false, "0102", kOther},
    };
    const ReplyRule rule = ReplyRule::ForRequest(Bytes(kRequest));
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ReceivedSplit split = SplitReceived(Bytes(c.received), rule);
        EXPECT_EQ(split.found, c.found);
        EXPECT_EQ(split.reply, Bytes(c.reply));
        EXPECT_EQ(split.skipped, Bytes(c.skipped));
    }
}

TEST(ReplyRule, FrameAddressIsTheWireAddress) {
    EXPECT_EQ(Bytes("059131300200"), FrameAddress(Bytes(kOurs)));
    EXPECT_EQ(Bytes("999999999999"), FrameAddress(Bytes(kBroadcast)));
    EXPECT_TRUE(FrameAddress("").empty());
    EXPECT_TRUE(FrameAddress(Bytes("FEFEFE68059131")).empty());
}
}  // namespace
