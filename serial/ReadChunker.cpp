#include "ReadChunker.h"

#include <algorithm>
#include <utility>

namespace {
constexpr uint32_t kMaxDword = 0xFFFFFFFF;
}

void ReadChunker::Begin(const CommTimeouts& t, Clock::time_point now) {
    using std::chrono::milliseconds;
    begin_ = now;
    lastByte_ = now;
    interval_ = {};
    total_ = {};
    if (t.readIntervalTimeout == kMaxDword && t.readTotalTimeoutMultiplier == 0 &&
        t.readTotalTimeoutConstant == 0) {
        mode_ = Mode::Immediate;
        return;
    }
    if (t.readIntervalTimeout == kMaxDword && t.readTotalTimeoutMultiplier == kMaxDword &&
        t.readTotalTimeoutConstant > 0 && t.readTotalTimeoutConstant < kMaxDword) {
        mode_ = Mode::FirstBytes;
        total_ = milliseconds(t.readTotalTimeoutConstant);
        return;
    }
    mode_ = Mode::Timed;
    if (t.readIntervalTimeout != kMaxDword)
        interval_ = milliseconds(t.readIntervalTimeout);
    // Capped at a year so deadlines stay far inside the clock's range.
    constexpr uint64_t kYearMs = 365ull * 24 * 3600 * 1000;
    const uint64_t totalMs =
        uint64_t(t.readTotalTimeoutMultiplier) * capacity_ + uint64_t(t.readTotalTimeoutConstant);
    total_ = milliseconds(std::min(totalMs, kYearMs));
}

void ReadChunker::SetEndRule(ReplyEndRule rule) {
    endRule_ = std::move(rule);
    endFound_ = endRule_ && !buffer_.empty() && endRule_(buffer_) > 0;
}

void ReadChunker::Feed(std::string_view bytes, Clock::time_point now) {
    if (bytes.empty())
        return;
    buffer_.append(bytes);
    lastByte_ = now;
    // Judged once per arrival, not on every look at the clock.
    if (endRule_ && !endFound_)
        endFound_ = endRule_(std::string_view(buffer_).substr(0, capacity_)) > 0;
}

bool ReadChunker::Complete(Clock::time_point now) const {
    return TimeLeft(now) == Clock::duration::zero();
}

std::optional<ReadChunker::Clock::duration> ReadChunker::TimeLeft(Clock::time_point now) const {
    constexpr Clock::duration kNow = Clock::duration::zero();
    if (buffer_.size() >= capacity_ || mode_ == Mode::Immediate || endFound_)
        return kNow;
    if (mode_ == Mode::FirstBytes && !buffer_.empty())
        return kNow;

    std::optional<Clock::time_point> deadline;
    auto consider = [&](Clock::time_point t) {
        if (!deadline || t < *deadline)
            deadline = t;
    };
    // "More than the interval": the read is done one clock tick past it.
    if (interval_ > kNow && !buffer_.empty())
        consider(lastByte_ + interval_ + Clock::duration(1));
    if (total_ > kNow)
        consider(begin_ + total_);
    if (!deadline)
        return std::nullopt;
    return std::max(*deadline - now, kNow);
}

std::string ReadChunker::Take() {
    std::string chunk;
    if (buffer_.size() <= capacity_) {
        chunk = std::exchange(buffer_, {});
    } else {
        chunk = buffer_.substr(0, capacity_);
        buffer_.erase(0, capacity_);
    }
    endFound_ = endRule_ && !buffer_.empty() && endRule_(buffer_) > 0;
    return chunk;
}
