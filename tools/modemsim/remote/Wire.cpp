#include "Wire.h"

#include <charconv>

namespace tarvik::modemsim::wire {

namespace {
constexpr char kHex[] = "0123456789abcdef";

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}
}  // namespace

Writer& Writer::Token(std::string_view t) {
    if (!line_.empty())
        line_ += ' ';
    line_ += t;
    return *this;
}

Writer& Writer::Text(std::string_view s) {
    std::string t = "x";
    for (unsigned char c : s) {
        t += kHex[c >> 4];
        t += kHex[c & 15];
    }
    return Token(t);
}

Writer& Writer::Outcome(const DialOutcome& o) {
    Int(static_cast<int>(o.kind))
        .Text(o.rate)
        .Int(o.delay.count())
        .Int(static_cast<int64_t>(o.progress.size()));
    for (const auto& p : o.progress)
        Text(p);
    return *this;
}

Writer& Writer::CallerIdData(const CallerId& c) {
    Int(static_cast<int64_t>(c.fields.size()));
    for (const auto& [label, value] : c.fields)
        Text(label).Text(value);
    return *this;
}

Writer& Writer::Options(const ModemOptions& o) {
    Int(static_cast<int64_t>(o.outcomes.size()));
    for (const auto& [number, outcome] : o.outcomes)
        Text(number).Outcome(outcome);
    Outcome(o.defaultOutcome).CallerIdData(o.callerId);
    Int(static_cast<int>(o.callerIdFormat)).Int(o.callerIdBeforeRing).Int(o.ringCadence.count());
    Int(o.ringLimit).Text(o.answerRate).Int(o.answerDelay.count());
    Int(static_cast<int64_t>(o.registers.size()));
    for (const auto& [n, v] : o.registers)
        Int(n).Int(v);
    Int(o.echo).Int(o.verbose).Int(o.quiet).Int(o.dtrMode).Int(o.rejectExtended);
    for (const auto& id : o.identity)
        Text(id);
    return *this;
}

Reader::Reader(std::string_view line) {
    size_t at = 0;
    while (at < line.size()) {
        size_t end = line.find(' ', at);
        if (end == std::string_view::npos)
            end = line.size();
        if (end > at)
            tokens_.emplace_back(line.substr(at, end - at));
        at = end + 1;
    }
}

std::string Reader::Word() {
    if (next_ >= tokens_.size()) {
        ok_ = false;
        return {};
    }
    return tokens_[next_++];
}

int64_t Reader::Int() {
    std::string w = Word();
    int64_t v = 0;
    auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), v);
    if (ec != std::errc() || end != w.data() + w.size())
        ok_ = false;
    return v;
}

std::string Reader::Text() {
    std::string w = Word();
    if (w.empty() || w[0] != 'x' || w.size() % 2 == 0) {
        ok_ = false;
        return {};
    }
    std::string out;
    for (size_t i = 1; i + 1 < w.size(); i += 2) {
        int hi = HexValue(w[i]), lo = HexValue(w[i + 1]);
        if (hi < 0 || lo < 0) {
            ok_ = false;
            return {};
        }
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

DialOutcome Reader::Outcome() {
    DialOutcome o;
    o.kind = static_cast<DialOutcome::Kind>(Int());
    o.rate = Text();
    o.delay = std::chrono::milliseconds(Int());
    for (int64_t n = Int(); n > 0 && ok_; --n)
        o.progress.push_back(Text());
    return o;
}

CallerId Reader::CallerIdData() {
    CallerId c;
    for (int64_t n = Int(); n > 0 && ok_; --n) {
        std::string label = Text();
        c.fields.emplace_back(std::move(label), Text());
    }
    return c;
}

ModemOptions Reader::Options() {
    ModemOptions o;
    for (int64_t n = Int(); n > 0 && ok_; --n) {
        std::string number = Text();
        o.outcomes[number] = Outcome();
    }
    o.defaultOutcome = Outcome();
    o.callerId = CallerIdData();
    o.callerIdFormat = static_cast<CallerIdFormat>(Int());
    o.callerIdBeforeRing = Int() != 0;
    o.ringCadence = std::chrono::milliseconds(Int());
    o.ringLimit = static_cast<int>(Int());
    o.answerRate = Text();
    o.answerDelay = std::chrono::milliseconds(Int());
    for (int64_t n = Int(); n > 0 && ok_; --n) {
        int r = static_cast<int>(Int());
        o.registers[r] = static_cast<int>(Int());
    }
    o.echo = Int() != 0;
    o.verbose = Int() != 0;
    o.quiet = Int() != 0;
    o.dtrMode = static_cast<int>(Int());
    o.rejectExtended = Int() != 0;
    for (auto& id : o.identity)
        id = Text();
    return o;
}

}  // namespace tarvik::modemsim::wire
