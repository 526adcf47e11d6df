#include "Setup.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace metersim {

namespace {

constexpr long long kMaxMs = 3'600'000;

bool AllOf(const std::string& text, bool (*pred)(char)) {
    for (char c : text)
        if (!pred(c))
            return false;
    return true;
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

long long ParseNumber(const std::string& text, long long max, const std::string& what) {
    long long value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < 0 || value > max)
        throw SetupError(what + ": '" + text + "' is not a number from 0 to " +
                         std::to_string(max));
    return value;
}

std::uint8_t ParseHexByte(const std::string& text, const std::string& what) {
    if (text.empty() || text.size() > 2 || !AllOf(text, IsHexDigit))
        throw SetupError(what + ": '" + text + "' is not a hex byte (00 to FF)");
    return static_cast<std::uint8_t>(std::stoi(text, nullptr, 16));
}

// "1234.56" -> 123456 hundredths; at most eight digits in all.
std::uint32_t ParseReading(const std::string& text) {
    const auto dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    if (whole.empty() || whole.size() > 6 || !AllOf(whole, IsDigit) || fraction.size() > 2 ||
        (dot != std::string::npos && fraction.empty()) || !AllOf(fraction, IsDigit))
        throw SetupError("reading: '" + text + "' is not tons from 0 to 999999.99");
    fraction.resize(2, '0');
    return static_cast<std::uint32_t>(std::stoul(whole) * 100 + std::stoul(fraction));
}

std::vector<std::string> SplitItems(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text + ",") {
        if (c == ',' || c == ' ' || c == '\t' || c == '\r') {
            if (!item.empty())
                items.push_back(item);
            item.clear();
        } else {
            item.push_back(c);
        }
    }
    return items;
}

void ApplyItem(Meter& meter, const std::string& item) {
    std::string key = item;
    std::string value;
    unsigned nth = 0;
    if (const auto at = key.find('@'); at != std::string::npos) {
        nth = static_cast<unsigned>(ParseNumber(key.substr(at + 1), 1'000'000, item));
        if (nth == 0)
            throw SetupError(item + ": requests are counted from 1");
        key.erase(at);
    }
    if (const auto eq = key.find('='); eq != std::string::npos) {
        value = key.substr(eq + 1);
        key.erase(eq);
    }
    auto needValue = [&] {
        if (value.empty())
            throw SetupError(item + ": needs a value (" + key + "=...)");
    };
    auto noValue = [&] {
        if (!value.empty())
            throw SetupError(item + ": takes no value");
    };
    auto property = [&] {
        if (nth != 0)
            throw SetupError(item + ": @N applies to faults only");
        needValue();
    };
    auto fault = [&](FaultKind kind) -> Fault& {
        meter.faults.push_back(Fault{kind, 0, {}, {}, nth});
        return meter.faults.back();
    };

    if (key == "reading") {
        property();
        meter.reading = ParseReading(value);
    } else if (key == "status") {
        property();
        meter.status = ParseHexByte(value, item);
    } else if (key == "level") {
        property();
        meter.level = ParseHexByte(value, item);
    } else if (key == "password") {
        property();
        if (value.size() != 6 || !AllOf(value, IsHexDigit))
            throw SetupError(item + ": the password is six digits");
        meter.password = value;
    } else if (key == "valve") {
        property();
        if (value == "open" || value == "closed") {
            meter.hasValve = true;
            meter.valveClosed = value == "closed";
        } else if (value == "none") {
            meter.hasValve = false;
            meter.valveClosed = false;
        } else {
            throw SetupError(item + ": valve is open, closed or none");
        }
    } else if (key == "silent") {
        noValue();
        fault(FaultKind::Silent);
    } else if (key == "badsum") {
        noValue();
        fault(FaultKind::BadChecksum);
    } else if (key == "nondecimal") {
        noValue();
        fault(FaultKind::NonDecimal);
    } else if (key == "delay" || key == "split" || key == "lone") {
        needValue();
        const auto kind = key == "delay"   ? FaultKind::Delay
                          : key == "split" ? FaultKind::Split
                                           : FaultKind::LoneByte;
        fault(kind).value = static_cast<int>(ParseNumber(value, kMaxMs, item));
    } else if (key == "control" || key == "refuse") {
        needValue();
        const auto kind = key == "control" ? FaultKind::Control : FaultKind::Refuse;
        fault(kind).value = ParseHexByte(value, item);
    } else if (key == "noise" || key == "trail") {
        needValue();
        if (value.size() % 2 != 0 || value.size() > 64 || !AllOf(value, IsHexDigit))
            throw SetupError(item + ": up to 32 bytes as pairs of hex digits");
        Fault& f = fault(key == "noise" ? FaultKind::Noise : FaultKind::Trail);
        for (size_t i = 0; i < value.size(); i += 2)
            f.bytes.push_back(static_cast<std::uint8_t>(ParseHexByte(value.substr(i, 2), item)));
    } else if (key == "foreign") {
        needValue();
        const std::string other = ParseAddress(value);
        fault(FaultKind::Foreign).other = other;
    } else {
        throw SetupError("unknown item '" + item + "'");
    }
}

