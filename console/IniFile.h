// Config.ini as text: sections of key=value lines, read and edited without
// disturbing any line the console does not own. Standard C++ only, so the
// parser can be driven by a fuzzer without a window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The whole-number rule of the settings file: optional leading blanks, an
// optional sign, then decimal digits or hex digits after "$" or "0x". Nothing
// may follow the digits, and the value must fit a signed 32-bit integer.
std::optional<int32_t> ParseWholeNumber(std::string_view text);

class IniFile {
  public:
    IniFile() = default;
    explicit IniFile(std::string_view text);

    // Section and key names match without regard to ASCII case. The first
    // occurrence wins. Values come back with surrounding blanks removed.
    std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;
    int32_t ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const;
    // Every key of a section in file order, first occurrence of a name only.
    std::vector<std::pair<std::string, std::string>> ReadSection(std::string_view section) const;

    // Replaces the value of an existing key in place, or adds the key at the end
    // of its section, or adds the section at the end of the file. Line breaks
    // in the value become blanks: a value must not be able to add lines.
    // A key whose value already reads as `value` is left as it is.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int32_t value);

    std::string Text() const;

  private:
    enum class Kind { Other, Section, Key };
    struct Line {
        std::string text;  // without the line ending
        std::string eol;   // "\n", "\r\n"; for the last line also "\r" or ""
        Kind kind = Kind::Other;
        std::string name;  // section or key name, trimmed
    };

    static Line Classify(std::string text, std::string eol);
    // Index of the key line, or -1.
    int FindKey(std::string_view section, std::string_view key) const;
    std::string PreferredEol() const;
    // A line that gets a line after it needs a whole line end.
    static void EndLastLine(Line& line, const std::string& eol);

    std::string bom_;
    std::vector<Line> lines_;
};
