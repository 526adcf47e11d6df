#include "IniFile.h"

#include "HexText.h"

#include <limits>

namespace {
bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

char FoldCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// ASCII case only: names in other scripts must match exactly.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i]))
            return false;
    return true;
}

int DigitValue(char c, int base) {
    const int v = HexDigitValue(c);
    return v < base ? v : -1;
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";
}  // namespace

std::optional<int32_t> ParseWholeNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == text.size())
        return std::nullopt;
    // One past INT32_MAX is still needed for the negative limit.
    constexpr uint64_t kLimit = uint64_t{std::numeric_limits<int32_t>::max()} + 1;
    uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const int digit = DigitValue(text[i], base);
        if (digit < 0)
            return std::nullopt;
        magnitude = magnitude * base + digit;
        if (magnitude > kLimit)
            return std::nullopt;
    }
    if (negative)
        return static_cast<int32_t>(-static_cast<int64_t>(magnitude));
    if (magnitude == kLimit)
        return std::nullopt;
    return static_cast<int32_t>(magnitude);
}

IniFile::IniFile(std::string_view text) {
    if (text.substr(0, kBom.size()) == kBom) {
        bom_ = kBom;
        text.remove_prefix(kBom.size());
    }
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view piece = text.substr(0, nl);
        std::string eol;
        if (nl == std::string_view::npos) {
            text = {};
            // A file that ends in a lone CR had its CRLF cut short: the CR
            // ends the line and is no part of the last value.
            if (!piece.empty() && piece.back() == '\r') {
                piece.remove_suffix(1);
                eol = "\r";
            }
        } else {
            text.remove_prefix(nl + 1);
            eol = "\n";
            if (!piece.empty() && piece.back() == '\r') {
                piece.remove_suffix(1);
                eol = "\r\n";
            }
        }
        lines_.push_back(Classify(std::string(piece), std::move(eol)));
    }
}

IniFile::Line IniFile::Classify(std::string text, std::string eol) {
    Line line{std::move(text), std::move(eol), Kind::Other, {}};
    const std::string_view body = Trim(line.text);
    if (body.empty() || body[0] == ';' || body[0] == '#')
        return line;
    if (body[0] == '[') {
        std::string_view name = body.substr(1);
        name = name.substr(0, name.find(']'));
        line.kind = Kind::Section;
        line.name = Trim(name);
        return line;
    }
    const size_t eq = body.find('=');
    if (eq == std::string_view::npos)
        return line;
    const std::string_view key = Trim(body.substr(0, eq));
    if (key.empty())
        return line;
    line.kind = Kind::Key;
    line.name = key;
    return line;
}

int IniFile::FindKey(std::string_view section, std::string_view key) const {
    bool inSection = false;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind == Kind::Section)
            inSection = SameName(line.name, section);
        else if (inSection && line.kind == Kind::Key && SameName(line.name, key))
            return static_cast<int>(i);
    }
    return -1;
}

std::optional<std::string> IniFile::ReadString(std::string_view section,
                                               std::string_view key) const {
    const int i = FindKey(section, key);
    if (i < 0)
        return std::nullopt;
    const std::string& text = lines_[i].text;
    return std::string(Trim(std::string_view(text).substr(text.find('=') + 1)));
}

int32_t IniFile::ReadInteger(std::string_view section, std::string_view key,
                             int32_t fallback) const {
    const auto text = ReadString(section, key);
    if (!text)
        return fallback;
    return ParseWholeNumber(*text).value_or(fallback);
}

std::vector<std::pair<std::string, std::string>> IniFile::ReadSection(
    std::string_view section) const {
    std::vector<std::pair<std::string, std::string>> entries;
    bool inSection = false;
    for (const Line& line : lines_) {
        if (line.kind == Kind::Section) {
            inSection = SameName(line.name, section);
            continue;
        }
        if (!inSection || line.kind != Kind::Key)
            continue;
        bool seen = false;
        for (const auto& entry : entries)
            seen = seen || SameName(entry.first, line.name);
        if (!seen)
            entries.emplace_back(line.name, *ReadString(section, line.name));
    }
    return entries;
}

std::string IniFile::PreferredEol() const {
    for (const Line& line : lines_)
        if (line.eol == "\n" || line.eol == "\r\n")
            return line.eol;
    return lines_.empty() || lines_.back().eol != "\r" ? "\n" : "\r\n";
}

void IniFile::EndLastLine(Line& line, const std::string& eol) {
    if (line.eol.empty())
        line.eol = eol;
    else if (line.eol == "\r")
        line.eol = "\r\n";
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    std::string clean(value);
    for (char& c : clean)
        if (c == '\r' || c == '\n')
            c = ' ';

    if (const int i = FindKey(section, key); i >= 0) {
        // Keep the key as spelled and the blanks after "="; only the value changes.
        std::string& text = lines_[i].text;
        size_t start = text.find('=') + 1;
        // A value that already reads the same is left alone: blanks around
        // a value are not part of it, and writing them again would add more
        // with every save.
        if (Trim(std::string_view(text).substr(start)) == Trim(clean))
            return;
        while (start < text.size() && IsBlank(text[start]))
            ++start;
        text = text.substr(0, start) + clean;
        return;
    }

    const std::string eol = PreferredEol();
    std::string keyLine = std::string(key) + "=" + clean;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind != Kind::Section || !SameName(lines_[i].name, section))
            continue;
        // After the section's last key, so trailing comments and blank lines
        // stay where they were.
        size_t after = i;
        for (size_t j = i + 1; j < lines_.size() && lines_[j].kind != Kind::Section; ++j)
            if (lines_[j].kind == Kind::Key)
                after = j;
        EndLastLine(lines_[after], eol);
        lines_.insert(lines_.begin() + after + 1, Classify(std::move(keyLine), eol));
        return;
    }

    if (!lines_.empty()) {
        EndLastLine(lines_.back(), eol);
        if (!Trim(lines_.back().text).empty())
            lines_.push_back(Line{{}, eol, Kind::Other, {}});
    }
    lines_.push_back(Classify("[" + std::string(section) + "]", eol));
    lines_.push_back(Classify(std::move(keyLine), eol));
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
    WriteString(section, key, std::to_string(value));
}

std::string IniFile::Text() const {
    std::string text = bom_;
    for (const Line& line : lines_) {
        text += line.text;
        text += line.eol;
    }
    return text;
}
