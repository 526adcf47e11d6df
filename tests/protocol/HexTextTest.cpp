#include "HexText.h"

#include <gtest/gtest.h>

TEST(HexText, TextToBytes) {
    struct Case {
        std::string text;
        std::string bytes;
    } cases[] = {
        {"FEFE68", "\xFE\xFE\x68"},
        {"fe fe 68", "\xFE\xFE\x68"},
        {"ABC", "\xAB\x0C"},
        {"A-BC", std::string("\x0A\xBC", 2)},
        {"A", "\x0A"},
        {"", ""},
        {"xyz", ""},
        {"00", std::string(1, '\0')},
        {"1 2", std::string("\x01\x02", 2)},
        {"G1F", "\x1F"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HexTextToBytes(c.text), c.bytes) << c.text;
}

TEST(HexText, BytesToText) {
    EXPECT_EQ(BytesToHexText(std::string("\x0A\xFF", 2)), "0AFF");
    EXPECT_EQ(BytesToHexText(std::string(1, '\0')), "00");
    EXPECT_EQ(BytesToHexText(""), "");
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    EXPECT_EQ(HexTextToBytes(BytesToHexText(all)), all);
}
