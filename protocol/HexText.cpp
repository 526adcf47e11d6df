#include "HexText.h"

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<int> HexPieceValue(std::string_view piece) {
    if (piece.empty() || piece.size() > 2)
        return std::nullopt;
    int value = 0;
    for (char c : piece) {
        const int digit = HexDigitValue(c);
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + digit;
    }
    return value;
}

void AppendHexByte(std::string& out, int value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out.push_back(kDigits[(value >> 4) & 0xF]);
    out.push_back(kDigits[value & 0xF]);
}

std::string HexTextToBytes(const std::string& text) {
    std::string bytes;
    size_t i = 0;
    while (i < text.size()) {
        const int high = HexDigitValue(text[i]);
        if (high < 0) {
            ++i;
            continue;
        }
        const int low = i + 1 < text.size() ? HexDigitValue(text[i + 1]) : -1;
        bytes.push_back(static_cast<char>(low < 0 ? high : high * 16 + low));
        i += 2;
    }
    return bytes;
}

std::string BytesToHexText(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char b : bytes)
        AppendHexByte(text, b);
    return text;
}
