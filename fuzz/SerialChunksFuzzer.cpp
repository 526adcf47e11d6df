// The receive thread's pure pieces under scripted bytes and times: the
// chunker that cuts the stream into reads, and the decoder of the kernel's
// parity marks. Both must deliver every byte once, in order, and keep their
// rules whatever the timing and however the input is split.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FuzzCheck.h"
#include "ParityMarks.h"
#include "ReadChunker.h"

namespace {
using Clock = ReadChunker::Clock;
using std::chrono::milliseconds;

void FuzzChunker(FuzzedDataProvider& input) {
    const bool defaults = input.ConsumeBool();
    CommTimeouts timeouts;  // read interval 100 ms, every total 0
    if (!defaults) {
        // Small values mostly, so reads actually complete; the edges too.
        auto pick = [&input]() -> uint32_t {
            switch (input.ConsumeIntegralInRange(0, 3)) {
                case 0:
                    return 0;
                case 1:
                    return 0xFFFFFFFF;
                case 2:
                    return input.ConsumeIntegralInRange<uint32_t>(1, 500);
                default:
                    return input.ConsumeIntegral<uint32_t>();
            }
        };
        timeouts.readIntervalTimeout = pick();
        timeouts.readTotalTimeoutMultiplier = pick();
        timeouts.readTotalTimeoutConstant = pick();
    }
    const size_t capacity =
        input.ConsumeBool() ? ReadChunker::kCapacity : input.ConsumeIntegralInRange<size_t>(1, 64);

    ReadChunker chunker(capacity);
    Clock::time_point now{};  // any fixed origin will do
    Clock::time_point lastByte = now;
    chunker.Begin(timeouts, now);
    std::string fed, taken;

    auto takeIfComplete = [&] {
        const auto left = chunker.TimeLeft(now);
        const bool complete = chunker.Complete(now);
        FUZZ_CHECK(complete == (left && *left == Clock::duration::zero()));
        if (left && *left > Clock::duration::zero()) {
            // Sleeping exactly that long makes the read complete, not sooner.
            FUZZ_CHECK(chunker.Complete(now + *left));
            FUZZ_CHECK(!chunker.Complete(now + *left - Clock::duration(1)));
        }
        const size_t held = fed.size() - taken.size();
        FUZZ_CHECK(chunker.Room() == (held < capacity ? capacity - held : 0));
        if (defaults && held > 0 && held < capacity)
            FUZZ_CHECK(complete == (now - lastByte > milliseconds(100)));
        if (!complete)
            return;
        const std::string chunk = chunker.Take();
        FUZZ_CHECK(chunk.size() <= capacity);
        if (defaults)
            FUZZ_CHECK(!chunk.empty());
        FUZZ_CHECK(fed.compare(taken.size(), chunk.size(), chunk) == 0);
        taken += chunk;
        chunker.Begin(timeouts, now);
        if (fed.size() > taken.size())
            lastByte = now;  // the rest counts as arrived now
    };

    while (input.remaining_bytes() > 0 && fed.size() < 16 * capacity + 4096) {
        switch (input.ConsumeIntegralInRange(0, 2)) {
            case 0:
                now += milliseconds(input.ConsumeIntegralInRange(0, 300));
                break;
            case 1:
                now += std::chrono::microseconds(input.ConsumeIntegralInRange(0, 2000));
                break;
            default: {
                const std::string bytes = input.ConsumeBytesAsString(
                    input.ConsumeIntegralInRange<size_t>(0, capacity + 8));
                chunker.Feed(bytes, now);
                if (!bytes.empty())
                    lastByte = now;
                fed += bytes;
                break;
            }
        }
        takeIfComplete();
    }
    // Whatever is still held comes out whole and in order.
    for (std::string rest; !(rest = chunker.Take()).empty();) {
        FUZZ_CHECK(rest.size() <= capacity);
        taken += rest;
    }
    FUZZ_CHECK(taken == fed);
}

// Marks the bytes as the kernel does under INPCK | PARMRK.
std::string MarkedStream(const std::vector<std::pair<char, bool>>& received) {
    std::string raw;
    for (const auto& [byte, marked] : received) {
        if (marked) {
            raw += '\377';
            raw += '\0';
            raw += byte;
        } else if (byte == '\377') {
            raw += "\377\377";
        } else {
            raw += byte;
        }
    }
    return raw;
}

// Decodes raw in pieces cut where the input says.
size_t DecodeInPieces(FuzzedDataProvider& input, const std::string& raw, std::string& out,
                      const ParityMarkOptions& options, ParityMarkDecoder& decoder) {
    size_t marks = 0;
    for (size_t at = 0; at < raw.size();) {
        const size_t n = std::min(raw.size() - at, input.ConsumeIntegralInRange<size_t>(1, 8));
        marks += decoder.Decode(std::string_view(raw).substr(at, n), out, options);
        FUZZ_CHECK(decoder.Pending() <= 2);
        at += n;
    }
    return marks;
}

void FuzzParityMarks(FuzzedDataProvider& input) {
    ParityMarkOptions options;
    options.replaceMarked = input.ConsumeBool();
    options.replacement = input.ConsumeIntegral<char>();
    options.dropNul = input.ConsumeBool();

    // What arrived on the line, and what the decoder must deliver of it.
    std::vector<std::pair<char, bool>> received;
    std::string expected;
    size_t expectedMarks = 0;
    const size_t count = input.ConsumeIntegralInRange<size_t>(0, 256);
    for (size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
        const char byte = input.ConsumeIntegral<char>();
        const bool marked = input.ConsumeIntegralInRange(0, 7) == 0;
        received.emplace_back(byte, marked);
        expectedMarks += marked;
        const char delivered = marked && options.replaceMarked ? options.replacement : byte;
        if (!(options.dropNul && delivered == '\0'))
            expected += delivered;
    }
    ParityMarkDecoder decoder;
    std::string out;
    FUZZ_CHECK(DecodeInPieces(input, MarkedStream(received), out, options, decoder) ==
               expectedMarks);
    FUZZ_CHECK(decoder.Pending() == 0);
    FUZZ_CHECK(out == expected);

    // Streams the kernel never produces: the same result however they are
    // cut, and never more bytes out than in.
    const std::string garbage = input.ConsumeRandomLengthString(512);
    ParityMarkDecoder whole, pieces;
    std::string wholeOut, piecesOut;
    const size_t wholeMarks = whole.Decode(garbage, wholeOut, options);
    FUZZ_CHECK(DecodeInPieces(input, garbage, piecesOut, options, pieces) == wholeMarks);
    FUZZ_CHECK(wholeOut == piecesOut && whole.Pending() == pieces.Pending());
    FUZZ_CHECK(wholeOut.size() + whole.Pending() <= garbage.size());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool())
        FuzzChunker(input);
    else
        FuzzParityMarks(input);
    return 0;
}
