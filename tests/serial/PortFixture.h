// A port on a fresh pseudo-terminal, mapped to its own COM name, with a
// recording log and a recording line stand-in.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "RecordingCallback.h"
#include "pty/PtyPair.h"
#include "recorders/RecordingLog.h"
#include "serial/SerialPort.h"

// The port's device, for tests that look beneath the port.
class SerialPortTestAccess {
  public:
    static std::shared_ptr<tarvik::SerialDevice> Device(CSerialPort& port) {
        return port.m_hComm.Get();
    }
};

namespace tarvik::test {

inline std::shared_ptr<SerialDevice> SerialPortDevice(CSerialPort& port) {
    return SerialPortTestAccess::Device(port);
}

using namespace std::chrono_literals;

class PortFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Valid());
        ASSERT_TRUE(pty.MapAs(com));
        port = std::make_unique<CSerialPort>();
        cb.SetPort(port.get());
        ASSERT_EQ(port->CreatePort(com.c_str()), SP_OK);
        ASSERT_EQ(port->SetCallback(&cb), SP_OK);
        port->SetMaxFrameLength(100);
        port->SetFrameTerminator(13);
    }
    void TearDown() override {
        if (port) {
            port->ClosePort(true);
            port->DestroyPort();
            port.reset();
        }
    }
    void Open() { ASSERT_EQ(port->OpenPort(false), SP_OK); }
    // The modem says `text`; true once the port has reported `frames` frames.
    bool Feed(const std::string& text, size_t frames, std::chrono::milliseconds timeout = 5s) {
        return pty.Write(text) && cb.WaitFor(PortEvent::Frame, frames, timeout);
    }
    LONG Send(const std::string& text) {
        return port->TransmitFrame(reinterpret_cast<const BYTE*>(text.data()),
                                   static_cast<LONG>(text.size()));
    }
    std::vector<std::string> FrameTexts() const {
        std::vector<std::string> out;
        for (const auto& f : cb.Frames())
            out.push_back(f.bytes);
        return out;
    }

    RecordingLog log;
    PtyPair pty;
    std::string com = UniqueComName();
    RecordingCallback cb;
    std::unique_ptr<CSerialPort> port;
};

}  // namespace tarvik::test
