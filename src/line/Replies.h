// Which modem result code a frame carries, as the line's state machine reads
// it. The tests are plain case-sensitive substring searches in the frame's
// bytes, tried in a fixed order per line state: the first text found wins. So
// "CONNECT 9600" is a CONNECT, and an echoed command that contains "OK"
// counts as OK; lower-case replies match nothing.
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
};

// The reply a frame stands for in line state `state`, or None when the frame
// means nothing in that state (and in states that ignore every frame).
ModemReply MatchReply(LONG state, std::string_view frame);

}  // namespace tarvik::line
