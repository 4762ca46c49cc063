// Outgoing calls: MakeCall builds the dial command and hands it to the modem.
// It does not wait for the call: the modem's result code arrives later as a
// frame, and the state machine turns it into CallConnected or
// CallDisconnected.
#include <cstring>

#include "frame/Log.h"
#include "line/DialCommand.h"
#include "line/LineRows.h"
#include "line/ModemLine.h"
#include "tarvik/constants.h"

using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::CriticalSectionLock;
using tarvik::Variant;
using tarvik::frame::ComError;
using tarvik::frame::GuardedCall;
using tarvik::line::HangUpLock;
using tarvik::line::HangUpLockHold;
using namespace tarvik::line;

namespace {

constexpr const char* kFn = "CModemLine::MakeCall()";
constexpr DWORD kPauseBeforeDialMs = 1000;
constexpr LONG kAccessCodeEvent = 1000;
constexpr SHORT kAccessCodeMessageType = 103;

// The number as the dial command takes it: text as it stands, a whole number
// of at least 0 in decimal. Anything else (a boolean would dial "-1") is no
// number.
bool NumberText(const VARIANT& value, std::string* out) {
    long long n = -1;
    switch (value.vt) {
        case VT_BSTR:
            *out = tarvik::BstrToAnsi(value.bstrVal);
            return true;
        case VT_I1:
            n = value.cVal;
            break;
        case VT_UI1:
            n = value.bVal;
            break;
        case VT_I2:
            n = value.iVal;
            break;
        case VT_UI2:
            n = value.uiVal;
            break;
        case VT_I4:
            n = value.lVal;
            break;
        case VT_UI4:
            n = value.ulVal;
            break;
        case VT_INT:
            n = value.intVal;
            break;
        case VT_UINT:
            n = value.uintVal;
            break;
        default:
            return false;
    }
    if (n < 0)
        return false;
    *out = std::to_string(n);
    return true;
}

}  // namespace

int CModemLine::DialUnlessEnded(const std::string& command) {
    // The dial command and a hang-up exclude each other: the hang-up either
    // finds the call undialled and ends it without a word to the modem, or
    // finds it dialled and hangs it up; never "+++" to a modem in command
    // mode, never a dial behind a hang-up's back.
    if (m_csHangUp.Enter(kHangUpLockWaitMs) != HangUpLock::Entry::Entered) {
        int pending = kDialPending;
        if (!m_dialStep.compare_exchange_strong(pending, kDialCancelled))
            return -1;  // a hang-up has the call
        LONG connecting = MODEM_CONNECTING;
        m_lState.compare_exchange_strong(connecting, MODEM_IDLE);
        m_lLastError = LINE_ERROR_WRONG_STATE;
        Log(-1, 0, kFn, "A hang-up of the line is still running");
        throw ComError(E_FAIL, std::string_view("A hang-up of the line is still running"));
    }
    HangUpLockHold hold(m_csHangUp);
    int pending = kDialPending;
    // Anything that took the line out of MODEM_CONNECTING meanwhile has
    // raised the call's end already.
    if (!m_dialStep.compare_exchange_strong(pending, kDialSent) || m_lState != MODEM_CONNECTING)
        return -1;
    return SendCommand(command.data(), static_cast<LONG>(command.size()));
}

