#include "ReplyRule.h"

namespace {
constexpr unsigned char kStart = 0x68;
constexpr unsigned char kEnd = 0x16;
constexpr unsigned char kPreamble = 0xFE;
constexpr unsigned char kReplyBit = 0x80;
constexpr size_t kAddressSize = 6;
constexpr size_t kControlAt = 8;    // from the first 68
constexpr size_t kHeaderSize = 10;  // 68, address, 68, control, length
constexpr size_t kTrailerSize = 2;  // checksum, end

const std::string kAllNines(kAddressSize, '\x99');

unsigned char ByteAt(std::string_view bytes, size_t i) {
    return static_cast<unsigned char>(bytes[i]);
}
}  // namespace

size_t CompleteFrameAt(std::string_view bytes, size_t i) {
    if (i >= bytes.size() || bytes.size() - i < kHeaderSize || ByteAt(bytes, i) != kStart ||
        ByteAt(bytes, i + 1 + kAddressSize) != kStart)
        return 0;
    const size_t length = kHeaderSize + ByteAt(bytes, i + kHeaderSize - 1) + kTrailerSize;
    if (bytes.size() - i < length || ByteAt(bytes, i + length - 1) != kEnd)
        return 0;
    return length;
}

std::string_view FrameAddress(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size(); ++i)
        if (CompleteFrameAt(bytes, i) != 0)
            return bytes.substr(i + 1, kAddressSize);
    return {};
}

ReplyRule ReplyRule::ForRequest(std::string_view requestBytes) {
    const std::string_view address = FrameAddress(requestBytes);
    if (address.empty())
        return {};
    return ForAddress(address == kAllNines ? std::string_view() : address);
}

ReplyRule ReplyRule::ForAddress(std::string_view wireAddress) {
    ReplyRule rule;
    rule.accept_ = wireAddress.empty() ? Accept::AnyAddress : Accept::Address;
    rule.address_ = std::string(wireAddress);
    return rule;
}

ReplyMatch ReplyRule::Find(std::string_view bytes) const {
    if (accept_ == Accept::Nothing)
        return {};
    // Every offset is tried, not only the ends of skipped frames: a stray 68
    // in front must not hide the reply inside a frame it seems to start.
    for (size_t i = 0; i < bytes.size(); ++i) {
        const size_t length = CompleteFrameAt(bytes, i);
        if (length == 0 || (ByteAt(bytes, i + kControlAt) & kReplyBit) == 0)
            continue;
        if (accept_ == Accept::Address && bytes.substr(i + 1, kAddressSize) != address_)
            continue;
        ReplyMatch match{true, i, i, i + length};
        while (match.begin > 0 && ByteAt(bytes, match.begin - 1) == kPreamble)
            --match.begin;
        return match;
    }
    return {};
}

size_t ReplyRule::ReplyEnd(std::string_view bytes) const {
    const ReplyMatch match = Find(bytes);
    return match.found ? match.end : 0;
}

ReceivedSplit SplitReceived(std::string_view bytes, const ReplyRule& rule) {
    ReceivedSplit split;
    if (const ReplyMatch match = rule.Find(bytes); match.found) {
        split.found = true;
        split.reply = bytes.substr(match.begin, match.end - match.begin);
        split.skipped =
            std::string(bytes.substr(0, match.begin)) + std::string(bytes.substr(match.end));
        return split;
    }
    for (size_t i = 0; i < bytes.size();) {
        if (const size_t length = CompleteFrameAt(bytes, i)) {
            size_t begin = i;
            while (begin > 0 && split.reply.size() > 0 &&
                   static_cast<unsigned char>(split.reply.back()) == kPreamble &&
                   ByteAt(bytes, begin - 1) == kPreamble) {
                split.reply.pop_back();
                --begin;
            }
            split.skipped.append(bytes.substr(begin, i + length - begin));
            i += length;
            continue;
        }
        split.reply.push_back(bytes[i]);
        ++i;
    }
    return split;
}
