// The Hayes dial command of an outgoing call: "ATDT" (tone) or "ATDP"
// (pulse), the number, an optional access code right behind it, and a
// carriage return. Hosts and modems have always shared a 64-byte command
// buffer (63 characters and a terminating zero), so number and access code
// together may have at most 58 characters; a longer command is refused rather
// than cut, because a cut number dials somebody else.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik::line {

inline constexpr size_t kDialBufferSize = 64;
inline constexpr size_t kMaxDialDigits = kDialBufferSize - 1 - 4 - 1;  // 58

inline constexpr const char* kTonePrefix = "ATDT";
inline constexpr const char* kPulsePrefix = "ATDP";

// Why `text` cannot go into a dial command, or nothing when it can. Numbers
// come from users: a carriage return in one would end the dial command and
// start a command of the user's choosing, so only the Hayes dial-string set
// passes (digits, * #, A-D, the modifiers P T W R , ! @ ;, blanks and the
// separators - ( ) .). `what` names the field in the message.
std::optional<std::string> DialStringProblem(std::string_view text, std::string_view what);

// The command, or nothing when number and access code do not fit.
std::optional<std::string> BuildDialCommand(bool pulse, std::string_view number,
                                            std::string_view accessCode);

}  // namespace tarvik::line
