// The transmit path and the DTR line.
#include <cstring>
#include <string>

#include "frame/Log.h"
#include "serial/PortThreads.h"

using tarvik::IoStatus;

LONG CSerialPort::TransmitFrame(const BYTE* bytes, LONG length) {
    auto dev = m_hComm.Get();
    if (!m_bOpen || !dev) {
        Log(kFnTransmitFrame, "The port is not open");
        return SP_NO_HANDLE;
    }
    {
        std::unique_lock lock(m_txLock);
        if (m_txBuffer.GetLength() != 0) {
            lock.unlock();
            Log(kFnTransmitFrame, "The port is already transmitting a frame");
            return SP_BUSY;
        }
        if (length > m_lMaxFrameLength || length > m_txBuffer.GetCapacity() ||
            (length > 0 && !bytes)) {
            lock.unlock();
            Log(kFnTransmitFrame, "The length of the frame is invalid");
            return SP_BAD_LENGTH;
        }
        for (LONG i = 0; i < length; ++i)
            m_txBuffer.Append(bytes[i]);
    }
    Log(kFnTransmitFrame, "PurgeComm called");
    dev->PurgeComm(tarvik::PURGE_TXCLEAR | tarvik::PURGE_RXCLEAR);
    Log(kFnTransmitFrame, "Calling StartTransmit ");
    StartTransmit();
    return SP_OK;
}

void CSerialPort::StartTransmit() {
    LONG length = 0;
    {
        std::lock_guard lock(m_txLock);
        length = m_txBuffer.GetLength();
        if (length > 0) {
            std::memset(m_pTxStaging.get(), 0, kStagingSize);
            m_txBuffer.CopyTo(m_pTxStaging.get());
        }
    }
    if (length == 0) {
        Log(kFnStartTransmit, "Length of buff ZERO..Will return", "ERROR");
        return;
    }
    const char* text = reinterpret_cast<const char*>(m_pTxStaging.get());
    Log(kFnStartTransmit, std::string(text, strnlen(text, static_cast<size_t>(length))).c_str());
    std::shared_ptr<tarvik::SerialDevice> dev = m_hComm.Get();
    DWORD error = 0;
    if (!dev) {
        // Destroyed meanwhile: nothing goes out, and the frame is dropped so
        // a later open starts idle.
        std::lock_guard lock(m_txLock);
        m_txBuffer.Reset();
        return;
    }
    switch (dev->Write(m_pTxStaging.get(), static_cast<DWORD>(length), &error)) {
        case IoStatus::Completed: {
            {
                std::lock_guard lock(m_txLock);
                m_txBuffer.Reset();
            }
            if (auto cb = Callback())
                cb->TransmitDone();
            break;
        }
        case IoStatus::Pending:
            Log(kFnStartTransmit, "ERROR_IO_PENDING ",
                "Will wait for notification from MonitorThreadProc");
            break;
        case IoStatus::Failed:
            if (auto cb = Callback())
                cb->FatalError(static_cast<LONG>(error), dev->Fd());
            Log(kFnStartTransmit, "Transmission failed");
            break;
    }
}

bool CSerialPort::RetransmitFrame() {
    {
        std::lock_guard lock(m_txLock);
        if (m_txBuffer.GetLength() == 0)
            return false;
    }
    auto dev = m_hComm.Get();
    if (!dev)
        return false;
    // Only the write is dropped: aborting the pending read too would stop
    // reception for good.
    dev->PurgeComm(tarvik::PURGE_TXABORT);
    StartTransmit();
    return true;
}

bool CSerialPort::DTRSet() {
    auto dev = m_hComm.Get();
    if (!dev || !dev->EscapeCommFunction(tarvik::SETDTR))
        return false;
    Log(kFnDTRSet, "DTR Set...");
    return true;
}

bool CSerialPort::DTRClear() {
    auto dev = m_hComm.Get();
    if (!dev || !dev->EscapeCommFunction(tarvik::CLRDTR))
        return false;
    Log(kFnDTRClear, "DTR Clear");
    return true;
}

bool CSerialPort::ToggleDTR() {
    auto dev = m_hComm.Get();
    if (!dev || !dev->EscapeCommFunction(tarvik::CLRDTR))
        return false;
    Sleep(500);
    if (!dev->EscapeCommFunction(tarvik::SETDTR))
        return false;
    Sleep(2000);
    Log(kFnToggleDTR, "DTR Toggle");
    return true;
}
