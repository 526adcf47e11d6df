// Cuts the received byte stream into reads the way a Windows comm device
// completes them under its five time-outs, so the receive thread keeps one
// algorithm on every platform. Pure: driven with bytes and times only.
//
// A read holds up to `capacity` bytes (2048) and completes
//  - when it is full;
//  - read interval > 0: once it holds bytes, when MORE than the interval has
//    passed since the last byte arrived;
//  - read total = multiplier * capacity + constant > 0: when that much time
//    has passed since the read began, with whatever it holds, maybe nothing;
//  - interval MAXDWORD and both totals 0: at once, with what has arrived;
//  - interval and multiplier MAXDWORD, 0 < constant < MAXDWORD: at the first
//    bytes, or empty after `constant`.
// With the defaults (interval 100, totals 0) a read waits without limit for its
// first byte and ends after more than 100 ms of silence or at 2048 bytes.
// A caller that knows where its replies end installs an end rule: a read
// then also completes as soon as the rule finds a whole reply in it.
#pragma once

#include "SerialSettings.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Given the bytes received so far, one past the end of the complete reply
// they hold, or 0 while they hold none. Plain bytes in, so the serial core
// needs to know nothing of frames.
using ReplyEndRule = std::function<size_t(std::string_view bytes)>;

class ReadChunker {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kCapacity = 2048;

    explicit ReadChunker(size_t capacity = kCapacity) : capacity_(capacity ? capacity : 1) {}

    // A new read is pending from `now`, under these time-outs. Bytes left over
    // from the previous read (beyond its capacity) count as arrived at `now`.
    void Begin(const CommTimeouts& timeouts, Clock::time_point now);

    // Bytes arrived at `now`. Everything is kept; bytes beyond the capacity
    // start the next read.
    void Feed(std::string_view bytes, Clock::time_point now);

    // Empty: reads end by the time-outs alone.
    void SetEndRule(ReplyEndRule rule);

    // The pending read has completed.
    bool Complete(Clock::time_point now) const;

    // How long the caller may sleep before Complete can turn true without new
    // input: nullopt for no limit, zero when it is complete already.
    std::optional<Clock::duration> TimeLeft(Clock::time_point now) const;

    // Bytes the pending read can still take before it is full (0 when full).
    size_t Room() const { return buffer_.size() < capacity_ ? capacity_ - buffer_.size() : 0; }

    // Ends the read and returns its bytes (at most the capacity, maybe none).
    std::string Take();

  private:
    enum class Mode { Timed, Immediate, FirstBytes };

    size_t capacity_;
    std::string buffer_;
    ReplyEndRule endRule_;
    bool endFound_ = false;  // the rule found a reply in buffer_
    Mode mode_ = Mode::Timed;
    Clock::duration interval_{};  // zero: no interval rule
    Clock::duration total_{};     // zero: no total rule
    Clock::time_point begin_{};
    Clock::time_point lastByte_{};
};
