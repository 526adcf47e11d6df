#include "ParityMarks.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

TEST(ParityMarks, DecodesMarksAndEscapes) {
    struct Case {
        std::string raw;
        std::string data;
        size_t marks;
    } cases[] = {
        {"plain", "plain", 0},
        {"\0\x11\x13"s, "\0\x11\x13"s, 0},
        {"\377\377", "\377", 0},   // a data byte 0xFF
        {"a\377\0Xb"s, "aXb", 1},  // X arrived with an error
        {"\377\0\0"s, "\0"s, 1},   // a break reads as a marked NUL
        {"\377\0\377\377\0\377"s, "\377\377", 2},
        {"\377\377\377\0Z"s, "\377Z", 1},
        {"\377A", "\377A", 0},  // never produced: passed through
        {"\377\0"s, "", 0},     // incomplete: held back
    };
    for (const auto& c : cases) {
        ParityMarkDecoder decoder;
        std::string out;
        EXPECT_EQ(decoder.Decode(c.raw, out), c.marks) << testing::PrintToString(c.raw);
        EXPECT_EQ(out, c.data) << testing::PrintToString(c.raw);
    }
}

TEST(ParityMarks, MarksSplitAcrossReadsDecodeTheSame) {
    const std::string raw = "ab\377\377c\377\0Xd\377\0\0\377\377\377\0\377e"s;
    ParityMarkDecoder whole;
    std::string expected;
    const size_t expectedMarks = whole.Decode(raw, expected);
    ASSERT_EQ(expected, "ab\377cXd\0\377\377e"s);

    for (size_t cut = 0; cut <= raw.size(); ++cut) {
        ParityMarkDecoder decoder;
        std::string out;
        size_t marks = decoder.Decode(raw.substr(0, cut), out);
        marks += decoder.Decode(raw.substr(cut), out);
        EXPECT_EQ(out, expected) << "cut at " << cut;
        EXPECT_EQ(marks, expectedMarks) << "cut at " << cut;
    }
    ParityMarkDecoder bytewise;
    std::string out;
    size_t marks = 0;
    for (char c : raw) {
        marks += bytewise.Decode(std::string_view(&c, 1), out);
        EXPECT_LE(bytewise.Pending(), 2u);
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(marks, expectedMarks);
    EXPECT_EQ(bytewise.Pending(), 0u);
}

TEST(ParityMarks, ReplacementAndNulDropping) {
    const std::string raw = "a\0b\377\0X\377\0\0\377\377"s;
    struct Case {
        ParityMarkOptions options;
        std::string data;
    } cases[] = {
        {{}, "a\0bX\0\377"s},
        {{true, '?', false}, "a\0b??\377"s},
        {{false, 0, true}, "abX\377"},
        {{true, '\0', true}, "ab\377"},  // a NUL replacement is dropped too
    };
    for (const auto& c : cases) {
        ParityMarkDecoder decoder;
        std::string out;
        EXPECT_EQ(decoder.Decode(raw, out, c.options), 2u);
        EXPECT_EQ(out, c.data) << testing::PrintToString(c.data);
    }
}

TEST(ParityMarks, AnUnmarkedStreamIsAllData) {
    // The Windows driver marks nothing: what looks like a mark is data.
    const std::string raw = "a\0b\377\0X\377\377\377"s;
    ParityMarkOptions options;
    options.marked = false;
    options.dropNul = true;  // the driver's business there
    ParityMarkDecoder decoder;
    std::string out;
    EXPECT_EQ(decoder.Decode(raw, out, options), 0u);
    EXPECT_EQ(out, raw);
    EXPECT_EQ(decoder.Pending(), 0u);
}
