// The catch-all every interface operation of the line and the session runs
// under: what the host gets back (code, error information) and what the log
// shows when the body fails in each of the ways it can.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "frame/ErrorReporting.h"
#include "recorders/RecordingLog.h"
#include "recorders/UncreatableClass.h"
#include "tarvik/companions.h"
#include "tarvik/comptr.h"
#include "tarvik/sync.h"

using namespace std::chrono_literals;
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

struct TakenError {
    bool present = false;
    GUID guid{};
    std::u16string source, description, helpFile;
    DWORD helpContext = 0;
};

TakenError TakeError() {
    TakenError e;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK || !info)
        return e;
    e.present = true;
    info->GetGUID(&e.guid);
    Bstr s;
    info->GetSource(s.Put());
    e.source = s.View();
    info->GetDescription(s.Put());
    e.description = s.View();
    info->GetHelpFile(s.Put());
    e.helpFile = s.View();
    info->GetHelpContext(&e.helpContext);
    return e;
}

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

TEST_F(CatchAll, ThrownCodeIsLoggedDescribedAndReturned) {
    HRESULT cleanupSaw = S_OK;
    HRESULT hr = GuardedCall(
        writer.Get(), kRow, [&]() -> HRESULT { throw ComError(E_FAIL); },
        [&](HRESULT code) { cleanupSaw = code; });
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(cleanupSaw, E_FAIL);

    auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].function, "CThing::Open()");
    EXPECT_EQ(entries[0].message, "An exception occurred");
    EXPECT_EQ(entries[0].markA, -1);
    EXPECT_EQ(entries[0].markB, 0);
    EXPECT_EQ(entries[0].thread, GetCurrentThreadId());
    EXPECT_EQ(entries[0].detail.size(), 8u);  // the time of day, HH:MM:SS

    TakenError e = TakeError();
    ASSERT_TRUE(e.present);
    EXPECT_EQ(e.description, u"CThing::Open\n");  // the final newline stays
    EXPECT_EQ(e.guid, IID_IModemLine);
    EXPECT_EQ(e.source, u"Tarvik.CommonData");
    EXPECT_TRUE(e.helpFile.empty());
    EXPECT_EQ(e.helpContext, 0u);
}

TEST_F(CatchAll, OwnCodeAndAppendedTextReachTheHost) {
    const HRESULT custom = TARVIK_HR(0x80040201);
    HRESULT hr = GuardedCall(writer.Get(), kRow,
                             [&]() -> HRESULT { throw ComError(custom, "port name missing"); });
    EXPECT_EQ(hr, custom);
    EXPECT_EQ(TakeError().description, u"CThing::Open\nport name missing");

    hr = GuardedCall(writer.Get(), kRow, [&]() -> HRESULT {
        throw ComError(E_FAIL, std::u16string(u"Zeichen äöü 日本"));
    });
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(TakeError().description, u"CThing::Open\nZeichen äöü 日本");
}

TEST_F(CatchAll, EveryOtherExceptionBecomesEFail) {
    int cleanups = 0;
    auto cleanup = [&](HRESULT code) {
        EXPECT_EQ(code, E_FAIL);
        ++cleanups;
    };
    EXPECT_EQ(GuardedCall(
                  writer.Get(), kRow, []() -> HRESULT { throw std::bad_alloc(); }, cleanup),
              E_FAIL);
    EXPECT_EQ(TakeError().description, u"CThing::Open\n");
    EXPECT_EQ(
        GuardedCall(
            writer.Get(), kRow, []() -> HRESULT { throw std::runtime_error("boom"); }, cleanup),
        E_FAIL);
    EXPECT_TRUE(TakeError().present);
    EXPECT_EQ(GuardedCall(
                  writer.Get(), kRow, []() -> HRESULT { throw 42; }, cleanup),
              E_FAIL);
    EXPECT_TRUE(TakeError().present);
    EXPECT_EQ(cleanups, 3);
    EXPECT_EQ(log.With("CThing::Open()", "An exception occurred").size(), 3u);
}

