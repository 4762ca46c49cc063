// Outgoing calls: MakeCall builds the dial command and hands it to the modem.
// It does not wait for the call: the modem's result code arrives later as a
// frame, and the state machine turns it into CallConnected or
// CallDisconnected.
#include <cstring>

#include "frame/Log.h"
#include "line/DialCommand.h"
#include "line/LineRows.h"
#include "line/ModemLine.h"

using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::CriticalSectionLock;
using tarvik::Variant;
using tarvik::frame::ComError;
using tarvik::frame::GuardedCall;
using namespace tarvik::line;

namespace {

constexpr const char* kFn = "CModemLine::MakeCall()";
constexpr DWORD kPauseBeforeDialMs = 1000;
constexpr LONG kAccessCodeEvent = 1000;
constexpr SHORT kAccessCodeMessageType = 103;

}  // namespace

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
            m_bDialSent = false;

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
            if (FAILED(hr))
                tarvik::frame::ThrowFromCallee(hr, pCallData, IID_ICommonData);
            if (value.vt != VT_BSTR && FAILED(VariantChangeType(&value, &value, 0, VT_BSTR)))
                throw ComError(E_FAIL, std::string_view("The field PhoneNumber is not text"));
            std::string number = tarvik::BstrToAnsi(value.bstrVal);
            // Nothing but blanks would send a bare "ATDT", which takes the
            // modem off-hook to dial nobody.
            if (number.find_first_not_of(' ') == std::string::npos)
                throw ComError(E_FAIL, std::string_view("The field PhoneNumber is empty"));
            if (auto problem = DialStringProblem(number, "PhoneNumber"))
                throw ComError(E_FAIL, std::string_view(*problem));

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
                throw ComError(E_FAIL, std::string_view(*problem));
            auto command = BuildDialCommand(pulse, number, code);
            if (!command)
                throw ComError(E_FAIL, std::string_view("The phone number and access code are "
                                                        "longer than 58 characters together"));

            // A call the host ended itself may have left the port in its hands.
            ReclaimPort();
            Sleep(kPauseBeforeDialMs);
            // A DropCall or CloseLine during the pause ended the call: nothing
            // may be dialled now. The flag is raised before the state is
            // looked at, and a hang-up moves the state before it looks at the
            // flag, so one of the two always sees the other.
            m_bDialSent = true;
            if (m_lState != MODEM_CONNECTING || m_csHangUp.Held()) {
                Log(-1, 0, kFn, "The call was ended before it was dialled");
                dialled = true;  // the state is the hang-up's now
                throw ComError(E_FAIL,
                               std::string_view("The call was ended before it was dialled"));
            }
            dialled = true;
            if (SendCommand(command->data(), static_cast<LONG>(command->size())) == 0) {
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
