// The messages a line sends its session when its medium closes or fails. They
// arrive on the line's threads; the host hears of each through exactly one
// call of its session callback.
#include "frame/ErrorReporting.h"
#include "session/ModemSession.h"
#include "session/SessionRows.h"

namespace {
// What a line's dwParam1 says.
constexpr LONG kMediaClosed = 1;
constexpr const char* kFn = "HandleLineMessage()";
}  // namespace

HRESULT CModemSession::HandleLineMessage(LONG /*hDevice*/, LONG /*dwMessageID*/, LONG dwParam1,
                                         LONG dwParam2, LONG /*dwParam3*/) {
    return tarvik::frame::GuardedCall(m_pLog.Get(), tarvik::session::kHandleLineMessageRow, [&] {
        // Our own reference: a Shutdown or Initialize on a host thread may
        // release the session's reference while the host is being called.
        tarvik::ComPtr<IModemSessionCallback> callback = CurrentCallback();
        if (!callback)
            throw tarvik::frame::ComError(E_FAIL);
        // What the host's callback returns changes nothing for the line.
        if (dwParam1 == kMediaClosed) {
            Log(-1, 1, kFn, "MEDIA CLOSED CALLED");
            callback->MediaClosed(dwParam2);
        } else {
            // The line's own codes mean nothing to the host.
            callback->FatalError(0, 0, 0);
            Log(-1, 1, kFn, "FATAL ERROR CALLED");
        }
        return S_OK;
    });
}
