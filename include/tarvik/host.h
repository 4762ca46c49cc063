// Ready-made pieces for a host, so that it writes only what it does with a
// call: callback objects whose every method does nothing until overridden,
// an event reporter base that hands over caller ID as fields, and property
// bags created and filled in one call.
//
//   class MyLine : public tarvik::LineCallbackBase {
//       HRESULT STDMETHODCALLTYPE CallOffering() override { ...; return S_OK; }
//   };
//   ComPtr<IModemLineCallback> callback = tarvik::MakeObject<MyLine>();
//   auto settings = tarvik::MakeBag({{tarvik::field::COMPort, Variant::AnsiString("COM7")},
//                                    {tarvik::field::ModemSetting, Variant::AnsiString("ATZ")}});
//
// The interfaces themselves are those of tarvik/interfaces.h; these are only
// implementations of them.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "tarvik/companions.h"
#include "tarvik/comptr.h"
#include "tarvik/interfaces.h"
#include "tarvik/object.h"
#include "tarvik/text.h"

namespace tarvik {

// Creates a `T` (derived from one of the bases below) from `args` and
// returns the interface its base implements; null when it cannot be made.
template <class T, class... Args>
ComPtr<typename T::Interface> MakeObject(Args&&... args) {
    ComPtr<typename T::Interface> made;
    if (FAILED(CreateComObject<T>(nullptr, nullptr, T::InterfaceId(), made.PutVoid(),
                                  std::forward<Args>(args)...)))
        made.Reset();
    return made;
}

// A new property bag (the companions' CommonData) holding `fields`; null when
// the class cannot be created (the companions are not registered), with the
// reason in `result` when given.
inline ComPtr<ICommonData> MakeBag(
    std::initializer_list<std::pair<const OLECHAR*, Variant>> fields = {},
    HRESULT* result = nullptr) {
    ComPtr<ICommonData> bag;
    HRESULT hr =
        CoCreateInstance(CLSID_CommonData, nullptr, CLSCTX_ALL, IID_ICommonData, bag.PutVoid());
    for (const auto& [name, value] : fields) {
        if (FAILED(hr))
            break;
        Bstr field(name);
        hr = bag->SetData(field.Get(), value);
    }
    if (result)
        *result = hr;
    if (FAILED(hr))
        bag.Reset();
    return bag;
}

// An object with one interface `I` (besides IUnknown), whose id is `iid`.
template <class I, const IID& iid>
class SingleInterfaceBase : public ComObject<SingleInterfaceBase<I, iid>, I> {
  public:
    using Interface = I;
    static REFIID InterfaceId() { return iid; }
    IUnknown* FindInterface(REFIID wanted) noexcept override {
        return IsEqualIID(wanted, iid) ? static_cast<I*>(this) : nullptr;
    }
};

// IModemLineCallback doing nothing: S_OK from every method.
class LineCallbackBase : public SingleInterfaceBase<IModemLineCallback, IID_IModemLineCallback> {
  public:
    HRESULT STDMETHODCALLTYPE CallOffering() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE CallDisconnected(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE CallConnected(LONG, LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE FatalError(LONG, LONG, LONG) override { return S_OK; }
};

// IModemSessionCallback doing nothing: S_OK from every method.
class SessionCallbackBase
    : public SingleInterfaceBase<IModemSessionCallback, IID_IModemSessionCallback> {
  public:
    HRESULT STDMETHODCALLTYPE MediaClosed(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE MediaInService(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE MediaOutOfService(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE MediaRemove(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE FatalError(LONG, LONG, LONG) override { return S_OK; }
};

// The event code of the line's caller-ID report.
inline constexpr LONG kCallerIdEvent = 1000;

// The fields of a caller-ID report ("DATE = 1206;TIME = 0902;CALR = 5551212;
// NAME = ALICE;"): date MMDD, time HHMM, the caller's number and name, each
// empty when the modem did not send it. The line keeps the fields of earlier
// calls in the text it reports, so the last value of each label counts.
struct CallerId {
    std::string date, time, number, name;
};

inline CallerId ParseCallerId(std::string_view text) {
    auto trim = [](std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
            s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
            s.remove_suffix(1);
        return s;
    };
    CallerId id;
    while (!text.empty()) {
        const size_t end = text.find(';');
        const std::string_view field = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const size_t eq = field.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view label = trim(field.substr(0, eq));
        const std::string value(trim(field.substr(eq + 1)));
        if (label == "DATE")
            id.date = value;
        else if (label == "TIME")
            id.time = value;
        else if (label == "CALR" || label == "NMBR")
            id.number = value;
        else if (label == "NAME")
            id.name = value;
    }
    return id;
}

// IEventReporter for a host to serve in its own process (ServeEventReporter),
// which is how the line's reports, caller ID among them, reach a host. Every
// method does nothing; Notify passes caller ID to CallerIdReceived and any
// other report to ReportReceived.
class EventReporterBase : public SingleInterfaceBase<IEventReporter, IID_IEventReporter> {
  public:
    // `port` is the name of the line's port ("COM7"); `raw` the report's text.
    virtual void CallerIdReceived(const CallerId&, const std::string& /*port*/,
                                  const std::string& /*raw*/) {}
    virtual void ReportReceived(LONG /*code*/, const std::string& /*text*/,
                                const std::string& /*port*/) {}

    HRESULT STDMETHODCALLTYPE SetTarget(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTarget(BSTR* target) override {
        return target ? (*target = nullptr, S_OK) : E_POINTER;
    }
    HRESULT STDMETHODCALLTYPE GetCount(LONG* count) override {
        return count ? (*count = 0, S_OK) : E_POINTER;
    }
    HRESULT STDMETHODCALLTYPE Flush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Notify(LONG code, BSTR data, VARIANT, VARIANT, BSTR source) override {
        const std::string text = BstrToAnsi(data), port = BstrToAnsi(source);
        if (code == kCallerIdEvent)
            CallerIdReceived(ParseCallerId(text), port, text);
        else
            ReportReceived(code, text, port);
        return S_OK;
    }
};

// Serves `T` (derived from EventReporterBase) as this process's event
// reporter class for as long as the result lives; each report the line
// sends makes a new `T` from a copy of `args`.
template <class T, class... Args>
ClassRegistration ServeEventReporter(Args... args) {
    return ClassRegistration(CLSID_EventReporter,
                             [args...](IUnknown* outer, REFIID iid, void** ppv) {
                                 return CreateComObject<T>(outer, nullptr, iid, ppv, args...);
                             });
}

}  // namespace tarvik
