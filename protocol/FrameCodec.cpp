#include "FrameCodec.h"

#include "HexText.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace {

FrameLogSink& LogSink() {
    static FrameLogSink sink;
    return sink;
}

// A piece of the pair walk: one or two characters read as a hex number.
// The message names the piece the way the operator typed it, with "$".
int PieceValue(std::string_view piece) {
    const std::optional<int> value = HexPieceValue(piece);
    if (!value)
        throw EConvertError("'$" + std::string(piece) + "' is not a valid integer value");
    return *value;
}

// Pieces at 0, 2, 4, ... emitted last to first; an odd text's lone last
// character therefore comes out first.
template <typename Emit>
void WalkPiecesBackwards(std::string_view text, Emit emit) {
    if (text.empty())
        return;
    size_t start = (text.size() - 1) / 2 * 2;
    for (;;) {
        emit(text.substr(start, 2));
        if (start == 0)
            break;
        start -= 2;
    }
}

std::string OffsetPieces(const std::string& text, int delta) {
    std::string out;
    out.reserve(text.size() + 1);
    WalkPiecesBackwards(text, [&](std::string_view piece) {
        AppendHexByte(out, (PieceValue(piece) + delta + 256) % 256);
    });
    return out;
}

bool StartsWithNoCase(std::string_view s, char upperFirst, char upperSecond) {
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    return s.size() >= 2 && upper(s[0]) == upperFirst && upper(s[1]) == upperSecond;
}

}  // namespace

void SetFrameLogSink(FrameLogSink sink) {
    LogSink() = std::move(sink);
}

std::string BuildFrame(const std::string& address, const std::string& control,
                       const std::string& length, const std::string& data) {
    try {
        const std::string encoded = EncodeDataField(data);
        const std::string wire = AddressToWire(address);
        const std::string body = "68" + wire + "68" + control + length + encoded;
        const std::string checksum = HexChecksum(body);
        return "FEFEFE" + body + checksum + "16";
    } catch (const std::exception& e) {
        // The caller goes on with the empty frame; the operator learns why from the log.
        if (LogSink())
            LogSink()(e.what(), "");
        return "";
    }
}

bool VerifyChecksum(const std::string& reply, std::string& computed, std::string& received) {
    std::string_view rest(reply);
    while (StartsWithNoCase(rest, 'F', 'E'))
        rest.remove_prefix(2);
    // Blanks are tolerated only inside the frame, never before its start byte.
    if (!StartsWithNoCase(rest, '6', '8'))
        return false;

    std::string s;
    s.reserve(rest.size());
    for (char c : rest)
        if (c != ' ')
            s.push_back(c);
    if (s.size() < 4 || s.compare(s.size() - 2, 2, "16") != 0)
        return false;

    const std::string receivedPair = s.substr(s.size() - 4, 2);
    const size_t pieces = s.size() / 2 - 2;
    unsigned sum = 0;
    for (size_t i = 0; i < pieces; ++i)
        sum += static_cast<unsigned>(PieceValue(std::string_view(s).substr(2 * i, 2)));
    std::string computedPair;
    AppendHexByte(computedPair, static_cast<int>(sum % 256));

    computed = computedPair;
    received = receivedPair;
    return computedPair == receivedPair;
}

std::string AddressToWire(const std::string& address) {
    const std::string padded = "000000000000" + address;
    const std::string t = padded.substr(padded.size() - 12);
    std::string wire;
    wire.reserve(12);
    for (int pair = 5; pair >= 0; --pair)
        wire.append(t, static_cast<size_t>(pair) * 2, 2);
    return wire;
}

std::string EncodeDataField(const std::string& data) {
    return OffsetPieces(data, 0x33);
}

std::string DecodeDataField(const std::string& field) {
    return OffsetPieces(field, -0x33);
}

std::string ReverseHexBytes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    WalkPiecesBackwards(text, [&](std::string_view piece) { out.append(piece); });
    return out;
}

std::string HexChecksum(const std::string& text) {
    unsigned sum = 0;
    const std::string_view view(text);
    for (size_t i = 0; i < view.size(); i += 2)
        sum += static_cast<unsigned>(PieceValue(view.substr(i, 2)));
    std::string out;
    AppendHexByte(out, static_cast<int>(sum % 256));
    return out;
}

std::string ByteToBitString(int value, int top) {
    if (top < 0)
        return "";
    const uint32_t bits = static_cast<uint32_t>(value);
    std::string out;
    out.reserve(static_cast<size_t>(top) + 1);
    for (int k = 0; k <= top; ++k) {
        // Beyond bit 31 the two's complement continues with the sign bit.
        const int shift = k < 31 ? k : 31;
        out.push_back(((bits >> shift) & 1U) ? '1' : '0');
    }
    return out;
}

std::string FrameFieldAt(const std::string& reply, int offset, int count) {
    size_t start = std::string::npos;
    for (size_t i = 0; i + 1 < reply.size(); i += 2) {
        if (reply[i] == '6' && reply[i + 1] == '8') {
            start = i;
            break;
        }
    }
    if (start == std::string::npos || count <= 0)
        return "";
    const int64_t from = static_cast<int64_t>(start) + offset;
    if (from < 0 || from >= static_cast<int64_t>(reply.size()))
        return "";
    return reply.substr(static_cast<size_t>(from), static_cast<size_t>(count));
}