Meter& FindOrAdd(std::vector<Meter>& meters, const std::string& address, bool mustExist) {
    for (Meter& meter : meters)
        if (meter.address == address)
            return meter;
    if (mustExist)
        throw SetupError("no meter " + address + " on the bus");
    Meter meter;
    meter.address = address;
    meters.push_back(meter);
    return meters.back();
}

std::string FaultText(const Fault& fault) {
    static const char* const kNames[] = {"silent",     "delay",   "split",  "lone",
                                         "badsum",     "control", "refuse", "foreign",
                                         "nondecimal", "noise",   "trail"};
    std::string text = kNames[static_cast<int>(fault.kind)];
    char hex[3];
    switch (fault.kind) {
        case FaultKind::Delay:
        case FaultKind::Split:
        case FaultKind::LoneByte:
            // Appended piece by piece: "=" + std::to_string(...) trips a
            // false -Wrestrict in GCC 12 Release builds.
            text += '=';
            text += std::to_string(fault.value);
            break;
        case FaultKind::Control:
        case FaultKind::Refuse:
            std::snprintf(hex, sizeof hex, "%02X", fault.value & 0xFF);
            text += '=';
            text += hex;
            break;
        case FaultKind::Foreign:
            text += '=';
            text += fault.other;
            break;
        case FaultKind::Noise:
        case FaultKind::Trail:
            text += "=";
            for (std::uint8_t b : fault.bytes) {
                std::snprintf(hex, sizeof hex, "%02X", b);
                text += hex;
            }
            break;
        default:
            break;
    }
    if (fault.onlyNth != 0) {
        text += '@';
        text += std::to_string(fault.onlyNth);
    }
    return text;
}

}  // namespace

std::string ParseAddress(const std::string& text) {
    if (text.empty() || text.size() > 12 || !AllOf(text, IsDigit))
        throw SetupError("address '" + text + "' is not 1 to 12 decimal digits");
    const std::string address = std::string(12 - text.size(), '0') + text;
    if (address == "999999999999")
        throw SetupError("999999999999 is the broadcast address, not a meter's");
    return address;
}

void ApplyMeterEntry(std::vector<Meter>& meters, const std::string& entry, bool mustExist) {
    const auto colon = entry.find(':');
    const std::string address = ParseAddress(entry.substr(0, colon));
    // Work on a copy so a bad item leaves the bus as it was.
    std::vector<Meter> updated = meters;
    Meter& meter = FindOrAdd(updated, address, mustExist);
    if (colon != std::string::npos)
        for (const std::string& item : SplitItems(entry.substr(colon + 1)))
            ApplyItem(meter, item);
    meters = std::move(updated);
}

std::vector<Meter> ParseMeterFile(std::istream& in, const std::string& name) {
    std::vector<Meter> meters;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (const auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        auto items = SplitItems(line);
        if (items.empty())
            continue;
        try {
            const std::string address = ParseAddress(items.front());
            for (const Meter& meter : meters)
                if (meter.address == address)
                    throw SetupError("meter " + address + " is listed twice");
            Meter meter;
            meter.address = address;
            for (std::size_t i = 1; i < items.size(); ++i)
                ApplyItem(meter, items[i]);
            meters.push_back(std::move(meter));
        } catch (const SetupError& e) {
            throw SetupError(name + ":" + std::to_string(number) + ": " + e.what());
        }
    }
    return meters;
}

Options ParseArguments(const std::vector<std::string>& args) {
    Options options;
    enum class Base { Defaults, Empty, File } base = Base::Defaults;
    std::string meterFile;
    std::vector<std::pair<std::string, bool>> entries;  // entry, must exist

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw SetupError(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--echo") {
            options.echo = true;
        } else if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
        } else if (arg == "--pty") {
            options.ptyLink = value();
            if (options.ptyLink.empty())
                throw SetupError("--pty needs a path");
        } else if (arg == "--tcp") {
            std::string endpoint = value();
            const auto colon = endpoint.rfind(':');
            std::string port = endpoint;
            if (colon != std::string::npos) {
                std::string host = endpoint.substr(0, colon);
                if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
                    host = host.substr(1, host.size() - 2);
                if (host.empty())
                    throw SetupError("--tcp " + endpoint + ": empty host");
                options.tcpHost = host;
                port = endpoint.substr(colon + 1);
            }
            options.tcpPort = static_cast<int>(ParseNumber(port, 65535, "--tcp port"));
            options.tcp = true;
        } else if (arg == "--baud") {
            options.timing.baud = static_cast<int>(ParseNumber(value(), 1'000'000, "--baud"));
        } else if (arg == "--delay") {
            options.timing.delayMs = static_cast<int>(ParseNumber(value(), kMaxMs, "--delay"));
        } else if (arg == "--instant") {
            options.timing = Timing{0, 0};
        } else if (arg == "--no-defaults") {
            base = Base::Empty;
        } else if (arg == "--meters") {
            meterFile = value();
            base = Base::File;
        } else if (arg == "--meter") {
            entries.emplace_back(value(), false);
        } else if (arg == "--fault") {
            entries.emplace_back(value(), true);
        } else {
            throw SetupError("unknown option '" + arg + "' (see --help)");
        }
    }
    if (options.help)
        return options;

    if (base == Base::Defaults) {
        options.meters = DefaultMeters();
    } else if (base == Base::File) {
        std::ifstream file(meterFile);
        if (!file)
            throw SetupError("cannot read meter file " + meterFile);
        options.meters = ParseMeterFile(file, meterFile);
    }
    for (const auto& [entry, mustExist] : entries)
        ApplyMeterEntry(options.meters, entry, mustExist);

    if (options.ptyLink.empty() && !options.tcp)
        throw SetupError("nothing to listen on: give --pty LINK, --tcp [HOST:]PORT or both");
    if (options.meters.empty())
        throw SetupError("the bus has no meters");
    return options;
}

