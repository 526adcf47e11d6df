// Figure 4, second half: how many frames per second the codec builds and the
// decoders read. meter-sim's own frame code, written apart from protocol/ and
// on raw bytes rather than hex text, is the baseline.
#include "BenchReport.h"
#include "Frame.h"
#include "GbenchRows.h"
#include "MeterCommands.h"
#include "HexText.h"
#include "ReplyRule.h"
#include "SerialLink.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {
const std::string kAddress = "000230319105";
// A read-reading reply with its status byte (length 08), 11 t.
const std::string kReadingReply = kCannedReadingReply;
constexpr double kFramesBudget = 50000;  // 20 us a frame: 1 % of the 2 ms per-address budget

void BM_BuildRequest(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(BuildRequest(Operation::ReadReading, Tab::Serial, kAddress));
    state.SetItemsProcessed(state.iterations());
}

void BM_CheckAndDecodeReading(benchmark::State& state) {
    for (auto _ : state) {
        std::string computed, received;
        benchmark::DoNotOptimize(CheckReplyChecksum(Operation::ReadReading, Tab::Network,
                                                    kReadingReply, computed, received));
        benchmark::DoNotOptimize(
            DecodeReply(Operation::ReadReading, Tab::Network, kReadingReply, kAddress));
    }
    state.SetItemsProcessed(state.iterations());
}

// Everything the protocol side does for one address of a batch: the request
// to bytes, the reply found in the received bytes and back to hex text, its
// checksum and its decoding.
void BM_ProtocolPerAddress(benchmark::State& state) {
    const std::string replyBytes = HexTextToBytes(kReadingReply);
    for (auto _ : state) {
        const std::string request = BuildRequest(Operation::ReadReading, Tab::Network, kAddress);
        benchmark::DoNotOptimize(HexTextToBytes(request));
        benchmark::DoNotOptimize(ReplyRule::ForAddress({}).Find(replyBytes));
        const std::string reply = BytesToHexText(replyBytes);
        std::string computed, received;
        benchmark::DoNotOptimize(
            CheckReplyChecksum(Operation::ReadReading, Tab::Network, reply, computed, received));
        benchmark::DoNotOptimize(
            DecodeReply(Operation::ReadReading, Tab::Network, reply, kAddress));
    }
    state.SetItemsProcessed(state.iterations());
}

// Baseline: meter-sim builds a reply frame from its fields and shows it as
// hex text (what BuildFrame returns).
void BM_MeterSimBuild(benchmark::State& state) {
    metersim::Frame frame;
    frame.address = metersim::AddressToWire(kAddress);
    frame.control = 0x01;
    frame.data = {0x43, 0xC3};
    for (auto _ : state) {
        frame.address = metersim::AddressToWire(kAddress);
        benchmark::DoNotOptimize(metersim::ToHex(metersim::EncodeFrame(frame)));
    }
    state.SetItemsProcessed(state.iterations());
}

// Baseline: meter-sim cuts a frame out of received bytes and checks it.
void BM_MeterSimRead(benchmark::State& state) {
    const std::string bytes = HexTextToBytes(kReadingReply);
    const metersim::Bytes raw(bytes.begin(), bytes.end());
    int64_t now = 0;
    for (auto _ : state) {
        metersim::FrameReader reader;
        benchmark::DoNotOptimize(reader.Feed(raw, ++now));
    }
    state.SetItemsProcessed(state.iterations());
}

// Baseline: meter-sim's work for one request: cut it out of the received
// bytes, check it, and build its reply as bytes and hex text.
void BM_MeterSimPerRequest(benchmark::State& state) {
    const std::string bytes =
        HexTextToBytes(BuildRequest(Operation::ReadReading, Tab::Network, kAddress));
    const metersim::Bytes raw(bytes.begin(), bytes.end());
    metersim::Frame reply;
    reply.control = 0x81;
    reply.data = {0x43, 0xC3, 0x33, 0x44, 0x33, 0x33, 0x33, 0x33};
    int64_t now = 0;
    for (auto _ : state) {
        metersim::FrameReader reader;
        const auto events = reader.Feed(raw, ++now);
        reply.address = events.empty() ? metersim::WireAddress{} : events.front().frame.address;
        benchmark::DoNotOptimize(metersim::ToHex(metersim::EncodeFrame(reply)));
    }
    state.SetItemsProcessed(state.iterations());
}

void Register() {
    for (auto* bench :
         {benchmark::RegisterBenchmark("BM_BuildRequest", BM_BuildRequest),
          benchmark::RegisterBenchmark("BM_CheckAndDecodeReading", BM_CheckAndDecodeReading),
          benchmark::RegisterBenchmark("BM_ProtocolPerAddress", BM_ProtocolPerAddress),
          benchmark::RegisterBenchmark("BM_MeterSimBuild", BM_MeterSimBuild),
          benchmark::RegisterBenchmark("BM_MeterSimRead", BM_MeterSimRead),
          benchmark::RegisterBenchmark("BM_MeterSimPerRequest", BM_MeterSimPerRequest)})
        bench->Repetitions(5)->ReportAggregatesOnly(true)->MinTime(0.1);
}

void EmitRate(const MedianCollector& runs, const std::string& id, const std::string& figure,
              const std::string& name, const std::string& baselineName,
              const std::string& baselineText) {
    const double rate = runs.Counter(name, "items_per_second");
    const double baseline = runs.Counter(baselineName, "items_per_second");
    if (rate <= 0) {
        EmitNotMeasured(id, figure, ">= 50000 /s", runs.Error(name));
        return;
    }
    EmitRow({id, figure, Fixed(rate, 0) + " /s", ">= 50000 /s",
             baseline > 0 ? baselineText + " " + Fixed(baseline, 0) + " /s" : "-",
             Ratio(baseline, rate), Verdict(rate >= kFramesBudget),
             "median of 5; " + Fixed(1e6 / rate, 2) + " us a frame"});
}
}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Register();
    MedianCollector runs;
    benchmark::RunSpecifiedBenchmarks(&runs);

    EmitRate(runs, "4b", "Codec: read-reading request frames built", "BM_BuildRequest",
             "BM_MeterSimBuild", "meter-sim frame build");
    EmitRate(runs, "4c", "Decoders: reading replies checked and decoded",
             "BM_CheckAndDecodeReading", "BM_MeterSimRead", "meter-sim frame read");
    EmitRate(runs, "4d", "Protocol work per batch address (build, bytes, scan, check, decode)",
             "BM_ProtocolPerAddress", "BM_MeterSimPerRequest", "meter-sim per request");
    return 0;
}
