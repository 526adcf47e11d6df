// What counts as the reply to a request, on every transport: within the bytes
// received for one request, the first complete frame (any FE bytes, 68, six
// address bytes, 68, control, length L, L data bytes, checksum, 16) whose
// control code has the reply bit and whose address is the one the request
// went to (any address for the all-nines request). The checksum is left to
// the reply check, so a corrupted reply is still found and then rejected.
// Pure: no I/O, no state, any bytes at all.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct ReplyMatch {
    bool found = false;
    size_t begin = 0;       // the reply's first byte, its FE preamble included
    size_t frameStart = 0;  // its first 0x68
    size_t end = 0;         // one past its end byte 0x16
};

class ReplyRule {
  public:
    // The rule for the reply to this request frame (bytes, preamble allowed).
    // A request that holds no frame was never a request: nothing answers it.
    static ReplyRule ForRequest(std::string_view requestBytes);
    // Six wire-order address bytes; empty accepts any address.
    static ReplyRule ForAddress(std::string_view wireAddress);

    ReplyMatch Find(std::string_view bytes) const;
    // One past the reply's last byte, or 0 while the bytes hold no reply.
    size_t ReplyEnd(std::string_view bytes) const;

  private:
    enum class Accept { Address, AnyAddress, Nothing };
    Accept accept_ = Accept::Nothing;
    std::string address_;
};

// The bytes received for one request, split into the reply and the rest.
struct ReceivedSplit {
    bool found = false;  // reply holds a reply frame by the rule
    std::string reply;
    // What the reply is not: with a reply, the bytes before and after it;
    // without one, the complete frames that are no reply (an echo, other
    // meters' frames), so that what is left, noise or a cut frame, still
    // fails the reply check instead of passing as someone else's frame.
    std::string skipped;
};
ReceivedSplit SplitReceived(std::string_view bytes, const ReplyRule& rule);

// Length of the complete frame whose first 68 is at bytes[i], or 0.
size_t CompleteFrameAt(std::string_view bytes, size_t i);

// The six wire-order address bytes of the first complete frame in bytes, or
// empty when there is none.
std::string_view FrameAddress(std::string_view bytes);
