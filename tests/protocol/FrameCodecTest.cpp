#include "FrameCodec.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

constexpr char kReadingReply[] = "FEFEFE6805913130020068810843C33344333333339B16";
constexpr char kValveStateReply[] = "FEFEFE682674151002006881036FF3B32A16";

// Collects what BuildFrame reports, and uninstalls itself afterwards.
class FrameLogRecorder {
  public:
    FrameLogRecorder() {
        SetFrameLogSink([this](const std::string& message, const std::string& title) {
            entries.emplace_back(message, title);
        });
    }
    ~FrameLogRecorder() { SetFrameLogSink(nullptr); }
    std::vector<std::pair<std::string, std::string>> entries;
};

TEST(BuildFrame, RequestFrames) {
    struct Case {
        std::string address, control, length, data, frame;
    } cases[] = {
        {"000230319105", "01", "02", "9010", "FEFEFE6805913130020068010243C3D216"},
        {"999999999999", "01", "02", "C032", "FEFEFE6899999999999968010265F3C116"},
        {"000230319105", "01", "02", "C03C", "FEFEFE680591313002006801026FF32E16"},
        // Short addresses are padded, long ones keep their last 12 characters.
        {"230319105", "01", "02", "9010", "FEFEFE6805913130020068010243C3D216"},
        {"00000230319105", "01", "02", "9010", "FEFEFE6805913130020068010243C3D216"},
        {"", "01", "02", "9010", "FEFEFE6800000000000068010243C3D916"},
        // Lower-case data is read, upper-case digits are written.
        {"000230319105", "01", "02", "c03c", "FEFEFE680591313002006801026FF32E16"},
    };
    FrameLogRecorder log;
    for (const auto& c : cases)
        EXPECT_EQ(BuildFrame(c.address, c.control, c.length, c.data), c.frame) << c.address;
    EXPECT_TRUE(log.entries.empty());
}

