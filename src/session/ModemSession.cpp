#include "session/ModemSession.h"

#include <array>
#include <cstdio>
#include <string>
#include <utility>

#include "frame/ErrorReporting.h"
#include "frame/Log.h"
#include "session/SessionRows.h"
#include "tarvik/constants.h"

using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::Variant;
using tarvik::frame::ComError;
using tarvik::frame::GuardedCall;
using namespace tarvik::session;

namespace tarvik::session {

HRESULT CreateModemSession(IUnknown* outer, ModuleLock* module, REFIID iid, void** ppv) noexcept {
    return CreateComObject<CModemSession>(outer, module, iid, ppv);
}

}  // namespace tarvik::session

CModemSession::CModemSession() : m_pLog(tarvik::frame::CreateLogWriter()) {}

CModemSession::~CModemSession() = default;

IUnknown* CModemSession::FindInterface(REFIID iid) noexcept {
    if (IsEqualIID(iid, IID_IModemSession))
        return static_cast<IModemSession*>(this);
    if (IsEqualIID(iid, IID_IModemSessionPrivate))
        return static_cast<IModemSessionPrivate*>(this);
    if (IsEqualIID(iid, IID_ISupportErrorInfo))
        return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
}

HRESULT CModemSession::InterfaceSupportsErrorInfo(REFIID riid) {
    return IsEqualIID(riid, IID_IModemSession) ? S_OK : S_FALSE;
}

void CModemSession::Log(LONG markA, LONG markB, const char* function, const char* message) const {
    tarvik::frame::LogEntry(m_pLog.Get(), markA, markB, function, message);
}

ComPtr<IModemSessionCallback> CModemSession::CurrentCallback() const {
    std::lock_guard lock(m_csState);
    return m_pCallback;
}

HRESULT CModemSession::Initialize(IModemSessionCallback* pIModemSessionCallback) {
    return GuardedCall(m_pLog.Get(), kInitializeRow, [&] {
        static constexpr const char* kFn = "CModemSession::Initialize()";
        // What we let go of is released after the lock, so that a host whose
        // Release re-enters the session cannot deadlock.
        ComPtr<IModemSessionCallback> previous;
        {
            std::lock_guard lock(m_csState);
            // The argument is stored even when it is null: a failed Initialize
            // leaves the session without a callback.
            previous =
                std::exchange(m_pCallback, ComPtr<IModemSessionCallback>(pIModemSessionCallback));
            if (m_pCallback)
                m_bInitialized = true;
        }
        if (!pIModemSessionCallback) {
            Log(-1, 0, kFn, "Invalid parameter : pIModemSessionCallback");
            throw ComError(E_FAIL);
        }
        Log(-1, 1, kFn, "All goes well");
        return S_OK;
    });
}

HRESULT CModemSession::Shutdown() {
    return GuardedCall(m_pLog.Get(), kShutdownRow, [&] {
        static constexpr const char* kFn = "CModemSession::Shutdown()";
        ComPtr<IModemSessionCallback> previous;
        bool wasInitialized;
        {
            std::lock_guard lock(m_csState);
            wasInitialized = m_bInitialized.exchange(false);
            if (wasInitialized)
                previous = std::move(m_pCallback);
        }
        if (!wasInitialized) {
            Log(0, 1, kFn, "The session has not been initialized");
            throw ComError(E_FAIL);
        }
        Log(-1, 1, kFn, "All goes well");
        return S_OK;
    });
}

namespace {

// Why a companion component could not be created, for the second line of
// AddModem's description: a host can act on "not registered".
std::string CreationFailure(const char* component, HRESULT hr) {
    std::string text = std::string("the ") + component + " component ";
    if (hr == REGDB_E_CLASSNOTREG)
        return text + "is not registered";
    if (hr == E_OUTOFMEMORY)
        return text + "could not be created: not enough memory";
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    return text + "could not be created (" + code + ")";
}

}  // namespace

