// The catch-all rows of the line's operations: trace text (the description the
// host reads), closing log entry and interface of the error information.
#pragma once

#include "frame/ErrorReporting.h"
#include "tarvik/interfaces.h"

namespace tarvik::line {

using frame::ErrorRow;

inline constexpr ErrorRow Row(const char* trace, const char* function, const char* message,
                              LONG markA, LONG markB, const IID* iid = &IID_IModemLine) {
    return ErrorRow{trace, function, message, markA, markB, iid, &CLSID_ATModemLine};
}

inline constexpr ErrorRow kInitializeRow =
    Row("CModemLine::Initialize\n", "ML::Initialize()", "Exception", 0, 1);
inline constexpr ErrorRow kShutdownRow =
    Row("CModemLine::Shutdown\n", "ML::Shutdown", "An exception occurred", 0, 1);
inline constexpr ErrorRow kOpenLineRow =
    Row("CModemLine::LineOpen\n", "CModemLine::OpenLine()", "An exception occurred", -1, 0);
inline constexpr ErrorRow kMakeCallRow =
    Row("CModemLine::MakeCall\n", "CModemLine::MakeCall()", "An exception occurred", -1, 0);
inline constexpr ErrorRow kDropCallRow =
    Row("CModemLine::Disconnect\n", "CModemLine::DropCall()", "An Exception occurred", -1, 0);
inline constexpr ErrorRow kCloseLineRow =
    Row("CModemLine::ClosePort\n", "CModemLine::CloseLine()", "An Exception occurred", -1, 0);
inline constexpr ErrorRow kLastErrorRow = Row(
    "CModemLine::get_LastError\n", "CModemLine::get_LastError()", "An Exception occurred", -1, 0);
inline constexpr ErrorRow kModemHandleRow = Row(
    "CModemLine::GetModemHandle\n", "CModemLine::GetModemHandle()", "An Exception occurred", -1, 0);
inline constexpr ErrorRow kLastLineErrorRow =
    Row("CModemLine::get_LastLineError\n", "CModemLine::get_LastLineError()",
        "An Exception occurred", -1, 0);
inline constexpr ErrorRow kNoAnswerTimeoutRow =
    Row("CModemLine::get_NoAnswerTimeout\n", "CModemLine::get_NoAnswerTimeout()",
        "An Exception occurred", -1, 0);
inline constexpr ErrorRow kReportProgressRow =
    Row("CModemLine::get_ReportProgress\n", "CModemLine::get_ReportProgress()",
        "An Exception occurred", -1, 0);
inline constexpr ErrorRow kAnswerCallRow =
    Row("CModemLine::AnswerCall\n", "CModemLine::AnswerCall()", "An exception occurred", -1, 0);
inline constexpr ErrorRow kTransmitDoneRow =
    Row("CModemLine::TransmitDone\n", "CModemLine::TransmitDone()", "An exception occurred", -1, 0);
inline constexpr ErrorRow kLineFatalErrorRow =
    Row("CModemLine::FatalError\n", "CModemLine::FatalError()", "An exception occurred", -1, 0);
// The port's two callbacks into the line write no closing entry.
inline constexpr ErrorRow kFrameReceivedRow =
    Row("CModemLine::FrameReceived\n", nullptr, "", -1, 0);
inline constexpr ErrorRow kPortFatalErrorRow = Row("CModemLine::FatalError\n", nullptr, "", -1, 0);
inline constexpr ErrorRow kCallOfferingRow =
    Row("ModemLine::CallOffering\n", "CModemLine::CallOffering()", "An Exception occurred", -1, 0,
        &IID_IModemLinePrivate);
inline constexpr ErrorRow kCallDisconnectedRow =
    Row("ModemLine::CallDisconnected\n", "CModemLine::CallDisconnected()", "An Exception occurred",
        -1, 0, &IID_IModemLinePrivate);
inline constexpr ErrorRow kCallConnectedRow =
    Row("ModemLine::CallConnected\n", "CModemLine::CallConnected()", "An Exception occurred", -1, 0,
        &IID_IModemLinePrivate);
inline constexpr ErrorRow kHangUpCallRow =
    Row("CModemLine::HangUpCall\n", "CModemLine::HangUpCall()", "An Exception occurred", -1, 0);
inline constexpr ErrorRow kMediaIdRow =
    Row("CModemLine::get_MediaID\n", "CModemLine::get_MediaID()", "An Exception occurred", -1, 0);

}  // namespace tarvik::line
