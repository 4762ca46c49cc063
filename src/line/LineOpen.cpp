// OpenLine and the modem initialisation.
#include "frame/Log.h"
#include "line/LineRows.h"
#include "line/ModemLine.h"

using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::Variant;
using tarvik::frame::ComError;
using tarvik::frame::GuardedCall;
using namespace tarvik::line;

namespace {

// Longest initialisation texts: each command is built in a 100-byte buffer
// with its terminating zero, and the first one also gets a carriage return.
constexpr size_t kMaxModemSetting = 98;
constexpr size_t kMaxR552 = 99;

constexpr DWORD kPauseBeforeInitMs = 300;
constexpr DWORD kEscapeAnswerWaitMs = 1000;

enum class Field { Absent, EmptyOrNull, Value };

// Reads an integer setting. Absent: the read failed. A value that does not
// convert to an integer leaves `out` alone (and counts as a value).
Field ReadInteger(ICommonData* settings, const char16_t* name, LONG* out, bool* stored) {
    Variant value;
    Bstr field(name);
    *stored = false;
    if (FAILED(settings->GetData(field.Get(), &value)))
        return Field::Absent;
    if (value.vt == VT_EMPTY || value.vt == VT_NULL)
        return Field::EmptyOrNull;
    if (SUCCEEDED(VariantChangeType(&value, &value, 0, VT_I4))) {
        *out = value.lVal;
        *stored = true;
    }
    return Field::Value;
}

// Reads a text setting; false when absent or not text.
enum class Text { Absent, NotText, Ok };
Text ReadText(ICommonData* settings, const char16_t* name, std::string* out) {
    Variant value;
    Bstr field(name);
    if (FAILED(settings->GetData(field.Get(), &value)))
        return Text::Absent;
    if (value.vt != VT_BSTR)
        return Text::NotText;
    *out = tarvik::BstrToAnsi(value.bstrVal);
    return Text::Ok;
}

}  // namespace

void CModemLine::ReadOpenSettings(ICommonData* settings) {
    bool stored = false;
    LONG value = 0;
    // Empty or null converts to 0, as COM converts an empty value.
    value = m_lNumRingsAnswer;
    if (ReadInteger(settings, u"NumRingsAnswer", &value, &stored) == Field::EmptyOrNull)
        value = 0;
    m_lNumRingsAnswer = value;
    value = m_bCallerIDEnabled;
    if (ReadInteger(settings, u"CallerIDEnabled", &value, &stored) == Field::EmptyOrNull)
        value = 0;
    m_bCallerIDEnabled = value;

    Log(0, 1, "ML::Openline()", "Checking for KVR Incoming call");
    value = m_bKVRIncoming;
    switch (ReadInteger(settings, u"KVRIncoming", &value, &stored)) {
        case Field::Absent:
            m_bKVRIncoming = 0;
            Log(0, 1, "ML::Openline()", "Not for KVR Inc call");
            break;
        case Field::EmptyOrNull:
            break;
        case Field::Value:
            m_bKVRIncoming = value;
            if (stored)
                Log(0, 1, "ML::Openline()", "For KVR Inc call");
            break;
    }
    value = m_lAnsweringMode;
    switch (ReadInteger(settings, u"AnsweringMode", &value, &stored)) {
        case Field::Absent:
            m_lAnsweringMode = 0;
            Log(0, 1, "ML::Openline()", "Not for Smartmodem");
            break;
        case Field::EmptyOrNull:
            break;
        case Field::Value:
            m_lAnsweringMode = value;
            if (stored)
                Log(0, 1, "ML::Openline()", "For Smart modem");
            break;
    }
}

void CModemLine::ReadLineSpeedSettings(ICommonData* settings) {
    auto refuse = [this](const char* what) {
        m_lLastError = 3;
        Log(0, 1, "ML::OpenLine()", what);
        throw ComError(E_FAIL, std::string_view(what));
    };
    bool stored = false;
    LONG rate = 300;
    if (ReadInteger(settings, u"BaudRate", &rate, &stored) == Field::Value &&
        (!stored || !tarvik::IsStandardBaudRate(rate)))
        refuse("The setting BaudRate is not one of the standard rates (110 to 256000)");
    if (!stored)
        rate = 300;
    // The modem needs its guard time (S12, 1 s by default) of quiet before
    // "+++"; longer than a minute is no guard time but a mistake.
    LONG guard = 0;
    if (ReadInteger(settings, u"EscapeGuardTime", &guard, &stored) == Field::Value &&
        (!stored || guard < 0 || guard > 60000))
        refuse("The setting EscapeGuardTime is not a time from 0 to 60000 ms");
    if (!stored)
        guard = 0;
    m_lBaudRate = rate;
    m_lEscapeGuardMs = guard;
}

