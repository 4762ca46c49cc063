// The monitor thread: reads the port one byte at a time, cuts the bytes into
// frames, finishes pending writes and watches the device for failure.
#include "frame/Log.h"
#include "serial/PortThreads.h"

using tarvik::IoCompletion;
using tarvik::IoStatus;

DWORD CSerialPort::MonitorThreadMain(void* arg) {
    ThreadRun run = ThreadRun::Adopt(arg);
    if (!run.Abandoned() && run.device)
        run.gate->port->MonitorLoop(run);
    return 0;
}

void CSerialPort::MonitorLoop(ThreadRun& run) {
    tarvik::SerialDevice& dev = *run.device;
    const LONG handle = dev.Fd();
    HANDLE handles[1] = {m_hShutdownEvent};
    auto fatal = [&](DWORD code, LONG value) {
        return CallBack(
            run, [&](IPassThroughCallback* cb) { cb->FatalError(static_cast<LONG>(code), value); });
    };

    dev.SetCommMask(kCommEventMask);
    if (!ArmCommEvent(run))
        return;
    if (m_bReadEnabled && !PostRead(run))
        return;
    for (;;) {
        IoCompletion done;
        DWORD r = dev.Wait(1, handles, kMonitorIdleTimeoutMs, true, &done);
        if (r == WAIT_OBJECT_0) {
            ResetEvent(m_hShutdownEvent);
            dev.SetCommMask(0);
            ThreadLog(run, kFnMonitor, "Shutting down");
            return;
        }
        if (r == WAIT_OBJECT_0 + 1) {
            if (!run.CallOut([] { tarvik::DispatchSentMessages(); }))
                return;
            continue;
        }
        if (r == tarvik::WAIT_IO_COMPLETION) {
            switch (done.kind) {
                case IoCompletion::CommEvent:
                    if (done.error != 0) {
                        fatal(done.error, handle);
                        return;
                    }
                    if (m_bWatchDSR != 1 &&
                        !ThreadLog(run, kFnMonitor, "COM event : Disregarding DSR"))
                        return;
                    if (!ArmCommEvent(run))
                        return;
                    break;
                case IoCompletion::Write: {
                    if (!ThreadLog(run, kFnMonitor, "Transmit Event Signalled"))
                        return;
                    // Idle before the line hears of it: a line that sends its
                    // next command as soon as TransmitDone wakes it (from this
                    // thread or its own) must not be refused as still busy.
                    {
                        std::lock_guard lock(m_txLock);
                        m_txBuffer.Reset();
                    }
                    bool alive =
                        done.error == 0
                            ? CallBack(run, [](IPassThroughCallback* cb) { cb->TransmitDone(); })
                            : fatal(done.error, handle);
                    if (!alive || done.error != 0)
                        return;
                    break;
                }
                case IoCompletion::Read:
                    if (!ThreadLog(run, kFnMonitor, "Receive Event Signalled"))
                        return;
                    if (done.error == ERROR_OPERATION_ABORTED)
                        break;  // reading stops
                    if (done.error != 0) {
                        fatal(done.error, handle);
                        return;
                    }
                    if (done.bytes == 1 && !ReceiveByte(run, done.byte))
                        return;
                    if (m_bReadEnabled && !PostRead(run))
                        return;
                    break;
                case IoCompletion::None:
                    break;
            }
            continue;
        }
        if (!ThreadLog(run, kFnMonitor, "In default case..Calling Fatal Error"))
            return;
        if (r == WAIT_FAILED) {
            // A wait that failed once fails again at once; going on would spin.
            fatal(GetLastError(), handle);
            return;
        }
        // 85000 ms without any event: nothing to report, wait again.
    }
}

bool CSerialPort::ArmCommEvent(ThreadRun& run) {
    DWORD error = 0;
    if (run.device->WaitCommEvent(&error) != IoStatus::Failed)
        return true;
    if (error == ERROR_IO_PENDING || error == ERROR_INVALID_HANDLE)
        return true;
    return ReportStartFailure(run, error);
}

