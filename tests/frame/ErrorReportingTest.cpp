// The catch-all every interface operation of the line and the session runs
// under: what the host gets back (code, error information) and what the log
// shows when the body fails in each of the ways it can.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>

#include "frame/ErrorReporting.h"
#include "line/LineTestKit.h"
#include "recorders/RecordingLog.h"
#include "tarvik/companions.h"
#include "tarvik/comptr.h"
#include "tarvik/sync.h"

using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::Variant;
using tarvik::frame::ComError;
using tarvik::frame::ErrorRow;
using tarvik::frame::GuardedCall;

namespace {

// A class nobody registers: its error source stays empty.
constexpr CLSID kUnregisteredClass = {
    0x1D2E3F40, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

// CommonData is registered in every test sandbox, with a ProgID.
constexpr ErrorRow kRow{"CThing::Open\n", "CThing::Open()", "An exception occurred", -1, 0,
                        &IID_IModemLine,  &CLSID_CommonData};
constexpr ErrorRow kSilentRow{"CThing::FrameReceived\n", nullptr,          nullptr, -1, 0,
                              &IID_IModemLine,           &CLSID_CommonData};
constexpr ErrorRow kUnregisteredRow{
    "CThing::Close\n",  "CThing::Close()",  "An Exception occurred", 0, 1,
    &IID_IModemSession, &kUnregisteredClass};

class CatchAll : public ::testing::Test {
  protected:
    void SetUp() override {
        ComPtr<IErrorInfo> stale;
        GetErrorInfo(0, stale.Put());  // start every case without error information
        ASSERT_EQ(CoCreateInstance(CLSID_LogWriter, nullptr, CLSCTX_ALL, IID_ILogWriter,
                                   writer.PutVoid()),
                  S_OK);
    }
    tarvik::test::RecordingLog log;
    ComPtr<ILogWriter> writer;
};

TEST_F(CatchAll, EveryFailureIsLoggedDescribedAndReturned) {
    const HRESULT custom = TARVIK_HR(0x80040201);
    const struct {
        const char* what;
        const ErrorRow* row;
        std::function<HRESULT()> body;
        bool cleanupThrows;
        HRESULT hr;
        std::u16string description;
    } cases[] = {
        {"a thrown code", &kRow, []() -> HRESULT { throw ComError(E_FAIL); }, false, E_FAIL,
         u"CThing::Open\n"},  // the final newline stays
        {"an own code and text", &kRow,
         [&]() -> HRESULT { throw ComError(custom, "port name missing"); }, false, custom,
         u"CThing::Open\nport name missing"},
        {"a wide text", &kRow,
         []() -> HRESULT { throw ComError(E_FAIL, std::u16string(u"Zeichen äöü 日本")); }, false,
         E_FAIL, u"CThing::Open\nZeichen äöü 日本"},
        {"bad_alloc", &kRow, []() -> HRESULT { throw std::bad_alloc(); }, false, E_FAIL,
         u"CThing::Open\n"},
        {"an int", &kRow, []() -> HRESULT { throw 42; }, false, E_FAIL, u"CThing::Open\n"},
        // A check that "fails" with a success code must still fail the
        // operation: the host would take it for a finished one.
        {"S_OK thrown", &kRow, []() -> HRESULT { throw ComError(S_OK); }, false, E_FAIL,
         u"CThing::Open\n"},
        {"S_FALSE thrown", &kRow, []() -> HRESULT { throw ComError(S_FALSE); }, false, E_FAIL,
         u"CThing::Open\n"},
        {"a cleanup that throws", &kRow, []() -> HRESULT { throw ComError(E_ACCESSDENIED); }, true,
         E_ACCESSDENIED, u"CThing::Open\n"},
        {"a row without function text", &kSilentRow, []() -> HRESULT { throw ComError(); }, false,
         E_FAIL, u"CThing::FrameReceived\n"},
        {"an unregistered class", &kUnregisteredRow, []() -> HRESULT { throw ComError(); }, false,
         E_FAIL, u"CThing::Close\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        HRESULT cleanupSaw = S_OK;
        HRESULT hr = GuardedCall(writer.Get(), *c.row, c.body, [&](HRESULT code) {
            cleanupSaw = code;
            if (c.cleanupThrows)
                throw std::runtime_error("cleanup failed");
        });
        EXPECT_EQ(hr, c.hr);
        EXPECT_EQ(cleanupSaw, c.hr);

        auto entries = log.Entries();
        ASSERT_EQ(entries.size(), c.row->functionText ? 1u : 0u);
        if (!entries.empty()) {
            EXPECT_EQ(entries[0].function, c.row->functionText);
            EXPECT_EQ(entries[0].message, c.row->message);
            EXPECT_EQ(entries[0].markA, c.row->markA);
            EXPECT_EQ(entries[0].markB, c.row->markB);
            EXPECT_EQ(entries[0].thread, GetCurrentThreadId());
            EXPECT_EQ(entries[0].detail.size(), 8u);  // the time of day, HH:MM:SS
        }

        auto e = tarvik::test::TakeErrorInfo();
        ASSERT_TRUE(e.present);
        EXPECT_EQ(e.description, c.description);
        EXPECT_EQ(e.iid, *c.row->iid);
        EXPECT_EQ(e.source, c.row == &kUnregisteredRow ? u"" : u"Tarvik.CommonData");
    }
}

TEST_F(CatchAll, SuccessLeavesNoTraceAndSkipsCleanup) {
    bool cleaned = false;
    EXPECT_EQ(GuardedCall(
                  writer.Get(), kRow, [] { return S_FALSE; }, [&](HRESULT) { cleaned = true; }),
              S_FALSE);
    EXPECT_FALSE(cleaned);
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_FALSE(tarvik::test::TakeErrorInfo().present);
}

// A callee's own description is carried into ours (the session's refused
// field shows it) only when the callee says it set one for that interface.
TEST(CalleeDescription, IgnoredForOtherInterfacesAndPlainObjects) {
    ComPtr<ICommonData> bag;
    ASSERT_EQ(
        CoCreateInstance(CLSID_CommonData, nullptr, CLSCTX_ALL, IID_ICommonData, bag.PutVoid()),
        S_OK);
    Variant v;
    ASSERT_TRUE(FAILED(bag->GetData(Bstr(u"Missing").Get(), &v)));
    // The bag answers S_FALSE for IModemLineCallback: its description is not
    // about that call, and stays where it is.
    EXPECT_TRUE(tarvik::frame::CalleeErrorDescription(bag.Get(), IID_IModemLineCallback).empty());
    // A callee without ISupportErrorInfo (the log writer) gives nothing either.
    ComPtr<ILogWriter> writer;
    ASSERT_EQ(
        CoCreateInstance(CLSID_LogWriter, nullptr, CLSCTX_ALL, IID_ILogWriter, writer.PutVoid()),
        S_OK);
    EXPECT_TRUE(tarvik::frame::CalleeErrorDescription(writer.Get(), IID_ICommonData).empty());
    EXPECT_TRUE(tarvik::frame::CalleeErrorDescription(nullptr, IID_ICommonData).empty());
    // Still there for the interface it belongs to.
    EXPECT_EQ(tarvik::frame::CalleeErrorDescription(bag.Get(), IID_ICommonData),
              u"Field 'Missing' not found");
}

}  // namespace
