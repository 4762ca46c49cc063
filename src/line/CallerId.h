// Caller identification: modems that support it send the caller's data as
// "LABEL = value" or "LABEL=value" lines, before the first RING of a call or
// between the first and the second. The line keeps the fields of one call and
// hands them to the event reporter after the second RING.
#pragma once

#include <optional>
#include <string_view>

namespace tarvik::line {

// The labels looked for, in this order, each spaced ("NMBR = ") or compact
// ("NMBR="); the first one found is the only one a frame contributes. NMBR
// and CALR both name the caller's number, depending on the modem.
inline constexpr std::string_view kCallerIdLabels[] = {"DATE", "TIME", "CALR",
                                                       "NMBR", "NAME", "MESG"};

// What one call may gather: a modem (or a line) that sends field after field
// cannot make the line hold or report more than this.
inline constexpr size_t kMaxCallerIdFields = 16;
inline constexpr size_t kMaxCallerIdBytes = 1024;

// The caller-ID field a frame carries: from its label up to the first CR or LF
// after it (or the end of the frame), label included. The search starts at
// the frame's second character: a frame normally begins with the LF that
// ended the modem's previous line, so a label at the very first character is
// not a caller-ID line of ours. Nothing when the frame holds no label.
std::optional<std::string_view> FindCallerIdField(std::string_view frame);

}  // namespace tarvik::line
