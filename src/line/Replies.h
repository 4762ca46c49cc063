// Which modem result code a frame carries, as the line's state machine reads
// it. The tests are plain case-sensitive substring searches in the frame's
// bytes, tried in a fixed order per line state: the first text found wins. So
// "CONNECT 9600" is a CONNECT, and an echoed command that contains "OK"
// counts as OK; lower-case replies match nothing. Numeric result codes (a
// modem set to V0) are read as their verbose forms first.
#pragma once

#include <string_view>

#include "tarvik/types.h"

namespace tarvik::line {

enum class ModemReply {
    None,
    Ok,
    Error,
    Connect,
    NoCarrier,
    Busy,
    NoAnswer,
    NoDialtone,
    Ring,
    Delayed,      // the network holds back repeated calls to a number
    Blacklisted,  // ... or refuses them for good
};

// The verbose result code a numeric one stands for ("0" is "OK", "10" is a
// CONNECT at a rate), or the frame itself when it is no numeric result code:
// digits alone, surrounded by nothing but CR, LF and blanks.
std::string_view VerboseReply(std::string_view frame);

// The reply a frame stands for in line state `state`, or None when the frame
// means nothing in that state (and in states that ignore every frame).
ModemReply MatchReply(LONG state, std::string_view frame);

}  // namespace tarvik::line
