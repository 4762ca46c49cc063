// The contract between Tarvik and its host: the interfaces of the TARVIKLib
// type library with their operations in slot order, the one enumeration, and
// the class and interface identifiers, named as a MIDL-generated header names
// them. resources/tarvik.idl describes the same contract; a test keeps the two
// in step.
#pragma once

#include "tarvik/com.h"

// Type library and creatable classes.
inline constexpr GUID LIBID_TARVIKLib = {
    0x05D5F4F6, 0x4D7B, 0x42D5, {0x82, 0x7A, 0x10, 0x00, 0x51, 0xC4, 0xCF, 0x95}};
inline constexpr CLSID CLSID_ATModemSession = {
    0x3E75EB44, 0xC2B5, 0x4679, {0xA6, 0x38, 0x77, 0x65, 0x9E, 0xDA, 0xEB, 0x62}};
inline constexpr CLSID CLSID_ATModemLine = {
    0x70695ED2, 0x6CE2, 0x46E9, {0xA1, 0xD1, 0x83, 0x00, 0x67, 0x0E, 0x87, 0x80}};

inline constexpr IID IID_IModemSession = {
    0x8F4215F8, 0x6F8C, 0x11D5, {0x8D, 0x92, 0x00, 0xC0, 0x4F, 0x72, 0xC0, 0x30}};
inline constexpr IID IID_IModemSessionPrivate = {
    0x8BAB4B57, 0x7418, 0x11D5, {0x8D, 0x93, 0x00, 0xC0, 0x4F, 0x72, 0xC0, 0x30}};
inline constexpr IID IID_IModemSessionCallback = {
    0x8F4215FA, 0x6F8C, 0x11D5, {0x8D, 0x92, 0x00, 0xC0, 0x4F, 0x72, 0xC0, 0x30}};
inline constexpr IID IID_IModemLine = {
    0x8F4215FB, 0x6F8C, 0x11D5, {0x8D, 0x92, 0x00, 0xC0, 0x4F, 0x72, 0xC0, 0x30}};
inline constexpr IID IID_IModemLinePrivate = {
    0x20F6F51D, 0x7463, 0x11D5, {0x8D, 0x93, 0x00, 0xC0, 0x4F, 0x72, 0xC0, 0x30}};
inline constexpr IID IID_IModemLineCallback = {
    0x8F4215FD, 0x6F8C, 0x11D5, {0x8D, 0x92, 0x00, 0xC0, 0x4F, 0x72, 0xC0, 0x30}};
inline constexpr IID IID_IPassThroughCallback = {
    0x298D187B, 0x98B4, 0x11D6, {0xAB, 0xCF, 0x00, 0xC0, 0x4F, 0x68, 0xF9, 0x9B}};

// Outside components the component creates or is given.
inline constexpr IID IID_ICommonData = {
    0xE1B3E09C, 0x66D2, 0x11D5, {0x8D, 0x1B, 0x00, 0xC0, 0x4F, 0x79, 0xF7, 0xC5}};
inline constexpr CLSID CLSID_CommonData = {
    0xE1B3E09D, 0x66D2, 0x11D5, {0x8D, 0x1B, 0x00, 0xC0, 0x4F, 0x79, 0xF7, 0xC5}};
inline constexpr CLSID CLSID_LogWriter = {
    0x9CC92C39, 0x8336, 0x11D5, {0x94, 0x2D, 0x00, 0xB0, 0xD0, 0xAC, 0xD5, 0xB6}};
inline constexpr IID IID_ILogWriter = {
    0x9CC92C38, 0x8336, 0x11D5, {0x94, 0x2D, 0x00, 0xB0, 0xD0, 0xAC, 0xD5, 0xB6}};
inline constexpr CLSID CLSID_EventReporter = {
    0x0ED1A08D, 0x3984, 0x4A2D, {0x84, 0xB6, 0x37, 0x7B, 0x1C, 0x7F, 0x9A, 0xD7}};
inline constexpr IID IID_IEventReporter = {
    0x27449EF6, 0x2EBA, 0x4972, {0x95, 0x31, 0x57, 0x73, 0xC2, 0xF1, 0xA1, 0x45}};
inline constexpr CLSID CLSID_VL2600Settings = {
    0xFAA879E5, 0x7A81, 0x11D5, {0x9A, 0x63, 0x00, 0xB0, 0xD0, 0xAC, 0x17, 0x5E}};
