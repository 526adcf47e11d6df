#include "TcpExchange.h"

#include <chrono>
#include <exception>

#include "HexText.h"
#include "ReplyRule.h"

namespace {
using Clock = std::chrono::steady_clock;

// Past this much without a frame the peer is sending noise: stop collecting.
constexpr size_t kPendingLimit = 65536;
}  // namespace

TcpExchangeResult TcpExchange(TcpClient& client, const std::string& frameHex, int waitMs,
                              bool dropLoneByte) {
    if (!client.IsOpen())
        return {};

    TcpExchangeResult result;
    // A failure that closed the client took the connection with it.
    auto failed = [&](const std::exception& e) {
        result.readFailure = true;
        if (!client.IsOpen())
            result.linkLost = e.what();
        return result;
    };

    // Whatever is already waiting is the rest of an earlier answer; left
    // there it would be taken for this meter's reply.
    try {
        client.DiscardPendingInput();
    } catch (const std::exception& e) {
        return failed(e);
    }

    const std::string request = HexTextToBytes(frameHex);
    const ReplyRule rule = ReplyRule::ForRequest(request);

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
    } catch (const std::exception& e) {
        return failed(e);
    }
    const auto deadline = waitStart + std::chrono::milliseconds(waitMs);

    std::string pending = client.TakeInput(count);
    for (;;) {
        if (rule.ReplyEnd(pending) > 0)
            break;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || pending.size() > kPendingLimit)
            break;
        try {
            count = client.WaitForData(static_cast<int>(left));
        } catch (const std::exception& e) {
            // Time-out, or the connection went: what arrived is all there is.
            if (!client.IsOpen())
                result.linkLost = e.what();
            break;
        }
        pending += client.TakeInput(count);
    }
    const ReceivedSplit split = SplitReceived(pending, rule);
    result.skipped = BytesToHexText(split.skipped);
    // A cut frame from a connection that then went is no reply: the link's
    // loss is the outcome, not a checksum error.
    if (split.reply.empty() || (!split.found && !result.linkLost.empty())) {
        result.readFailure = true;
        return result;
    }
    result.reply = BytesToHexText(split.reply);
    return result;
}
