#include "Bus.h"

#include <algorithm>

namespace metersim {

namespace {

constexpr std::uint16_t kIdReading = 0x9010;
constexpr std::uint16_t kIdAddress = 0xC032;
constexpr std::uint16_t kIdValveState = 0xC03C;
constexpr std::uint16_t kIdValveOpen = 0x3355;
constexpr std::uint16_t kIdValveClose = 0x9966;

constexpr std::uint8_t kControlRead = 0x01;
constexpr std::uint8_t kControlWrite = 0x04;
constexpr std::uint8_t kControlReplyBit = 0x80;
constexpr std::uint8_t kControlErrorBits = 0xC0;

constexpr std::uint8_t kValveClosedBit = 0x80;
constexpr std::uint8_t kLoneByte = 0x00;
// Stands in for the most significant reading byte under the NonDecimal fault.
constexpr std::uint8_t kNonDecimalByte = 0xAB;

std::uint8_t Plain(std::uint8_t wire) {
    return static_cast<std::uint8_t>(wire - kDataOffset);
}
std::uint8_t Wire(std::uint8_t plain) {
    return static_cast<std::uint8_t>(plain + kDataOffset);
}
void PushPlain(Bytes& data, std::uint8_t plain) {
    data.push_back(Wire(plain));
}
void PushIdentifier(Bytes& data, std::uint16_t id) {
    PushPlain(data, static_cast<std::uint8_t>(id & 0xFF));
    PushPlain(data, static_cast<std::uint8_t>(id >> 8));
}
std::uint8_t HexByte(const std::string& text, std::size_t at) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return 0;
    };
    return static_cast<std::uint8_t>(nibble(text[at]) << 4 | nibble(text[at + 1]));
}

bool Active(const Fault& fault, const Meter& meter) {
    return fault.onlyNth == 0 || fault.onlyNth == meter.requests;
}

}  // namespace

std::vector<Meter> DefaultMeters() {
    Meter first;
    first.address = "000230319105";
    first.reading = 1100;  // 11.00 t
    Meter second;
    second.address = "000230319106";
    second.reading = 123456;  // 1234.56 t
    second.valveClosed = true;
    Meter third;
    third.address = "000230319107";
    third.reading = 5;    // 0.05 t
    third.status = 0x08;  // battery low, so a status report shows a fault
    third.hasValve = false;
    return {first, second, third};
}

std::int64_t WireTimeMs(std::size_t count, int baud) {
    if (baud <= 0)
        return 0;
    const std::int64_t bits = static_cast<std::int64_t>(count) * 11 * 1000;
    return (bits + baud - 1) / baud;
}

Bus::Bus(std::vector<Meter> meters, Timing timing) : meters_(std::move(meters)), timing_(timing) {}

Transmission Bus::Handle(const Frame& request) {
    // Replies of other meters (or our own echo) are heard on a bus, never answered.
    if (request.control & kControlReplyBit)
        return {};
    const WireAddress broadcast{0x99, 0x99, 0x99, 0x99, 0x99, 0x99};
    const bool toAll = request.address == broadcast;

    std::vector<std::vector<Part>> answers;
    for (Meter& meter : meters_) {
        if (!toAll && AddressToWire(meter.address) != request.address)
            continue;
        auto parts = Answer(meter, request);
        if (!parts.empty())
            answers.push_back(std::move(parts));
    }
    if (answers.empty())
        return {};
    if (answers.size() == 1)
        return Pace(answers.front());

    // Several meters talk at once. On an open-collector bus a 0 bit wins, so the
    // line carries the AND of all streams; we line them up at their first byte.
    std::int64_t start = 0;
    Bytes line;
    for (const auto& parts : answers) {
        start = std::max(start, parts.front().gapMs);
        Bytes stream;
        for (const Part& part : parts)
            stream.insert(stream.end(), part.bytes.begin(), part.bytes.end());
        if (stream.size() > line.size())
            line.resize(stream.size(), 0xFF);  // idle line reads as 1s
        for (std::size_t i = 0; i < stream.size(); ++i)
            line[i] &= stream[i];
    }
    return Pace({{start, std::move(line)}});
}

