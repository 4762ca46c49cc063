#include "line/ModemLine.h"

#include "frame/Log.h"
#include "line/LineRows.h"

using tarvik::ComPtr;
using tarvik::CriticalSectionLock;
using tarvik::frame::ComError;
using tarvik::frame::GuardedCall;
using namespace tarvik::line;

namespace tarvik::line {

HRESULT CreateModemLine(IUnknown* outer, ModuleLock* module, REFIID iid, void** ppv) noexcept {
    return CreateComObject<CModemLine>(outer, module, iid, ppv);
}

}  // namespace tarvik::line

namespace {

void CloseAndClear(std::atomic<HANDLE>& field) {
    if (HANDLE h = field.exchange(nullptr))
        CloseHandle(h);
}

}  // namespace

CModemLine::CModemLine() {
    InitializeCriticalSection(&m_csModemData);
    InitializeCriticalSection(&m_csAnswer);
    // No event thread runs yet.
    m_hEventsDone = CreateEventA(nullptr, TRUE, TRUE, nullptr);
}

CModemLine::~CModemLine() {
    // The handles of Initialize are Shutdown's to close; a host that never
    // called it would otherwise leak them with the object.
    CloseHandles();
    m_hInitResponse.Replace(nullptr);
    m_hModemResponse.Replace(nullptr);
    m_pNotifier.Reset();
    // The port goes with the members; it must not run any more. A host that
    // released an opened line without Shutdown still holds the port's
    // reference to us, so we only get here with the port at rest.
    DeleteCriticalSection(&m_csModemData);
    DeleteCriticalSection(&m_csAnswer);
    if (m_hEventsDone)
        CloseHandle(m_hEventsDone);
}

IUnknown* CModemLine::FindInterface(REFIID iid) noexcept {
    if (IsEqualIID(iid, IID_IModemLine))
        return static_cast<IModemLine*>(this);
    if (IsEqualIID(iid, IID_ISupportErrorInfo))
        return static_cast<ISupportErrorInfo*>(this);
    if (IsEqualIID(iid, IID_IPassThroughCallback))
        return static_cast<IPassThroughCallback*>(this);
    // IModemLinePrivate is deliberately not answered: only the line's own
    // code reaches it.
    return nullptr;
}

HRESULT CModemLine::FinalConstruct() {
    // A reporter that cannot be created leaves the field null: MakeCall then
    // skips its notification.
    if (FAILED(CoCreateInstance(CLSID_EventReporter, nullptr, CLSCTX_ALL, IID_IEventReporter,
                                m_pNotifier.PutVoid())))
        m_pNotifier.Reset();
    // Unnamed: a response on one line must never wake a wait on another.
    m_hModemResponse.Replace(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    m_pLog = tarvik::frame::CreateLogWriter();
    return S_OK;
}

void CModemLine::Log(LONG markA, LONG markB, const char* function,
                     const std::string& message) const {
    tarvik::frame::LogEntry(m_pLog.Get(), markA, markB, function, message);
}

HRESULT CModemLine::InterfaceSupportsErrorInfo(REFIID riid) {
    return IsEqualIID(riid, IID_IModemLine) ? S_OK : S_FALSE;
}

bool CModemLine::CreateHandles() {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!h)
        return false;
    m_hEscapeOK.Replace(h);
    if (!(h = CreateEventA(nullptr, TRUE, FALSE, nullptr)))
        return false;
    m_hNoCarrier.Replace(h);
    if (!(h = CreateEventA(nullptr, TRUE, FALSE, nullptr)))
        return false;
    m_hTransmitDone.Replace(h);
    if (!(h = CreateMutexA(nullptr, FALSE, nullptr)))
        return false;
    m_hDropMutex = h;
    return true;
}

void CModemLine::CloseHandles() {
    m_hEscapeOK.Replace(nullptr);
    m_hNoCarrier.Replace(nullptr);
    m_hTransmitDone.Replace(nullptr);
    CloseAndClear(m_hDropMutex);
}

