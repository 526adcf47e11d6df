#include "Frame.h"

#include <algorithm>
#include <cctype>

namespace metersim {

namespace {
constexpr std::size_t kHeaderSize = 10;  // 68 A0..A5 68 C L
constexpr std::size_t kTrailerSize = 2;  // CS 16
}  // namespace

std::uint8_t Checksum(const std::uint8_t* begin, const std::uint8_t* end) {
    unsigned sum = 0;
    for (const std::uint8_t* p = begin; p != end; ++p)
        sum += *p;
    return static_cast<std::uint8_t>(sum & 0xFF);
}

Bytes EncodeFrame(const Frame& frame) {
    Bytes out;
    out.reserve(kHeaderSize + frame.data.size() + kTrailerSize);
    out.push_back(kFrameStart);
    out.insert(out.end(), frame.address.begin(), frame.address.end());
    out.push_back(kFrameStart);
    out.push_back(frame.control);
    out.push_back(static_cast<std::uint8_t>(frame.data.size()));
    out.insert(out.end(), frame.data.begin(), frame.data.end());
    out.push_back(Checksum(out.data(), out.data() + out.size()));
    out.push_back(kFrameEnd);
    return out;
}

WireAddress AddressToWire(const std::string& digits) {
    WireAddress wire{};
    for (std::size_t i = 0; i < 6 && 2 * i + 1 < digits.size(); ++i) {
        const int hi = digits[2 * i] - '0';
        const int lo = digits[2 * i + 1] - '0';
        wire[5 - i] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    return wire;
}

std::string AddressFromWire(const WireAddress& wire) {
    return ToHex(Bytes(wire.rbegin(), wire.rend()));
}

std::string ToHex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

std::vector<FrameReader::Event> FrameReader::Feed(const std::uint8_t* data, std::size_t size,
                                                  std::int64_t nowMs) {
    if (!buffer_.empty() && nowMs - lastByteMs_ > kStaleAfterMs)
        buffer_.clear();
    if (size > 0)
        lastByteMs_ = nowMs;
    buffer_.insert(buffer_.end(), data, data + size);

    std::vector<Event> events;
    std::size_t pos = 0;
    for (;;) {
        // Preamble bytes and noise before a start byte are not part of any frame.
        while (pos < buffer_.size() && buffer_[pos] != kFrameStart)
            ++pos;
        if (buffer_.size() - pos < kHeaderSize)
            break;
        if (buffer_[pos + 7] != kFrameStart) {
            ++pos;  // a stray 68, look for the next one
            continue;
        }
        const std::size_t total = kHeaderSize + buffer_[pos + 9] + kTrailerSize;
        if (buffer_.size() - pos < total)
            break;
        const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(pos);
        Event event{Kind::Frame, Bytes(first, first + static_cast<std::ptrdiff_t>(total)), {}};
        const Bytes& raw = event.raw;
        if (raw.back() != kFrameEnd) {
            // The length byte may be the broken part: resynchronise on the next
            // byte rather than skipping a length we cannot trust.
            event.kind = Kind::BadEnd;
            ++pos;
        } else if (Checksum(raw.data(), raw.data() + total - 2) != raw[total - 2]) {
            event.kind = Kind::BadChecksum;
            pos += total;
        } else {
            std::copy(raw.begin() + 1, raw.begin() + 7, event.frame.address.begin());
            event.frame.control = raw[8];
            event.frame.data.assign(raw.begin() + kHeaderSize, raw.end() - kTrailerSize);
            pos += total;
        }
        events.push_back(std::move(event));
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos));
    return events;
}

}  // namespace metersim
