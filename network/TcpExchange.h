// One request and its reply over the gateway connection.
#pragma once

#include <string>

#include "TcpClient.h"

struct TcpExchangeResult {
    // Nothing usable came back within the wait (time-out, the connection
    // closed or failed while waiting, or only other meters' frames).
    bool readFailure = false;
    // Upper-case hex text of the reply; empty when the client was closed.
    std::string reply;
};

// Sends frameHex and waits up to waitMs for this meter's reply frame,
// collecting it across several receives when the gateway splits it. Bytes
// already waiting before the request are dropped, and so are complete frames
// carrying another address than the request's (unless it is the all-nines
// broadcast). With dropLoneByte, a first receive of exactly one byte is
// dropped and the wait starts again once. The reply is every byte received
// up to the end of the frame, bytes in front of it included (the reply check
// rejects those), minus the other meters' frames and what came before them.
// When the wait runs out on an incomplete frame, those bytes are the reply.
// A closed client gives an empty reply without sending. Send errors
// propagate as ETcpError.
TcpExchangeResult TcpExchange(TcpClient& client, const std::string& frameHex, int waitMs,
                              bool dropLoneByte);
