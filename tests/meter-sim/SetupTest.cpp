#include <gtest/gtest.h>

#include <sstream>

#include "Setup.h"

namespace metersim {
namespace {

Options Parse(std::vector<std::string> args) {
    return ParseArguments(args);
}

TEST(SetupTest, DefaultsToTheThreeMeterBusWithRealisticTiming) {
    const Options options = Parse({"--pty", "/tmp/x"});
    ASSERT_EQ(options.meters.size(), 3u);
    EXPECT_EQ(options.meters[0].address, "000230319105");
    EXPECT_EQ(options.meters[0].password, "250913");
    EXPECT_EQ(options.meters[0].level, 0x02);
    EXPECT_FALSE(options.meters[2].hasValve);
    EXPECT_EQ(options.timing.baud, 2400);
    EXPECT_GT(options.timing.delayMs, 0);
    EXPECT_FALSE(options.tcp);
}

TEST(SetupTest, ReadsTransportsTimingAndMeters) {
    const Options options =
        Parse({"--tcp", "0", "--instant", "--no-defaults", "--meter",
               "230319108:reading=1234.5,status=0C,valve=closed,level=03,password=123456",
               "--fault", "000230319108:delay=4000@2,foreign=1", "--verbose", "--echo"});
    EXPECT_TRUE(options.tcp);
    EXPECT_EQ(options.tcpHost, "127.0.0.1");
    EXPECT_EQ(options.tcpPort, 0);
    EXPECT_EQ(options.timing.baud, 0);
    EXPECT_EQ(options.timing.delayMs, 0);
    EXPECT_TRUE(options.verbose);
    EXPECT_TRUE(options.echo);
    EXPECT_FALSE(Parse({"--tcp", "0"}).echo);
    ASSERT_EQ(options.meters.size(), 1u);
    const Meter& meter = options.meters[0];
    EXPECT_EQ(meter.address, "000230319108");
    EXPECT_EQ(meter.reading, 123450u);
    EXPECT_EQ(meter.status, 0x0C);
    EXPECT_TRUE(meter.hasValve);
    EXPECT_TRUE(meter.valveClosed);
    EXPECT_EQ(meter.level, 0x03);
    EXPECT_EQ(meter.password, "123456");
    ASSERT_EQ(meter.faults.size(), 2u);
    EXPECT_EQ(meter.faults[0].kind, FaultKind::Delay);
    EXPECT_EQ(meter.faults[0].value, 4000);
    EXPECT_EQ(meter.faults[0].onlyNth, 2u);
    EXPECT_EQ(meter.faults[1].kind, FaultKind::Foreign);
    EXPECT_EQ(meter.faults[1].other, "000000000001");
    EXPECT_EQ(meter.faults[1].onlyNth, 0u);
}

TEST(SetupTest, TcpEndpointForms) {
    EXPECT_EQ(Parse({"--tcp", "0.0.0.0:1030"}).tcpHost, "0.0.0.0");
    EXPECT_EQ(Parse({"--tcp", "0.0.0.0:1030"}).tcpPort, 1030);
    EXPECT_EQ(Parse({"--tcp", "[::1]:7"}).tcpHost, "::1");
}

TEST(SetupTest, RejectsBadInputWithAReason) {
    const std::vector<std::vector<std::string>> cases = {
        {},         // nothing to listen on
        {"--tcp"},  // missing value
        {"--tcp", "65536"},
        {"--tcp", ":5"},
        {"--tcp", "0", "--baud", "-1"},
        {"--tcp", "0", "--frobnicate"},
        {"--tcp", "0", "--meter", "12345678901234"},  // too long
        {"--tcp", "0", "--meter", "0002303191O5"},    // letter O
        {"--tcp", "0", "--meter", "999999999999"},    // broadcast
        {"--tcp", "0", "--meter", "1:reading=1.234"},
        {"--tcp", "0", "--meter", "1:reading=1000000"},
        {"--tcp", "0", "--meter", "1:reading=."},
        {"--tcp", "0", "--meter", "1:status=100"},
        {"--tcp", "0", "--meter", "1:password=12345"},
        {"--tcp", "0", "--meter", "1:valve=ajar"},
        {"--tcp", "0", "--meter", "1:reading=5@2"},  // @N is for faults
        {"--tcp", "0", "--meter", "1:silent@0"},
        {"--tcp", "0", "--meter", "1:silent=1"},
        {"--tcp", "0", "--meter", "1:delay"},
        {"--tcp", "0", "--meter", "1:control=XYZ"},
        {"--tcp", "0", "--meter", "1:noise=0"},  // not whole bytes
        {"--tcp", "0", "--meter", "1:trail=GG"},
        {"--tcp", "0", "--meter", "1:noise"},
        {"--tcp", "0", "--fault", "000230319199:silent"},  // not on the bus
        {"--tcp", "0", "--no-defaults"},                   // no meters
        {"--tcp", "0", "--meters", "/nonexistent/meters.txt"},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_THROW(Parse(args), SetupError) << joined;
    }
}

TEST(SetupTest, BadItemLeavesTheBusUnchanged) {
    std::vector<Meter> meters = DefaultMeters();
    EXPECT_THROW(ApplyMeterEntry(meters, "000230319105:reading=5,valve=ajar", true), SetupError);
    EXPECT_EQ(meters[0].reading, 1100u);
}

TEST(SetupTest, MeterFileWithCommentsAndLineNumbersInErrors) {
    std::istringstream good(
        "# test bus\n"
        "\n"
        "000230319105 reading=11.00 valve=open   # the console's default\n"
        "230319108, reading=3.5, valve=none, status=08, delay=4000@2\n");
    const auto meters = ParseMeterFile(good, "bus.txt");
    ASSERT_EQ(meters.size(), 2u);
    EXPECT_EQ(meters[1].address, "000230319108");
    EXPECT_EQ(meters[1].reading, 350u);
    EXPECT_FALSE(meters[1].hasValve);
    ASSERT_EQ(meters[1].faults.size(), 1u);

    std::istringstream bad("000230319105\n000230319106 colour=red\n");
    try {
        ParseMeterFile(bad, "bus.txt");
        FAIL() << "no error";
    } catch (const SetupError& e) {
        EXPECT_NE(std::string(e.what()).find("bus.txt:2:"), std::string::npos) << e.what();
    }
    std::istringstream twice("000230319105\n230319105\n");
    EXPECT_THROW(ParseMeterFile(twice, "bus.txt"), SetupError);
}

}  // namespace
}  // namespace metersim
