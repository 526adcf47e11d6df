// Any text through HexTextToBytes, and any bytes through BytesToHexText and
// back. Checks the conversion rules, not just that nothing crashes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "HexText.h"

namespace {
bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    // Text to bytes: separators only split the text into runs of digits, and
    // each run of n digits gives (n + 1) / 2 bytes of its own.
    const std::string bytes = HexTextToBytes(input);
    std::string byRuns;
    size_t expectedSize = 0;
    for (size_t i = 0; i < input.size();) {
        if (!IsHexDigit(input[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < input.size() && IsHexDigit(input[j]))
            ++j;
        expectedSize += (j - i + 1) / 2;
        byRuns += HexTextToBytes(input.substr(i, j - i));
        i = j;
    }
    FUZZ_CHECK(bytes.size() == expectedSize);
    FUZZ_CHECK(bytes == byRuns);

    // The bytes written back as text read as the same bytes.
    const std::string text = BytesToHexText(bytes);
    FUZZ_CHECK(HexTextToBytes(text) == bytes);

    // Bytes to text: two upper-case digits a byte, and back unchanged.
    const std::string asText = BytesToHexText(input);
    FUZZ_CHECK(asText.size() == 2 * input.size());
    for (char c : asText)
        FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
    FUZZ_CHECK(HexTextToBytes(asText) == input);
    return 0;
}
