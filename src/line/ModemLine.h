// CModemLine, the class ATModemLine: one object drives one modem on one serial
// port. It keeps the host's references, the embedded CSerialPort, the events
// its blocking operations wait on, the line state that the response state
// machine drives, and the settings read when the line was opened.
//
// Threads that enter a line: host threads (IModemLine), the port's monitor and
// event threads (IPassThroughCallback) and one short-lived thread per raised
// call event (IModemLinePrivate). Every field more than one of them touches is
// atomic or guarded by a lock named beside it.
//
// The source is split by job:
//   ModemLine.cpp       construction, Initialize, Shutdown, CloseLine, properties
//   LineOpen.cpp        OpenLine and the modem initialisation
//   CommandExchange.cpp SendCommand and the response waits
//   FrameReceived.cpp   the response state machine and ring counting
//   LineEvents.cpp      RaiseEvent, the call events, fatal errors, the session link
//   MakeCall.cpp        outgoing calls
//   HangUp.cpp          DropCall and HangUpCall
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "frame/ErrorReporting.h"
#include "line/CreateModemLine.h"
#include "line/HangUpLock.h"
#include "serial/SerialPort.h"
#include "tarvik/comptr.h"
#include "tarvik/interfaces.h"
#include "tarvik/object.h"
#include "tarvik/results.h"
#include "tarvik/sync.h"

namespace tarvik::line {

// Codes of the call events the line raises on threads of their own.
enum LineEvent : LONG {
    LINE_EVENT_CONNECTED = 1,
    LINE_EVENT_DISCONNECTED = 2,
    LINE_EVENT_OFFERING = 3,
    LINE_EVENT_FATAL = 4,
    LINE_EVENT_CALL_ENDED = 5,
    // Not a call event: the re-answer after a RING, which must not run on
    // the port's monitor thread that delivers the frames it waits for.
    LINE_EVENT_REANSWER = 6,
    // Not a call event either: a line of modem output too long for a frame,
    // reported to the host as the receive path's overflow code.
    LINE_EVENT_OVERFLOW = 7,
};

// What one raised event carries to its thread. The values are taken when the
// event is raised, so a later raise cannot change what an earlier one reports.
struct RaisedEvent {
    LONG code = 0;
    SHORT cause = 0;
    bool incoming = false;
};

}  // namespace tarvik::line

