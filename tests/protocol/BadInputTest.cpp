// Whatever text reaches the codec and the decoders, the answer is a result or
// a conversion failure: no crash, no hang, no read past the end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FrameCodec.h"
#include "MeterCommands.h"

namespace {

std::vector<std::string> NastyInputs() {
    std::vector<std::string> inputs = {
        "",
        "6",
        "68",
        "68 ",
        "16",
        "6816",
        "681",
        "FE",
        "FEF",
        "fe68",
        "FEFEFE68",
        "FEFEFE6805913130020068810843C333443333",            // cut inside the data
        "FEFEFE6805913130020068810843C33344333333339B1",     // odd length, cut end byte
        "FEFEFE6805913130020068810843C33344333333339B16FF",  // trailing garbage
        "FEFEFE68059131300200688108ZZZZZZZZZZZZZZZZ9B16",    // non-hex data
        "FEFEFE68 05 91 31 30 02 00 68 81 08 43 C3 33 44 33 33 33 33 9B 16",
        "68\x00\x01\xff\x80 16",
        std::string("68\0"
                    "816",
                    5),
        "\xe8\xa1\xa8\xe6\x95\xb0",  // UTF-8 text
        "FEFEFE6805913130020068840116",
        "FEFEFE68059131300200688401",
        "FEFEFE680591313002006881036FF316",
        "-1",
        "$68",
        "0x68",
        std::string(100001, '6'),          // huge odd length
        std::string(200000, 'F') + "E68",  // long preamble of sorts
    };
    std::string preamble;
    for (int i = 0; i < 100000; ++i)
        preamble += "FE";
    inputs.push_back(preamble);
    inputs.push_back(preamble + "68" + std::string(1000, '3') + "16");
    return inputs;
}

template <typename F>
void ResultOrConversionFailure(const std::string& input, F call) {
    try {
        call();
    } catch (const EConvertError&) {
    } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected " << e.what() << " for input of size " << input.size();
    }
}

TEST(BadInput, CodecFunctions) {
    SetFrameLogSink(nullptr);
    for (const std::string& s : NastyInputs()) {
        ResultOrConversionFailure(s, [&] {
            std::string computed = "?", received = "?";
            if (!VerifyChecksum(s, computed, received) && computed != "?") {
                EXPECT_EQ(computed.size(), 2u);
            }
        });
        ResultOrConversionFailure(s, [&] { EncodeDataField(s); });
        ResultOrConversionFailure(s, [&] { DecodeDataField(s); });
        ResultOrConversionFailure(s, [&] { HexChecksum(s); });
        EXPECT_EQ(ReverseHexBytes(s).size(), s.size());
        EXPECT_EQ(AddressToWire(s).size(), 12u);
        for (int offset : {-100, -1, 0, 2, 16, 24, 32, 1 << 30})
            EXPECT_LE(FrameFieldAt(s, offset, 8).size(), 8u);
        // BuildFrame absorbs every failure of its own.
        EXPECT_NO_THROW(BuildFrame(s, "01", "02", "9010"));
        EXPECT_NO_THROW(BuildFrame("000230319105", s, s, s));
    }
}

TEST(BadInput, Decoders) {
    const Operation ops[] = {Operation::ReadAddress, Operation::ReadReading, Operation::OpenValve,
                             Operation::CloseValve, Operation::ReadValveState};
    for (const std::string& s : NastyInputs()) {
        for (Operation op : ops) {
            for (Tab tab : {Tab::Serial, Tab::Network}) {
                ResultOrConversionFailure(s, [&] {
                    std::string computed, received;
                    const bool failed =
                        CheckReplyChecksum(op, tab, s, computed, received).has_value();
                    const ReplyOutcome out = DecodeReply(op, tab, s, s);
                    // The two steps agree: a reply that fails the check is never decoded.
                    EXPECT_EQ(out.kind == OutcomeKind::ChecksumError, failed);
                });
            }
        }
        ResultOrConversionFailure(s, [&] { DecodeCannedReading(s); });
    }
}

}  // namespace