bool CSerialPort::ReportStartFailure(ThreadRun& run, DWORD error) {
    const LONG handle = run.device->Fd();
    bool alive = CallBack(
        run, [&](IPassThroughCallback* cb) { cb->FatalError(static_cast<LONG>(error), handle); });
    // A device that is gone stays gone: end here, as a failed completion
    // does, instead of reporting it again at the next operation.
    return alive && error != ERROR_DEVICE_NOT_CONNECTED;
}

bool CSerialPort::PostRead(ThreadRun& run) {
    // Bytes are taken one at a time and only while the line still wants them:
    // once it has stopped reading (CONNECT), every further byte belongs to the
    // host that takes over the descriptor.
    while (m_bReadEnabled) {
        BYTE b = 0;
        DWORD error = 0;
        switch (run.device->ReadByte(&b, &error)) {
            case IoStatus::Completed:
                if (!ReceiveByte(run, b))
                    return false;
                continue;
            case IoStatus::Pending:
                return true;
            case IoStatus::Failed:
                return ReportStartFailure(run, error);
        }
    }
    return true;
}

bool CSerialPort::ReceiveByte(ThreadRun& run, BYTE b) {
    auto overflow = [&] {
        return CallBack(run, [](IPassThroughCallback* cb) { cb->FatalError(SP_BAD_LENGTH, 0); });
    };
    const bool terminator = b == m_cTerminator.load();
    // A line longer than the buffer (noise, or a modem that ends its lines
    // with LF alone) is reported once and dropped up to the next terminator;
    // framing then goes on with the line after it.
    if (m_bDiscarding) {
        if (terminator) {
            m_bDiscarding = false;
            m_rxBuffer.Reset();
        }
        return true;
    }
    if (m_rxBuffer.Append(b) == FrameBuffer::FB_FULL) {
        m_bDiscarding = !terminator;
        m_rxBuffer.Reset();
        return overflow();
    }
    if (!terminator)
        return true;
    const LONG number = m_lFrameNumber;
    FrameSlot& slot = m_slots[number];
    // The line has not fetched the frame parked here yet: keep the bytes and
    // report it; the next byte is appended to them.
    if (slot.bInUse.load(std::memory_order_acquire))
        return overflow();
    slot.Reset();
    const BYTE* data = m_rxBuffer.Data();
    for (LONG i = 0; i < m_rxBuffer.GetLength(); ++i)
        slot.Append(data[i]);
    const LONG length = slot.GetLength();
    m_rxBuffer.Reset();
    slot.bInUse.store(1, std::memory_order_release);
    HRESULT hr = S_OK;
    if (!CallBack(run, [&](IPassThroughCallback* cb) { hr = cb->FrameReceived(number, length); }))
        return false;
    if (hr == S_FALSE)
        m_bWatchDSR = 0;
    // Frame numbers are slot numbers: they wrap with the pool, so a slot the
    // line has not emptied is found (and reported) rather than overrun.
    m_lFrameNumber = (number + 1) % kSlotCount;
    return true;
}

LONG CSerialPort::GetFrame(BYTE* dest, LONG destSize, LONG frameNumber) {
    if (frameNumber < 0 || frameNumber >= kSlotCount || !dest)
        return SP_NO_FRAME;
    FrameSlot& slot = m_slots[frameNumber];
    if (!slot.bInUse.load(std::memory_order_acquire))
        return SP_NO_FRAME;
    // A destination too small for the frame is the caller's error: the frame
    // stays for a call that can take it, and nothing is written past `dest`.
    if (destSize < slot.GetLength())
        return SP_BAD_LENGTH;
    slot.CopyTo(dest);
    slot.Reset();
    slot.bInUse.store(0, std::memory_order_release);
    return SP_OK;
}

bool CSerialPort::ThreadLog(ThreadRun& run, const char* function, const char* message) {
    tarvik::ComPtr<ILogWriter> log = m_pLog;
    if (!log)
        return true;
    return run.CallOut([&] {
        tarvik::frame::LogEntry(log.Get(), -1, 0, function, message, nullptr);
        log.Reset();
    });
}
