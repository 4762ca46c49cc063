// Caller identification: modems that support it send the caller's data as
// "LABEL = value" lines between the first and the second RING of a call. The
// line keeps the fields of one call and hands them to the event reporter.
#pragma once

#include <optional>
#include <string_view>

namespace tarvik::line {

// The labels looked for, in this order; the first one found is the only one a
// frame contributes.
inline constexpr std::string_view kCallerIdLabels[] = {"DATE =", "TIME =", "CALR =", "NAME ="};

// The caller-ID field a frame carries: from its label up to the first CR or LF
// after it (or the end of the frame), label included. The search starts at
// the frame's second character: a frame normally begins with the LF that
// ended the modem's previous line, so a label at the very first character is
// not a caller-ID line of ours. Nothing when the frame holds no label.
std::optional<std::string_view> FindCallerIdField(std::string_view frame);

}  // namespace tarvik::line
