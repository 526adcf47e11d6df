#include "TcpExchange.h"

#include <chrono>
#include <exception>

#include "HexText.h"
#include "ReplyScan.h"

namespace {
using Clock = std::chrono::steady_clock;

// Past this much without a frame the peer is sending noise: stop collecting.
constexpr size_t kPendingLimit = 65536;

const std::string kBroadcastAddress(6, '\x99');

TcpExchangeResult ReadFailure() {
    return {true, {}};
}
TcpExchangeResult Reply(const std::string& bytes) {
    return {false, BytesToHexText(bytes)};
}
}  // namespace

TcpExchangeResult TcpExchange(TcpClient& client, const std::string& frameHex, int waitMs,
                              bool dropLoneByte) {
    if (!client.IsOpen())
        return {};

    // Whatever is already waiting is the rest of an earlier answer; left
    // there it would be taken for this meter's reply.
    try {
        client.DiscardPendingInput();
    } catch (const std::exception&) {
        return ReadFailure();
    }

    const std::string request = HexTextToBytes(frameHex);
    std::string expectedAddress(FrameAddress(request));
    if (expectedAddress == kBroadcastAddress)
        expectedAddress.clear();

    client.Send(request);

    size_t count = 0;
    auto waitStart = Clock::now();
    try {
        count = client.WaitForData(waitMs);
        if (dropLoneByte && count == 1) {
            client.ClearInput();
            waitStart = Clock::now();
            count = client.WaitForData(waitMs);
        }
    } catch (const std::exception&) {
        return ReadFailure();
    }
    const auto deadline = waitStart + std::chrono::milliseconds(waitMs);

    std::string pending = client.TakeInput(count);
    for (;;) {
        const ReplyScanResult found = ScanReply(pending, expectedAddress);
        if (found.kind == ReplyScanKind::kFrame)
            return Reply(pending.substr(0, found.end));
        if (found.kind == ReplyScanKind::kForeignFrame) {
            pending.erase(0, found.end);
            continue;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || pending.size() > kPendingLimit)
            break;
        try {
            count = client.WaitForData(static_cast<int>(left));
        } catch (const std::exception&) {
            break;  // time-out, or the connection went: what arrived is all there is
        }
        pending += client.TakeInput(count);
    }
    if (pending.empty())
        return ReadFailure();
    return Reply(pending);
}