inline constexpr IID IID_IVL2600Settings = {
    0xFAA879E4, 0x7A81, 0x11D5, {0x9A, 0x63, 0x00, 0xB0, 0xD0, 0xAC, 0x17, 0x5E}};

enum HANDLE_TYPE : int32_t {
    CALL_DISCONNECTED_HANDLE = 1,
    CALL_OFFERING_HANDLE = 2,
    CALL_CONNECTED_HANDLE = 3,
    LINE_SHUTDOWN_HANDLE = 4,
};

// The host's property bag: a dual interface (IDispatch slots first).
struct ICommonData : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE SetData(BSTR bstrFieldName, VARIANT vData) = 0;    // DISPID 1
    virtual HRESULT STDMETHODCALLTYPE GetData(BSTR bstrFieldName, VARIANT* pvData) = 0;  // DISPID 2
    virtual HRESULT STDMETHODCALLTYPE ClearData() = 0;                                   // DISPID 3
    virtual HRESULT STDMETHODCALLTYPE GetFirst(BSTR* bstrFieldName,
                                               VARIANT* pvData) = 0;  // DISPID 4
    virtual HRESULT STDMETHODCALLTYPE GetNext(BSTR* bstrFieldName,
                                              VARIANT* pvData) = 0;                  // DISPID 5
    virtual HRESULT STDMETHODCALLTYPE GetCount(LONG* lCount) = 0;                    // DISPID 6
    virtual HRESULT STDMETHODCALLTYPE Store(BSTR bstrDataString) = 0;                // DISPID 7
    virtual HRESULT STDMETHODCALLTYPE Retrieve(BSTR* pbstrDataString) = 0;           // DISPID 8
    virtual HRESULT STDMETHODCALLTYPE RemoveData(BSTR bstrFieldName) = 0;            // DISPID 9
    virtual HRESULT STDMETHODCALLTYPE Retrieve_MaskCSID(BSTR* pbstrDataString) = 0;  // DISPID 10

  protected:
    ~ICommonData() = default;
};

struct IModemSessionCallback : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE MediaClosed(LONG lMediaID) = 0;
    virtual HRESULT STDMETHODCALLTYPE MediaInService(LONG lMediaID) = 0;
    virtual HRESULT STDMETHODCALLTYPE MediaOutOfService(LONG lMediaID) = 0;
    virtual HRESULT STDMETHODCALLTYPE MediaRemove(LONG lMediaID) = 0;
    virtual HRESULT STDMETHODCALLTYPE FatalError(LONG lCause, LONG lError, LONG lParam) = 0;

  protected:
    ~IModemSessionCallback() = default;
};

struct IModemSession : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Shutdown() = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteModem(LONG lMediaID) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddModem(BSTR bstrPortName,
                                               ICommonData** ppSharedModemData) = 0;
    virtual HRESULT STDMETHODCALLTYPE Initialize(IModemSessionCallback* pIModemSessionCallback) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxModems(LONG* lplMaxModems) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LastError(LONG* lplLastError) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LastSessionError(LONG* lpLastSessionError) = 0;

  protected:
    ~IModemSession() = default;
};

struct IModemSessionPrivate : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnterCriticalSection() = 0;
    virtual HRESULT STDMETHODCALLTYPE LeaveCriticalSection() = 0;
    virtual HRESULT STDMETHODCALLTYPE FatalError(LONG lCause, LONG lError, LONG lParam) = 0;
    virtual HRESULT STDMETHODCALLTYPE HandleLineMessage(LONG hDevice, LONG dwMessageID,
                                                        LONG dwParam1, LONG dwParam2,
                                                        LONG dwParam3) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LineApp(LONG* lpLineApp) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TAPIEvent(LONG* lpTAPIEvent) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SessionShutdownEvent(LONG* lpSessionShutdownEvent) = 0;

  protected:
    ~IModemSessionPrivate() = default;
};

struct IModemLineCallback : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CallOffering() = 0;
    virtual HRESULT STDMETHODCALLTYPE CallDisconnected(LONG lCause) = 0;
    virtual HRESULT STDMETHODCALLTYPE CallConnected(LONG bIncoming, LONG lPortHandle) = 0;
    virtual HRESULT STDMETHODCALLTYPE FatalError(LONG lCause, LONG lError, LONG lParam) = 0;

  protected:
    ~IModemLineCallback() = default;
};

