#include "SerialLink.h"

TComm* CommPort = nullptr;
TMYOBJ* ReceiveSink = nullptr;
bool PortOpen = false;
bool PortOpening = false;
bool ExchangeBusy = false;
bool ReplyArrived = false;
std::string ReplyText;
uint32_t LastActivityTick = 0;
int32_t ReplyTimeout = 0;

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}
}  // namespace

// Separators of any kind are skipped; a digit standing alone is a byte of its
// own, and pairing restarts after each byte (not aligned to even positions).
std::string HexTextToBytes(const std::string& text) {
    std::string bytes;
    size_t i = 0;
    while (i < text.size()) {
        const int high = HexValue(text[i]);
        if (high < 0) {
            ++i;
            continue;
        }
        const int low = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        bytes.push_back(static_cast<char>(low < 0 ? high : high * 16 + low));
        i += 2;
    }
    return bytes;
}

std::string BytesToHexText(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}
