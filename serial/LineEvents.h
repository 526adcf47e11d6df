// Turns what a driver can tell about its lines into the component's event
// bits: modem events (kModem*) and line errors (kLineError*). Pure, so the
// mapping is checked with tables.
#pragma once

#include "SerialSettings.h"

#include <cstddef>
#include <cstdint>

// The driver's running interrupt counts (TIOCGICOUNT on Linux).
struct LineCounters {
    int dcd = 0, rng = 0, frame = 0, parity = 0, brk = 0, overrun = 0, bufOverrun = 0;
};

struct LineEvents {
    uint32_t modemEvents = 0;
    uint32_t lineErrors = 0;
};

// Every counter that moved between two samples.
LineEvents CompareLineCounters(const LineCounters& before, const LineCounters& after);

// From two samples of the modem lines, for drivers without counters: a
// carrier change either way, a ring when the indicator comes on.
uint32_t CompareModemLines(bool carrierBefore, bool ringBefore, bool carrierAfter, bool ringAfter);

// The line errors to report for one read: counted errors where the driver has
// counters, otherwise one guess from the marked bytes. Parity errors count
// only while received parity is checked.
uint32_t ReportedLineErrors(uint32_t countedErrors, bool haveCounters, size_t markedBytes,
                            bool parityCheck);
