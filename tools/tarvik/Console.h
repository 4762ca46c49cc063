// What a command tells the person (or the script) running it, on standard
// error, so that standard output carries nothing but a call's data: status
// lines ("tarvik dial: dialling 5551234 ..."), or with --json one JSON object
// per line for each event ({"event":"connected","port":"COM7","rate":33600}).
// Lines come from the line's event threads as well as the main thread; each
// is written whole.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace tarvik::cli {

// One JSON object, built field by field.
class Json {
  public:
    Json& Add(const char* key, const std::string& text);
    Json& Add(const char* key, const char* text) { return Add(key, std::string(text)); }
    Json& Add(const char* key, long long number);
    Json& Add(const char* key, int number) { return Add(key, static_cast<long long>(number)); }
    Json& Add(const char* key, long number) { return Add(key, static_cast<long long>(number)); }
    Json& Add(const char* key, double number);
    Json& Add(const char* key, bool value);
    std::string Text() const { return "{" + body_ + "}"; }

  private:
    void Key(const char* key);
    std::string body_;
};

// `text` as a JSON string, quotes included; bytes that are not UTF-8 text are
// escaped one by one (\u00XX).
std::string JsonString(const std::string& text);

class Console {
  public:
    // `program` starts every status line ("tarvik dial").
    void Configure(std::string program, bool json, bool verbose);
    bool JsonMode() const { return json_; }
    bool Verbose() const { return verbose_; }

    // An event: with --json `fields` (after "event"), else "PROGRAM: TEXT".
    void Event(const char* name, Json fields, const std::string& text);
    // A status line only people see (not in JSON mode).
    void Say(const std::string& text);
    // An error: {"event":"error","message":...,"exit":N} or "PROGRAM: TEXT".
    // Returns `exitCode`.
    int Fail(const std::string& text, int exitCode);
    // A log entry of the component, shown with --verbose: the AT commands the
    // line sends and the modem's replies, with the time.
    void LogEntry(const std::string& function, const std::string& message);
    // The modem's replies as the line saw them ("NO ANSWER", "CONNECT
    // 33600/ARQ"), kept with or without --verbose: how many have been seen so
    // far, and the first after `mark` of them that came in line state `state`
    // ("MODEM_CONNECTING"), waited for up to `timeout` (the line reports the
    // end of a call before it logs the reply that ended it). Empty when none
    // came, or when it is long gone.
    size_t ReceivedCount() const;
    std::string ReceivedAfter(size_t mark, const std::string& state,
                              std::chrono::milliseconds timeout) const;

  private:
    void Write(const std::string& line);
    double Seconds() const;

    // The last replies and how many came in all, under the write lock.
    std::deque<std::pair<std::string, std::string>> received_;  // state, reply
    size_t receivedCount_ = 0;
    bool connectShown_ = false;  // the CONNECT line came with its rate
    std::string program_ = "tarvik";
    bool json_ = false;
    bool verbose_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The console of this process.
Console& Out();

}  // namespace tarvik::cli
