#include "Console.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace tarvik::cli {

namespace {

std::mutex g_writeLock;
std::condition_variable g_receivedMore;

// Length of the UTF-8 sequence starting at `s[i]`, 0 when it is none.
size_t Utf8Length(const std::string& s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2)
            return 0;
    return n;
}

// What the line's log entries say about the exchange with the modem.
constexpr const char* kSentFunction = "CSerialPort::StartTransmit()";
constexpr const char* kReceived = " : Received ";
constexpr const char* kConnectedEntry = "Connected: ";

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t n = Utf8Length(text, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f || n == 0) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
            n = 1;
        } else {
            out.append(text, i, n);
        }
        i += n ? n : 1;
    }
    return out + "\"";
}

void Json::Key(const char* key) {
    if (!body_.empty())
        body_ += ',';
    body_ += JsonString(key) + ':';
}

Json& Json::Add(const char* key, const std::string& text) {
    Key(key);
    body_ += JsonString(text);
    return *this;
}

Json& Json::Add(const char* key, long long number) {
    Key(key);
    body_ += std::to_string(number);
    return *this;
}

Json& Json::Add(const char* key, double number) {
    Key(key);
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", number);
    body_ += text;
    return *this;
}

Json& Json::Add(const char* key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

Console& Out() {
    static Console console;
    return console;
}

void Console::Configure(std::string program, bool json, bool verbose) {
    program_ = std::move(program);
    json_ = json;
    verbose_ = verbose;
    start_ = std::chrono::steady_clock::now();
}

double Console::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Console::Write(const std::string& line) {
    std::lock_guard lock(g_writeLock);
    std::string whole = line + "\n";
    // One write per line: lines from several threads never interleave.
    (void)!write(STDERR_FILENO, whole.data(), whole.size());
}

void Console::Event(const char* name, Json fields, const std::string& text) {
    if (json_) {
        std::string body = fields.Text();
        Write("{\"event\":" + JsonString(name) + (body.size() > 2 ? "," : "") + body.substr(1));
    } else if (!text.empty()) {
        Write(program_ + ": " + text);
    }
}

void Console::Say(const std::string& text) {
    if (!json_)
        Write(program_ + ": " + text);
}

int Console::Fail(const std::string& text, int exitCode) {
    Event("error", Json().Add("message", text).Add("exit", exitCode), text);
    return exitCode;
}

size_t Console::ReceivedCount() const {
    std::lock_guard lock(g_writeLock);
    return receivedCount_;
}

std::string Console::ReceivedAfter(size_t mark, const std::string& state,
                                   std::chrono::milliseconds timeout) const {
    std::unique_lock lock(g_writeLock);
    std::string found;
    g_receivedMore.wait_for(lock, timeout, [&] {
        const size_t first = receivedCount_ - received_.size();
        for (size_t i = std::max(mark, first); i < receivedCount_; ++i)
            if (received_[i - first].first == state)
                return !(found = received_[i - first].second).empty();
        return false;
    });
    return found;
}

void Console::LogEntry(const std::string& function, const std::string& message) {
    std::string direction, text, state;
    if (function == kSentFunction) {
        direction = "sent";
        text = message;
    } else if (message.rfind(kConnectedEntry, 0) == 0) {
        // The whole CONNECT line, rate and protocol included, comes in its own
        // entry just before the line names the reply.
        direction = "received";
        text = message.substr(std::char_traits<char>::length(kConnectedEntry));
        // The entry shows the line ends around the reply (and any control
        // byte) as '?'.
        const size_t first = text.find_first_not_of('?'), last = text.find_last_not_of('?');
        text = first == std::string::npos ? "" : text.substr(first, last - first + 1);
        std::lock_guard lock(g_writeLock);
        connectShown_ = true;
    } else if (size_t at = message.find(kReceived); at != std::string::npos) {
        direction = "received";
        state = message.substr(0, at);
        text = message.substr(at + std::char_traits<char>::length(kReceived));
        // The line says what a reply answered ("OK to +++"); the modem sent
        // only the reply.
        if (size_t to = text.find(" to "); to != std::string::npos)
            text.erase(to);
        std::lock_guard lock(g_writeLock);
        if (text == "CONNECT" && connectShown_) {
            connectShown_ = false;
            return;
        }
    } else {
        return;
    }
    if (direction == "received") {
        std::lock_guard lock(g_writeLock);
        received_.emplace_back(state, text);
        ++receivedCount_;
        if (received_.size() > 16)
            received_.pop_front();
        g_receivedMore.notify_all();
    }
    if (!verbose_)
        return;
    const double t = Seconds();
    if (json_) {
        Event("at", Json().Add("direction", direction).Add("text", text).Add("time", t), "");
        return;
    }
    std::string shown;
    for (char c : text)
        shown += c == '\r'   ? std::string("\\r")
                 : c == '\n' ? std::string("\\n")
                             : std::string(1, c);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%8.3f] ", t);
    Write(stamp + std::string(direction == "sent" ? "--> " : "<-- ") + shown);
}

}  // namespace tarvik::cli
