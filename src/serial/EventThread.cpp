// The event thread: runs while the port is handed to the host and tells the
// line when the host signals the end of its data call.
#include "frame/Log.h"
#include "serial/PortThreads.h"

DWORD CSerialPort::EventThread(void* arg) {
    ThreadRun run = ThreadRun::Adopt(arg);
    if (!run.Abandoned())
        run.gate->port->EventLoop(run);
    return 0;
}

void CSerialPort::EventLoop(ThreadRun& run) {
    // The named event was created and cleared by ClosePort before this thread
    // started. Without it only the shutdown signal is waited for.
    HANDLE handles[2] = {m_hShutdownEvent, m_hNamedEvent};
    DWORD count = m_hNamedEvent ? 2 : 1;
    if (run.device)
        run.device->SetCommMask(kCommEventMask);
    for (;;) {
        DWORD r = MsgWaitForMultipleObjects(count, handles, FALSE, INFINITE, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0) {
            ResetEvent(m_hShutdownEvent);
            if (run.device)
                run.device->SetCommMask(0);
            Log(kFnEventThread, "Shutting down");
            return;
        }
        if (count == 2 && r == WAIT_OBJECT_0 + 1) {
            ResetEvent(m_hNamedEvent);
            if (!CallBack(run, [](IPassThroughCallback* cb) { cb->FrameReceived(-1, 0); }))
                return;
            continue;
        }
        if (r == WAIT_OBJECT_0 + count) {
            if (!run.CallOut([] { tarvik::DispatchSentMessages(); }))
                return;
            continue;
        }
        if (r == WAIT_FAILED) {
            // Never spin on a failing wait: drop the named event and keep
            // waiting for the shutdown signal; if even that fails, end.
            if (count == 1)
                return;
            count = 1;
        }
    }
}
