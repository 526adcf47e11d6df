// Any reply text through VerifyChecksum and every operation's decoding on
// both tabs: a result or EConvertError, nothing else.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FrameCodec.h"
#include "MeterCommands.h"

namespace {

constexpr Operation kOperations[] = {Operation::ReadAddress, Operation::ReadReading,
                                     Operation::OpenValve, Operation::CloseValve,
                                     Operation::ReadValveState};

void DecodeBothSteps(Operation operation, Tab tab, const std::string& reply) {
    std::string computed, received;
    bool failed = false;
    try {
        failed = CheckReplyChecksum(operation, tab, reply, computed, received).has_value();
    } catch (const EConvertError&) {
        return;
    }
    try {
        const ReplyOutcome out = DecodeReply(operation, tab, reply, "000230319105");
        // The decoder must refuse exactly what the checksum step refuses.
        if ((out.kind == OutcomeKind::ChecksumError) != failed)
            __builtin_trap();
    } catch (const EConvertError&) {
        if (failed)
            __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);

    std::string computed = "?", received = "?";
    try {
        const bool ok = VerifyChecksum(reply, computed, received);
        if (ok && computed != received)
            __builtin_trap();
    } catch (const EConvertError&) {
    }

    for (Operation operation : kOperations)
        for (Tab tab : {Tab::Serial, Tab::Network})
            DecodeBothSteps(operation, tab, reply);

    try {
        DecodeCannedReading(reply);
    } catch (const EConvertError&) {
    }
    for (int offset : {2, 16, 18, 20, 24, 32})
        if (FrameFieldAt(reply, offset, 12).size() > 12)
            __builtin_trap();
    return 0;
}
