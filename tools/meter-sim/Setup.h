// Command line and meter file of meter-sim.
#pragma once

#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bus.h"

namespace metersim {

// Bad input on the command line or in a meter file; the message says what and where.
struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string ptyLink;  // empty: no pty
    bool tcp = false;
    std::string tcpHost = "127.0.0.1";
    int tcpPort = 0;
    Timing timing{2400, 50};
    std::vector<Meter> meters;
    bool verbose = false;
    bool echo = false;  // every request is echoed back before any reply
    bool help = false;
};

Options ParseArguments(const std::vector<std::string>& args);

// "ADDR:item,item" applied to `meters`: changes the meter with that address, or
// adds one when there is none and `mustExist` is false.
void ApplyMeterEntry(std::vector<Meter>& meters, const std::string& entry, bool mustExist);

// One meter per line: ADDR and items separated by blanks or commas; '#' comments.
std::vector<Meter> ParseMeterFile(std::istream& in, const std::string& name);

// 1 to 12 decimal digits, padded to 12; the broadcast address is refused.
std::string ParseAddress(const std::string& text);

std::string UsageText();

// "reading 11.00 status 00 valve open level 02 password 250913 faults ..."
std::string DescribeMeter(const Meter& meter);

}  // namespace metersim