// A check that "fails" with a success code must still fail the operation:
// the host would otherwise take a failed operation for a finished one.
TEST_F(CatchAll, SuccessCodeThrownIsReportedAsFailure) {
    EXPECT_EQ(GuardedCall(writer.Get(), kRow, []() -> HRESULT { throw ComError(S_OK); }), E_FAIL);
    EXPECT_EQ(GuardedCall(writer.Get(), kRow, []() -> HRESULT { throw ComError(S_FALSE); }),
              E_FAIL);
    EXPECT_TRUE(TakeError().present);
}

TEST_F(CatchAll, SuccessLeavesNoTraceAndSkipsCleanup) {
    bool cleaned = false;
    EXPECT_EQ(GuardedCall(
                  writer.Get(), kRow, [] { return S_FALSE; }, [&](HRESULT) { cleaned = true; }),
              S_FALSE);
    EXPECT_FALSE(cleaned);
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_FALSE(TakeError().present);
}

TEST_F(CatchAll, RowsWithoutFunctionTextWriteNoEntry) {
    EXPECT_EQ(GuardedCall(writer.Get(), kSilentRow, []() -> HRESULT { throw ComError(); }), E_FAIL);
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(TakeError().description, u"CThing::FrameReceived\n");
}

TEST_F(CatchAll, UnregisteredClassGivesNoSource) {
    EXPECT_EQ(GuardedCall(writer.Get(), kUnregisteredRow, []() -> HRESULT { throw ComError(); }),
              E_FAIL);
    TakenError e = TakeError();
    ASSERT_TRUE(e.present);
    EXPECT_TRUE(e.source.empty());
    EXPECT_EQ(e.guid, IID_IModemSession);
    auto entries = log.WithFunction("CThing::Close()");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, "An Exception occurred");
    EXPECT_EQ(entries[0].markA, 0);
    EXPECT_EQ(entries[0].markB, 1);
}

TEST_F(CatchAll, CleanupThatThrowsDoesNotEscape) {
    HRESULT hr = GuardedCall(
        writer.Get(), kRow, []() -> HRESULT { throw ComError(E_ACCESSDENIED); },
        [](HRESULT) { throw std::runtime_error("cleanup failed"); });
    EXPECT_EQ(hr, E_ACCESSDENIED);
    EXPECT_TRUE(TakeError().present);
}

// Without a log writer on the machine everything works the same; only the
// entries are missing.
TEST(CatchAllWithoutLog, BehavesTheSameWithoutEntries) {
    tarvik::test::UncreatableClass noLog(CLSID_LogWriter);
    ComPtr<ILogWriter> none;
    EXPECT_TRUE(FAILED(
        CoCreateInstance(CLSID_LogWriter, nullptr, CLSCTX_ALL, IID_ILogWriter, none.PutVoid())));
    EXPECT_FALSE(none);
    bool cleaned = false;
    HRESULT hr = GuardedCall(
        none.Get(), kRow, []() -> HRESULT { throw std::bad_alloc(); },
        [&](HRESULT) { cleaned = true; });
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_TRUE(cleaned);
    TakenError e = TakeError();
    EXPECT_EQ(e.description, u"CThing::Open\n");
    EXPECT_EQ(e.source, u"Tarvik.CommonData");
}

// A callee's own description is carried into ours only when the callee says
// it set one for that interface.
TEST(CalleeDescription, AppendedWhenTheCalleeSupportsErrorInfo) {
    ComPtr<ICommonData> bag;
    ASSERT_EQ(
        CoCreateInstance(CLSID_CommonData, nullptr, CLSCTX_ALL, IID_ICommonData, bag.PutVoid()),
        S_OK);
    HRESULT hr = GuardedCall(nullptr, kRow, [&]() -> HRESULT {
        Variant port;
        HRESULT read = bag->GetData(Bstr(u"COMPort").Get(), &port);
        if (FAILED(read))
            tarvik::frame::ThrowFromCallee(read, bag.Get(), IID_ICommonData);
        return S_OK;
    });
    EXPECT_EQ(hr, COMMONDATA_E_FIELDNOTFOUND);
    TakenError e = TakeError();
    EXPECT_EQ(e.description, u"CThing::Open\nField 'COMPort' not found");
    EXPECT_EQ(e.guid, IID_IModemLine);
}

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