std::vector<Bus::Part> Bus::Answer(Meter& meter, const Frame& request) {
    ++meter.requests;
    std::vector<const Fault*> faults;
    for (const Fault& fault : meter.faults)
        if (Active(fault, meter))
            faults.push_back(&fault);
    auto find = [&](FaultKind kind) -> const Fault* {
        for (const Fault* fault : faults)
            if (fault->kind == kind)
                return fault;
        return nullptr;
    };
    if (find(FaultKind::Silent))
        return {};

    Frame reply;
    reply.address = AddressToWire(meter.address);
    reply.control = request.control | kControlReplyBit;
    auto error = [&](std::uint8_t code) {
        reply.control = request.control | kControlErrorBits;
        reply.data.clear();
        PushPlain(reply.data, code);
    };
    auto refuse = [&](std::uint8_t code) { PushPlain(reply.data, code); };

    const Bytes& in = request.data;
    const std::uint16_t id =
        in.size() >= 2 ? static_cast<std::uint16_t>(Plain(in[0]) | Plain(in[1]) << 8) : 0;
    bool isReading = false;
    bool isAddress = false;

    if (request.control == kControlRead) {
        if (in.size() < 2) {
            error(kErrIllegalData);
        } else if (id == kIdReading) {
            isReading = true;
            PushIdentifier(reply.data, id);
            std::uint32_t rest = meter.reading;
            for (int i = 0; i < 4; ++i) {
                const unsigned pair = rest % 100;
                rest /= 100;
                PushPlain(reply.data, static_cast<std::uint8_t>((pair / 10) << 4 | pair % 10));
            }
            std::uint8_t status = meter.status;
            if (meter.hasValve)
                status = (status & ~kValveClosedBit) | (meter.valveClosed ? kValveClosedBit : 0);
            PushPlain(reply.data, status);
            PushPlain(reply.data, 0x00);  // reserved
        } else if (id == kIdAddress) {
            isAddress = true;
            PushIdentifier(reply.data, id);
            for (std::uint8_t b : reply.address)
                PushPlain(reply.data, b);
        } else if (id == kIdValveState && meter.hasValve) {
            PushIdentifier(reply.data, id);
            PushPlain(reply.data, meter.valveClosed ? kValveClosedBit : 0);
        } else {
            error(kErrUnknownIdentifier);
        }
    } else if (request.control == kControlWrite) {
        if (in.size() < 2) {
            error(kErrIllegalData);
        } else if (id != kIdValveOpen && id != kIdValveClose) {
            error(kErrUnknownIdentifier);
        } else if (in.size() < 6) {
            error(kErrIllegalData);
        } else if (const Fault* refusal = find(FaultKind::Refuse)) {
            refuse(static_cast<std::uint8_t>(refusal->value));
        } else if (!meter.hasValve) {
            refuse(kRefusedNoValve);
        } else if (Plain(in[2]) != meter.level || Plain(in[3]) != HexByte(meter.password, 4) ||
                   Plain(in[4]) != HexByte(meter.password, 2) ||
                   Plain(in[5]) != HexByte(meter.password, 0)) {
            refuse(kRefusedPassword);
        } else {
            meter.valveClosed = id == kIdValveClose;
        }
    } else {
        error(kErrIllegalData);
    }

    if (isReading && find(FaultKind::NonDecimal))
        reply.data[5] = Wire(kNonDecimalByte);
    if (const Fault* foreign = find(FaultKind::Foreign)) {
        reply.address = AddressToWire(foreign->other);
        if (isAddress)
            for (std::size_t i = 0; i < 6; ++i)
                reply.data[2 + i] = Wire(reply.address[i]);
    }
    if (const Fault* control = find(FaultKind::Control))
        reply.control = static_cast<std::uint8_t>(control->value);

    Bytes bytes(kPreambleLength, kPreambleByte);
    const Bytes body = EncodeFrame(reply);
    bytes.insert(bytes.end(), body.begin(), body.end());
    if (find(FaultKind::BadChecksum))
        ++bytes[bytes.size() - 2];
    if (const Fault* noise = find(FaultKind::Noise))
        bytes.insert(bytes.begin(), noise->bytes.begin(), noise->bytes.end());
    if (const Fault* trail = find(FaultKind::Trail))
        bytes.insert(bytes.end(), trail->bytes.begin(), trail->bytes.end());

    std::int64_t gap = timing_.delayMs;
    for (const Fault* fault : faults)
        if (fault->kind == FaultKind::Delay)
            gap += fault->value;

    std::vector<Part> parts;
    if (const Fault* lone = find(FaultKind::LoneByte)) {
        parts.push_back({gap, Bytes{kLoneByte}});
        gap = lone->value;
    }
    if (const Fault* split = find(FaultKind::Split)) {
        const auto half = bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2);
        parts.push_back({gap, Bytes(bytes.begin(), half)});
        parts.push_back({split->value, Bytes(half, bytes.end())});
    } else {
        parts.push_back({gap, std::move(bytes)});
    }
    return parts;
}

Transmission Bus::Pace(const std::vector<Part>& parts) const {
    Transmission out;
    std::int64_t clock = 0;
    for (const Part& part : parts) {
        clock += part.gapMs + WireTimeMs(part.bytes.size(), timing_.baud);
        out.push_back({clock, part.bytes});
    }
    return out;
}

}  // namespace metersim
