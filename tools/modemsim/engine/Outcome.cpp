#include "modemsim/Outcome.h"
#include "modemsim/Modem.h"

#include <cctype>
#include <charconv>

namespace tarvik::modemsim {

namespace {
std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// "500ms", "2s", "250" (milliseconds).
std::optional<std::chrono::milliseconds> ParseDelay(std::string_view s) {
    s = Trim(s);
    long long scale = 1;
    if (s.size() > 2 && (s.ends_with("ms") || s.ends_with("MS"))) {
        s.remove_suffix(2);
    } else if (s.size() > 1 && (s.back() == 's' || s.back() == 'S')) {
        s.remove_suffix(1);
        scale = 1000;
    }
    long long v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < 0 || v > 86400000)
        return {};
    return std::chrono::milliseconds(v * scale);
}
}  // namespace

const char* ResultText(Result r) {
    switch (r) {
        case Result::Ok:
            return "OK";
        case Result::Connect:
            return "CONNECT";
        case Result::Ring:
            return "RING";
        case Result::NoCarrier:
            return "NO CARRIER";
        case Result::Error:
            return "ERROR";
        case Result::NoDialtone:
            return "NO DIALTONE";
        case Result::Busy:
            return "BUSY";
        case Result::NoAnswer:
            return "NO ANSWER";
    }
    return "ERROR";
}

std::optional<DialOutcome> DialOutcome::Parse(std::string_view text) {
    DialOutcome out;
    for (size_t bar = text.find('|'); bar != std::string_view::npos; bar = text.find('|')) {
        std::string_view line = Trim(text.substr(0, bar));
        if (line.empty())
            return {};
        out.progress.emplace_back(line);
        text = text.substr(bar + 1);
    }
    size_t at = text.rfind('@');
    if (at != std::string_view::npos) {
        auto delay = ParseDelay(text.substr(at + 1));
        if (!delay)
            return {};
        out.delay = *delay;
        text = text.substr(0, at);
    }
    text = Trim(text);
    const std::string word = Upper(text);
    if (word == "CONNECT" || word.starts_with("CONNECT ")) {
        out.kind = Kind::Connect;
        out.rate = std::string(Trim(text.substr(7)));
    } else if (word == "BUSY") {
        out.kind = Kind::Busy;
    } else if (word == "NO ANSWER") {
        out.kind = Kind::NoAnswer;
    } else if (word == "NO CARRIER") {
        out.kind = Kind::NoCarrier;
    } else if (word == "NO DIALTONE") {
        out.kind = Kind::NoDialtone;
    } else if (word == "NO DIAL TONE" || word == "DELAYED" || word == "BLACKLISTED") {
        out.kind = Kind::Text;
        out.rate = word;
    } else if (word == "SILENCE" || word == "SILENT" || word == "NONE") {
        out.kind = Kind::Silence;
    } else {
        return {};
    }
    return out;
}

std::string NormalizeNumber(std::string_view dialString) {
    std::string out;
    for (char c : dialString)
        if ((c >= '0' && c <= '9') || c == '*' || c == '#')
            out += c;
    return out;
}

std::optional<CallerId> CallerId::Parse(std::string_view text) {
    CallerId cid;
    if (Trim(text).empty())
        return cid;
    while (true) {
        size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            return {};
        std::string_view label = Trim(item.substr(0, eq));
        if (label.empty())
            return {};
        cid.fields.emplace_back(std::string(label), std::string(Trim(item.substr(eq + 1))));
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return cid;
}

std::string CallerId::Render(CallerIdFormat format) const {
    const char* sep = format == CallerIdFormat::Spaced ? " = " : "=";
    std::string out;
    for (auto& [label, value] : fields)
        out += "\r\n" + label + sep + value + "\r\n";
    return out;
}

const char* StateName(State s) {
    switch (s) {
        case State::Idle:
            return "idle";
        case State::Command:
            return "command";
        case State::Dialing:
            return "dialing";
        case State::Ringing:
            return "ringing";
        case State::Answering:
            return "answering";
        case State::Online:
            return "online";
        case State::OnlineCommand:
            return "online-command";
        case State::Vanished:
            return "vanished";
        case State::Stopped:
            return "stopped";
    }
    return "?";
}

}  // namespace tarvik::modemsim