ComPtr<IModemLineCallback> CModemLine::HostCallback() {
    std::lock_guard lock(m_callbackLock);
    return m_pCallback;
}

ComPtr<ICommonData> CModemLine::ModemData() {
    CriticalSectionLock lock(&m_csModemData);
    return m_pModemData;
}

HRESULT CModemLine::Initialize(ICommonData* pICommonData, IModemLineCallback* pIModemLineCallback) {
    return GuardedCall(
        m_pLog.Get(), kInitializeRow,
        [&] {
            Log(0, 1, "ML::Initialize()", "In initialize");
            if (!pICommonData) {
                Log(0, 1, "ML::Initialize()", "Invalid Modem handle");
                m_lLastError = 13;
                throw ComError(E_FAIL);
            }
            {
                CriticalSectionLock lock(&m_csModemData);
                m_pModemData = pICommonData;
            }
            if (!pIModemLineCallback) {
                Log(0, 1, "ML::Initialize()", "Invalid Callback");
                m_lLastError = 25;
                throw ComError(E_FAIL);
            }
            {
                std::lock_guard lock(m_callbackLock);
                m_pCallback = pIModemLineCallback;
            }
            // A second Initialize must not leave the first one's handles open
            // and unreferenced.
            CloseHandles();
            if (!CreateHandles()) {
                Log(0, 1, "ML::Initialize()", "Failed to create handle");
                m_lLastError = 25;
                throw ComError(E_FAIL);
            }
            m_bInitialized = true;
            Log(0, 1, "ML::Initialize()", "All goes well");
            return S_OK;
        },
        [&](HRESULT) { CloseHandles(); });
}

namespace {

// How long Shutdown waits for the events raised before it to reach the host.
constexpr DWORD kEventDrainMs = 15000;

}  // namespace

void CModemLine::EnterForClosing(const char* function) {
    // Shutdown's entries carry the markers of every "ML::" entry.
    const bool ml = std::string_view(function).starts_with("ML::");
    auto log = [&](const char* message) { Log(ml ? 0 : -1, ml ? 1 : 0, function, message); };
    switch (m_csHangUp.Enter(kHangUpLockWaitMs)) {
        case tarvik::line::HangUpLock::Entry::Entered:
            return;
        case tarvik::line::HangUpLock::Entry::HeldByThisThread:
            // Dispatched inside a wait of this thread's own hang-up: waiting
            // would wait for ourselves, and closing now would pull the port
            // from under it.
            m_lLastError = 9;
            log("A hang-up is running on this thread");
            throw ComError(E_FAIL, std::string_view("A hang-up of the line is running on this "
                                                    "thread; call again when it has ended"));
        case tarvik::line::HangUpLock::Entry::TimedOut:
            m_lLastError = 9;
            log("A hang-up is still running");
            throw ComError(E_FAIL, std::string_view("A hang-up of the line is still running"));
    }
}

HRESULT CModemLine::Shutdown() {
    return GuardedCall(m_pLog.Get(), kShutdownRow, [&] {
        if (!m_bInitialized) {
            Log(0, 1, "ML::Shutdown", "The line has not been initialized");
            m_lLastError = 10;
            throw ComError(E_FAIL);
        }
        EnterForClosing("ML::Shutdown");
        {
            tarvik::line::HangUpLockHold hold(m_csHangUp);
            try {
                CloseLineLocked();
            } catch (const ComError&) {
                // Logged by the close itself; what is left is closed below.
            }
            if (m_bPortOpen || m_bHandedOver) {
                // The port's threads call into this object, so they must stop
                // before the port lets go of its reference to us below.
                ReclaimPort();
                m_port.ClosePort(true);
                m_port.DestroyPort();
                m_bPortOpen = false;
                m_lState = MODEM_IDLE;
            }
        }
        // Events raised until now (the CallDisconnected of a drop that just
        // returned) still reach the host: it is only let go of afterwards.
        // The wait dispatches, so a host that marshals its callbacks to this
        // thread gets them.
        if (!WaitForOwnEvents(kEventDrainMs))
            Log(0, 1, "ML::Shutdown", "Event threads still running; the host is let go of anyway");
        CloseHandles();
        {
            std::lock_guard lock(m_callbackLock);
            m_pCallback.Reset();
        }
        {
            CriticalSectionLock lock(&m_csModemData);
            m_pModemData.Reset();
            m_bKVRIncoming = 0;
            m_lAnsweringMode = 0;
            m_pNotifier.Reset();
        }
        m_port.ReleaseCallback();
        m_lLastError = 0;
        m_bInitialized = false;
        Log(0, 1, "ML::Shutdown", "All goes well");
        return S_OK;
    });
}

