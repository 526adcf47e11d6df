#include <gtest/gtest.h>

#include "Bus.h"
#include "Setup.h"
#include "TestBytes.h"

namespace metersim {
namespace {

using test::Hex;
using test::LineText;

// Requests and replies below were computed by hand from the DL/T 645-1997 layout.
const std::string kReadReading05 = "6805913130020068010243C3D216";
const std::string kReadAddressAll = "6899999999999968010265F3C116";
const std::string kValveState05 = "680591313002006801026FF32E16";
const std::string kOpen05 = "68059131300200680408886635463C588866C016";
const std::string kClose05 = "6805913130020068040899CC35463C5899CCAE16";

const std::string kReading05 = "FEFEFE6805913130020068810843C33344333333339B16";
const std::string kAddress05 = "FEFEFE6805913130020068810865F338C464633533D516";
const std::string kWriteAccepted05 = "FEFEFE680591313002006884004D16";

Frame Request(const std::string& hex) {
    FrameReader reader;
    auto events = reader.Feed(Hex(hex), 0);
    if (events.size() != 1 || events[0].kind != FrameReader::Kind::Frame)
        throw std::runtime_error("test request is not a valid frame: " + hex);
    return events[0].frame;
}

Bus DefaultBus(Timing timing = {}) {
    return Bus(DefaultMeters(), timing);
}

Bus BusOf(const std::vector<std::string>& entries, Timing timing = {}) {
    std::vector<Meter> meters;
    for (const auto& entry : entries)
        ApplyMeterEntry(meters, entry, false);
    return Bus(meters, timing);
}

struct CommandCase {
    const char* name;
    std::string request;
    std::string reply;  // empty: silence
};

class BusCommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(BusCommandTest, RepliesOnTheDefaultBus) {
    Bus bus = DefaultBus();
    EXPECT_EQ(LineText(bus.Handle(Request(GetParam().request))), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, BusCommandTest,
    ::testing::Values(
        CommandCase{"ReadReading", kReadReading05, kReading05},
        // 1234.56 t; status bit 7 shows the closed valve.
        CommandCase{"ReadReadingClosedValve", "6806913130020068010243C3D316",
                    "FEFEFE6806913130020068810843C389674533B333A716"},
        CommandCase{"ReadReadingNoValve", "6807913130020068010243C3D416",
                    "FEFEFE6807913130020068810843C3383333333B339916"},
        CommandCase{"ReadAddressByItsOwnAddress", "6805913130020068010265F32416", kAddress05},
        CommandCase{"ValveStateOpen", kValveState05, "FEFEFE680591313002006881036FF333E216"},
        CommandCase{"ValveStateClosed", "680691313002006801026FF32F16",
                    "FEFEFE680691313002006881036FF3B36316"},
        CommandCase{"ValveStateWithoutValveIsAnError", "680791313002006801026FF33016",
                    "FEFEFE6807913130020068C10135C216"},
        CommandCase{"UnknownIdentifier", "6805913130020068010267457816",
                    "FEFEFE6805913130020068C10135C016"},
        CommandCase{"ReadWithoutIdentifier", "68059131300200680101430E16",
                    "FEFEFE6805913130020068C10134BF16"},
        CommandCase{"WriteUnknownIdentifier", "6805913130020068040845670000000000008116",
                    "FEFEFE6805913130020068C40135C316"},
        CommandCase{"OpenValve", kOpen05, kWriteAccepted05},
        CommandCase{"WrongPasswordRefused", "680591313002006804088866354444448866B216",
                    "FEFEFE68059131300200688401378516"},
        CommandCase{"WrongLevelRefused", "68059131300200680408886636463C588866C116",
                    "FEFEFE68059131300200688401378516"},
        CommandCase{"NoValveRefused", "68079131300200680408886635463C588866C216",
                    "FEFEFE68079131300200688401358516"},
        CommandCase{"OtherMeterIsSilent", "6804913130020068010243C3D116", ""},
        // Replies heard on the bus are never answered.
        CommandCase{"ReplyFrameIsSilent", "6805913130020068810243C35216", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BusTest, ValveWritesMoveTheValve) {
    Bus bus = DefaultBus();
    EXPECT_EQ(LineText(bus.Handle(Request(kClose05))), kWriteAccepted05);
    EXPECT_EQ(LineText(bus.Handle(Request(kValveState05))), "FEFEFE680591313002006881036FF3B36216");
    EXPECT_EQ(LineText(bus.Handle(Request(kReadReading05))),
              "FEFEFE6805913130020068810843C333443333B3331B16");
    EXPECT_EQ(LineText(bus.Handle(Request(kOpen05))), kWriteAccepted05);
    EXPECT_EQ(LineText(bus.Handle(Request(kValveState05))), "FEFEFE680591313002006881036FF333E216");
}

TEST(BusTest, RefusedWriteLeavesTheValve) {
    Bus bus = DefaultBus();
    bus.Handle(
        Request("6805913130020068040899CC35444444"
                "99CCA016"));  // close, wrong password
    EXPECT_FALSE(bus.Meters()[0].valveClosed);
}

TEST(BusTest, BroadcastToOneMeterIsAClearReply) {
    Bus bus = BusOf({"000230319105:reading=11"});
    EXPECT_EQ(LineText(bus.Handle(Request(kReadAddressAll))), kAddress05);
    // Every command reaches it through the broadcast address.
    EXPECT_EQ(LineText(bus.Handle(Request("6899999999999968010243C36F16"))), kReading05);
}

TEST(BusTest, BroadcastToSeveralMetersCollides) {
    Bus bus = DefaultBus();
    const Transmission line = bus.Handle(Request(kReadAddressAll));
    ASSERT_EQ(line.size(), 1u);
    // The wired AND of the three replies (computed by hand) ...
    EXPECT_EQ(LineText(line), "FEFEFE6804913130020068810865F338C464633533D116");
    // ... is no frame a console could trust.
    FrameReader reader;
    for (const auto& event : reader.Feed(line[0].bytes, 0))
        EXPECT_NE(event.kind, FrameReader::Kind::Frame);
}

TEST(BusTest, SilentMetersDoNotTakePartInACollision) {
    Bus bus = BusOf({"000230319105", "000230319106:silent"});
    EXPECT_EQ(LineText(bus.Handle(Request(kReadAddressAll))), kAddress05);
}

TEST(BusTest, CollisionWaitsForTheSlowestMeter) {
    Bus bus = BusOf({"000230319105", "000230319106:delay=300"}, {0, 20});
    const Transmission line = bus.Handle(Request(kReadAddressAll));
    ASSERT_EQ(line.size(), 1u);
    EXPECT_EQ(line[0].atMs, 320);
}

TEST(BusTest, PacesRepliesAtTheWireTime) {
    // 23 bytes of 11 bits at 2400 baud take 105.4 ms, after a 50 ms answer time.
    Bus bus = DefaultBus({2400, 50});
    const Transmission line = bus.Handle(Request(kReadReading05));
    ASSERT_EQ(line.size(), 1u);
    EXPECT_EQ(line[0].atMs, 50 + 106);
    EXPECT_EQ(WireTimeMs(25, 0), 0);
    EXPECT_EQ(WireTimeMs(1, 600), 19);
}

struct FaultCase {
    const char* name;
    std::string fault;  // items for meter 000230319105
    std::string request;
    std::string reply;                // the whole line
    std::vector<std::int64_t> times;  // when each segment goes out
};

class BusFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(BusFaultTest, ShapesTheReply) {
    Bus bus = BusOf({"000230319105:reading=11," + GetParam().fault}, {0, 10});
    const Transmission line = bus.Handle(Request(GetParam().request));
    EXPECT_EQ(LineText(line), GetParam().reply);
    std::vector<std::int64_t> times;
    for (const auto& segment : line)
        times.push_back(segment.atMs);
    EXPECT_EQ(times, GetParam().times);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BusFaultTest,
    ::testing::Values(
        FaultCase{"None", "", kReadReading05, kReading05, {10}},
        FaultCase{"Silent", "silent", kReadReading05, "", {}},
        FaultCase{"Delay", "delay=700", kReadReading05, kReading05, {710}},
        FaultCase{"Split", "split=300", kReadReading05, kReading05, {10, 310}},
        FaultCase{"LoneByte", "lone=200", kReadReading05, "00" + kReading05, {10, 210}},
        FaultCase{"LoneByteAndSplit",
                  "lone=50,split=100",
                  kReadReading05,
                  "00" + kReading05,
                  {10, 60, 160}},
        FaultCase{"BadChecksum",
                  "badsum",
                  kReadReading05,
                  "FEFEFE6805913130020068810843C33344333333339C16",
                  {10}},
        FaultCase{"OtherControlCode",
                  "control=C1",
                  kReadReading05,
                  "FEFEFE6805913130020068C10843C3334433333333DB16",
                  {10}},
        FaultCase{"ValveRefusal", "refuse=01", kOpen05, "FEFEFE68059131300200688401348216", {10}},
        FaultCase{"RefusalOnlyConcernsValveWrites", "refuse=01", kReadReading05, kReading05, {10}},
        FaultCase{"ForeignAddress",
                  "foreign=000230319106",
                  kReadReading05,
                  "FEFEFE6806913130020068810843C33344333333339C16",
                  {10}},
        FaultCase{"ForeignAddressInReadAddress",
                  "foreign=000230319106",
                  kReadAddressAll,
                  "FEFEFE6806913130020068810865F339C464633533D716",
                  {10}},
        FaultCase{"NoiseInFront", "noise=00FF", kReadReading05, "00FF" + kReading05, {10}},
        FaultCase{"TrailBehind", "trail=0016", kReadReading05, kReading05 + "0016", {10}},
        FaultCase{
            "NoiseAndSplit", "noise=AA,split=100", kReadReading05, "AA" + kReading05, {10, 110}},
        FaultCase{"NonDecimalReading",
                  "nondecimal",
                  kReadReading05,
                  "FEFEFE6805913130020068810843C3334433DE33334616",
                  {10}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BusTest, RefusedOpenKeepsTheValveClosed) {
    Bus bus = BusOf({"000230319105:valve=closed,refuse=01"});
    bus.Handle(Request(kOpen05));
    EXPECT_TRUE(bus.Meters()[0].valveClosed);
}

TEST(BusTest, FaultOnTheNthRequestOnly) {
    Bus bus = BusOf({"000230319105:reading=11,silent@2,badsum@3"});
    EXPECT_EQ(LineText(bus.Handle(Request(kReadReading05))), kReading05);
    EXPECT_EQ(LineText(bus.Handle(Request(kReadReading05))), "");
    EXPECT_EQ(LineText(bus.Handle(Request(kReadReading05))),
              "FEFEFE6805913130020068810843C33344333333339C16");
    EXPECT_EQ(LineText(bus.Handle(Request(kReadReading05))), kReading05);
    // Requests to other meters do not count.
    Bus other = BusOf({"000230319105:silent@2", "000230319106"});
    other.Handle(Request(kReadReading05));
    other.Handle(Request("6806913130020068010243C3D316"));
    EXPECT_EQ(LineText(other.Handle(Request(kReadReading05))), "");
}

TEST(BusTest, LateReplyDelayIsAddedToTheAnswerTime) {
    // Longer than the console's 3000 ms wait: the reply lands in the next meter's wait.
    Bus bus = BusOf({"000230319105:delay=4000@1"}, {2400, 50});
    const auto first = bus.Handle(Request(kReadReading05));
    const auto second = bus.Handle(Request(kReadReading05));
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].atMs - second[0].atMs, 4000);
}

}  // namespace
}  // namespace metersim
