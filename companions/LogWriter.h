// The log writer: one line per entry appended to a file.
#pragma once

#include <string>

#include "tarvik/interfaces.h"
#include "tarvik/sync.h"

namespace tarvik::companions {
HRESULT CreateLogWriter(IUnknown* outer, REFIID iid, void** ppv);

// One entry as the log writer writes it (without the line end). `time` is the
// local time of day, `ms` its milliseconds.
std::string FormatLogLine(const SYSTEMTIME& time, ULONG thread, LONG markA, LONG markB,
                          BSTR function, BSTR message, BSTR detail);
}  // namespace tarvik::companions
