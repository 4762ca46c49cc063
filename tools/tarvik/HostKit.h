// What the tarvik commands that drive a modem share: making the component's
// classes reachable, a line callback and a session callback that hand each
// call to a function, a log tap that sees the line's entries, an in-process
// event reporter, and one line set up the way a host sets one up (session,
// AddModem, Initialize, OpenLine). The callback objects are the public
// bases of tarvik/host.h, as a host would use them.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "tarvik/comptr.h"
#include "tarvik/host.h"
#include "tarvik/interfaces.h"
#include "tarvik/object.h"

namespace tarvik::cli {

// Makes the component's and the companions' classes creatable: classes the
// registry store already knows are left alone; the others are served from
// the libraries beside this program (lib/ of a build or an install), for this
// process only, so a fresh build works without "tarvik register". False, with
// `error` set, when a class stays unavailable.
bool EnsureClasses(std::string* error);

// The host's callbacks, each optional; they run on the line's event threads.
struct LineHandlers {
    std::function<void()> offering;
    std::function<void(LONG incoming, LONG handle)> connected;
    std::function<void(LONG cause)> disconnected;
    std::function<void(LONG cause, LONG error, LONG param)> fatal;
};
struct EventHandlers {
    // Every Notify sent to an event reporter of this process.
    std::function<void(LONG code, const std::string& data, const std::string& source)> notify;
    // Every log entry written by the component (function and message texts).
    std::function<void(const std::string& function, const std::string& message)> log;
};

// Serves CLSID_EventReporter and CLSID_LogWriter in this process for as long
// as it lives, passing what they receive to `handlers`. Log entries also go
// on to the writer that would have been used otherwise, when there is one.
class EventTap {
  public:
    explicit EventTap(EventHandlers handlers);
    ~EventTap();
    EventTap(const EventTap&) = delete;
    EventTap& operator=(const EventTap&) = delete;

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
    ClassRegistration reporter_;
    ClassRegistration writer_;
};

// One modem line of a session, opened on `port`.
class HostLine {
  public:
    HostLine() = default;
    ~HostLine();  // CloseLine, Shutdown, session Shutdown
    HostLine(const HostLine&) = delete;
    HostLine& operator=(const HostLine&) = delete;

    // Creates the session and the line, registers the modem and initialises
    // the line with `handlers`. False with `error` set on failure.
    bool Create(const std::string& port, LineHandlers handlers, std::string* error);
    // OpenLine with COMPort, ModemSetting `init` and the fields of `extra`.
    HRESULT Open(const std::string& init, ICommonData* extra, std::string* error);

    IModemLine* Line() const { return line_.Get(); }
    LONG LastError() const;
    const std::string& Port() const { return port_; }

  private:
    std::string port_;
    ComPtr<IModemSession> session_;
    ComPtr<IModemLine> line_;
    ComPtr<IModemLineCallback> callback_;
    ComPtr<IModemSessionCallback> sessionCallback_;
};

void SetField(ICommonData* bag, const char16_t* name, const Variant& value);

// The description of the calling thread's error information, for messages.
std::string TakeErrorText();

}  // namespace tarvik::cli
