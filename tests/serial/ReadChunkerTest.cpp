#include "ReadChunker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
using namespace std::chrono_literals;
using Clock = ReadChunker::Clock;
using std::chrono::nanoseconds;

struct Arrival {
    nanoseconds at;
    size_t count;
};
struct Chunk {
    size_t size;
    nanoseconds at;
    bool operator==(const Chunk&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Chunk& c) {
    return os << "{" << c.size << " bytes at " << c.at.count() << " ns}";
}

// Runs the chunker as the receive thread does, with scripted arrivals, up to
// `end`; a read that completes empty ends it (as it ends the thread).
// Returns the completed reads, and the bytes in the order delivered.
std::vector<Chunk> Drive(const CommTimeouts& t, const std::vector<Arrival>& arrivals,
                         nanoseconds end, std::string* delivered = nullptr,
                         ReplyEndRule rule = {}) {
    const Clock::time_point zero{};
    ReadChunker chunker;
    chunker.SetEndRule(std::move(rule));
    std::vector<Chunk> chunks;
    nanoseconds now{};
    bool ended = false;
    auto collect = [&] {
        while (!ended && chunker.Complete(zero + now)) {
            std::string bytes = chunker.Take();
            chunks.push_back({bytes.size(), now});
            if (delivered)
                *delivered += bytes;
            if (bytes.empty())
                ended = true;
            else
                chunker.Begin(t, zero + now);
        }
    };
    auto runUntil = [&](nanoseconds limit) {
        while (!ended) {
            const auto left = chunker.TimeLeft(zero + now);
            if (!left || now + *left > limit)
                break;
            now += *left;
            collect();
        }
        now = limit;
    };
    char next = 0;
    chunker.Begin(t, zero);
    collect();
    for (const Arrival& a : arrivals) {
        runUntil(a.at);
        if (ended)
            break;
        std::string bytes;
        for (size_t i = 0; i < a.count; ++i)
            bytes.push_back(next++);
        chunker.Feed(bytes, zero + now);
        collect();
    }
    runUntil(end);
    return chunks;
}

constexpr nanoseconds kTick = Clock::duration(1);  // "more than" the interval
constexpr uint32_t kMax = 0xFFFFFFFF;
}  // namespace

