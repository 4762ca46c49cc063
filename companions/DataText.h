// The text form of a property bag (Retrieve, Store, Retrieve_MaskCSID) and
// the rules for field names. The format is documented in
// include/tarvik/companions.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tarvik/comptr.h"

namespace tarvik::companions {

struct Field {
    std::u16string name;
    Variant value;
};

// Field names compare without regard to case (ASCII, Latin-1, Greek and
// Cyrillic letters; other characters compare as they are).
bool FieldNamesEqual(std::u16string_view a, std::u16string_view b);

// Types a bag accepts in SetData (and can write as text, objects aside).
bool IsStorableType(VARTYPE vt);

// Whether a field holds caller identification, which the masked text hides.
bool IsCallerIdField(std::u16string_view name);

// Appends one field's line to `out`; with `mask` a caller-ID field's value is
// hidden.
void AppendFieldText(std::u16string* out, const Field& field, bool mask);

// Parses a whole text into fields. False with `error` set (a line number and
// what is wrong) when the text is not in the format.
bool ParseFieldText(std::u16string_view text, std::vector<Field>* fields, std::u16string* error);

}  // namespace tarvik::companions
