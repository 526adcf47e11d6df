// Hex text and bytes: frames and addresses are hex text inside the console
// and become bytes only at the transports. The one conversion both ways.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// 0-15 for a hex digit of either case, -1 for anything else.
int HexDigitValue(char c);

// One or two hex digits read as a number; nothing for an empty piece, a
// longer one or one holding a non-digit.
std::optional<int> HexPieceValue(std::string_view piece);

// Two upper-case digits for value's low byte.
void AppendHexByte(std::string& out, int value);

// Separators of any kind are skipped; a digit standing alone is a byte of its
// own, and pairing restarts after each byte (not aligned to even positions).
std::string HexTextToBytes(const std::string& text);
// Two upper-case digits a byte.
std::string BytesToHexText(const std::string& bytes);
