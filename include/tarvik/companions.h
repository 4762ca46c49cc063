// What the companion components of libtarvik-companions.so promise beyond
// their interfaces: codes, text formats and files.
#pragma once

#include "tarvik/interfaces.h"

// CommonData (CLSID_CommonData, ProgID "Tarvik.CommonData")
// ----------------------------------------------------------
// Fields keep the order in which they were first set; names compare without
// regard to case (ASCII, Latin-1, Greek and Cyrillic letters). Every failure
// sets error information for IID_ICommonData with source "Tarvik.CommonData";
// the object answers ISupportErrorInfo with S_OK for IID_ICommonData.
//
// GetData and RemoveData of a field that does not exist fail with this code,
// and the description is "Field 'NAME' not found".
inline constexpr HRESULT COMMONDATA_E_FIELDNOTFOUND = DISP_E_UNKNOWNNAME;
// SetData takes EMPTY, NULL, I1, I2, I4, I8, UI1, UI2, UI4, UI8, INT, UINT,
// R4, R8, CY, DATE, BOOL, ERROR, BSTR, UNKNOWN and DISPATCH values (others,
// BYREF and arrays among them, fail with DISP_E_BADVARTYPE). GetData hands
// out a copy; an object value is shared (one more reference). Through
// IDispatch::Invoke a VARIANT passed by reference is looked through; a null
// reference, or arguments counted but no argument array, fail with
// E_INVALIDARG.
//
// GetFirst starts a walk over the fields, GetNext continues it; both answer
// S_FALSE with a null name and an EMPTY value once past the last field.
// RemoveData during a walk keeps the walk on the field that followed.
//
// Text form (Retrieve, Store). One line per field, in order, each ended by
// "\n":
//     NAME <TAB> TYPE <TAB> VALUE
// TYPE is the name above (EMPTY, I4, BSTR, ...). In NAME and in BSTR values a
// backslash is written "\\", a tab "\t", a line feed "\n", a carriage return
// "\r", and any other control character (U+0000 to U+001F, U+007F) "\uXXXX"
// with four hex digits; all other characters, non-ASCII included, stand as
// they are. Integer types (and ERROR) are decimal; BOOL is its 16-bit value
// (-1 true, 0 false; Store also takes "true"/"false"); R4, R8 and DATE are
// the shortest decimal text that reads back to the same value ("nan", "inf",
// "-inf"); CY is its raw 64-bit count of 1/10000 units. EMPTY and NULL have
// an empty VALUE. An object cannot be written as text: UNKNOWN and DISPATCH
// fields are written with an empty VALUE and Store gives them an EMPTY value.
// Store replaces the whole content; it accepts "\r\n" line ends and skips
// empty lines; a later line with the same name replaces the earlier value.
// Text that is not in this form fails with E_INVALIDARG (the description
// names the line) and leaves the bag unchanged.
//
// Retrieve_MaskCSID writes the same text, except that fields holding caller
// identification - those whose name contains "caller", "csid" or "nmbr" (any
// case) - are written as BSTR with every character of their value but the
// last four replaced by '*' (values of four characters or fewer are hidden
// whole). EMPTY, NULL and object values stay as they are.

// Log writer (CLSID_LogWriter, ProgID "Tarvik.LogWriter")
// -------------------------------------------------------
// Target file: SetLogFile, else $TARVIK_LOG, else the string value "LogFile"
// under HKEY_CLASSES_ROOT\CLSID\{9CC92C39-...}. The environment wins over the
// registry because it is the narrower, per-process choice. No target, or one
// that cannot be opened for appending, means nothing is written; WriteEntry
// still succeeds (S_FALSE).
// One line per entry, fields separated by tabs, text in UTF-8:
//     HH:MM:SS.mmm <TAB> thread <TAB> markA <TAB> markB <TAB> function <TAB> message <TAB> detail
// (local time of the write). A backslash, tab, line feed or carriage return
// inside a text is written "\\", "\t", "\n", "\r", so every entry stays one
// line. Each line is written with a single append, so entries from many
// threads and processes never mix.

// Event reporter (CLSID_EventReporter, ProgID "Tarvik.EventReporter")
// -------------------------------------------------------------------
// Target file: SetTarget, else $TARVIK_EVENTS, else the string value
// "EventFile" under HKEY_CLASSES_ROOT\CLSID\{0ED1A08D-...}; none means
// nothing is written (Notify still succeeds, S_FALSE). One JSON object per
// line:
//     {"time":"2026-12-06T09:05:07.123","code":1000,"data":"...",
//      "value1":{"type":"I4","value":81},"value2":{"type":"EMPTY","value":null},
//      "source":"COM1"}
// "type" is the VARIANT type name as in the CommonData text form; "value" is
// a JSON number (integers, R4, R8, DATE, CY as its raw count, ERROR), a
// boolean (BOOL), a string (BSTR; a non-finite R4/R8 as "nan"/"inf"/"-inf"),
// or null (EMPTY, NULL, objects). GetCount gives the number of lines this
// object has written.

// Modem settings (CLSID_VL2600Settings, ProgID "Tarvik.VL2600Settings")
// --------------------------------------------------------------------
// A small name/value map: GetSetting of a name never set fails with
// COMMONDATA_E_FIELDNOTFOUND.
