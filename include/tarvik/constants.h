// Named values of the host contract: the property-bag field names a line and
// a session read and write, the codes of a line's LastError property, and
// (from tarvik/results.h) the line states and the causes passed to
// IModemLineCallback::CallDisconnected. Host code that uses these names
// instead of bare strings and numbers fails to compile on a misspelling
// rather than misbehaving at run time.
//
//   tarvik::Bstr name(tarvik::field::PhoneNumber);
//   callData->SetData(name.Get(), tarvik::Variant::AnsiString("5551234"));
//   ...
//   if (lCause == DISCONNECT_BUSY) ...
//   if (lastError == LINE_ERROR_INIT_FAILED) ...
#pragma once

#include "tarvik/results.h"
#include "tarvik/types.h"

namespace tarvik::field {

// Settings: the bag given to IModemLine::OpenLine.
// The port, "COM1" style (mapped to a device by the device map). Text; required.
inline constexpr OLECHAR COMPort[] = u"COMPort";
// The first initialisation command, without its carriage return, at most 98
// bytes ("ATZ", "AT&F E0 V1"). Text; required.
inline constexpr OLECHAR ModemSetting[] = u"ModemSetting";
// A second, device-specific initialisation command, sent as it stands (give
// it its own "\r"), at most 99 bytes. Text; when absent the second stage is
// skipped.
inline constexpr OLECHAR DeviceInit[] = u"R552";
// Rings counted before CallOffering. Integer; 1 when never set.
inline constexpr OLECHAR NumRingsAnswer[] = u"NumRingsAnswer";
// Non-zero: caller-ID lines between the first two rings go to the event
// reporter. Integer; 0.
inline constexpr OLECHAR CallerIDEnabled[] = u"CallerIDEnabled";
// Non-zero: a smart modem, answered without the off-hook step. Integer; 0.
inline constexpr OLECHAR AnsweringMode[] = u"AnsweringMode";
// Non-zero: incoming calls are answered with "ATD\r" instead of "ATA\r".
// Integer; 0.
inline constexpr OLECHAR KVRIncoming[] = u"KVRIncoming";
// Line speed in bit/s, one of the fifteen Windows rates (110 to 256000).
// Integer; 300.
inline constexpr OLECHAR BaudRate[] = u"BaudRate";
// Milliseconds of quiet on the line before "+++" when a call is dropped, for
// modems whose escape guard time (S12) must pass first. Integer; 0.
inline constexpr OLECHAR EscapeGuardTime[] = u"EscapeGuardTime";

// Call data: the bag given to IModemLine::MakeCall.
// The number to dial. Text; required.
inline constexpr OLECHAR PhoneNumber[] = u"PhoneNumber";
// True dials pulse ("ATDP"), false tone ("ATDT"). Converted to boolean; tone.
inline constexpr OLECHAR DialType[] = u"DialType";
// Appended after the number. Converted to text; none.
inline constexpr OLECHAR PCAccessCode[] = u"PCAccessCode";

// Modem data: the bag IModemSession::AddModem hands out, which the host
// passes on to IModemLine::Initialize. Written by the session.
inline constexpr OLECHAR MediaID[] = u"MediaID";      // 1, 2, 3, ... per session
inline constexpr OLECHAR RequestID[] = u"RequestID";  // always 0
inline constexpr OLECHAR ModemSession_IUnknown[] = u"ModemSession_IUnknown";
inline constexpr OLECHAR COMPortName[] = u"COMPortName";  // the name given to AddModem

// The bag a line sends to the event reporter when it dials: 103 (16-bit).
inline constexpr OLECHAR MessageType[] = u"MessageType";

}  // namespace tarvik::field

// Values of IModemLine::get_LastError: what the last failing operation of the
// line found. A successful OpenLine, AnswerCall or DropCall leaves
// LINE_ERROR_NONE.
enum LineLastError : LONG {
    LINE_ERROR_NONE = 0,
    // The modem gave no usable answer, or a command could not be sent: the
    // last initialisation attempt failed; MakeCall could not transmit the
    // dial command (it still returns S_OK, and CallDisconnected follows);
    // DropCall could not send "+++" or had no answer to "ATH".
    LINE_ERROR_NO_RESPONSE = 1,
    // OpenLine: the port could not be opened (no such device, or another
    // program holds it), "COMPort" is not text, or the line is open already.
    LINE_ERROR_PORT_CREATE = 3,
    // OpenLine: the opened port could not be set up and started; DropCall:
    // the port could not be taken back from the host.
    LINE_ERROR_PORT_OPEN = 4,
    // OpenLine: the modem did not take the initialisation commands, or
    // "ModemSetting" is missing, not text or too long.
    LINE_ERROR_INIT_FAILED = 5,
    // OpenLine, CloseLine, MakeCall, AnswerCall, DropCall before Initialize
    // (or after Shutdown).
    LINE_ERROR_NOT_INITIALIZED = 6,
    // CloseLine: closing the port failed.
    LINE_ERROR_PORT_CLOSE = 7,
    // CloseLine: releasing the port's device failed.
    LINE_ERROR_PORT_DESTROY = 8,
    // The line's state does not allow the operation: MakeCall while a call
    // is connecting, connected, offered or being torn down; OpenLine while
    // not idle; DropCall with no call to drop (it still returns S_OK).
    LINE_ERROR_WRONG_STATE = 9,
    // Shutdown of a line that is not initialised.
    LINE_ERROR_SHUTDOWN_NOT_INITIALIZED = 10,
    // AnswerCall with no call offered ("The line is busy").
    LINE_ERROR_NO_CALL_OFFERED = 12,
    // Initialize, OpenLine or MakeCall given a null ICommonData.
    LINE_ERROR_NULL_DATA = 13,
    // AnswerCall: the modem did not take the answer command (AnswerCall
    // still returns S_OK and the line reports a fatal error); DropCall:
    // "ATH" could not be sent.
    LINE_ERROR_NOT_RESPONDING = 15,
    // MakeCall: "PhoneNumber" is missing, not text (or an integer), empty,
    // blanks only, or holds a character outside the dial set.
    LINE_ERROR_BAD_NUMBER = 16,
    // MakeCall: "PCAccessCode" holds a character outside the dial set.
    LINE_ERROR_BAD_ACCESS_CODE = 17,
    // MakeCall: number and access code together are longer than the 58
    // characters a dial command has room for.
    LINE_ERROR_NUMBER_TOO_LONG = 18,
    // Initialize given a null callback, or its events could not be created.
    LINE_ERROR_NULL_CALLBACK = 25,
};