struct IPassThroughCallback : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Disconnected(LONG lCause) = 0;
    virtual HRESULT STDMETHODCALLTYPE Connected(LONG bIncoming) = 0;
    virtual HRESULT STDMETHODCALLTYPE FatalError(LONG lCause, LONG lError) = 0;
    virtual HRESULT STDMETHODCALLTYPE TransmitDone() = 0;
    virtual HRESULT STDMETHODCALLTYPE FrameReceived(LONG lFrameNumber, LONG lFrameLength) = 0;

  protected:
    ~IPassThroughCallback() = default;
};

struct IModemLine : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_LastError(LONG* lpLastError) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LastLineError(LONG* lpLastLineError) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NoAnswerTimeout(LONG* lpNoAnswerTimeout) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_NoAnswerTimeout(LONG newVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ReportProgress(LONG* pbReportProgress) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ReportProgress(LONG newVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetModemHandle(ICommonData** ppICommonData) = 0;
    virtual HRESULT STDMETHODCALLTYPE Initialize(ICommonData* pICommonData,
                                                 IModemLineCallback* pIModemLineCallback) = 0;
    virtual HRESULT STDMETHODCALLTYPE AnswerCall(LONG bAccept) = 0;
    virtual HRESULT STDMETHODCALLTYPE DropCall() = 0;
    virtual HRESULT STDMETHODCALLTYPE MakeCall(ICommonData* pCallData) = 0;
    virtual HRESULT STDMETHODCALLTYPE Shutdown() = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenLine(ICommonData* pCommonData) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseLine() = 0;
    virtual HRESULT STDMETHODCALLTYPE ByPassTAPI(SHORT nPassThroughState) = 0;
    virtual HRESULT STDMETHODCALLTYPE HandOverToTAPI(SHORT nStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenPort(ICommonData* pIPortSettingsData) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClosePort(LONG bDestroy) = 0;
    virtual HRESULT STDMETHODCALLTYPE SendCommand(BSTR bstrCommand) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReceiveFrame(BSTR* bstrFrame, LONG lFrameNumber) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    RegisterPassThroughCallback(IPassThroughCallback* pPassThroughCallback) = 0;

  protected:
    ~IModemLine() = default;
};

struct IModemLinePrivate : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CallConnected() = 0;
    virtual HRESULT STDMETHODCALLTYPE HandleLineClose() = 0;
    virtual HRESULT STDMETHODCALLTYPE CallOffering() = 0;
    virtual HRESULT STDMETHODCALLTYPE CallDisconnected() = 0;
    virtual HRESULT STDMETHODCALLTYPE HandleLineReply(LONG lReply) = 0;
    virtual HRESULT STDMETHODCALLTYPE HandleNewCall(LONG lCall, LONG lPrivileges) = 0;
    virtual HRESULT STDMETHODCALLTYPE FatalError(LONG lError, LONG lCause, LONG lParam) = 0;
    virtual HRESULT STDMETHODCALLTYPE HandleCallState(LONG lCallState, LONG lStateDetail) = 0;
    virtual HRESULT STDMETHODCALLTYPE HangUpCall() = 0;
    virtual HRESULT STDMETHODCALLTYPE DismissCall() = 0;
    virtual HRESULT STDMETHODCALLTYPE ReOpenLine() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MediaID(LONG* pVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Handle(HANDLE_TYPE HandleType, LONG* lpHandle) = 0;

  protected:
    ~IModemLinePrivate() = default;
};

// The log writer. The component calls only WriteEntry, the ninth slot.
struct ILogWriter : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetLogFile(BSTR bstrPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLogFile(BSTR* pbstrPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetEnabled(LONG bEnabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetEnabled(LONG* pbEnabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE Flush() = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteEntry(ULONG dwThreadId, LONG lMarkA, LONG lMarkB,
                                                 BSTR bstrFunction, BSTR bstrMessage,
                                                 BSTR bstrDetail) = 0;

  protected:
    ~ILogWriter() = default;
};

// The event reporter. The component calls only Notify, the eighth slot.
struct IEventReporter : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetTarget(BSTR bstrPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTarget(BSTR* pbstrPath) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCount(LONG* plCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE Flush() = 0;
    virtual HRESULT STDMETHODCALLTYPE Notify(LONG lEventCode, BSTR bstrData, VARIANT vValue1,
                                             VARIANT vValue2, BSTR bstrSource) = 0;

  protected:
    ~IEventReporter() = default;
};

// The modem-settings component AddModem creates (and releases at once).
struct IVL2600Settings : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSetting(BSTR bstrName, VARIANT* pvValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSetting(BSTR bstrName, VARIANT vValue) = 0;

  protected:
    ~IVL2600Settings() = default;
};
