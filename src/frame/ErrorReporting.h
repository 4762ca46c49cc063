// How an interface operation of the line or the session turns a failure into
// a result for the host. The operation's body runs inside GuardedCall; a check
// that fails throws ComError; GuardedCall catches that and every other C++
// exception, writes the operation's closing log entry, sets COM error
// information and returns the failure code:
//
//   HRESULT CModemLine::OpenLine(ICommonData* settings) {
//       return frame::GuardedCall(m_pLog.Get(), kOpenLineRow, [&] {
//           ...
//           if (FAILED(hr)) frame::ThrowFromCallee(hr, settings, IID_ICommonData);
//           return S_OK;
//       }, [&](HRESULT) { /* clean-up on failure */ });
//   }
//
// Hardware faults (SIGSEGV, SIGBUS, SIGFPE) are not exceptions on Linux and
// cannot be caught here: turning them into a result would mean jumping out of
// a signal handler over frames in an unknown state, with locks held and
// objects half-changed. They stay fatal to the process, which is the honest
// outcome; nothing in this file pretends otherwise.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "tarvik/com.h"
#include "tarvik/interfaces.h"

namespace tarvik::frame {

// A failed check inside a guarded body. `code` is what the operation returns
// (a code that is not a failure is reported as E_FAIL: a failed check must
// never reach the host as success). `appended` is added to the description of
// the error information after the row's trace text.
class ComError : public std::exception {
  public:
    explicit ComError(HRESULT code = E_FAIL) noexcept : code_(code) {}
    ComError(HRESULT code, std::u16string appended) noexcept
        : code_(code), appended_(std::move(appended)) {}
    // `appended` in the ANSI code page.
    ComError(HRESULT code, std::string_view appended);

    HRESULT Code() const noexcept { return code_; }
    const std::u16string& Appended() const noexcept { return appended_; }
    const char* what() const noexcept override { return "COM failure"; }

  private:
    HRESULT code_;
    std::u16string appended_;
};

// The fixed data of one operation's catch-all.
struct ErrorRow {
    const char* traceText;  // description of the error information, e.g. "CModemLine::LineOpen\n"
    const char* functionText;  // function text of the closing entry; null: no entry
    const char* message;       // message of the closing entry
    LONG markA;
    LONG markB;
    const IID* iid;      // interface the error information names
    const CLSID* clsid;  // class whose registered ProgID is the error source
};

// Writes the closing entry of `row` (when `log` and the row's function text are
// set), sets the thread's error information and returns the code to report
// (`code`, or E_FAIL when `code` is not a failure). Every step that fails is
// skipped; it never throws.
HRESULT ReportFailure(ILogWriter* log, const ErrorRow& row, HRESULT code,
                      std::u16string_view appended = {}) noexcept;

// The description of the thread's current error information, when `callee`
// answers ISupportErrorInfo with S_OK for `iid` (a callee that answers S_FALSE
// did not set it, and an unrelated older description would mislead the host).
// The thread's error information is taken (and so cleared). Empty otherwise.
std::u16string CalleeErrorDescription(IUnknown* callee, REFIID iid) noexcept;

// Throws ComError(code) carrying the callee's error description (above).
[[noreturn]] void ThrowFromCallee(HRESULT code, IUnknown* callee, REFIID iid);

struct NoCleanup {
    void operator()(HRESULT) const noexcept {}
};

// Runs `body` (returning HRESULT) under the catch-all of `row`. On any
// exception: ReportFailure, then `cleanup(code)`, then the code is returned.
// The clean-up hook must not set error information; an exception it throws is
// swallowed (the operation has already failed).
template <class Body, class Cleanup = NoCleanup>
HRESULT GuardedCall(ILogWriter* log, const ErrorRow& row, Body&& body,
                    Cleanup&& cleanup = {}) noexcept {
    HRESULT hr = E_FAIL;
    try {
        return std::forward<Body>(body)();
    } catch (const ComError& e) {
        hr = ReportFailure(log, row, e.Code(), e.Appended());
    } catch (...) {
        // std::bad_alloc and anything else thrown inside: the operation fails
        // with E_FAIL like any other failed check.
        hr = ReportFailure(log, row, E_FAIL);
    }
    try {
        cleanup(hr);
    } catch (...) {
    }
    return hr;
}

}  // namespace tarvik::frame
