// The simulator's wire form, spoken between a test process under Wine (which
// cannot make a pseudo-terminal) and the Linux program that runs its modems
// (tarvik-modemsim-server). One request per line, "<seq> <verb> <args...>";
// the server answers "R <seq> <values...>" and reports what its modems see as
// "E <modem> <kind> <time-ns> <bytes>". Texts travel as "x" and their hex
// digits, so a token never holds a blank or a line end.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "modemsim/Modem.h"

namespace tarvik::modemsim::wire {

// Event kinds: bytes the modem received, bytes it sent, a command line it
// took, its new state.
constexpr char kReceived = 'r', kSent = 's', kLine = 'l', kState = 't';

class Writer {
  public:
    Writer& Int(int64_t v) { return Token(std::to_string(v)); }
    Writer& Text(std::string_view s);
    Writer& Word(std::string_view w) { return Token(w); }
    Writer& Outcome(const DialOutcome& o);
    Writer& Options(const ModemOptions& o);
    Writer& CallerIdData(const CallerId& c);
    const std::string& Line() const { return line_; }

  private:
    Writer& Token(std::string_view t);
    std::string line_;
};

// Reads the tokens of one line in order; a missing or malformed token reads
// as 0 / empty and marks the reader failed.
class Reader {
  public:
    explicit Reader(std::string_view line);
    int64_t Int();
    std::string Text();
    std::string Word();
    DialOutcome Outcome();
    ModemOptions Options();
    CallerId CallerIdData();
    bool Ok() const { return ok_; }
    bool AtEnd() const { return next_ >= tokens_.size(); }

  private:
    std::vector<std::string> tokens_;
    size_t next_ = 0;
    bool ok_ = true;
};

#ifdef _WIN32
// The client's side (RemoteModem.cpp): a request to the server and its
// answer's values (a failed reader when there is no answer), and a fresh id
// for an object the server is to keep.
Reader Call(const Writer& request);
int64_t NewId();
#endif

}  // namespace tarvik::modemsim::wire