HRESULT CModemSession::AddModem(BSTR bstrPortName, ICommonData** ppSharedModemData) {
    return GuardedCall(m_pLog.Get(), kAddModemRow, [&] {
        static constexpr const char* kFn = "CModemSession::AddModem()";
        if (!m_bInitialized) {
            Log(-1, 0, kFn, "The session has not been initialized");
            throw ComError(E_FAIL);
        }
        const std::u16string_view portName(bstrPortName ? bstrPortName : u"",
                                           SysStringLen(bstrPortName));
        Log(-1, 0, kFn, tarvik::ToAnsi(portName).c_str());
        if (!ppSharedModemData) {
            Log(-1, 0, kFn, "Invalid Parameter : ppSharedModemData");
            throw ComError(E_FAIL);
        }
        *ppSharedModemData = nullptr;

        // The settings component is not used here, but a modem cannot be
        // added on an installation that lacks it.
        ComPtr<IUnknown> settings;
        HRESULT created = CoCreateInstance(CLSID_VL2600Settings, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IVL2600Settings, settings.PutVoid());
        if (FAILED(created) || !settings) {
            Log(-1, 0, kFn, "VL2600Settings failed");
            throw ComError(E_FAIL, std::string_view(CreationFailure("modem-settings", created)));
        }

        ComPtr<ICommonData> bag;
        created =
            CoCreateInstance(CLSID_CommonData, nullptr, CLSCTX_ALL, IID_ICommonData, bag.PutVoid());
        if (!bag)
            throw ComError(E_FAIL, std::string_view(CreationFailure("property-bag", created)));

        // The controlling unknown: the outer object's when we are aggregated.
        ComPtr<IUnknown> self;
        HRESULT hr = QueryInterface(IID_IUnknown, self.PutVoid());
        if (FAILED(hr) || !self)
            throw ComError(E_FAIL);

        const LONG mediaId = m_lLastMediaID.fetch_add(1) + 1;

        auto set = [&](const char16_t* name, const Variant& value) {
            Bstr field(name);
            HRESULT setHr = bag->SetData(field.Get(), value);
            if (FAILED(setHr))
                tarvik::frame::ThrowFromCallee(E_FAIL, bag.Get(), IID_ICommonData);
        };
        set(tarvik::field::MediaID, Variant(mediaId));
        set(tarvik::field::RequestID, Variant(LONG{0}));
        set(tarvik::field::ModemSession_IUnknown, Variant::Unknown(self.Get()));
        set(tarvik::field::COMPortName, Variant::String(portName));

        // The session keeps no reference to the bag: the bag holds the
        // session, and a reference back would keep both alive for good once
        // the host let go of them without Shutdown. Whoever holds the bag
        // (the host, a line) keeps the session reachable, and nobody else
        // needs it.
        *ppSharedModemData = bag.Detach();
        Log(-1, 1, kFn, "All goes well");
        return S_OK;
    });
}

HRESULT CModemSession::DeleteModem(LONG) {
    return S_OK;
}

HRESULT CModemSession::get_MaxModems(LONG* lplMaxModems) {
    return GuardedCall(m_pLog.Get(), kMaxModemsRow, [&] {
        if (!lplMaxModems)
            throw ComError(E_FAIL);
        *lplMaxModems = kMaxModems;
        Log(-1, 1, "CModemSession::get_MaxModems()", "All goes well");
        return S_OK;
    });
}

// Nothing fails in the session that a host could read back, so both are 0.
// A null out-pointer is refused rather than written through.
HRESULT CModemSession::get_LastError(LONG* lplLastError) {
    if (!lplLastError)
        return E_POINTER;
    *lplLastError = 0;
    return S_OK;
}

HRESULT CModemSession::get_LastSessionError(LONG* lpLastSessionError) {
    if (!lpLastSessionError)
        return E_POINTER;
    *lpLastSessionError = 0;
    return S_OK;
}

HRESULT CModemSession::EnterCriticalSection() {
    return E_NOTIMPL;
}
HRESULT CModemSession::LeaveCriticalSection() {
    return E_NOTIMPL;
}
HRESULT CModemSession::FatalError(LONG, LONG, LONG) {
    return E_NOTIMPL;
}
HRESULT CModemSession::get_LineApp(LONG*) {
    return E_NOTIMPL;
}
HRESULT CModemSession::get_TAPIEvent(LONG*) {
    return E_NOTIMPL;
}
HRESULT CModemSession::get_SessionShutdownEvent(LONG*) {
    return E_NOTIMPL;
}
