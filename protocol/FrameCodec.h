// Frame codec of the meter bus: request frames, checksums and field access,
// all on hex text (two digits a byte, most significant digit first).
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

// A hex piece or a reading that is not a number. what() is the operator's
// message, e.g. "'$X5' is not a valid integer value".
class EConvertError : public std::runtime_error {
  public:
    explicit EConvertError(const std::string& message) : std::runtime_error(message) {}
};

// Where BuildFrame reports its failure (message, title). The window installs
// its log pane here; until then failures go nowhere.
using FrameLogSink = std::function<void(const std::string& message, const std::string& title)>;
void SetFrameLogSink(FrameLogSink sink);

std::string BuildFrame(const std::string& address, const std::string& control,
                       const std::string& length, const std::string& data);
bool VerifyChecksum(const std::string& reply, std::string& computed, std::string& received);
std::string AddressToWire(const std::string& address);
std::string EncodeDataField(const std::string& data);
std::string DecodeDataField(const std::string& field);
std::string ReverseHexBytes(const std::string& text);
std::string HexChecksum(const std::string& text);
std::string ByteToBitString(int value, int top);
std::string FrameFieldAt(const std::string& reply, int offset, int count);
