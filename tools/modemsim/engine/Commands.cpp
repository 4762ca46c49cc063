// Command mode: assembling "AT" lines from the host's bytes and executing them.
#include <cctype>
#include <cstdio>

#include "ModemCore.h"

namespace tarvik::modemsim::detail {

namespace {
// Longest command body kept; a longer line is answered ERROR, as the command
// buffer of a real modem overflows.
constexpr size_t kMaxLine = 255;

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}
bool IsAlpha(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

constexpr int kDefaultRegisters[][2] = {
    {2, 43}, {3, 13}, {4, 10},  {5, 8},   {6, 2},   {7, 50},
    {8, 2},  {9, 6},  {10, 14}, {11, 95}, {12, 50}, {25, 5},
};
}  // namespace

void ModemCore::ResetProfile() {
    for (auto& r : regs)
        r.store(0);
    for (auto& d : kDefaultRegisters)
        regs[d[0]].store(d[1]);
    for (auto& [n, v] : opts_.registers)
        if (n >= 0 && n < kRegisterCount)
            regs[n].store(v & 0xff);
    echo_ = opts_.echo;
    verbose_ = opts_.verbose;
    quiet_ = opts_.quiet;
    dtrMode_ = opts_.dtrMode;
}

void ModemCore::ProcessBytes(std::string_view data, Clock::time_point at) {
    if (silent_)
        return;
    std::string forward;
    for (char c : data) {
        switch (state.load()) {
            case State::Online:
                DataByte(c, at, forward);
                break;
            case State::Dialing:
            case State::Answering:
                // Any key aborts a call being set up. LF is the tail of a host's
                // "\r\n" after the dial or answer command, not a key press.
                if (c != '\n') {
                    ForwardData(forward);
                    AbortCall();
                }
                break;
            case State::Command:
            case State::Ringing:
            case State::OnlineCommand:
                ForwardData(forward);
                CommandByte(c, at);
                break;
            default:
                return;
        }
    }
    ForwardData(forward);
}

void ModemCore::CommandByte(char c, Clock::time_point at) {
    if (echo_)
        pendingEcho_ += c;
    const char cr = static_cast<char>(regs[3].load());
    const char bs = static_cast<char>(regs[5].load());
    if (collecting_) {
        if (c == cr) {
            collecting_ = false;
            std::string body;
            body.swap(line_);
            TakeLine(prefix_, body, at);
        } else if (c == bs) {
            if (!line_.empty())
                line_.pop_back();
        } else if (c == '\n' || static_cast<unsigned char>(c) < 0x20) {
            // LF and other control characters are not part of a command.
        } else {
            line_ += c;
        }
        return;
    }
    if (gotA_) {
        gotA_ = false;
        if (c == 'T' || c == 't') {
            collecting_ = true;
            prefix_ = {aChar_, c};
            line_.clear();
            return;
        }
        if (c == '/') {
            FlushEcho();
            TakeLine(lastPrefix_, lastLine_, at);
            return;
        }
    }
    if (c == 'A' || c == 'a') {
        gotA_ = true;
        aChar_ = c;
    }
}

void ModemCore::TakeLine(const std::string& prefix, const std::string& body, Clock::time_point at) {
    std::string full = prefix + body;
    if (observer)
        observer->OnCommandLine(full, at);
    FlushEcho();
    for (auto it = replies_.begin(); it != replies_.end(); ++it) {
        if (full.find(it->match) == std::string::npos)
            continue;
        ReplyRule rule = std::move(*it);
        replies_.erase(it);
        if (rule.delay.count() <= 0) {
            RawWrite(rule.reply);
        } else {
            AddTimer(rule.delay, [this, reply = std::move(rule.reply)] { RawWrite(reply); });
        }
        return;
    }
    if (errorAll_) {
        SendResult(Result::Error);
        return;
    }
    if (&body != &lastLine_) {
        lastPrefix_ = prefix;
        lastLine_ = body;
    }
    if (body.size() > kMaxLine) {
        SendResult(Result::Error);
        return;
    }
    ExecuteCommands(lastLine_);
}

void ModemCore::ExecuteCommands(std::string_view body) {
    const size_t n = body.size();
    size_t i = 0;
    // A missing number is `def`; large values are clamped so they stay
    // out of range instead of overflowing.
    auto number = [&](long def) {
        if (i >= n || !IsDigit(body[i]))
            return def;
        long v = 0;
        while (i < n && IsDigit(body[i])) {
            if (v < 100000)
                v = v * 10 + (body[i] - '0');
            ++i;
        }
        return v;
    };
    const State st = state.load();
    while (i < n) {
        const char c = Upper(body[i++]);
        switch (c) {
            case ' ':
                break;
            case 'E':
            case 'V':
            case 'Q': {
                long v = number(0);
                if (v > 1)
                    return SendResult(Result::Error);
                (c == 'E' ? echo_ : c == 'V' ? verbose_ : quiet_) = (v == 1);
                break;
            }
            case 'Z':
                number(0);
                HangUp();
                ResetProfile();
                break;
            case 'I': {
                long v = number(0);
                if (v > 4)
                    return SendResult(Result::Error);
                SendInfo(opts_.identity[v]);
                break;
            }
            case 'H': {
                long v = number(0);
                if (v > 1)
                    return SendResult(Result::Error);
                if (v == 0)
                    HangUp();
                break;
            }
            case 'A':
                // The rest of the line is ignored, as it is after D and O.
                if (st != State::Command && st != State::Ringing)
                    return SendResult(Result::Error);
                return Answer();
            case 'D':
                if (st != State::Command && st != State::Ringing)
                    return SendResult(Result::Error);
                return Dial(body.substr(i));
            case 'O':
                number(0);
                return GoOnline();
            case 'S': {
                long r = number(-1);
                if (r < 0 || r >= kRegisterCount)
                    return SendResult(Result::Error);
                if (i < n && body[i] == '?') {
                    ++i;
                    char text[8];
                    std::snprintf(text, sizeof text, "%03d", regs[r].load());
                    SendInfo(text);
                } else if (i < n && body[i] == '=') {
                    ++i;
                    long v = number(0);
                    if (v > 255)
                        return SendResult(Result::Error);
                    regs[r].store(static_cast<int>(v));
                }
                // A bare "Sn" only selects the register on real modems.
                break;
            }
            case 'B':
            case 'C':
            case 'F':
            case 'L':
            case 'M':
            case 'N':
            case 'P':
            case 'T':
            case 'W':
            case 'X':
            case 'Y':
                // Speaker, modulation and reporting settings: accepted, no effect.
                number(0);
                break;
            case '&': {
                if (i >= n || !IsAlpha(body[i]))
                    return SendResult(Result::Error);
                const char c2 = Upper(body[i++]);
                long v = number(0);
                if (c2 == 'F') {
                    ResetProfile();
                } else if (c2 == 'D') {
                    if (v > 3)
                        return SendResult(Result::Error);
                    dtrMode_ = static_cast<int>(v);
                } else if (opts_.rejectExtended &&
                           std::string_view("CKQSVWY").find(c2) == std::string_view::npos) {
                    return SendResult(Result::Error);
                }
                break;
            }
            case '\\':
            case '%':
                if (i >= n || !IsAlpha(body[i]))
                    return SendResult(Result::Error);
                ++i;
                number(0);
                if (opts_.rejectExtended)
                    return SendResult(Result::Error);
                break;
            case '+':
                // An extended command runs to the next ';' or the end of the line.
                while (i < n && body[i] != ';')
                    ++i;
                if (i < n)
                    ++i;
                if (opts_.rejectExtended)
                    return SendResult(Result::Error);
                break;
            default:
                return SendResult(Result::Error);
        }
    }
    SendResult(Result::Ok);
}

void ModemCore::SendResult(Result r, std::string_view rate) {
    if (quiet_)
        return;
    const char cr = static_cast<char>(regs[3].load());
    const char lf = static_cast<char>(regs[4].load());
    std::string out;
    if (verbose_) {
        out = {cr, lf};
        out += ResultText(r);
        if (r == Result::Connect && !rate.empty()) {
            out += ' ';
            out += rate;
        }
        out += cr;
        out += lf;
    } else {
        out = std::to_string(static_cast<int>(r));
        out += cr;
    }
    Send(out);
}

void ModemCore::SendInfo(std::string_view text) {
    const char cr = static_cast<char>(regs[3].load());
    const char lf = static_cast<char>(regs[4].load());
    std::string out;
    if (verbose_)
        out = {cr, lf};
    out += text;
    out += cr;
    out += lf;
    Send(out);
}

}  // namespace tarvik::modemsim::detail