HRESULT CModemLine::OpenLine(ICommonData* pCommonData) {
    // The failure path closes the port, except when the call was refused
    // because the line was open already: that port belongs to a working line.
    bool portTouched = false;
    return GuardedCall(
        m_pLog.Get(), kOpenLineRow,
        [&] {
            if (!pCommonData) {
                Log(0, 1, "ML::OpenLine()", "Invalid Modem handle");
                m_lLastError = 13;
                throw ComError(E_FAIL);
            }
            if (!m_bInitialized) {
                m_lLastError = 6;
                Log(0, 1, "ML::OpenLine()", "Line not open");
                throw ComError(E_FAIL);
            }
            if (m_bPortOpen || m_bHandedOver) {
                Log(0, 1, "ML::OpenLine()", "Port already open");
                m_lLastError = 3;
                throw ComError(E_FAIL,
                               std::string_view("The line is open already; close it first"));
            }
            // Failures reported for an earlier opening (a fatal error while
            // dialling leaves the flag set) say nothing about this one.
            m_bFatalReported = false;
            m_bPortFailed = false;
            m_lPortError = 0;
            ReadLineSpeedSettings(pCommonData);
            ReadOpenSettings(pCommonData);
            // Fields gathered before this opening belong to an earlier call.
            ClearCallerId();

            Variant port;
            Bstr portField(u"COMPort");
            HRESULT hr = pCommonData->GetData(portField.Get(), &port);
            if (FAILED(hr))
                tarvik::frame::ThrowFromCallee(hr, pCommonData, IID_ICommonData);
            if (port.vt != VT_BSTR) {
                Log(0, 1, "ML::OpenLine()", "COMPort is not text");
                m_lLastError = 3;
                throw ComError(E_FAIL, std::string_view("The setting COMPort is not text"));
            }
            std::string portName = tarvik::BstrToAnsi(port.bstrVal);
            Log(0, 1, "ML::OpenLine()", portName);

            portTouched = true;
            if (m_port.CreatePort(portName.c_str()) != SP_OK) {
                m_lLastError = 3;
                Log(0, 1, "ML::OpenLine()", "Failed to obtain a handle to the COM port");
                throw ComError(E_FAIL, std::string_view(PortFailureText(portName)));
            }
            ComPtr<IPassThroughCallback> self;
            hr = QueryInterface(IID_IPassThroughCallback, self.PutVoid());
            if (FAILED(hr))
                throw ComError(hr);
            m_port.SetCallback(self.Get());
            m_port.SetBaudRate(m_lBaudRate);
            m_port.SetFrameTerminator(13);
            m_port.SetMaxFrameLength(100);
            if (m_port.OpenPort(false) != SP_OK) {
                m_lLastError = 4;
                Log(0, 1, "ML::OpenLine()", "OpenPort() failed");
                throw ComError(E_FAIL, std::string_view(PortFailureText(portName)));
            }
            m_bPortOpen = true;
            Log(0, 1, "ML::OpenLine()", "Before InitializeModem ");
            {
                std::lock_guard lock(m_lineDataLock);
                m_pLineData = pCommonData;
            }
            std::string failure;
            if (!InitializeModem(failure)) {
                m_lLastError = 5;
                Log(0, 1, "ML::OpenLine()", "InitializeModem failed");
                throw ComError(E_FAIL, std::string_view(failure));
            }
            Log(0, 1, "ML::OpenLine()", "All goes well");
            m_lRingCount = 0;
            return S_OK;
        },
        [&](HRESULT) {
            if (!portTouched)
                return;
            // The monitor thread is stopped before the handle goes: left
            // running, it would read a closed descriptor and call into a line
            // that may be gone.
            m_port.ClosePort(true);
            m_port.DestroyPort();
            m_bPortOpen = false;
            m_lState = MODEM_IDLE;
        });
}

bool CModemLine::InitializeModem(std::string& failure) {
    if (m_lState != MODEM_IDLE) {
        m_lLastError = 9;
        throw ComError(E_FAIL);
    }
    ComPtr<ICommonData> settings;
    {
        std::lock_guard lock(m_lineDataLock);
        settings = m_pLineData;
    }
    // Both texts are checked before anything is sent: a command cut to fit
    // would configure the modem other than the host asked.
    std::string first;
    switch (ReadText(settings.Get(), u"ModemSetting", &first)) {
        case Text::Absent:
            failure = "The setting ModemSetting is missing";
            return false;
        case Text::NotText:
            failure = "The setting ModemSetting is not text";
            return false;
        case Text::Ok:
            break;
    }
    if (first.size() > kMaxModemSetting) {
        failure = "The setting ModemSetting is longer than 98 bytes";
        return false;
    }
    std::string second;
    Text r552 = ReadText(settings.Get(), u"R552", &second);
    if (r552 == Text::NotText) {
        failure = "The setting R552 is not text";
        return false;
    }
    if (r552 == Text::Ok && second.size() > kMaxR552) {
        failure = "The setting R552 is longer than 99 bytes";
        return false;
    }

    m_initHeard = 0;
    if (!InitializeFirstStage(first + "\r")) {
        failure = InitFailureText();
        return false;
    }
    m_initHeard = 0;
    if (r552 == Text::Ok && !InitializeSecondStage(second)) {
        failure = InitFailureText();
        return false;
    }
    m_nInitAttempt = 0;
    m_port.ApplyCommState();
    return true;
}

