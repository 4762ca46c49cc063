// The event reporter: one JSON line per notification appended to a file.
#pragma once

#include <string>

#include "tarvik/interfaces.h"

namespace tarvik::companions {
HRESULT CreateEventReporter(IUnknown* outer, REFIID iid, void** ppv);

// {"type":"I4","value":81} for one VARIANT.
std::string VariantJson(const VARIANT& v);
// A JSON string literal (quotes included) of UTF-16 text.
std::string JsonString(std::u16string_view text);
}  // namespace tarvik::companions