std::string DescribeMeter(const Meter& meter) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%s reading %u.%02u status %02X valve %s level %02X password %s",
                  meter.address.c_str(), meter.reading / 100, meter.reading % 100, meter.status,
                  !meter.hasValve     ? "none"
                  : meter.valveClosed ? "closed"
                                      : "open",
                  meter.level, meter.password.c_str());
    std::string out = text;
    for (const Fault& fault : meter.faults) {
        out += ' ';
        out += FaultText(fault);
    }
    return out;
}

std::string UsageText() {
    return R"(Usage: meter-sim [OPTIONS]
A bus of simulated DL/T 645-1997 water meters with valves, reachable over a
pseudo-terminal and over a TCP gateway, one or both at once.

Transports (at least one):
  --pty LINK          create a pseudo-terminal and make LINK a symlink to it
  --tcp [HOST:]PORT   listen as a transparent TCP gateway; HOST defaults to
                      127.0.0.1, PORT 0 picks a free port
Timing:
  --baud N            pace replies at the wire time of 8-E-1 at N baud
                      (0: no pacing; default 2400)
  --delay MS          the meters' answer time (default 50)
  --instant           no answer time and no pacing (--baud 0 --delay 0)
Meters:
  --meters FILE       the bus is the meters in FILE instead of the default three
  --no-defaults       start from an empty bus
  --meter METER       add a meter, or change the meter with that address
  --fault METER       like --meter, for a meter that must already be on the bus
Other:
  --echo              send every byte received straight back, before any reply,
                      as an adapter with local echo does
  --verbose           print every frame received and sent with a time stamp
  --help              this text

METER is ADDR or ADDR:ITEM,ITEM,...  with ADDR up to 12 decimal digits.
Meter items:
  reading=TONS        e.g. 11 or 1234.56 (default 0)
  status=HH           status byte in hex; bit 7 follows the valve when one is
                      fitted (default 00)
  valve=open|closed|none   (default open)
  level=HH            password level (default 02)
  password=DDDDDD     six digits (default 250913)
Faults; add @N to apply one to the meter's N-th request only:
  silent              no reply
  delay=MS            answer MS later than usual
  split=MS            send the reply in two halves, MS apart
  lone=MS             send a lone 00 byte, then the reply MS later
  badsum              corrupt the checksum
  control=HH          reply with control code HH
  refuse=HH           refuse valve writes with failure code HH
  foreign=ADDR        reply with another meter's address
  nondecimal          reading digits that are not decimal (AB in the top pair)
  noise=HEX           send these bytes (pairs of hex digits) just before the reply
  trail=HEX           send these bytes just after the reply

Meter file: one meter per line, ADDR then items separated by blanks or commas;
'#' starts a comment. For example:
  000230319105  reading=11.00 valve=open
  000230319108  reading=3.5 valve=none status=08 delay=4000@2

The default bus:
  000230319105  reading=11 valve=open
  000230319106  reading=1234.56 valve=closed
  000230319107  reading=0.05 valve=none status=08

Every meter answers the all-nines address 999999999999; with several meters
their replies collide on the line (wired AND) into garbage.
Valve writes are refused with failure code 04 for a wrong password or level and
02 when no valve is fitted. Unknown identifiers get the error reply (control
code with bit 6 set).

Output: "pty LINK DEVICE" and "tcp HOST:PORT" once listening, then "ready".
Stops on SIGINT, SIGTERM or SIGHUP and removes LINK.

Examples:
  meter-sim --pty /tmp/COM1 --tcp 127.0.0.1:1030 --verbose
  meter-sim --tcp 0 --instant --fault 000230319106:delay=4000@1,badsum@3
  meter-sim --pty /tmp/COM1 --no-defaults --meter 000230319105:reading=42.5
)";
}

}  // namespace metersim
