// Undoes the kernel's marking of received bytes under INPCK | PARMRK (without
// IGNPAR and ISTRIP):
//   \377 \377   a data byte 0xFF
//   \377 \0 X   byte X arrived with a parity or framing error (a break reads
//               as a marked NUL)
// A mark can be split across two reads, so the decoder keeps its place
// between calls. Input the kernel never produces (\377 followed by anything
// else) passes through as data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct ParityMarkOptions {
    bool replaceMarked = false;  // deliver `replacement` instead of a marked byte
    char replacement = 0;
    bool dropNul = false;  // discard every NUL byte that would be delivered
    // False where the driver marks nothing and does the above itself (the
    // Windows driver): every byte is data, passed through as it is.
    bool marked = true;
};

class ParityMarkDecoder {
  public:
    // Appends the data bytes of `raw` to `out` and returns how many marked
    // (erroneous) bytes it held.
    size_t Decode(std::string_view raw, std::string& out, const ParityMarkOptions& options = {});

    // Bytes held back because they may begin a mark (0 to 2).
    size_t Pending() const { return static_cast<size_t>(state_); }

  private:
    enum class State : uint8_t { Data = 0, SawEscape = 1, SawEscapeNul = 2 };
    State state_ = State::Data;
};
