// The reply rule on any bytes: it never reads past them, what it picks is a
// whole frame with the reply bit from the addressed meter (any meter for the
// all-nines request), nothing of the kind starts earlier, it picks the same
// frame once more bytes follow, and the split keeps every byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "ReplyRule.h"

namespace {
unsigned char At(std::string_view bytes, size_t i) {
    return static_cast<unsigned char>(bytes.at(i));
}

// A reply by the rule's definition, judged here from scratch.
bool IsReplyAt(std::string_view bytes, size_t i, std::string_view address) {
    if (i + 12 > bytes.size() || At(bytes, i) != 0x68 || At(bytes, i + 7) != 0x68)
        return false;
    const size_t length = 12u + At(bytes, i + 9);
    if (i + length > bytes.size() || At(bytes, i + length - 1) != 0x16)
        return false;
    return (At(bytes, i + 8) & 0x80) && (address.empty() || bytes.substr(i + 1, 6) == address);
}

// A read-reading request to `address` (six wire bytes), checksum and all.
std::string Request(const std::string& address) {
    std::string frame = "\xFE\xFE\xFE\x68" + address + "\x68\x01\x02\x43\xC3";
    unsigned sum = 0;
    for (size_t i = 3; i < frame.size(); ++i)
        sum += static_cast<unsigned char>(frame[i]);
    frame.push_back(static_cast<char>(sum & 0xFF));
    frame.push_back('\x16');
    return frame;
}

void Check(std::string_view bytes, std::string_view address, const ReplyRule& rule) {
    const ReplyMatch m = rule.Find(bytes);
    size_t first = bytes.size();
    for (size_t i = 0; i < bytes.size() && first == bytes.size(); ++i)
        if (IsReplyAt(bytes, i, address))
            first = i;
    FUZZ_CHECK(m.found == (first < bytes.size()));
    FUZZ_CHECK(rule.ReplyEnd(bytes) == (m.found ? m.end : 0));
    const ReceivedSplit split = SplitReceived(bytes, rule);
    FUZZ_CHECK(split.found == m.found);
    FUZZ_CHECK(split.reply.size() + split.skipped.size() == bytes.size());
    if (!m.found)
        return;
    FUZZ_CHECK(m.frameStart == first);
    FUZZ_CHECK(m.begin <= m.frameStart && m.frameStart < m.end && m.end <= bytes.size());
    FUZZ_CHECK(m.end - m.frameStart == 12u + At(bytes, m.frameStart + 9));
    for (size_t i = m.begin; i < m.frameStart; ++i)
        FUZZ_CHECK(At(bytes, i) == 0xFE);
    FUZZ_CHECK(m.begin == 0 || At(bytes, m.begin - 1) != 0xFE);
    FUZZ_CHECK(split.reply == bytes.substr(m.begin, m.end - m.begin));

    // Before its end byte is there nothing starting where it starts is a
    // reply; with it, the same reply is found.
    const ReplyMatch upToEnd = rule.Find(bytes.substr(0, m.end));
    FUZZ_CHECK(upToEnd.found && upToEnd.frameStart == m.frameStart && upToEnd.end == m.end);
    const ReplyMatch cut = rule.Find(bytes.substr(0, m.end - 1));
    FUZZ_CHECK(!cut.found || cut.frameStart > m.frameStart);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const bool broadcast = input.ConsumeBool();
    const std::string address = broadcast ? std::string(6, '\x99') : input.ConsumeBytesAsString(6);
    if (address.size() != 6)
        return 0;
    // An exact-size copy, so a read past the end is caught.
    const std::string owned = input.ConsumeRemainingBytesAsString();
    const std::string_view bytes = owned;

    const std::string expected = address == std::string(6, '\x99') ? std::string() : address;
    Check(bytes, expected, ReplyRule::ForRequest(Request(address)));
    Check(bytes, expected, ReplyRule::ForAddress(expected));
    // The echo of the request in front never hides the reply.
    const std::string echoed = Request(address) + owned;
    const ReplyMatch alone = ReplyRule::ForAddress(expected).Find(bytes);
    const ReplyMatch behindEcho = ReplyRule::ForAddress(expected).Find(echoed);
    if (alone.found)
        FUZZ_CHECK(behindEcho.found &&
                   behindEcho.frameStart <= alone.frameStart + Request(address).size());
    // A request that holds no frame has no reply at all.
    FUZZ_CHECK(!ReplyRule::ForRequest(std::string_view(owned).substr(0, 11)).Find(bytes).found);
    return 0;
}
