#include "ParityMarks.h"

namespace {
constexpr char kEscape = '\377';

void Emit(char c, std::string& out, const ParityMarkOptions& options) {
    if (c == '\0' && options.dropNul)
        return;
    out.push_back(c);
}
}  // namespace

size_t ParityMarkDecoder::Decode(std::string_view raw, std::string& out,
                                 const ParityMarkOptions& options) {
    if (!options.marked) {
        out.append(raw);
        return 0;
    }
    size_t marks = 0;
    for (char c : raw) {
        switch (state_) {
            case State::Data:
                if (c == kEscape)
                    state_ = State::SawEscape;
                else
                    Emit(c, out, options);
                break;
            case State::SawEscape:
                if (c == '\0') {
                    state_ = State::SawEscapeNul;
                    break;
                }
                Emit(kEscape, out, options);
                if (c != kEscape)
                    Emit(c, out, options);
                state_ = State::Data;
                break;
            case State::SawEscapeNul:
                ++marks;
                Emit(options.replaceMarked ? options.replacement : c, out, options);
                state_ = State::Data;
                break;
        }
    }
    return marks;
}
