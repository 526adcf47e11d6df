#include "LineEvents.h"

#include <gtest/gtest.h>

TEST(LineEvents, CountersThatMovedBecomeEvents) {
    const LineCounters before{3, 1, 0, 0, 0, 7, 0};
    struct Case {
        LineCounters after;
        uint32_t modem;
        uint32_t errors;
    } cases[] = {
        {before, 0, 0},
        {{4, 1, 0, 0, 0, 7, 0}, kModemCarrierChanged, 0},
        {{3, 2, 0, 0, 0, 7, 0}, kModemRing, 0},
        {{5, 9, 0, 0, 0, 7, 0}, kModemCarrierChanged | kModemRing, 0},
        {{3, 1, 1, 0, 0, 7, 0}, 0, kLineErrorFrame},
        {{3, 1, 0, 2, 0, 7, 0}, 0, kLineErrorParity},
        {{3, 1, 0, 0, 1, 7, 0}, 0, kLineErrorBreak},
        {{3, 1, 0, 0, 0, 8, 0}, 0, kLineErrorOverrun},
        {{3, 1, 0, 0, 0, 7, 1}, 0, kLineErrorRxOver},
        {{3, 1, 1, 1, 1, 9, 1}, 0, 0x1F},
    };
    for (const auto& c : cases) {
        const LineEvents e = CompareLineCounters(before, c.after);
        EXPECT_EQ(e.modemEvents, c.modem);
        EXPECT_EQ(e.lineErrors, c.errors);
    }
}

TEST(LineEvents, ModemLineSamples) {
    EXPECT_EQ(CompareModemLines(false, false, false, false), 0u);
    EXPECT_EQ(CompareModemLines(false, false, true, false), kModemCarrierChanged);
    EXPECT_EQ(CompareModemLines(true, false, false, false), kModemCarrierChanged);
    EXPECT_EQ(CompareModemLines(false, false, false, true), kModemRing);
    EXPECT_EQ(CompareModemLines(false, true, false, false), 0u);  // ring ending is no ring
    EXPECT_EQ(CompareModemLines(false, true, false, true), 0u);
}

TEST(LineEvents, ReportedErrors) {
    const uint32_t kFrameParity = kLineErrorFrame | kLineErrorParity;
    struct Case {
        uint32_t counted;
        bool haveCounters;
        size_t marks;
        bool parityCheck;
        uint32_t reported;
    } cases[] = {
        {0, false, 0, true, 0},
        {0, false, 2, true, kLineErrorParity},  // marks, nothing to tell them apart
        {0, false, 1, false, kLineErrorFrame},  // parity unchecked: a framing error
        {kFrameParity, true, 1, true, kFrameParity},
        {kLineErrorParity, true, 1, false, 0},  // counted parity, but not checked
        {kLineErrorOverrun, true, 0, false, kLineErrorOverrun},
        {0, true, 1, true, 0},  // counters trusted over marks
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReportedLineErrors(c.counted, c.haveCounters, c.marks, c.parityCheck), c.reported)
            << c.counted << " " << c.haveCounters << " " << c.marks << " " << c.parityCheck;
}
