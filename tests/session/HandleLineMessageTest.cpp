// What the lines tell the session reaches the host's session callback once,
// and never reaches a callback the session has already let go of.
#include <gtest/gtest.h>

#include <thread>

#include "SessionFakes.h"
#include "frame/Module.h"
#include "recorders/RecordingLog.h"
#include "session/ModemSession.h"

using namespace tarvik;
using test::RecordingLog;
using test::RecordingSessionCallback;

namespace {

class LineMessages : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(session::CreateModemSession(nullptr, &frame::Module(), IID_IModemSession,
                                              session_.PutVoid()),
                  S_OK);
        ASSERT_EQ(session_.As(&private_, IID_IModemSessionPrivate), S_OK);
    }
    void TearDown() override {
        private_.Reset();
        session_.Reset();
    }

    std::u16string TakeDescription() {
        ComPtr<IErrorInfo> info;
        if (GetErrorInfo(0, info.Put()) != S_OK)
            return u"<none>";
        Bstr d;
        info->GetDescription(d.Put());
        return std::u16string(d.View());
    }

    RecordingLog log_;
    RecordingSessionCallback callback_;
    ComPtr<IModemSession> session_;
    ComPtr<IModemSessionPrivate> private_;
};

}  // namespace

TEST_F(LineMessages, MediaClosedPassesTheMediaIdOnceWhateverTheHostAnswers) {
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    callback_.result = E_FAIL;
    EXPECT_EQ(private_->HandleLineMessage(0, 0, 1, 7, 0), S_OK);
    auto calls = callback_.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "MediaClosed");
    EXPECT_EQ(calls[0].a, 7);
    auto entries = log_.With("HandleLineMessage()", "MEDIA CLOSED CALLED");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].markA, -1);
    EXPECT_EQ(entries[0].markB, 1);

    // A media ID the session never handed out goes to the host all the same.
    EXPECT_EQ(private_->HandleLineMessage(3, 4, 1, 999, 5), S_OK);
    calls = callback_.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].a, 999);
}

TEST_F(LineMessages, AnyOtherKindIsAFatalErrorWithoutTheLinesCodes) {
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    EXPECT_EQ(private_->HandleLineMessage(5, 5, 2, 7, 9), S_OK);
    EXPECT_EQ(private_->HandleLineMessage(0, 0, 0, 1, 0), S_OK);
    EXPECT_EQ(private_->HandleLineMessage(0, 0, -1, 1, 0), S_OK);
    auto calls = callback_.Calls();
    ASSERT_EQ(calls.size(), 3u);
    for (const auto& c : calls) {
        EXPECT_EQ(c.what, "FatalError");
        EXPECT_EQ(c.a, 0);
        EXPECT_EQ(c.b, 0);
        EXPECT_EQ(c.c, 0);
    }
    EXPECT_EQ(log_.With("HandleLineMessage()", "FATAL ERROR CALLED").size(), 3u);
}

TEST_F(LineMessages, WithoutACallbackNothingIsCalledAndTheMessageFails) {
    // Before the first Initialize.
    EXPECT_EQ(private_->HandleLineMessage(0, 0, 1, 7, 0), E_FAIL);
    EXPECT_EQ(TakeDescription(), u"CModemSession::FatalError\n");
    auto closing = log_.With("CModemSession::HandleLineMessage()", "An exception occurred");
    ASSERT_EQ(closing.size(), 1u);
    EXPECT_EQ(closing[0].markA, -1);
    EXPECT_EQ(closing[0].markB, 0);

    // After Shutdown.
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    ASSERT_EQ(session_->Shutdown(), S_OK);
    EXPECT_EQ(private_->HandleLineMessage(0, 0, 1, 7, 0), E_FAIL);
    EXPECT_EQ(private_->HandleLineMessage(0, 0, 2, 7, 0), E_FAIL);
    EXPECT_EQ(callback_.CallCount(), 0);
    EXPECT_TRUE(log_.WithMessage("MEDIA CLOSED CALLED").empty());
}

TEST_F(LineMessages, TheHostMayCallTheSessionFromItsCallback) {
    ASSERT_EQ(session_->Initialize(&callback_), S_OK);
    // A host that shuts the session down while being told of a closed medium:
    // the session must not hold anything the callback needs.
    callback_.onCall = [this] { EXPECT_EQ(session_->Shutdown(), S_OK); };
    EXPECT_EQ(private_->HandleLineMessage(0, 0, 1, 3, 0), S_OK);
    EXPECT_EQ(callback_.CallCount(), 1);
    EXPECT_EQ(callback_.CallsWithoutReference(), 0);
    EXPECT_EQ(callback_.References(), 0);
}

// Lines report on their own threads while the host replaces and releases its
// callback. Every message that succeeds reached exactly one callback, and no
// callback was ever called after the session had let go of it.
TEST_F(LineMessages, MessagesDuringInitializeAndShutdownNeverReachAReleasedCallback) {
    constexpr int kCallbacks = 200;
    std::vector<std::unique_ptr<RecordingSessionCallback>> callbacks;
    for (int i = 0; i < kCallbacks; ++i)
        callbacks.push_back(std::make_unique<RecordingSessionCallback>());

    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> lines;
    for (int t = 0; t < 3; ++t) {
        lines.emplace_back([&, t] {
            ComPtr<IModemSessionPrivate> priv = private_;  // the line's own reference
            while (!stop.load()) {
                HRESULT hr = priv->HandleLineMessage(0, 0, t == 0 ? 2 : 1, t, 0);
                (hr == S_OK ? delivered : refused)++;
            }
        });
    }
    for (int i = 0; i < kCallbacks; ++i) {
        // EXPECT, not ASSERT: the line threads must be joined whatever happens.
        EXPECT_EQ(session_->Initialize(callbacks[i].get()), S_OK);
        if (i % 2) {
            EXPECT_EQ(session_->Shutdown(), S_OK);
        }
    }
    // Make sure the threads overlapped with a live callback at least once.
    EXPECT_EQ(session_->Initialize(callbacks.back().get()), S_OK);
    for (int spins = 0; delivered.load() == 0 && spins < 1000; ++spins)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    for (auto& t : lines)
        t.join();
    session_->Shutdown();

    int calls = 0;
    for (const auto& cb : callbacks) {
        EXPECT_EQ(cb->CallsWithoutReference(), 0);
        EXPECT_EQ(cb->References(), 0);
        calls += cb->CallCount();
    }
    EXPECT_EQ(calls, delivered.load());
    EXPECT_GT(delivered.load(), 0);
    // The log writer's entries match too: one notice per delivered message.
    EXPECT_EQ(log_.WithMessage("MEDIA CLOSED CALLED").size() +
                  log_.WithMessage("FATAL ERROR CALLED").size(),
              static_cast<size_t>(delivered.load()));
}
