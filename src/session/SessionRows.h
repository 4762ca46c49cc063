// The catch-all rows of the session's operations: trace text (the description
// the host reads), closing log entry and interface of the error information.
#pragma once

#include "frame/ErrorReporting.h"
#include "tarvik/interfaces.h"

namespace tarvik::session {

using frame::ErrorRow;

inline constexpr ErrorRow Row(const char* trace, const char* function) {
    return ErrorRow{trace, function,           "An exception occurred", -1,
                    0,     &IID_IModemSession, &CLSID_ATModemSession};
}

inline constexpr ErrorRow kShutdownRow =
    Row("CModemSession::Shutdown\n", "CModemSession::Shutdown()");
inline constexpr ErrorRow kInitializeRow =
    Row("CModemSession::Initialize\n", "CModemSession::Initialize()");
inline constexpr ErrorRow kAddModemRow =
    Row("CModemSession::AddModem\n", "CModemSession::AddModem()");
inline constexpr ErrorRow kMaxModemsRow =
    Row("CModemSession::get_MaxModems\n", "CModemSession::get_MaxModems()");
inline constexpr ErrorRow kHandleLineMessageRow =
    Row("CModemSession::FatalError\n", "CModemSession::HandleLineMessage()");

}  // namespace tarvik::session
