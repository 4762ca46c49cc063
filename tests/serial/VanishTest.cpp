// The device going away (pty master closed, as a USB modem unplugged) in each
// phase, and a line callback that keeps the monitor thread too long.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Platform.h"
#include "PortFixture.h"
#include "Sandbox.h"
#include "line/HostHandle.h"
#include "tarvik/sync.h"

namespace tarvik::test {
namespace {

class VanishTest : public PortFixture {
  protected:
    // The one fatal error a vanished device must produce, and a monitor thread
    // that has ended by itself (so it cannot spin): closing finds it gone and
    // it never logged a shutdown.
    void ExpectReportedOnceAndEnded() {
        ASSERT_TRUE(cb.WaitFor(PortEvent::Fatal, 1, 5s));
        auto fatal = cb.Fatals()[0];
        EXPECT_EQ(fatal.a, static_cast<LONG>(ERROR_DEVICE_NOT_CONNECTED));
        EXPECT_EQ(fatal.b, port->GetPortHandle());
        EXPECT_NE(fatal.thread, GetCurrentThreadId());
        EXPECT_LT(CpuSecondsOver(300ms), 0.1);
        EXPECT_EQ(cb.Fatals().size(), 1u);
        ASSERT_EQ(port->ClosePort(true), SP_OK);
        EXPECT_TRUE(log.With("CSerialPort::MonitorThreadMain()", "Shutting down").empty());
    }
    // CPU time this process uses while the test thread waits for `span`.
    static double CpuSecondsOver(std::chrono::milliseconds span) {
        double before = ProcessCpuSeconds();
        std::mutex m;
        std::condition_variable cv;
        std::unique_lock lock(m);
        cv.wait_for(lock, span, [] { return false; });
        return ProcessCpuSeconds() - before;
    }
};

TEST_F(VanishTest, WhileIdle) {
    Open();
    pty.CloseMaster();
    ExpectReportedOnceAndEnded();
}

TEST_F(VanishTest, WhileAWriteIsPending) {
    Open();
    ASSERT_TRUE(pty.HoldSlaveOutput());
    ASSERT_EQ(Send("ATDT123\r"), SP_OK);
    pty.CloseMaster();
    ExpectReportedOnceAndEnded();
    EXPECT_EQ(cb.TransmitDones(), 0u);
}

// With reading stopped only the comm-event wait watches the device, and Wine
// cannot wait for comm events on a pseudo-terminal (see SerialDevice.cpp).
TEST_F(VanishTest, LINUX_ONLY(AfterConnectBeforeTheHandOver)) {
    Open();
    ASSERT_TRUE(Feed("CONNECT\r", 1));
    pty.CloseMaster();
    ExpectReportedOnceAndEnded();
}

TEST_F(VanishTest, WhileHandedOverAndWhenTakenBack) {
    Open();
    ASSERT_TRUE(Feed("CONNECT\r", 1));
    ASSERT_EQ(port->ClosePort(false), SP_OK);
    pty.CloseMaster();
    // The host notices on its descriptor (under Wine: gives up) and ends the call.
    EXPECT_EQ(HostPortReadUntil(port->GetPortHandle(), "\r", 1s), "");
    ASSERT_TRUE(SignalNamedEvent("Tarvik"));
    ASSERT_TRUE(cb.WaitFor(PortEvent::Frame, 2, 5s));
    // Taking a dead device back either fails to configure it or reports it.
    LONG r = port->OpenPort(true);
    if (r == SP_OK)
        ExpectReportedOnceAndEnded();
    else
        EXPECT_EQ(r, SP_SETUP_FAILED);
}

TEST_F(VanishTest, LateMonitorThreadIsLeftBehindAndNeverTouchesThePortAgain) {
    std::mutex m;
    std::condition_variable cv;
    bool release = false, inside = false;
    cb.onFrame = [&](const PortEvent&) {
        std::unique_lock lock(m);
        inside = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    };
    Open();
    ASSERT_TRUE(pty.Write("OK\rMORE\r"));
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return inside; }));
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port->ClosePort(true), SP_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 9900ms);
    EXPECT_EQ(log.WithMessage("Port thread did not stop in time; left behind").size(), 1u);
    // The port is closed; destroying it while the thread still sits in the
    // callback must be safe once the callback returns (ASan watches this).
    port->DestroyPort();
    port.reset();
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    // The thread drops its reference to the line and leaves without reading
    // "MORE\r": no second frame.
    EXPECT_TRUE(cb.WaitUnreferenced(10s));
    EXPECT_FALSE(cb.WaitFor(PortEvent::Frame, 2, 300ms));
}

TEST_F(VanishTest, ALogWriterThatStallsDoesNotHoldUpTheGiveUp) {
    // Shared with the writer's thread, which outlives the port and this test.
    struct Stall {
        std::mutex m;
        std::condition_variable cv;
        bool release = false, inside = false;
    };
    auto stall = std::make_shared<Stall>();
    log.OnEntry([stall](const LogRecord& r) {
        if (r.message != "Receive Event Signalled")
            return;
        std::unique_lock lock(stall->m);
        stall->inside = true;
        stall->cv.notify_all();
        stall->cv.wait_for(lock, 30s, [&] { return stall->release; });
    });
    Open();
    // A byte that completes a pending read is logged, and the writer stalls
    // there. (A byte already waiting is taken at once, without the entry.)
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(pty.Write("X"));
        std::unique_lock lock(stall->m);
        if (stall->cv.wait_for(lock, 200ms, [&] { return stall->inside; }))
            break;
    }
    {
        std::lock_guard lock(stall->m);
        ASSERT_TRUE(stall->inside);
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port->ClosePort(true), SP_OK);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 9900ms);
    EXPECT_LT(took, 25s);  // the writer gives up only after 30 s
    port->DestroyPort();
    port.reset();
    {
        std::lock_guard lock(stall->m);
        stall->release = true;
    }
    stall->cv.notify_all();
    EXPECT_TRUE(cb.WaitUnreferenced(10s));
}

}  // namespace
}  // namespace tarvik::test
