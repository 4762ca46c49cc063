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
    // The end-of-call events were created and cleared by ClosePort before this
    // thread started. Without them only the shutdown signal is waited for.
    HANDLE handles[3] = {m_hShutdownEvent};
    DWORD count = 1;
    for (HANDLE h : {m_hNamedEvent, m_hPortEvent})
        if (h)
            handles[count++] = h;
    if (run.device)
        run.device->SetCommMask(kCommEventMask);
    for (;;) {
        DWORD r = MsgWaitForMultipleObjects(count, handles, FALSE, INFINITE, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0) {
            ResetEvent(m_hShutdownEvent);
            if (run.device)
                run.device->SetCommMask(0);
            ThreadLog(run, kFnEventThread, "Shutting down");
            return;
        }
        if (r > WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + count) {
            ResetEvent(handles[r - WAIT_OBJECT_0]);
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
            // Never spin on a failing wait: drop the end-of-call events and
            // keep waiting for the shutdown signal; if even that fails, end.
            if (count == 1)
                return;
            count = 1;
        }
    }
}
