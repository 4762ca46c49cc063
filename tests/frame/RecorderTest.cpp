// The test recorders other suites rely on: they must really stand in for the
// classes they replace, and waits must wait.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "frame/Log.h"
#include "recorders/RecordingLog.h"
#include "recorders/RecordingReporter.h"
#include "recorders/UncreatableClass.h"
#include "tarvik/comptr.h"
#include "tarvik/sync.h"

using namespace std::chrono_literals;
using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::Variant;

namespace {

TEST(RecordingLog, ReplacesTheLogWriterWhileItLives) {
    {
        tarvik::test::RecordingLog log;
        ComPtr<ILogWriter> a = tarvik::frame::CreateLogWriter();
        ComPtr<ILogWriter> b = tarvik::frame::CreateLogWriter();
        ASSERT_TRUE(a && b);
        EXPECT_EQ(log.WritersCreated(), 2u);
        tarvik::frame::LogEntry(a.Get(), -1, 0, "CSerialPort::OpenPort()", "Port already open");
        tarvik::frame::LogEntry(b.Get(), 0, 1, "ML::OpenLine()", "All goes well");
        EXPECT_EQ(log.Count(), 2u);
        EXPECT_EQ(log.With("ML::OpenLine()", "All goes well").size(), 1u);
        EXPECT_EQ(log.WithFunction("CSerialPort::OpenPort()").size(), 1u);
        // A writer that outlives the recorder keeps working.
        a->AddRef();
        a->Release();
    }
    // Back to the registered log writer once the recorder is gone.
    ComPtr<ILogWriter> real = tarvik::frame::CreateLogWriter();
    ASSERT_TRUE(real);
    Bstr path;
    EXPECT_EQ(real->GetLogFile(path.Put()), S_OK);
    EXPECT_FALSE(path.Empty());
}

TEST(RecordingLog, WaitSeesLaterEntriesAndTimesOutNoSooner) {
    tarvik::test::RecordingLog log;
    std::thread writer([&] {
        // Most likely after the wait has begun; the test holds either way.
        std::this_thread::sleep_for(50ms);
        tarvik::frame::LogEntry(log.Writer(), -1, 0, "CModemLine::CallConnected()", "late");
    });
    auto got = log.WaitForMessage("late", 10s);
    writer.join();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->function, "CModemLine::CallConnected()");
    EXPECT_NE(got->thread, GetCurrentThreadId());

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(log.WaitForMessage("never", 200ms).has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
}

TEST(RecordingReporter, RecordsEveryNotification) {
    tarvik::test::RecordingReporter events;
    ComPtr<IEventReporter> r;
    ASSERT_EQ(
        CoCreateInstance(CLSID_EventReporter, nullptr, CLSCTX_ALL, IID_IEventReporter, r.PutVoid()),
        S_OK);
    std::thread t([&] {
        r->Notify(1004, Bstr(u"Answering the Incoming Call ").Get(), Variant(static_cast<LONG>(80)),
                  Variant(), Bstr(u"COM2").Get());
    });
    auto got = events.WaitForCode(1004, 10s);
    t.join();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->data, "Answering the Incoming Call ");
    EXPECT_EQ(got->value1.vt, VT_I4);
    EXPECT_EQ(got->value1.lVal, 80);
    EXPECT_EQ(got->value2.vt, VT_EMPTY);
    EXPECT_EQ(got->source, "COM2");
    EXPECT_EQ(events.ReportersCreated(), 1u);
    EXPECT_TRUE(events.WithCode(1000).empty());
}

TEST(UncreatableClass, RefusesCreationOnlyWhileItLives) {
    {
        tarvik::test::UncreatableClass missing(CLSID_VL2600Settings, E_ACCESSDENIED);
        ASSERT_TRUE(missing.Registered());
        ComPtr<IVL2600Settings> s;
        EXPECT_EQ(CoCreateInstance(CLSID_VL2600Settings, nullptr, CLSCTX_ALL, IID_IVL2600Settings,
                                   s.PutVoid()),
                  E_ACCESSDENIED);
        EXPECT_FALSE(s);
        EXPECT_EQ(missing.Attempts(), 1);
    }
    ComPtr<IVL2600Settings> s;
    EXPECT_EQ(CoCreateInstance(CLSID_VL2600Settings, nullptr, CLSCTX_ALL, IID_IVL2600Settings,
                               s.PutVoid()),
              S_OK);
}

}  // namespace
