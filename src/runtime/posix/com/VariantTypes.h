// Which VARTYPEs this runtime knows. Arrays and records do not exist here.
#pragma once

#include "tarvik/com.h"

namespace tarvik::variant {

// A plain (non-reference) type a VARIANT may hold.
inline bool IsKnownBase(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_ERROR:
        case VT_BOOL:
        case VT_UNKNOWN:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

// Any type a VARIANT may carry: a known base, or a reference to one (or to a
// VARIANT). References to EMPTY and NULL mean nothing.
inline bool IsValid(VARTYPE vt) {
    if (vt & VT_BYREF) {
        VARTYPE base = vt & ~VT_BYREF;
        return base == VT_VARIANT || (IsKnownBase(base) && base != VT_EMPTY && base != VT_NULL);
    }
    return IsKnownBase(vt);
}

}  // namespace tarvik::variant
