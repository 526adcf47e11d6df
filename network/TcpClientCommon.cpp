// The client's platform-independent part: waiting for a reply and handing
// the input over; the socket calls stay in each platform's file.
#include "TcpClient.h"

#include "TcpClientTexts.h"

#include <algorithm>

namespace {
// DiscardPendingInput stops after this much, so a peer that never stops
// talking cannot keep it busy.
constexpr size_t kDiscardLimit = 1 << 20;
}  // namespace

size_t TcpClient::WaitForData(int timeoutMs) {
    if (!IsOpen())
        throw ETcpError(tcptext::kNotOpen);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (!WaitReadable(deadline))
            throw ETcpError(tcptext::kReplyTimedOut);
        // Readiness without data (a spurious wake-up) waits on.
        if (const size_t n = ReceiveOnce(); n > 0)
            return n;
    }
}

void TcpClient::DiscardPendingInput() {
    input_.clear();
    size_t discarded = 0;
    while (IsOpen() && discarded < kDiscardLimit) {
        const size_t n = ReceiveOnce();
        input_.clear();
        if (n == 0)
            break;
        discarded += n;
    }
}

std::string TcpClient::TakeInput(size_t n) {
    n = std::min(n, input_.size());
    std::string taken = input_.substr(0, n);
    input_.erase(0, n);
    return taken;
}
