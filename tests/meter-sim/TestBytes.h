// Hex text helpers for the meter-sim tests.
#pragma once

#include <string>

#include "Bus.h"
#include "Frame.h"

namespace metersim::test {

inline Bytes Hex(const std::string& text) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Everything a transmission puts on the line, in order, as hex text.
inline std::string LineText(const Transmission& transmission) {
    Bytes all;
    for (const Segment& segment : transmission)
        all.insert(all.end(), segment.bytes.begin(), segment.bytes.end());
    return ToHex(all);
}

}  // namespace metersim::test