HRESULT CModemLine::CloseLine() {
    return GuardedCall(m_pLog.Get(), kCloseLineRow, [&] {
        if (!m_bInitialized) {
            Log(-1, 0, "CModemLine::CloseLine()", "Line not open");
            m_lLastError = 6;
            throw ComError(E_FAIL);
        }
        EnterForClosing("CModemLine::CloseLine()");
        tarvik::line::HangUpLockHold hold(m_csHangUp);
        return CloseLineLocked();
    });
}

HRESULT CModemLine::CloseLineLocked() {
    HRESULT result = S_OK;
    LONG state = m_lState;
    if (state == MODEM_CONNECTING || state == MODEM_CONNECTED)
        result = GuardedCall(m_pLog.Get(), kHangUpCallRow, [&] { return HangUpLocked(); });
    // Closed even when the hang-up failed: the host asked for the line to
    // close, and a modem that vanished in a call cannot be hung up at all.
    // A call the host ended itself leaves the port in the host's hands; take
    // it back so that closing stops the port's thread.
    ReclaimPort();
    if (m_port.ClosePort(true) != SP_OK) {
        Log(-1, 0, "CModemLine::CloseLine()", "ClosePort failed");
        m_lLastError = 7;
        throw ComError(E_FAIL);
    }
    if (m_port.DestroyPort() != SP_OK) {
        Log(-1, 0, "CModemLine::CloseLine()", "DestroyPort Failed");
        m_lLastError = 8;
        throw ComError(E_FAIL);
    }
    m_bHandedOver = false;
    m_bReadStopped = false;
    m_bPortOpen = false;
    m_lState = MODEM_IDLE;
    // A device that vanished under the call cannot be hung up, and the line
    // closed all the same: that is what the host asked for. The call's end
    // and the device's loss have gone out on their own.
    if (FAILED(result) && m_bPortFailed) {
        result = S_OK;
        m_lLastError = 0;
    }
    if (FAILED(result))
        throw ComError(result);
    Log(0, 1, "ML::CloseLine()", "All goes well");
    return result;
}

// Properties. A null result pointer fails through the catch-all and leaves
// LastError as it was.
namespace {

HRESULT GetProperty(ILogWriter* log, const tarvik::frame::ErrorRow& row, const char* function,
                    LONG* out, LONG value) {
    return GuardedCall(log, row, [&] {
        if (!out)
            throw ComError(E_FAIL);
        *out = value;
        tarvik::frame::LogEntry(log, 0, 1, function, "All goes well");
        return S_OK;
    });
}

}  // namespace

HRESULT CModemLine::get_LastError(LONG* lpLastError) {
    return GetProperty(m_pLog.Get(), kLastErrorRow, "ML::get_LastError()", lpLastError,
                       m_lLastError.load());
}

HRESULT CModemLine::get_LastLineError(LONG* lpLastLineError) {
    return GetProperty(m_pLog.Get(), kLastLineErrorRow, "ML::get_LastLineError()", lpLastLineError,
                       m_lLastLineError.load() & 0x7FFFFFFF);
}