std::string CModemLine::PortFailureText(const std::string& port) const {
    // The reason goes after the operation's own text, on a line of its own,
    // so that a host can tell a missing device from one in use or from a
    // process that has run out of descriptors.
    const DWORD code = m_port.OpenError();
    return port + ": " +
           (code ? tarvik::SystemErrorReason(code) : std::string("the port could not be set up"));
}

std::string CModemLine::InitFailureText() const {
    const std::string port = m_port.m_szPortName;
    const unsigned heard = m_initHeard;
    if (m_bPortFailed) {
        // The port says why when it knows: a device unplugged, or a descriptor
        // or thread the port needed and could not have.
        const DWORD code = static_cast<DWORD>(m_lPortError.load());
        return "The modem on " + port + " was lost during its initialisation" +
               (code ? " (" + tarvik::SystemErrorReason(code) + ")" : "");
    }
    if (heard & kInitHeardError)
        return "The modem on " + port + " answered ERROR to its initialisation command";
    if (heard == (kInitHeardAny | kInitHeardEcho))
        return "The modem on " + port +
               " echoed its initialisation command but gave no result code";
    if (heard & kInitHeardAny)
        return "The modem on " + port +
               " answered its initialisation command with nothing this line understands";
    return "The modem on " + port + " did not answer its initialisation command at all";
}

void CModemLine::EndInitStage() {
    m_hInitResponse.Replace(nullptr);
    std::lock_guard lock(m_initCommandLock);
    m_initCommand.clear();
}

void CModemLine::ReportInitFailure() {
    // One report per failed initialisation; none when the port has told of
    // its own failure already.
    if (m_bPortFailed)
        return;
    m_bFatalReported = true;
    FatalError(0, 0, 0);
}

bool CModemLine::InitSendFailure() {
    ReportInitFailure();
    m_lLastError = 1;
    EndInitStage();
    return false;
}

void CModemLine::ArmInitResponse(const std::string& command) {
    // Only the answer to the command about to go out counts: whatever the
    // modem said before (the OK to an escape, a late answer to the previous
    // attempt) is forgotten, and its echo is recognised as such.
    {
        std::lock_guard lock(m_initCommandLock);
        m_initCommand = command;
    }
    m_bInitOK = 0;
    m_hInitResponse.Clear();
    m_lState = MODEM_INITIALIZING;
}

bool CModemLine::IsInitEcho(std::string_view frame) {
    const size_t first = frame.find_first_not_of("\r\n ");
    if (first == std::string_view::npos)
        return false;
    frame = frame.substr(first, frame.find_last_not_of("\r\n ") + 1 - first);
    std::lock_guard lock(m_initCommandLock);
    std::string_view command(m_initCommand);
    command = command.substr(0, command.find_last_not_of("\r\n ") + 1);
    // The echo may follow other characters the modem echoed (an escape
    // sequence sent before the command).
    return !command.empty() && frame.size() >= command.size() &&
           frame.substr(frame.size() - command.size()) == command;
}

bool CModemLine::InitializeStage(const std::string& command, bool escapeFirst, bool pause,
                                 const char* sendFailedFn, const char* successFn,
                                 const char* noResponseText) {
    HANDLE response = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!response) {
        m_lLastError = 6;
        return false;
    }
    m_hInitResponse.Replace(response);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1 && escapeFirst) {
            // The modem may still be in data mode from an earlier program.
            // Its OK to the escape is consumed here, never taken as the
            // answer to the command.
            ArmInitResponse("+++");
            m_hModemResponse.Clear();
            if (SendCommand("+++", 3) == 0)
                GetResponseFromModem(kEscapeAnswerWaitMs, false);
        }
        ++m_nInitAttempt;
        if (pause)
            Sleep(kPauseBeforeInitMs);
        // Every attempt starts afresh: an ERROR to the first must not leave
        // the second unable to hear its OK.
        ArmInitResponse(command);
        if (SendCommand(command.data(), static_cast<LONG>(command.size())) != 0) {
            if (attempt == 0 && !m_bPortFailed)
                continue;
            Log(0, 1, sendFailedFn, "Send failed");
            return InitSendFailure();
        }
        Log(0, 1, successFn, "send success");
        m_lLastError = 0;
        if (GetResponseForInitialization()) {
            EndInitStage();
            return true;
        }
        Log(0, 1, "ML::InitializeModem()", noResponseText);
        m_hInitResponse.Clear();
        if (attempt == 1 || m_bPortFailed) {
            m_lState = MODEM_IDLE;
            m_lLastError = 1;
            ReportInitFailure();
            EndInitStage();
            return false;
        }
    }
    return false;  // not reached: attempt 1 always returns
}

bool CModemLine::InitializeFirstStage(const std::string& command) {
    return InitializeStage(command, true, true, "ML::InitializeModem()", "ML::InitializeModem()",
                           "Failed to get response for modem initialization");
}

bool CModemLine::InitializeSecondStage(const std::string& command) {
    return InitializeStage(command, false, false, "ML::Initialize R552()", "ML::InitializeR552()",
                           "Failed to get response for R552 initialization");
}
