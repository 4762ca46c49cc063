// The registrar: runs a registration script against the registry store, in
// registration or removal mode.
//
// The script language:
//
//   HKCR
//   {
//       Some.ProgID = s 'Friendly name'
//       {
//           CLSID = s '{...}'
//       }
//       NoRemove CLSID
//       {
//           ForceRemove {...} = s 'Friendly name'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Free'
//               }
//           }
//       }
//   }
//
// - A script is a list of root keys (HKCR, HKCU, HKLM, HKU, HKCC or their long
//   HKEY_ names), each with a braced block of keys.
// - A key is a name, optionally "= <value>" (its default value), optionally a
//   braced block of subkeys and "val <name> = <value>" named values.
// - Names are bare words (anything up to white space, '=' or a quote; a lone
//   '{' or '}' is a brace, "{GUID}" is a name) or quoted with single quotes.
// - Values: s 'text' (a string) or d 'number' / d number (a DWORD, decimal or
//   0x hexadecimal). Inside quotes a doubled quote stands for one quote.
// - Flags before a key name:
//     NoRemove    the key is never removed (its subkeys and values are);
//     ForceRemove the key is replaced whole on registration and removed whole,
//                 with everything below it, on removal;
//     Delete      the key is removed on registration and left alone on removal.
//   A key without flags is created on registration; on removal its subkeys
//   are handled first and the key goes only when no subkey is left, so keys
//   that other programs added below it survive.
// - %NAME% is replaced by the value of the variable NAME before the script is
//   read, with every single quote of the value doubled so the value can stand
//   inside a quoted string; "%%" gives one '%'. An unknown variable is an error.
// - Keywords, root names and key names compare without regard to case.
//
// The whole script is read before anything is written, so a script with a
// syntax error changes nothing; one script is one atomic update of the store.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "tarvik/registry.h"
#include "tarvik/types.h"

namespace tarvik::frame {

using ScriptVariables = std::map<std::string, std::string, registry::CaseLess>;

enum class RegistrarMode { Register, Unregister };

// Failure codes: E_INVALIDARG for a script that cannot be read (an unknown
// variable, a syntax error, an unsupported value type), the store's code when
// reading or writing the store fails. `error` (optional) receives a short
// description of a script error, with the line it was found on.
HRESULT RunRegistrationScript(std::string_view script, const ScriptVariables& variables,
                              RegistrarMode mode, registry::Key& root,
                              std::string* error = nullptr);

// The same against the registry store (one atomic update), reading only the
// keys the script names.
HRESULT RunRegistrationScript(std::string_view script, const ScriptVariables& variables,
                              RegistrarMode mode, std::string* error = nullptr);

// The script text with its variables replaced (exposed for tests).
HRESULT SubstituteScriptVariables(std::string_view script, const ScriptVariables& variables,
                                  std::string* out, std::string* error = nullptr);

}  // namespace tarvik::frame
