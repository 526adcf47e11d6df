// Config.ini as the console uses it: any file text is loaded, the console's
// keys are saved into it with values taken from the input, and the result is
// loaded again. The values read back must be the ones written, every line the
// console does not own must survive in order, and a second save of the same
// values must change nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "IniFile.h"

namespace {
constexpr std::array<const char*, 6> kComKeys = {"Port",   "BaudRate", "ByteSize",
                                                 "Parity", "StopBits", "TimeOut"};
constexpr std::array<const char*, 7> kOwnedNames = {"port",     "baudrate", "bytesize", "parity",
                                                    "stopbits", "timeout",  "host"};

struct Values {
    std::array<int32_t, 6> com{};
    std::string host;
    int32_t tcpPort = 0;
};

void Save(IniFile& ini, const Values& v) {
    for (size_t i = 0; i < kComKeys.size(); ++i)
        ini.WriteInteger("COM", kComKeys[i], v.com[i]);
    ini.WriteString("TCP", "Host", v.host);
    ini.WriteInteger("TCP", "Port", v.tcpPort);
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Lines with their "\n" (the last one may lack it).
std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const size_t n = nl == std::string_view::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(0, n));
        text.remove_prefix(n);
    }
    return lines;
}

// The part of a key line the editor keeps: the key as spelled, "=" and the
// blanks after it. Empty for a line that cannot be one of the console's keys.
std::string_view OwnedKeyPrefix(std::string_view line) {
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return {};
    const std::string name = Lower(TrimBlanks(line.substr(0, eq)));
    for (const char* owned : kOwnedNames)
        if (name == owned) {
            size_t end = eq + 1;
            while (end < line.size() && (line[end] == ' ' || line[end] == '\t'))
                ++end;
            return line.substr(0, end);
        }
    return {};
}

std::string_view EndOfLine(std::string_view line) {
    if (line.size() >= 2 && line.substr(line.size() - 2) == "\r\n")
        return "\r\n";
    if (!line.empty() && line.back() == '\n')
        return "\n";
    return {};
}

// A line of the old file matches a line of the new one when it is the same
// line, or the same line with a line end added (it was the last line), or
// one of the console's keys with only its value changed.
bool Matches(std::string_view before, std::string_view after) {
    if (before == after)
        return true;
    if (EndOfLine(before).empty() && after.substr(0, before.size()) == before &&
        (after.size() == before.size() + 1 || after.size() == before.size() + 2))
        return true;
    const std::string_view prefix = OwnedKeyPrefix(before);
    if (prefix.empty() || after.substr(0, prefix.size()) != prefix)
        return false;
    return EndOfLine(before).empty() || EndOfLine(before) == EndOfLine(after);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    Values values;
    for (int32_t& v : values.com)
        v = input.ConsumeIntegral<int32_t>();
    values.tcpPort = input.ConsumeIntegral<int32_t>();
    values.host = input.ConsumeRandomLengthString(64);
    const std::string file = input.ConsumeRemainingBytesAsString();

    // Loading alone changes nothing.
    const IniFile loaded(file);
    FUZZ_CHECK(loaded.Text() == file);
    const auto portsBefore = loaded.ReadSection("Ports");
    const auto otherBefore = loaded.ReadSection("Other");

    // The whole-number rule: whatever it accepts reads the same when written
    // back in decimal.
    for (const char* key : kComKeys)
        if (const auto text = loaded.ReadString("COM", key))
            if (const auto n = ParseWholeNumber(*text))
                FUZZ_CHECK(ParseWholeNumber(std::to_string(*n)) == n);

    IniFile saved(file);
    Save(saved, values);
    const std::string once = saved.Text();

    const IniFile reloaded(once);
    FUZZ_CHECK(reloaded.Text() == once);
    for (size_t i = 0; i < kComKeys.size(); ++i)
        FUZZ_CHECK(reloaded.ReadInteger("COM", kComKeys[i], values.com[i] ^ 1) == values.com[i]);
    FUZZ_CHECK(reloaded.ReadInteger("TCP", "Port", values.tcpPort ^ 1) == values.tcpPort);
    // A value cannot add lines, and blanks around it are not part of it.
    std::string host = values.host;
    for (char& c : host)
        if (c == '\r' || c == '\n')
            c = ' ';
    FUZZ_CHECK(reloaded.ReadString("TCP", "Host") == std::string(TrimBlanks(host)));
    FUZZ_CHECK(reloaded.ReadSection("Ports") == portsBefore);
    FUZZ_CHECK(reloaded.ReadSection("Other") == otherBefore);

    // Every line of the old file is still there, in order.
    const std::string_view bom = "\xEF\xBB\xBF";
    std::string_view oldBody = file, newBody = once;
    const bool hadBom = oldBody.substr(0, 3) == bom;
    FUZZ_CHECK(hadBom == (newBody.substr(0, 3) == bom));
    if (hadBom) {
        oldBody.remove_prefix(3);
        newBody.remove_prefix(3);
    }
    const auto oldLines = SplitLines(oldBody);
    const auto newLines = SplitLines(newBody);
    size_t j = 0;
    for (std::string_view line : oldLines) {
        while (j < newLines.size() && !Matches(line, newLines[j]))
            ++j;
        FUZZ_CHECK(j < newLines.size());
        ++j;
    }

    // Saving the same values again is a no-op.
    IniFile twice(once);
    Save(twice, values);
    FUZZ_CHECK(twice.Text() == once);
    return 0;
}