HRESULT CModemLine::get_NoAnswerTimeout(LONG* lpNoAnswerTimeout) {
    return GetProperty(m_pLog.Get(), kNoAnswerTimeoutRow, "ML::get_NoAnswerTimeout()",
                       lpNoAnswerTimeout, m_lNoAnswerTimeout.load());
}

HRESULT CModemLine::put_NoAnswerTimeout(LONG newVal) {
    m_lNoAnswerTimeout = newVal;
    return S_OK;
}

HRESULT CModemLine::get_ReportProgress(LONG* pbReportProgress) {
    return GetProperty(m_pLog.Get(), kReportProgressRow, "ML::get_ReportProgress()",
                       pbReportProgress, m_bReportProgress.load());
}

HRESULT CModemLine::put_ReportProgress(LONG newVal) {
    m_bReportProgress = newVal;
    return S_OK;
}

HRESULT CModemLine::GetModemHandle(ICommonData** ppICommonData) {
    return GuardedCall(m_pLog.Get(), kModemHandleRow, [&] {
        if (!ppICommonData)
            throw ComError(E_FAIL);
        // Taken under the lock all the same: Shutdown may be releasing it.
        ModemData().CopyTo(ppICommonData);
        Log(0, 1, "ML::GetModemHandle()", "All goes well");
        return S_OK;
    });
}

HRESULT CModemLine::get_MediaID(LONG* pVal) {
    return GuardedCall(m_pLog.Get(), kMediaIdRow, [&] {
        if (!pVal)
            throw ComError(E_FAIL);
        LONG id = 0;
        {
            CriticalSectionLock lock(&m_csModemData);
            if (m_pModemData) {
                tarvik::Variant value;
                tarvik::Bstr name(u"MediaID");
                m_pModemData->GetData(name.Get(), &value);
                // The session stores a 32-bit integer; the payload is taken as
                // it is. Other kinds carry no integer payload and read as 0.
                if (value.vt == VT_I4 || value.vt == VT_INT || value.vt == VT_UI4)
                    id = value.lVal;
                else if (value.vt == VT_I2)
                    id = value.iVal;
            }
        }
        *pVal = id;
        Log(-1, 0, "CModemLine::get_MediaID()", "All goes well");
        return S_OK;
    });
}

// Operations of the contract that this line does not implement.
HRESULT CModemLine::ByPassTAPI(SHORT) {
    return E_NOTIMPL;
}
HRESULT CModemLine::HandOverToTAPI(SHORT) {
    return E_NOTIMPL;
}
HRESULT CModemLine::OpenPort(ICommonData*) {
    return E_NOTIMPL;
}
HRESULT CModemLine::ClosePort(LONG) {
    return E_NOTIMPL;
}
HRESULT CModemLine::SendCommand(BSTR) {
    return E_NOTIMPL;
}
HRESULT CModemLine::ReceiveFrame(BSTR*, LONG) {
    return E_NOTIMPL;
}
HRESULT CModemLine::RegisterPassThroughCallback(IPassThroughCallback*) {
    return E_NOTIMPL;
}
HRESULT CModemLine::Disconnected(LONG) {
    return E_NOTIMPL;
}
HRESULT CModemLine::Connected(LONG) {
    return E_NOTIMPL;
}
HRESULT CModemLine::HandleLineClose() {
    return E_NOTIMPL;
}
HRESULT CModemLine::HandleLineReply(LONG) {
    return E_NOTIMPL;
}
HRESULT CModemLine::HandleNewCall(LONG, LONG) {
    return E_NOTIMPL;
}
HRESULT CModemLine::HandleCallState(LONG, LONG) {
    return E_NOTIMPL;
}
HRESULT CModemLine::DismissCall() {
    return E_NOTIMPL;
}
HRESULT CModemLine::ReOpenLine() {
    return E_NOTIMPL;
}
HRESULT CModemLine::get_Handle(HANDLE_TYPE, LONG*) {
    return E_NOTIMPL;
}
