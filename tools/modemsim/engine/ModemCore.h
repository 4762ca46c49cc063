// The modem behind tarvik::modemsim::Modem. Everything below "thread-owned" is
// touched only by the modem's own thread; other threads reach it by Post().
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "modemsim/Modem.h"

namespace tarvik::modemsim {
struct ExchangeCore;
}

namespace tarvik::modemsim::detail {

constexpr int kRegisterCount = 100;

class ModemCore : public std::enable_shared_from_this<ModemCore> {
  public:
    explicit ModemCore(ModemOptions options);
    ~ModemCore();

    bool Start(std::string* error);
    void Stop();
    // Runs `task` on the modem thread. Dropped once the modem has stopped.
    void Post(std::function<void()> task);

    std::atomic<State> state{State::Idle};
    std::array<std::atomic<int>, kRegisterCount> regs{};
    std::string slavePath;  // written before the thread starts
    Observer* observer = nullptr;

    // Exchange membership; set by Exchange::Join from any thread.
    bool JoinExchange(std::shared_ptr<ExchangeCore> exchange, const std::string& number);

    // ---- Everything below runs on the modem thread.
    void SetOutcome(const std::string& number, DialOutcome outcome);
    void SetDefaultOutcome(DialOutcome outcome);
    void SetCallerId(CallerId callerId, CallerIdFormat format);
    void SetRingCadence(std::chrono::milliseconds cadence);
    void RingFromLine(int count);
    void DropCarrier();
    void SetSilent(bool silent) { silent_ = silent; }
    void SetErrorToEverything(bool on) { errorAll_ = on; }
    void Vanish();
    void SetDtr(bool high);
    void Inject(const std::string& bytes) { RawWrite(bytes); }
    void AddReplyRule(std::string match, std::string reply, std::chrono::milliseconds delay);

    // Messages from the other end of an exchange call.
    void OnIncomingCall(uint64_t id, std::weak_ptr<ModemCore> caller, std::string callerNumber);
    void OnCallAnswered(uint64_t id, std::string rate);
    void OnCallEnded(uint64_t id);
    void OnCallBusy(uint64_t id);
    void OnRemoteData(uint64_t id, std::string bytes);

    uint64_t AddTimer(std::chrono::nanoseconds delay, std::function<void()> fn);

  private:
    struct Timer {
        Clock::time_point at;
        std::function<void()> fn;
    };
    struct Call {
        uint64_t id = 0;
        std::weak_ptr<ModemCore> peer;  // empty unless the call runs through an exchange
        std::string rate;
        bool silentDial = false;  // a dial whose outcome is silence: no result on abort
    };
    struct ReplyRule {
        std::string match;
        std::string reply;
        std::chrono::milliseconds delay;
    };

    // Lifecycle and I/O (ModemCore.cpp).
    void Loop();
    void RunTasks();
    void ReadMaster();
    void FlushOut();
    void RawWrite(std::string_view bytes);
    void Send(std::string_view bytes);
    void FlushEcho();
    uint64_t AddTimerAt(Clock::time_point at, std::function<void()> fn);
    void CancelTimer(uint64_t& id);
    void RunDueTimers();
    int NextTimeoutMs() const;
    void SetState(State s);
    void CloseDevice();
    void LeaveExchange();
    std::shared_ptr<ExchangeCore> CurrentExchange(std::string* number);

    // Command mode (Commands.cpp).
    void ProcessBytes(std::string_view data, Clock::time_point at);
    void CommandByte(char c, Clock::time_point at);
    void TakeLine(const std::string& prefix, const std::string& body, Clock::time_point at);
    void ExecuteCommands(std::string_view body);
    void SendResult(Result r, std::string_view rate = {});
    void SendInfo(std::string_view text);
    void ResetProfile();

    // Calls (Calls.cpp).
    void Dial(std::string_view dialString);
    void Answer();
    void GoOnline();
    void HangUp();
    void AbortCall();
    void CarrierUp(const std::string& rate);
    void StartRinging(std::string callerIdLines, int limit);
    void RingTick();
    void CancelCallTimers();
    void NotifyPeerEnded();
    void DataByte(char c, Clock::time_point at, std::string& forward);
    void ForwardData(std::string& data);
    void EscapeComplete();
    void DtrExpired();
    bool InCall() const;

    std::mutex stopMu_;  // one Stop at a time: two would join the thread twice
    std::mutex qmu_;
    std::vector<std::function<void()>> queue_;
    int wake_ = -1;
    bool started_ = false;
    bool stopped_ = false;
    std::thread thread_;

    std::mutex exMu_;
    std::shared_ptr<ExchangeCore> exchange_;
    std::string number_;

    // ---- thread-owned
    ModemOptions opts_;
    int master_ = -1;
    int slaveKeep_ = -1;
    bool masterDead_ = false;
    bool exit_ = false;
    std::string outBuf_;
    std::string pendingEcho_;
    std::map<uint64_t, Timer> timers_;
    uint64_t nextTimer_ = 0;

    bool echo_ = true, verbose_ = true, quiet_ = false;
    int dtrMode_ = 2;
    bool silent_ = false, errorAll_ = false;
    std::deque<ReplyRule> replies_;

    // Command line assembly.
    bool gotA_ = false, collecting_ = false;
    char aChar_ = 'A';
    std::string prefix_, line_;
    std::string lastPrefix_ = "AT", lastLine_;

    std::optional<Call> call_;
    uint64_t dialTimer_ = 0, answerTimer_ = 0, ringTimer_ = 0, cidTimer_ = 0;
    uint64_t escTimer_ = 0, dtrTimer_ = 0;
    int ringsSent_ = 0, ringLimit_ = 0;
    std::string pendingCid_;

    int escCount_ = 0;
    Clock::time_point lastRx_{};
    bool dtrHigh_ = true;
};

}  // namespace tarvik::modemsim::detail
