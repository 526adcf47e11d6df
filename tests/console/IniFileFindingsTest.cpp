// Cases the Config.ini fuzzer found: saving must be repeatable byte for byte,
// and a file cut off after a CR must not glue the CR to a value.
#include "IniFile.h"

#include <gtest/gtest.h>

#include <string>

TEST(IniFileFindings, SavingTheSameValueAgainChangesNothing) {
    const struct {
        const char* what;
        const char* file;
        const char* value;
        const char* reads;
    } cases[] = {
        {"a line break that became a blank", "[TCP]\nHost=x\n", "\n", ""},
        {"leading blanks", "[TCP]\nHost=x\n", "  gw", "gw"},
        {"trailing blanks", "[TCP]\nHost=x\n", "gw \t", "gw"},
        {"a new key with blanks around", "", " gw ", "gw"},
    };
    for (const auto& c : cases) {
        IniFile first(c.file);
        first.WriteString("TCP", "Host", c.value);
        IniFile second(first.Text());
        EXPECT_EQ(second.ReadString("TCP", "Host"), c.reads) << c.what;
        second.WriteString("TCP", "Host", c.value);
        EXPECT_EQ(second.Text(), first.Text()) << c.what;
    }
}

TEST(IniFileFindings, ALoneCrAtTheEndEndsTheLastLine) {
    const std::string cut = "[TCP]\r\nHost=10.0.0.1\r";
    IniFile ini(cut);
    EXPECT_EQ(ini.Text(), cut);
    EXPECT_EQ(ini.ReadString("TCP", "Host"), "10.0.0.1");

    // A line added after it completes the CRLF instead of making the CR
    // part of the value.
    ini.WriteInteger("COM", "Port", 3);
    EXPECT_EQ(ini.Text(), "[TCP]\r\nHost=10.0.0.1\r\n\r\n[COM]\r\nPort=3\r\n");
    EXPECT_EQ(IniFile(ini.Text()).ReadString("TCP", "Host"), "10.0.0.1");

    IniFile foreign("[TCP]\nPort=1\n[Ports]\nCOM3=/dev/ttyUSB0\r");
    foreign.WriteString("TCP", "Host", "gw");
    foreign.WriteString("Ports", "COM4", "/dev/ttyUSB1");
    EXPECT_EQ(foreign.Text(),
              "[TCP]\nPort=1\nHost=gw\n[Ports]\nCOM3=/dev/ttyUSB0\r\nCOM4=/dev/ttyUSB1\n");
    EXPECT_EQ(IniFile(foreign.Text()).ReadString("Ports", "COM3"), "/dev/ttyUSB0");
}
