// Value types that describe how a simulated modem behaves: what a dial to a
// number ends in, and which caller-ID data an incoming call carries. They can
// be built in code or parsed from the short texts the program takes as options.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvik::modemsim {

// The result codes of the command set, with their numeric (V0) values.
enum class Result {
    Ok = 0,
    Connect = 1,
    Ring = 2,
    NoCarrier = 3,
    Error = 4,
    NoDialtone = 6,
    Busy = 7,
    NoAnswer = 8,
};

// "OK", "CONNECT", "NO CARRIER", ...
const char* ResultText(Result r);

// What a dial ends in, after `delay`.
struct DialOutcome {
    // Text: a result some modems or networks give that has no numeric code
    // ("NO DIAL TONE", "DELAYED", "BLACKLISTED"), sent as it stands in `rate`.
    enum class Kind { Connect, Busy, NoAnswer, NoCarrier, NoDialtone, Silence, Text };
    Kind kind = Kind::NoCarrier;
    // Shown after "CONNECT " (for example "9600" or "14400/ARQ"); empty gives a
    // bare "CONNECT".
    std::string rate;
    std::chrono::milliseconds delay{0};
    // Progress lines sent before the result, as some settings add them
    // ("CARRIER 28800", "PROTOCOL: LAPM", "COMPRESSION: V.42BIS").
    std::vector<std::string> progress;

    static DialOutcome Connect(std::string rate, std::chrono::milliseconds delay = {}) {
        return {Kind::Connect, std::move(rate), delay, {}};
    }
    static DialOutcome Of(Kind kind, std::chrono::milliseconds delay = {}) {
        return {kind, {}, delay, {}};
    }

    // Parses "CONNECT 9600", "CONNECT 14400/ARQ@500ms", "BUSY", "NO ANSWER@2s",
    // "NO CARRIER", "NO DIALTONE", "NO DIAL TONE", "DELAYED", "BLACKLISTED",
    // "SILENCE" (also "SILENT", "NONE"). The delay suffix is "@<n>ms", "@<n>s"
    // or "@<n>" (milliseconds). Progress lines go first, each ended by '|':
    // "CARRIER 28800|PROTOCOL: LAPM|CONNECT 28800". Case does not matter.
    // Returns nothing for anything else.
    static std::optional<DialOutcome> Parse(std::string_view text);

    bool operator==(const DialOutcome&) const = default;
};

// Keeps what identifies a number in the outcome table and the exchange: the
// digits and '*' / '#'. Dial modifiers, punctuation and letters are dropped.
std::string NormalizeNumber(std::string_view dialString);

// How caller-ID lines are written.
enum class CallerIdFormat {
    Spaced,   // "DATE = 1206" (blank on both sides of '=')
    Compact,  // "DATE=1206"
};

// Caller-ID data: label/value pairs in the order they are sent.
struct CallerId {
    std::vector<std::pair<std::string, std::string>> fields;

    bool empty() const { return fields.empty(); }
    // Parses "DATE=1206,TIME=0902,NMBR=5551212,NAME=JOHN DOE". Blanks around
    // labels and values are trimmed. Returns nothing if an item has no '=' or
    // an empty label.
    static std::optional<CallerId> Parse(std::string_view text);
    // The lines as the modem sends them, each framed "\r\n...\r\n".
    std::string Render(CallerIdFormat format) const;
};

}  // namespace tarvik::modemsim
