// CModemSession, the class ATModemSession: the host's entry point for the set
// of modems it uses. It hands every modem a media ID and a shared modem-data
// bag (AddModem), and passes what the lines report about their media on to the
// host's session callback (HandleLineMessage).
//
// Threads: the host's threads call IModemSession; the lines call
// HandleLineMessage on their event threads and on host threads running their
// initialisation, while the host may be replacing or releasing the callback in
// Initialize or Shutdown. The callback is therefore guarded
// by m_csState, and a caller takes its own reference on the callback under it
// and calls the host only after letting go of it, so the host's callback never
// runs under our lock and never after its last reference is gone.
//
// The source is split by job:
//   ModemSession.cpp       construction, Initialize, Shutdown, AddModem, properties
//   HandleLineMessage.cpp  the messages of the lines
#pragma once

#include <atomic>
#include <mutex>

#include "tarvik/comptr.h"
#include "tarvik/interfaces.h"
#include "tarvik/object.h"

namespace tarvik::session {

// Creates a session, plain or aggregated (only IUnknown may be asked for with
// an outer object), and asks it for `iid`. The object holds one lock on
// `module` (may be null) while it lives.
HRESULT CreateModemSession(IUnknown* outer, ModuleLock* module, REFIID iid, void** ppv) noexcept;

}  // namespace tarvik::session

class CModemSession final : public tarvik::ComObject<CModemSession, IModemSession,
                                                     IModemSessionPrivate, ISupportErrorInfo> {
  public:
    // The modems one session is meant for, reported as MaxModems.
    static constexpr LONG kMaxModems = 4;

    CModemSession();
    ~CModemSession() override;

    IUnknown* FindInterface(REFIID iid) noexcept override;

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    // IModemSession
    HRESULT STDMETHODCALLTYPE Shutdown() override;
    HRESULT STDMETHODCALLTYPE DeleteModem(LONG lMediaID) override;
    HRESULT STDMETHODCALLTYPE AddModem(BSTR bstrPortName, ICommonData** ppSharedModemData) override;
    HRESULT STDMETHODCALLTYPE Initialize(IModemSessionCallback* pIModemSessionCallback) override;
    HRESULT STDMETHODCALLTYPE get_MaxModems(LONG* lplMaxModems) override;
    HRESULT STDMETHODCALLTYPE get_LastError(LONG* lplLastError) override;
    HRESULT STDMETHODCALLTYPE get_LastSessionError(LONG* lpLastSessionError) override;

    // IModemSessionPrivate
    HRESULT STDMETHODCALLTYPE EnterCriticalSection() override;
    HRESULT STDMETHODCALLTYPE LeaveCriticalSection() override;
    HRESULT STDMETHODCALLTYPE FatalError(LONG lCause, LONG lError, LONG lParam) override;
    HRESULT STDMETHODCALLTYPE HandleLineMessage(LONG hDevice, LONG dwMessageID, LONG dwParam1,
                                                LONG dwParam2, LONG dwParam3) override;
    HRESULT STDMETHODCALLTYPE get_LineApp(LONG* lpLineApp) override;
    HRESULT STDMETHODCALLTYPE get_TAPIEvent(LONG* lpTAPIEvent) override;
    HRESULT STDMETHODCALLTYPE get_SessionShutdownEvent(LONG* lpSessionShutdownEvent) override;

  private:
    void Log(LONG markA, LONG markB, const char* function, const char* message) const;
    // A reference of the caller's own on the current callback (null when none).
    tarvik::ComPtr<IModemSessionCallback> CurrentCallback() const;

    // Guards m_pCallback. Never held while calling out.
    mutable std::mutex m_csState;
    tarvik::ComPtr<IModemSessionCallback> m_pCallback;
    std::atomic<bool> m_bInitialized{false};
    // Last media ID handed out; never reset, so one session never reuses one.
    std::atomic<LONG> m_lLastMediaID{0};
    tarvik::ComPtr<ILogWriter> m_pLog;
};
