// The settings-file text: the whole-number rule, lookups, and edits that
// leave every other byte alone.
#include "IniFile.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

TEST(WholeNumber, FollowsTheRule) {
    const struct {
        const char* text;
        std::optional<int32_t> value;
    } cases[] = {
        {"0", 0},
        {"3000", 3000},
        {"  42", 42},
        {"\t7", 7},
        {"+5", 5},
        {"-5", -5},
        {"007", 7},
        {"$10", 16},
        {"$ff", 255},
        {"0x10", 16},
        {"0X1f", 31},
        {"-$10", -16},
        {"+0x7FFFFFFF", std::numeric_limits<int32_t>::max()},
        {"2147483647", std::numeric_limits<int32_t>::max()},
        {"-2147483648", std::numeric_limits<int32_t>::min()},
        {"-0x80000000", std::numeric_limits<int32_t>::min()},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"$80000000", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"$", std::nullopt},
        {"0x", std::nullopt},
        {"5000 ", std::nullopt},  // trailing blanks are not part of the rule
        {"1.5", std::nullopt},
        {"1e3", std::nullopt},
        {"12abc", std::nullopt},
        {"$fg", std::nullopt},
        {"0x-5", std::nullopt},
        {"- 5", std::nullopt},
        {"--5", std::nullopt},
        {"\xEF\xBC\x95", std::nullopt},  // a full-width digit
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseWholeNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST(IniFile, Lookups) {
    const IniFile ini(
        "top=before any section\n"
        "[COM]\n"
        "Port = 3 \n"
        "port=9\n"      // a second occurrence: the first one wins
        "; Parity=2\n"  // a comment, not a key
        "=orphan\n"
        "junk line\n"
        "  [ TCP ]  trailing\n"
        "Host=\t a b \t\n"
        "Empty=\n"
        "[com]\n"
        "BaudRate=4\n"
        "[中文]\n"
        "键=值\n");
    const struct {
        const char* section;
        const char* key;
        std::optional<std::string> value;
    } cases[] = {
        {"COM", "Port", "3"},
        {"com", "PORT", "3"},
        {"COM", "BaudRate", "4"},  // a repeated section continues it
        {"COM", "Parity", std::nullopt},
        {"COM", "", std::nullopt},
        {"TCP", "host", "a b"},
        {"TCP", "Empty", ""},
        {"TCP", "Port", std::nullopt},
        {"", "top", std::nullopt},
        {"中文", "键", "值"},
        {"Missing", "Port", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ini.ReadString(c.section, c.key), c.value) << c.section << "/" << c.key;

    EXPECT_EQ(ini.ReadInteger("COM", "Port", -7), 3);
    EXPECT_EQ(ini.ReadInteger("TCP", "Host", -7), -7);
    EXPECT_EQ(ini.ReadInteger("TCP", "Nothing", -7), -7);
    const auto entries = ini.ReadSection("com");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], (std::pair<std::string, std::string>{"Port", "3"}));
    EXPECT_EQ(entries[1], (std::pair<std::string, std::string>{"BaudRate", "4"}));
}

TEST(IniFile, TextComesBackUnchangedWithoutEdits) {
    const char* texts[] = {
        "",
        "\n\n",
        "[A]\r\nk=v\r\n",
        "[A]\nk=v",
        "\xEF\xBB\xBF[A]\nk=v\n",
        "old mac\rlines\r",
        "mixed\r\nendings\nhere\r\n",
        "\0binary\xFF\xFE\n",
    };
    for (const char* text : texts)
        EXPECT_EQ(IniFile(text).Text(), text);
}

TEST(IniFile, EditsTouchOnlyTheirOwnLine) {
    const struct {
        const char* what;
        const char* before;
        std::function<void(IniFile&)> edit;
        const char* after;
    } cases[] = {
        {"empty file", "", [](IniFile& f) { f.WriteInteger("COM", "Port", 2); }, "[COM]\nPort=2\n"},
        {"replace keeps spelling, blanks and line ending", "[com]\r\n  PORT =  5 \r\nX=1\r\n",
         [](IniFile& f) { f.WriteInteger("COM", "Port", -1); }, "[com]\r\n  PORT =  -1\r\nX=1\r\n"},
        {"new key after the section's last key", "[A]\nk=1\n; note\n\n[B]\nz=2\n",
         [](IniFile& f) { f.WriteString("a", "new", "v"); },
         "[A]\nk=1\nnew=v\n; note\n\n[B]\nz=2\n"},
        {"new key in a section with no keys", "[A]\n[B]\n",
         [](IniFile& f) { f.WriteString("A", "k", "v"); }, "[A]\nk=v\n[B]\n"},
        {"new section after a last line without a break", "[A]\nk=1",
         [](IniFile& f) { f.WriteString("B", "k", "v"); }, "[A]\nk=1\n\n[B]\nk=v\n"},
        {"new section uses the file's line ending", "; hello\r\n",
         [](IniFile& f) { f.WriteString("B", "k", "v"); }, "; hello\r\n\r\n[B]\r\nk=v\r\n"},
        {"key added after a last line without a break", "[A]\r\nk=1",
         [](IniFile& f) { f.WriteString("A", "j", "2"); }, "[A]\r\nk=1\r\nj=2\r\n"},
        {"only the first occurrence is replaced", "[A]\nk=1\nk=2\n",
         [](IniFile& f) { f.WriteString("A", "K", "9"); }, "[A]\nk=9\nk=2\n"},
        {"line breaks in a value become blanks", "",
         [](IniFile& f) { f.WriteString("A", "k", "a\r\nb\nc\rd"); }, "[A]\nk=a  b c d\n"},
        {"the same value leaves the bytes alone", "[A]\nk = 1   \n",
         [](IniFile& f) { f.WriteString("A", "k", "1   "); }, "[A]\nk = 1   \n"},
        {"a key written twice", "",
         [](IniFile& f) {
             f.WriteString("A", "k", "1");
             f.WriteString("A", "k", "2");
         },
         "[A]\nk=2\n"},
    };
    for (const auto& c : cases) {
        IniFile ini(c.before);
        c.edit(ini);
        EXPECT_EQ(ini.Text(), c.after) << c.what;
    }
}