class CModemLine final : public tarvik::ComObject<CModemLine, IModemLine, ISupportErrorInfo,
                                                  IPassThroughCallback, IModemLinePrivate> {
  public:
    CModemLine();
    ~CModemLine() override;

    IUnknown* FindInterface(REFIID iid) noexcept override;
    HRESULT FinalConstruct() override;

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    // IModemLine
    HRESULT STDMETHODCALLTYPE get_LastError(LONG* lpLastError) override;
    HRESULT STDMETHODCALLTYPE get_LastLineError(LONG* lpLastLineError) override;
    HRESULT STDMETHODCALLTYPE get_NoAnswerTimeout(LONG* lpNoAnswerTimeout) override;
    HRESULT STDMETHODCALLTYPE put_NoAnswerTimeout(LONG newVal) override;
    HRESULT STDMETHODCALLTYPE get_ReportProgress(LONG* pbReportProgress) override;
    HRESULT STDMETHODCALLTYPE put_ReportProgress(LONG newVal) override;
    HRESULT STDMETHODCALLTYPE GetModemHandle(ICommonData** ppICommonData) override;
    HRESULT STDMETHODCALLTYPE Initialize(ICommonData* pICommonData,
                                         IModemLineCallback* pIModemLineCallback) override;
    HRESULT STDMETHODCALLTYPE AnswerCall(LONG bAccept) override;
    HRESULT STDMETHODCALLTYPE DropCall() override;
    HRESULT STDMETHODCALLTYPE MakeCall(ICommonData* pCallData) override;
    HRESULT STDMETHODCALLTYPE Shutdown() override;
    HRESULT STDMETHODCALLTYPE OpenLine(ICommonData* pCommonData) override;
    HRESULT STDMETHODCALLTYPE CloseLine() override;
    HRESULT STDMETHODCALLTYPE ByPassTAPI(SHORT nPassThroughState) override;
    HRESULT STDMETHODCALLTYPE HandOverToTAPI(SHORT nStatus) override;
    HRESULT STDMETHODCALLTYPE OpenPort(ICommonData* pIPortSettingsData) override;
    HRESULT STDMETHODCALLTYPE ClosePort(LONG bDestroy) override;
    HRESULT STDMETHODCALLTYPE SendCommand(BSTR bstrCommand) override;
    HRESULT STDMETHODCALLTYPE ReceiveFrame(BSTR* bstrFrame, LONG lFrameNumber) override;
    HRESULT STDMETHODCALLTYPE
    RegisterPassThroughCallback(IPassThroughCallback* pPassThroughCallback) override;

    // IPassThroughCallback
    HRESULT STDMETHODCALLTYPE Disconnected(LONG lCause) override;
    HRESULT STDMETHODCALLTYPE Connected(LONG bIncoming) override;
    HRESULT STDMETHODCALLTYPE FatalError(LONG lCause, LONG lError) override;
    HRESULT STDMETHODCALLTYPE TransmitDone() override;
    HRESULT STDMETHODCALLTYPE FrameReceived(LONG lFrameNumber, LONG lFrameLength) override;

    // IModemLinePrivate (reachable only from the line's own code)
    HRESULT STDMETHODCALLTYPE CallConnected() override;
    HRESULT STDMETHODCALLTYPE HandleLineClose() override;
    HRESULT STDMETHODCALLTYPE CallOffering() override;
    HRESULT STDMETHODCALLTYPE CallDisconnected() override;
    HRESULT STDMETHODCALLTYPE HandleLineReply(LONG lReply) override;
    HRESULT STDMETHODCALLTYPE HandleNewCall(LONG lCall, LONG lPrivileges) override;
    HRESULT STDMETHODCALLTYPE FatalError(LONG lError, LONG lCause, LONG lParam) override;
    HRESULT STDMETHODCALLTYPE HandleCallState(LONG lCallState, LONG lStateDetail) override;
    HRESULT STDMETHODCALLTYPE HangUpCall() override;
    HRESULT STDMETHODCALLTYPE DismissCall() override;
    HRESULT STDMETHODCALLTYPE ReOpenLine() override;
    HRESULT STDMETHODCALLTYPE get_MediaID(LONG* pVal) override;
    HRESULT STDMETHODCALLTYPE get_Handle(HANDLE_TYPE HandleType, LONG* lpHandle) override;

    // Not part of the contract: the line state, and a wait until every event
    // thread of every line in the process has finished, its reference on its
    // line included (tests, and hosts such as the demo that must not exit
    // while a callback still runs).
    LONG State() const noexcept { return m_lState.load(); }
    static bool WaitForEventThreads(DWORD timeoutMs);

  private:
    // One log entry through this line's writer (nothing when there is none).
    void Log(LONG markA, LONG markB, const char* function, const std::string& message) const;

    // Lifecycle (ModemLine.cpp)
    bool CreateHandles();
    void CloseHandles();
    tarvik::ComPtr<IModemLineCallback> HostCallback();
    tarvik::ComPtr<ICommonData> ModemData();

    // Opening and initialisation (LineOpen.cpp)
    void ReadOpenSettings(ICommonData* settings);
    // "BaudRate" and "EscapeGuardTime": checked before anything is opened;
    // a bad value throws with a description.
    void ReadLineSpeedSettings(ICommonData* settings);
    static constexpr unsigned kInitHeardAny = 1, kInitHeardEcho = 2, kInitHeardError = 4;
    std::string InitFailureText() const;
    // "COM5: too many open files": why the port could not be created or
    // opened, from the port's own error.
    std::string PortFailureText(const std::string& port) const;
    // False when the modem could not be initialised; `failure` then says why
    // when the settings themselves were at fault.
    bool InitializeModem(std::string& failure);
    bool InitializeFirstStage(const std::string& command);
    bool InitializeSecondStage(const std::string& command);
    bool InitializeStage(const std::string& command, bool escapeFirst, bool pause,
                         const char* sendFailedFn, const char* successFn,
                         const char* noResponseText);
    bool InitSendFailure();
    void ReportInitFailure();
    void EndInitStage();
    void ArmInitResponse(const std::string& command);
    // The frame is the modem's echo of the initialisation command.
    bool IsInitEcho(std::string_view frame);

    // Command exchange (CommandExchange.cpp)
    int SendCommand(const char* data, LONG length);
    bool GetResponseForInitialization();
    // Waits for m_hModemResponse. It clears the event first, unless the caller
    // cleared it itself before sending the command the answer belongs to (a
    // fast modem may answer before the wait begins).
    bool GetResponseFromModem(DWORD timeoutMs, bool clearFirst = true);

    // State machine (FrameReceived.cpp)
    HRESULT InterpretFrame(LONG state, std::string_view frame);
    void CountRing();
    void ForgetGoneCaller();

    // Events (LineEvents.cpp)
    void RaiseEvent(LONG code);
    static DWORD RaiseEventThread(void* param);
    void RunEvent(const tarvik::line::RaisedEvent& event);
    HRESULT DoCallConnected(bool incoming);
    HRESULT DoCallDisconnected(LONG eventCode, SHORT cause);
    // False when the modem data leads to no session.
    bool TellSession(const char* function);

    // Port hand-over (LineEvents.cpp). ReclaimPort puts the port back to
    // reading for the line: it takes back a port the host holds, and restarts
    // one that stopped reading at a CONNECT but was never handed out. False
    // when the port could not be reopened. The Locked form expects
    // m_handOverLock held.
    bool ReclaimPort();
    bool ReclaimPortLocked();

    // Incoming calls (CallerId.cpp, AnswerCall.cpp, Reanswer.cpp)
    void CallerIdStep(std::string_view frame);
    void ClearCallerId();
    // One notification to a fresh event reporter; false when none could be
    // created.
    bool ReportToEventReporter(LONG code, const std::string& data, LONG value);
    void ReportAnswering();
    void Reanswer();
    void ReanswerNow();

    // Sends the dial command unless the call was ended during the pause
    // before it: -1 when it was, else SendCommand's result (MakeCall.cpp).
    int DialUnlessEnded(const std::string& command);

    // Teardown (HangUp.cpp)
    HRESULT HangUpCommandSequence(bool firstForm, LONG preHangUpState);
    bool ReopenOnOldSystems();
    // The work of HangUpCall and CloseLine, with m_csHangUp held; they throw
    // ComError on failure.
    HRESULT HangUpLocked();
    HRESULT CloseLineLocked();
    // Enters m_csHangUp for CloseLine or Shutdown, or throws ComError.
    void EnterForClosing(const char* function);
    // Ends the call being hung up because the port failed under it (the
    // port's own report has gone out already) and throws ComError.
    [[noreturn]] void EndCallWithLostPort(const char* why);
    // Reports the port's failure once per opening (the session or the host
    // hears it through the line's fatal error).
    void ReportPortLost();
    // Waits (dispatching) until no event thread of this line runs.
    bool WaitForOwnEvents(DWORD timeoutMs);
    void EventThreadEnded();

    // References. m_pModemData and m_pNotifier are guarded by m_csModemData,
    // m_pCallback by m_callbackLock: event threads read them while Shutdown
    // releases them, so every reader takes its own reference under the lock.
    tarvik::ComPtr<ICommonData> m_pModemData;
    tarvik::ComPtr<IModemLineCallback> m_pCallback;
    std::mutex m_callbackLock;
    tarvik::ComPtr<ICommonData> m_pLineData;  // guarded by m_lineDataLock
    std::mutex m_lineDataLock;
    tarvik::ComPtr<IEventReporter> m_pNotifier;
    tarvik::ComPtr<ILogWriter> m_pLog;

    // Synchronisation objects. Other threads set and clear the events while
    // Initialize, Shutdown and the initialisation stages replace them; a
    // closed handle's value may already name a new object (Windows reuses
    // them), so the events are set only under the lock that closes them.
    CRITICAL_SECTION m_csModemData;
    CRITICAL_SECTION m_csAnswer;
    // Makes a hang-up and the closing of the line exclusive.
    tarvik::line::HangUpLock m_csHangUp;
    tarvik::SharedEvent m_hModemResponse;
    tarvik::SharedEvent m_hInitResponse;
    tarvik::SharedEvent m_hEscapeOK;
    tarvik::SharedEvent m_hNoCarrier;
    tarvik::SharedEvent m_hTransmitDone;
    std::atomic<HANDLE> m_hDropMutex{nullptr};

    CSerialPort m_port;
    // Serialises handing the port to the host with taking it back, so a
    // hang-up never starts on a port the host is about to receive.
    std::mutex m_handOverLock;
    std::atomic<bool> m_bHandedOver{false};
    std::atomic<bool> m_bReadStopped{false};  // the port stopped reading at CONNECT

    // Settings read by OpenLine.
    std::atomic<LONG> m_lNumRingsAnswer{1};
    // The port's rate ("BaudRate", 300 unless the host chose another) and the
    // quiet the hang-up keeps before "+++" ("EscapeGuardTime", ms).
    std::atomic<LONG> m_lBaudRate{300};
    // What the modem said to the initialisation being run, for a failure
    // description that tells the host what happened (kInitHeard* bits).
    std::atomic<unsigned> m_initHeard{0};
    std::atomic<LONG> m_lEscapeGuardMs{0};
    std::atomic<LONG> m_bCallerIDEnabled{0};
    std::atomic<LONG> m_bKVRIncoming{0};
    std::atomic<LONG> m_lAnsweringMode{0};

    // Property values and status.
    std::atomic<LONG> m_lLastError{0};
    std::atomic<LONG> m_lLastLineError{0};
    std::atomic<LONG> m_lNoAnswerTimeout{30};
    std::atomic<LONG> m_bReportProgress{0};
    std::atomic<bool> m_bInitialized{false};
    std::atomic<bool> m_bPortOpen{false};
    std::atomic<LONG> m_lState{MODEM_IDLE};
    std::atomic<LONG> m_nInitAttempt{0};
    std::atomic<SHORT> m_bInitOK{0};
    std::atomic<bool> m_bFatalReported{false};
    // The initialisation command being answered, for telling its echo from
    // the answer.
    std::string m_initCommand;  // guarded by m_initCommandLock
    std::mutex m_initCommandLock;
    // The port reported a failure since the line was opened.
    std::atomic<bool> m_bPortFailed{false};
    // The system error the port reported with its failure; 0 when none.
    std::atomic<LONG> m_lPortError{0};

    // Event threads of this line still running; m_hEventsDone is set while
    // there are none but those waiting for the others. Both guarded by m_eventsLock.
    int m_eventThreads = 0;
    // Of those, the ones waiting in WaitForOwnEvents themselves.
    int m_eventThreadsWaiting = 0;
    std::mutex m_eventsLock;
    HANDLE m_hEventsDone = nullptr;

    // Call bookkeeping.
    std::atomic<LONG> m_lRingCount{0};
    std::atomic<uint64_t> m_lastRingTick{0};  // of the last RING counted; 0: none
    std::atomic<LONG> m_lAnswerRingCount{0};
    std::atomic<bool> m_bAnswerPending{false};
    std::atomic<bool> m_bIncoming{false};
    std::atomic<LONG> m_lPendingEvent{0};
    std::atomic<SHORT> m_nDisconnectCause{0};
    // Where the dial command of the call in MODEM_CONNECTING stands: a
    // hang-up and the dial each move it from pending, and whichever does
    // first decides whether the modem hears of the call at all.
    static constexpr int kDialPending = 0, kDialSent = 1, kDialCancelled = 2;
    std::atomic<int> m_dialStep{kDialSent};
    char m_szDialPrefix[64] = {};
    // Caller-ID fields of the call ringing now, each followed by ';'.
    std::string m_bstrCallerID;  // guarded by m_callerIdLock
    std::mutex m_callerIdLock;
    // Set once this call's caller ID has gone to the event reporter; the
    // rings of the next call clear it. Monitor thread only.
    bool m_bCallerIdReported = false;
    std::u16string m_bstrAccessCode;  // guarded by m_accessCodeLock
    std::mutex m_accessCodeLock;
};
