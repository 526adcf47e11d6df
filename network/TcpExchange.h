// One request and its reply over the gateway connection.
#pragma once

#include <string>

#include "TcpClient.h"

struct TcpExchangeResult {
    // Nothing usable came back within the wait (time-out, the connection
    // closed or failed while waiting, or only other meters' frames).
    bool readFailure = false;
    // Upper-case hex text of the reply: the reply frame with its preamble,
    // or, when none came, what arrived besides other frames. Empty when the
    // client was closed.
    std::string reply;
    // Hex text of the bytes received that are not the reply: an echo, other
    // meters' frames, noise. Empty when there were none.
    std::string skipped;
    // Why the connection is gone, when this exchange found it gone (the peer
    // closed or reset it); empty while it stays open.
    std::string linkLost;
};

// Sends frameHex and waits up to waitMs for this meter's reply frame by the
// reply rule, collecting it across several receives when the gateway splits
// it. Bytes already waiting before the request are dropped. With
// dropLoneByte, a first receive of exactly one byte is dropped and the wait
// starts again once. When the wait runs out without a reply frame, what
// arrived (other frames left out) is the reply, so that the reply check
// rejects it. A closed client gives an empty reply without sending. Send
// errors propagate as ETcpError.
TcpExchangeResult TcpExchange(TcpClient& client, const std::string& frameHex, int waitMs,
                              bool dropLoneByte);
