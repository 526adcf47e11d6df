#include <gtest/gtest.h>

#include "Frame.h"
#include "TestBytes.h"

namespace metersim {
namespace {

using test::Hex;
using Kind = FrameReader::Kind;

const std::string kReadReading = "FEFEFE6805913130020068010243C3D216";

TEST(FrameTest, EncodesTheWorkedExampleRequest) {
    Frame frame;
    frame.address = AddressToWire("000230319105");
    frame.control = 0x01;
    frame.data = {0x43, 0xC3};
    EXPECT_EQ(ToHex(EncodeFrame(frame)), "6805913130020068010243C3D216");
    EXPECT_EQ(AddressFromWire(frame.address), "000230319105");
}

TEST(FrameReaderTest, ReassemblesAFrameFedByteByByte) {
    FrameReader reader;
    const Bytes bytes = Hex(kReadReading);
    std::vector<FrameReader::Event> events;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        auto got = reader.Feed(&bytes[i], 1, static_cast<std::int64_t>(i));
        if (i + 1 < bytes.size()) {
            EXPECT_TRUE(got.empty()) << "early frame at byte " << i;
        }
        events.insert(events.end(), got.begin(), got.end());
    }
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Frame);
    EXPECT_EQ(AddressFromWire(events[0].frame.address), "000230319105");
    EXPECT_EQ(events[0].frame.control, 0x01);
    EXPECT_EQ(ToHex(events[0].frame.data), "43C3");
    EXPECT_EQ(reader.Pending(), 0u);
}

struct StreamCase {
    const char* name;
    std::string stream;
    std::vector<Kind> kinds;
};

class FrameReaderStreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(FrameReaderStreamTest, SortsFramesFromNoise) {
    FrameReader reader;
    std::vector<Kind> kinds;
    for (const auto& event : reader.Feed(Hex(GetParam().stream), 0))
        kinds.push_back(event.kind);
    EXPECT_EQ(kinds, GetParam().kinds);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, FrameReaderStreamTest,
    ::testing::Values(
        StreamCase{"NoPreamble", "6805913130020068010243C3D216", {Kind::Frame}},
        StreamCase{"LongPreambleAndNoise", "00FFFEFEFEFEFE" + kReadReading, {Kind::Frame}},
        StreamCase{"TwoFramesInOneChunk", kReadReading + kReadReading, {Kind::Frame, Kind::Frame}},
        StreamCase{"BadChecksum", "FEFEFE6805913130020068010243C3D316", {Kind::BadChecksum}},
        // The good frame right after a broken one is still heard.
        StreamCase{"BadEndThenGoodFrame",
                   "FEFEFE6805913130020068010243C3D217" + kReadReading,
                   {Kind::BadEnd, Kind::Frame}},
        StreamCase{"BadChecksumThenGoodFrame",
                   "6805913130020068010243C3D316" + kReadReading,
                   {Kind::BadChecksum, Kind::Frame}},
        // A 68 that is not followed by a second 68 seven bytes on is no frame start.
        StreamCase{"Stray68BeforeFrame", "6801" + kReadReading, {Kind::Frame}},
        StreamCase{"Truncated", "FEFEFE6805913130020068010243C3", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameReaderTest, DropsAStalePartialFrame) {
    FrameReader reader;
    const Bytes head = Hex("68059131300200680102");
    EXPECT_TRUE(reader.Feed(head, 0).empty());
    // Long after, a whole request arrives: it must not be read as the rest of the old one.
    auto events = reader.Feed(Hex(kReadReading), FrameReader::kStaleAfterMs + 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Frame);
    EXPECT_EQ(ToHex(events[0].raw), "6805913130020068010243C3D216");
}

TEST(FrameReaderTest, KeepsAPartialFrameAcrossShortGaps) {
    FrameReader reader;
    const Bytes bytes = Hex(kReadReading);
    const std::size_t half = bytes.size() / 2;
    EXPECT_TRUE(reader.Feed(bytes.data(), half, 0).empty());
    auto events = reader.Feed(bytes.data() + half, bytes.size() - half, FrameReader::kStaleAfterMs);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Frame);
}

}  // namespace
}  // namespace metersim