HRESULT CModemLine::MakeCall(ICommonData* pCallData) {
    // Set once this call moved the line to MODEM_CONNECTING, and once the dial
    // command went out: a failure in between leaves nothing dialled, and the
    // line must not stay "connecting" to nobody.
    bool claimed = false;
    bool dialled = false;
    return GuardedCall(
        m_pLog.Get(), kMakeCallRow,
        [&] {
            if (!pCallData) {
                m_lLastError = 13;
                Log(0, 1, "ML::MakeCall()", "Invalid Modem handle");
                throw ComError(E_FAIL);
            }
            if (!m_bInitialized) {
                m_lLastError = 6;
                Log(-1, 0, kFn, "Line not open");
                throw ComError(E_FAIL);
            }
            // A hang-up or a close in progress (perhaps on this very thread,
            // with this call dispatched inside one of its waits) owns the
            // port and the line state.
            LONG idle = MODEM_IDLE;
            if (m_csHangUp.Held() || !m_lState.compare_exchange_strong(idle, MODEM_CONNECTING)) {
                m_lLastError = 9;
                Log(-1, 0, kFn, "The line is busy");
                throw ComError(E_FAIL);
            }
            claimed = true;
            m_dialStep = kDialPending;
            auto refuse = [this](LONG code, std::string_view why) {
                m_lLastError = code;
                throw ComError(E_FAIL, why);
            };

            Variant value;
            bool pulse = false;
            Bstr dialType(u"DialType");
            if (SUCCEEDED(pCallData->GetData(dialType.Get(), &value)) &&
                SUCCEEDED(VariantChangeType(&value, &value, 0, VT_BOOL)))
                pulse = value.boolVal != VARIANT_FALSE;
            std::strcpy(m_szDialPrefix, pulse ? kPulsePrefix : kTonePrefix);

            value.Clear();
            Bstr phoneNumber(u"PhoneNumber");
            HRESULT hr = pCallData->GetData(phoneNumber.Get(), &value);
            if (FAILED(hr)) {
                m_lLastError = LINE_ERROR_BAD_NUMBER;
                tarvik::frame::ThrowFromCallee(hr, pCallData, IID_ICommonData);
            }
            std::string number;
            if (!NumberText(value, &number))
                refuse(LINE_ERROR_BAD_NUMBER,
                       "The field PhoneNumber is neither text nor a "
                       "whole number of at least 0");
            // Nothing but blanks would send a bare "ATDT", which takes the
            // modem off-hook to dial nobody.
            if (number.find_first_not_of(' ') == std::string::npos)
                refuse(LINE_ERROR_BAD_NUMBER, "The field PhoneNumber is empty");
            if (auto problem = DialStringProblem(number, "PhoneNumber"))
                refuse(LINE_ERROR_BAD_NUMBER, *problem);

            value.Clear();
            Bstr accessField(u"PCAccessCode");
            if (SUCCEEDED(pCallData->GetData(accessField.Get(), &value))) {
                Log(-1, 0, kFn, "Access code has to be sent");
                if (value.vt != VT_NULL && value.vt != VT_EMPTY &&
                    SUCCEEDED(VariantChangeType(&value, &value, 0, VT_BSTR))) {
                    std::lock_guard lock(m_accessCodeLock);
                    m_bstrAccessCode.assign(Bstr::Adopt(value.bstrVal).View());
                    value.vt = VT_EMPTY;  // the Bstr above freed the text
                }
                ComPtr<IEventReporter> notifier;
                {
                    CriticalSectionLock lock(&m_csModemData);
                    notifier = m_pNotifier;
                }
                if (notifier) {
                    ComPtr<ICommonData> message;
                    hr = CoCreateInstance(CLSID_CommonData, nullptr, CLSCTX_ALL, IID_ICommonData,
                                          message.PutVoid());
                    if (FAILED(hr) || !message)
                        throw ComError(E_FAIL);
                    Bstr messageType(u"MessageType");
                    message->SetData(messageType.Get(), Variant::I2(kAccessCodeMessageType));
                    Bstr text;
                    message->Retrieve(text.Put());
                    Variant first, second;
                    Bstr source = Bstr::FromAnsi(m_port.m_szPortName);
                    notifier->Notify(kAccessCodeEvent, text.Get(), first, second, source.Get());
                }
            }

            // The code belongs to this call only, whether it is dialled or
            // refused: taken out here, it can never reach another number.
            std::u16string accessCode;
            {
                std::lock_guard lock(m_accessCodeLock);
                accessCode.swap(m_bstrAccessCode);
            }
            const std::string code = tarvik::ToAnsi(accessCode);
            if (auto problem = DialStringProblem(code, "PCAccessCode"))
                refuse(LINE_ERROR_BAD_ACCESS_CODE, *problem);
            auto command = BuildDialCommand(pulse, number, code);
            if (!command)
                refuse(LINE_ERROR_NUMBER_TOO_LONG,
                       "The phone number and access code are longer than 58 characters together");

            // A call the host ended itself may have left the port in its hands.
            ReclaimPort();
            Sleep(kPauseBeforeDialMs);
            // From here the call is the host's: whatever ends it now (a
            // DropCall or CloseLine during the pause, a port that failed, a
            // result code) tells the host with one CallDisconnected.
            dialled = true;
            const int sent = DialUnlessEnded(*command);
            if (sent < 0) {
                Log(-1, 0, kFn, "The call was ended before it was dialled");
                m_lLastError = 0;
            } else if (sent == 0) {
                m_lLastError = 0;
            } else {
                FatalError(0, 0, 0);
                Log(-1, 0, kFn, "The modem is not responding");
                m_lLastError = 1;
            }
            Log(0, 1, "ML::MakeCall()", "All goes well");
            return S_OK;
        },
        [&](HRESULT) {
            {
                std::lock_guard lock(m_accessCodeLock);
                m_bstrAccessCode.clear();
            }
            if (claimed && !dialled) {
                LONG connecting = MODEM_CONNECTING;
                m_lState.compare_exchange_strong(connecting, MODEM_IDLE);
            }
        });
}