TEST(ReadChunker, DefaultTimeoutsCutAtSilenceAndSize) {
    const CommTimeouts defaults;  // interval 100, totals 0
    struct Case {
        const char* what;
        std::vector<Arrival> arrivals;
        std::vector<Chunk> chunks;
    } cases[] = {
        {"nothing arrives: the read waits without limit", {}, {}},
        {"gaps of exactly 100 ms: one chunk",
         {{0ms, 5}, {100ms, 5}, {200ms, 5}},
         {{15, 300ms + kTick}}},
        {"a gap of 101 ms: two chunks",
         {{0ms, 5}, {101ms, 5}},
         {{5, 100ms + kTick}, {5, 201ms + kTick}}},
        {"the first byte may come any time later", {{5s, 3}}, {{3, 5100ms + kTick}}},
        {"5000 bytes at once: 2048, 2048, the rest after the silence",
         {{0ms, 5000}},
         {{2048, 0ms}, {2048, 0ms}, {904, 100ms + kTick}}},
        {"exactly 2048: no wait for silence", {{0ms, 2000}, {50ms, 48}}, {{2048, 50ms}}},
        {"a full read mid-burst restarts the silence rule",
         {{0ms, 2047}, {60ms, 2}, {120ms, 1}},
         {{2048, 60ms}, {2, 220ms + kTick}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Drive(defaults, c.arrivals, 10s), c.chunks) << c.what;
}

TEST(ReadChunker, EndRuleCompletesTheReadAtTheReplysLastByte) {
    // The scripted bytes count up from 0: a "reply" is complete once byte 5 is in.
    const ReplyEndRule sixBytes = [](std::string_view b) -> size_t {
        return b.find('\x05') == std::string_view::npos ? 0 : b.find('\x05') + 1;
    };
    const CommTimeouts defaults;
    struct Case {
        const char* what;
        std::vector<Arrival> arrivals;
        std::vector<Chunk> chunks;
    } cases[] = {
        {"complete at its last byte", {{0ms, 3}, {50ms, 3}}, {{6, 50ms}}},
        {"bytes after it in the same arrival come along", {{0ms, 8}}, {{8, 0ms}}},
        // The rule judges each read on its own: a first part without the
        // end waits for silence, the part holding the end completes at once.
        {"a reply cut by a pause", {{0ms, 3}, {150ms, 3}}, {{3, 100ms + kTick}, {3, 150ms}}},
        {"what follows the reply is cut by silence",
         {{0ms, 6}, {20ms, 2}},
         {{6, 0ms}, {2, 120ms + kTick}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Drive(defaults, c.arrivals, 10s, nullptr, sixBytes), c.chunks) << c.what;
    // Without the rule the same reply waits for the silence.
    EXPECT_EQ(Drive(defaults, {{0ms, 3}, {50ms, 3}}, 10s),
              (std::vector<Chunk>{{6, 150ms + kTick}}));
}

TEST(ReadChunker, OtherTimeoutsKeepTheirWindowsMeaning) {
    struct Case {
        const char* what;
        CommTimeouts t;
        std::vector<Arrival> arrivals;
        std::vector<Chunk> chunks;
    } cases[] = {
        {"no interval, no totals: only a full read completes",
         {0, 0, 0, 0, 0},
         {{0ms, 10}, {5s, 2038}},
         {{2048, 5s}}},
        {"total constant: the read ends with what it has",
         {0, 0, 50, 0, 0},
         {{10ms, 3}, {70ms, 4}},
         {{3, 50ms}, {4, 100ms}, {0, 150ms}}},
        {"total constant with nothing: an empty read", {100, 0, 30, 0, 0}, {}, {{0, 30ms}}},
        {"interval before the total",
         {20, 0, 500, 0, 0},
         {{0ms, 1}},
         {{1, 20ms + kTick}, {0, 520ms + kTick}}},
        {"multiplier counts per requested byte",
         {0, 1, 0, 0, 0},
         {{0ms, 1}},
         {{1, 2048ms}, {0, 4096ms}}},
        {"MAXDWORD interval alone: at once, even empty", {kMax, 0, 0, 0, 0}, {}, {{0, 0ms}}},
        {"MAXDWORD interval and multiplier: at the first bytes",
         {kMax, kMax, 1000, 0, 0},
         {{40ms, 3}},
         {{3, 40ms}, {0, 1040ms}}},
        {"MAXDWORD interval and multiplier: empty after the constant",
         {kMax, kMax, 1000, 0, 0},
         {},
         {{0, 1000ms}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Drive(c.t, c.arrivals, 10s), c.chunks) << c.what;
}

TEST(ReadChunker, DeliversEveryByteOnceInOrder) {
    std::vector<Arrival> arrivals;
    nanoseconds at{};
    for (int i = 0; i < 300; ++i) {
        at += std::chrono::milliseconds((i * 37) % 160);
        arrivals.push_back({at, size_t((i * 131) % 700)});
    }
    size_t total = 0;
    for (const auto& a : arrivals)
        total += a.count;
    std::string delivered;
    const auto chunks = Drive(CommTimeouts{}, arrivals, at + 1s, &delivered);
    ASSERT_EQ(delivered.size(), total);
    for (size_t i = 0; i < delivered.size(); ++i)
        ASSERT_EQ(delivered[i], static_cast<char>(i)) << i;
    for (const auto& c : chunks) {
        EXPECT_GT(c.size, 0u);
        EXPECT_LE(c.size, ReadChunker::kCapacity);
    }
}

TEST(ReadChunker, WaitsTillJustPastTheInterval) {
    ReadChunker chunker;
    const Clock::time_point t0{};
    chunker.Begin(CommTimeouts{}, t0);
    EXPECT_FALSE(chunker.TimeLeft(t0 + 1h).has_value());
    chunker.Feed("ab", t0 + 10ms);
    EXPECT_EQ(chunker.TimeLeft(t0 + 10ms), 100ms + kTick);
    EXPECT_FALSE(chunker.Complete(t0 + 110ms));
    EXPECT_TRUE(chunker.Complete(t0 + 110ms + kTick));
    EXPECT_EQ(chunker.TimeLeft(t0 + 1s), nanoseconds::zero());
    EXPECT_EQ(chunker.Take(), "ab");
}