TEST(BuildFrame, RejectedInputIsLoggedAndGivesEmptyFrame) {
    struct Case {
        std::string address, data, message;
    } cases[] = {
        // The trailing blank pairs up with the last digit after cutting to 12.
        {"000230319105 ", "9010", "'$5 ' is not a valid integer value"},
        {"000230319105", "90X0", "'$X0' is not a valid integer value"},
        {"000230319105", "33551234560Z3355", "'$0Z' is not a valid integer value"},
        {"00023031910G", "9010", "'$0G' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        FrameLogRecorder log;
        EXPECT_EQ(BuildFrame(c.address, "01", "02", c.data), "") << c.address << " " << c.data;
        ASSERT_EQ(log.entries.size(), 1u);
        EXPECT_EQ(log.entries[0].first, c.message);
        EXPECT_EQ(log.entries[0].second, "");
    }
}

TEST(BuildFrame, FailureWithoutSinkIsSilent) {
    SetFrameLogSink(nullptr);
    EXPECT_EQ(BuildFrame("12 ", "01", "02", "9010"), "");
}

struct ChecksumCase {
    std::string reply;
    bool ok;
    std::string computed, received;  // "?" = left as it was
};

TEST(VerifyChecksum, Verdicts) {
    const ChecksumCase cases[] = {
        {kReadingReply, true, "9B", "9B"},
        {kValveStateReply, true, "2A", "2A"},
        {"FEFEFE6805913130020068810843C33344333333339C16", false, "9B", "9C"},
        {"fefefe6805913130020068810843C33344333333339B16", true, "9B", "9B"},
        {"6805913130020068810843C33344333333339B16", true, "9B", "9B"},
        {"FEFE6805913130020068810843C33344333333339B16", true, "9B", "9B"},
        // Blanks inside the frame are dropped before summing.
        {"FEFEFE68 0591313002 0068810843C33344333333339B16", true, "9B", "9B"},
        // A lower-case checksum pair never equals the upper-case computed one.
        {"FEFEFE6805913130020068810843C33344333333339b16", false, "9B", "9b"},
        {"", false, "?", "?"},
        {"0068", false, "?", "?"},
        {"FEFEFE", false, "?", "?"},
        {"FE FE68", false, "?", "?"},  // blanks before the start byte are not tolerated
        {"FEFEFE6805913130020068810843C33344333333339B", false, "?", "?"},  // cut before "16"
        {"68", false, "?", "?"},
        {"6816", false, "00", "68"},
    };
    for (const auto& c : cases) {
        std::string computed = "?", received = "?";
        EXPECT_EQ(VerifyChecksum(c.reply, computed, received), c.ok) << c.reply;
        EXPECT_EQ(computed, c.computed) << c.reply;
        EXPECT_EQ(received, c.received) << c.reply;
    }
}

TEST(VerifyChecksum, NonHexPieceInsideTheFrameIsAConversionFailure) {
    std::string computed, received;
    try {
        VerifyChecksum("FEFE68059131300200688108ZZ9B16", computed, received);
        FAIL() << "no conversion failure";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'$ZZ' is not a valid integer value");
    }
    EXPECT_EQ(computed, "");
}

TEST(FieldTransforms, Examples) {
    struct Case {
        std::string (*function)(const std::string&);
        std::string input, output;
    } cases[] = {
        {EncodeDataField, "9010", "43C3"},
        {EncodeDataField, "C032", "65F3"},
        {EncodeDataField, "C03C", "6FF3"},
        {EncodeDataField, "3355", "8866"},
        {EncodeDataField, "9966", "99CC"},
        {EncodeDataField, "CD", "00"},
        {EncodeDataField, "123", "3645"},  // the lone "3" comes out first
        {EncodeDataField, "", ""},
        {DecodeDataField, "33443333", "00001100"},
        {DecodeDataField, "B3", "80"},
        {DecodeDataField, "43c3", "9010"},
        {DecodeDataField, "32", "FF"},
        {DecodeDataField, "3", "D0"},
        {ReverseHexBytes, "059131300200", "000230319105"},
        {ReverseHexBytes, "12345", "53412"},
        {ReverseHexBytes, "ab cd", "d cab"},
        {ReverseHexBytes, "", ""},
        {AddressToWire, "000230319105", "059131300200"},
        {AddressToWire, "230319105", "059131300200"},
        {AddressToWire, "1234567890123456", "563412907856"},
        {AddressToWire, "", "000000000000"},
        {AddressToWire, "99999999999x", "9x9999999999"},
        {HexChecksum, "6805913130020068010243C3", "D2"},
        {HexChecksum, "FFFF01", "FF"},
        {HexChecksum, "F", "0F"},
        {HexChecksum, "", "00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.function(c.input), c.output) << c.input;
}

TEST(FieldTransforms, EncodeAndDecodeAreInverse) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        all += kDigits[b >> 4];
        all += kDigits[b & 15];
    }
    EXPECT_EQ(DecodeDataField(EncodeDataField(all)), all);
    EXPECT_EQ(EncodeDataField(DecodeDataField(all)), all);
}

TEST(FieldTransforms, NonHexPieceNamesThePiece) {
    struct Case {
        std::string (*function)(const std::string&);
        std::string input, message;
    } cases[] = {
        {EncodeDataField, "12G4", "'$G4' is not a valid integer value"},
        {EncodeDataField, "123 ", "'$3 ' is not a valid integer value"},
        {DecodeDataField, "X", "'$X' is not a valid integer value"},
        {DecodeDataField, "-1", "'$-1' is not a valid integer value"},
        {HexChecksum, "68+1", "'$+1' is not a valid integer value"},
        {HexChecksum, "0x12", "'$0x' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        try {
            c.function(c.input);
            ADD_FAILURE() << "no conversion failure for " << c.input;
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

TEST(ByteToBitString, BitZeroFirst) {
    struct Case {
        int value, top;
        std::string bits;
    } cases[] = {
        {0x80, 7, "00000001"},
        {0x01, 7, "10000000"},
        {0x68, 7, "00010110"},
        {0, 7, "00000000"},
        {0x1FF, 7, "11111111"},
        {-51, 7, "10110011"},  // 0xCD
        {5, 2, "101"},
        {5, 0, "1"},
        {5, -1, ""},
        {-1, 33, std::string(34, '1')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ByteToBitString(c.value, c.top), c.bits) << c.value << "/" << c.top;
}

TEST(FrameFieldAt, OffsetsFromTheFrameStart) {
    struct Case {
        std::string reply;
        int offset, count;
        std::string field;
    } cases[] = {
        {kReadingReply, 16, 2, "81"},
        {kReadingReply, 2, 12, "059131300200"},
        {kReadingReply, 18, 2, "08"},
        {kReadingReply, 24, 8, "33443333"},
        {kReadingReply, 32, 2, "33"},
        {kReadingReply, 38, 8, "16"},  // the text ends sooner
        {kReadingReply, 40, 2, ""},
        {"", 16, 2, ""},
        {"FEFEFE", 0, 2, ""},
        {"F68F", 0, 2, ""},        // "68" off the pair boundary is no frame start
        {"F68F68AB", 2, 2, "AB"},  // the first aligned one is
        {"AA68BB", 0, 4, "68BB"},  // any pair before it is passed over
        {"6", 0, 1, ""},
        {kReadingReply, 0, 0, ""},
        {kReadingReply, 16, -1, ""},
        {kReadingReply, 2147483647, 2, ""},
        {kReadingReply, 16, 2147483647, "810843C33344333333339B16"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FrameFieldAt(c.reply, c.offset, c.count), c.field)
            << c.reply << " @" << c.offset << "+" << c.count;
}

}  // namespace
