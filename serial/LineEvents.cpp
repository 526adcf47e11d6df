#include "LineEvents.h"

LineEvents CompareLineCounters(const LineCounters& before, const LineCounters& after) {
    LineEvents e;
    if (after.dcd != before.dcd)
        e.modemEvents |= kModemCarrierChanged;
    if (after.rng != before.rng)
        e.modemEvents |= kModemRing;
    if (after.frame != before.frame)
        e.lineErrors |= kLineErrorFrame;
    if (after.parity != before.parity)
        e.lineErrors |= kLineErrorParity;
    if (after.brk != before.brk)
        e.lineErrors |= kLineErrorBreak;
    if (after.overrun != before.overrun)
        e.lineErrors |= kLineErrorOverrun;
    if (after.bufOverrun != before.bufOverrun)
        e.lineErrors |= kLineErrorRxOver;
    return e;
}

uint32_t CompareModemLines(bool carrierBefore, bool ringBefore, bool carrierAfter, bool ringAfter) {
    uint32_t bits = 0;
    if (carrierBefore != carrierAfter)
        bits |= kModemCarrierChanged;
    if (ringAfter && !ringBefore)
        bits |= kModemRing;
    return bits;
}

uint32_t ReportedLineErrors(uint32_t countedErrors, bool haveCounters, size_t markedBytes,
                            bool parityCheck) {
    uint32_t errors = countedErrors;
    // Without counters a mark cannot tell parity from framing: name the one
    // that is being checked for.
    if (!haveCounters && markedBytes > 0)
        errors |= parityCheck ? kLineErrorParity : kLineErrorFrame;
    if (!parityCheck)
        errors &= ~kLineErrorParity;
    return errors;
}
