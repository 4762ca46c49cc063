// Calls: dialing, ringing, answering, data mode with the escape sequence,
// hanging up, faults, and the messages exchanged with the other modem of an
// exchange call.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "ExchangeCore.h"
#include "ModemCore.h"

namespace tarvik::modemsim::detail {

namespace {
std::atomic<uint64_t> g_nextCallId{0};

using std::chrono::milliseconds;

Result ResultOf(DialOutcome::Kind kind) {
    switch (kind) {
        case DialOutcome::Kind::Busy:
            return Result::Busy;
        case DialOutcome::Kind::NoAnswer:
            return Result::NoAnswer;
        case DialOutcome::Kind::NoDialtone:
            return Result::NoDialtone;
        default:
            return Result::NoCarrier;
    }
}

// Caller ID of an exchange call: date and time of the call, the caller's number.
std::string ExchangeCallerId(const std::string& number, CallerIdFormat format) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char date[8], time[8];
    std::snprintf(date, sizeof date, "%02d%02d", (tm.tm_mon + 1) % 100, tm.tm_mday % 100);
    std::snprintf(time, sizeof time, "%02d%02d", tm.tm_hour % 100, tm.tm_min % 100);
    CallerId cid;
    cid.fields = {{"DATE", date},
                  {"TIME", time},
                  {format == CallerIdFormat::Spaced ? "CALR" : "NMBR", number}};
    return cid.Render(format);
}
}  // namespace

bool ModemCore::InCall() const {
    switch (state.load()) {
        case State::Dialing:
        case State::Ringing:
        case State::Answering:
        case State::Online:
        case State::OnlineCommand:
            return true;
        default:
            return false;
    }
}

void ModemCore::CancelCallTimers() {
    CancelTimer(dialTimer_);
    CancelTimer(answerTimer_);
    CancelTimer(ringTimer_);
    CancelTimer(cidTimer_);
    CancelTimer(escTimer_);
    escCount_ = 0;
}

void ModemCore::NotifyPeerEnded() {
    if (!call_)
        return;
    if (auto peer = call_->peer.lock()) {
        peer->Post([p = peer.get(), id = call_->id] { p->OnCallEnded(id); });
    }
}

// Local hang-up (H, Z, DTR, Stop): the far end of an exchange call is told,
// this side says nothing beyond the result of its own command.
void ModemCore::HangUp() {
    NotifyPeerEnded();
    CancelCallTimers();
    call_.reset();
    regs[1].store(0);
    if (InCall())
        SetState(State::Command);
}

void ModemCore::AbortCall() {
    const bool quietAbort = call_ && call_->silentDial;
    HangUp();
    if (!quietAbort)
        SendResult(Result::NoCarrier);
}

void ModemCore::CarrierUp(const std::string& rate) {
    if (call_)
        call_->rate = rate;
    SendResult(Result::Connect, rate);
    escCount_ = 0;
    lastRx_ = Clock::now();
    SetState(State::Online);
}

void ModemCore::Dial(std::string_view dialString) {
    if (state.load() == State::Ringing)
        HangUp();  // going off hook ends the ringing
    // Trailing ';' returns to command mode after dialing: nothing to wait for.
    size_t end = dialString.find_last_not_of(' ');
    if (end != std::string_view::npos && dialString[end] == ';')
        return SendResult(Result::Ok);
    const std::string number = NormalizeNumber(dialString);

    std::string myNumber;
    auto exchange = CurrentExchange(&myNumber);
    std::shared_ptr<ModemCore> peer;
    if (exchange && !number.empty() && number != myNumber)
        peer = exchange->Find(number);
    if (peer) {
        call_ = Call{++g_nextCallId, peer, {}, false};
        SetState(State::Dialing);
        peer->Post([p = peer.get(), id = call_->id, me = weak_from_this(), myNumber] {
            p->OnIncomingCall(id, me, myNumber);
        });
        // Nobody answers within S7 seconds: the caller gives up.
        dialTimer_ = AddTimer(std::chrono::seconds(regs[7].load()), [this] {
            dialTimer_ = 0;
            AbortCall();
        });
        return;
    }

    auto it = opts_.outcomes.find(number);
    const DialOutcome outcome = it != opts_.outcomes.end() ? it->second : opts_.defaultOutcome;
    call_ = Call{++g_nextCallId, {}, {}, outcome.kind == DialOutcome::Kind::Silence};
    SetState(State::Dialing);
    if (outcome.kind == DialOutcome::Kind::Silence)
        return;  // only a key press or DTR ends it
    dialTimer_ = AddTimer(outcome.delay, [this, outcome] {
        dialTimer_ = 0;
        for (const std::string& line : outcome.progress)
            SendInfo(line);
        if (outcome.kind == DialOutcome::Kind::Connect)
            return CarrierUp(outcome.rate);
        call_.reset();
        if (outcome.kind == DialOutcome::Kind::Text)
            SendInfo(outcome.rate);
        else
            SendResult(ResultOf(outcome.kind));
        SetState(State::Command);
    });
}

void ModemCore::Answer() {
    if (state.load() == State::Ringing && call_) {
        CancelTimer(ringTimer_);
        CancelTimer(cidTimer_);
        SetState(State::Answering);
        answerTimer_ = AddTimer(opts_.answerDelay, [this] {
            answerTimer_ = 0;
            const std::string rate = opts_.answerRate;
            if (auto peer = call_->peer.lock()) {
                peer->Post([p = peer.get(), id = call_->id, rate] { p->OnCallAnswered(id, rate); });
            }
            CarrierUp(rate);
        });
        return;
    }
    // Answering with nothing ringing waits S7 seconds for a carrier that never
    // comes.
    call_ = Call{++g_nextCallId, {}, {}, false};
    SetState(State::Answering);
    answerTimer_ = AddTimer(std::chrono::seconds(regs[7].load()), [this] {
        answerTimer_ = 0;
        AbortCall();
    });
}

void ModemCore::GoOnline() {
    if (state.load() != State::OnlineCommand || !call_)
        return SendResult(Result::NoCarrier);
    CarrierUp(call_->rate);
}

// ---- Ringing

void ModemCore::RingFromLine(int count) {
    if (state.load() != State::Command)
        return;  // busy: the caller hears the busy tone
    call_ = Call{++g_nextCallId, {}, {}, false};
    StartRinging(opts_.callerId.Render(opts_.callerIdFormat), count > 0 ? count : opts_.ringLimit);
}

void ModemCore::StartRinging(std::string callerIdLines, int limit) {
    ringsSent_ = 0;
    ringLimit_ = limit;
    pendingCid_ = std::move(callerIdLines);
    regs[1].store(0);
    SetState(State::Ringing);
    RingTick();
}

void ModemCore::RingTick() {
    if (ringLimit_ > 0 && ringsSent_ >= ringLimit_) {
        HangUp();  // the caller gave up
        return;
    }
    // Where the network sends caller ID before ringing, it comes first.
    if (ringsSent_ == 0 && opts_.callerIdBeforeRing && !pendingCid_.empty())
        Send(pendingCid_);
    SendResult(Result::Ring);
    ++ringsSent_;
    regs[1].store(std::min(regs[1].load() + 1, 255));
    const auto cadence = opts_.ringCadence;
    if (ringsSent_ == 1 && !pendingCid_.empty() && !opts_.callerIdBeforeRing) {
        cidTimer_ = AddTimer(cadence / 2, [this] {
            cidTimer_ = 0;
            Send(pendingCid_);
        });
    }
    const int autoAnswer = regs[0].load();
    if (autoAnswer > 0 && regs[1].load() >= autoAnswer)
        return Answer();
    ringTimer_ = AddTimer(cadence, [this] {
        ringTimer_ = 0;
        RingTick();
    });
}

// ---- Data mode

void ModemCore::DataByte(char c, Clock::time_point at, std::string& forward) {
    forward += c;
    const auto guard = milliseconds(20) * regs[12].load();
    const int esc = regs[2].load();
    const bool quietBefore = at - lastRx_ >= guard;
    if (esc <= 127 && static_cast<unsigned char>(c) == esc) {
        if (escCount_ >= 1 && escCount_ < 3 && at - lastRx_ <= guard) {
            ++escCount_;
        } else if (quietBefore) {
            CancelTimer(escTimer_);
            escCount_ = 1;
        } else {
            CancelTimer(escTimer_);
            escCount_ = 0;
        }
        // The escape counts only if the guard time then passes in silence too.
        if (escCount_ == 3)
            escTimer_ = AddTimerAt(at + guard, [this] {
                escTimer_ = 0;
                EscapeComplete();
            });
    } else if (escCount_) {
        CancelTimer(escTimer_);
        escCount_ = 0;
    }
    lastRx_ = at;
}

void ModemCore::EscapeComplete() {
    escCount_ = 0;
    if (state.load() != State::Online)
        return;
    SendResult(Result::Ok);
    SetState(State::OnlineCommand);
}

void ModemCore::ForwardData(std::string& data) {
    if (data.empty())
        return;
    if (call_) {
        if (auto peer = call_->peer.lock()) {
            peer->Post([p = peer.get(), id = call_->id, bytes = std::move(data)] {
                p->OnRemoteData(id, bytes);
            });
            data.clear();
            return;
        }
    }
    Send(data);  // no far end: the remote side loops everything back
    data.clear();
}

// ---- Faults and DTR

void ModemCore::DropCarrier() {
    const State st = state.load();
    if (st == State::Ringing)
        return HangUp();
    if (InCall())
        AbortCall();
}

void ModemCore::Vanish() {
    HangUp();
    timers_.clear();
    dialTimer_ = answerTimer_ = ringTimer_ = cidTimer_ = escTimer_ = dtrTimer_ = 0;
    CloseDevice();
    SetState(State::Vanished);
}

void ModemCore::SetDtr(bool high) {
    if (high == dtrHigh_)
        return;
    dtrHigh_ = high;
    if (high)
        return CancelTimer(dtrTimer_);
    dtrTimer_ = AddTimer(milliseconds(10) * regs[25].load(), [this] {
        dtrTimer_ = 0;
        DtrExpired();
    });
}

void ModemCore::DtrExpired() {
    const State st = state.load();
    switch (dtrMode_) {
        case 0:
            return;
        case 1:
            if (st == State::Online) {
                CancelTimer(escTimer_);
                escCount_ = 0;
                SendResult(Result::Ok);
                SetState(State::OnlineCommand);
            }
            return;
        default:
            // Ringing goes on: DTR says nothing about the line.
            if (st != State::Ringing && InCall())
                AbortCall();
            if (dtrMode_ == 3)
                ResetProfile();
            return;
    }
}

// ---- Messages from the far end

void ModemCore::OnIncomingCall(uint64_t id, std::weak_ptr<ModemCore> caller,
                               std::string callerNumber) {
    if (state.load() != State::Command) {
        if (auto c = caller.lock())
            c->Post([p = c.get(), id] { p->OnCallBusy(id); });
        return;
    }
    call_ = Call{id, std::move(caller), {}, false};
    StartRinging(ExchangeCallerId(callerNumber, opts_.callerIdFormat), opts_.ringLimit);
}

void ModemCore::OnCallAnswered(uint64_t id, std::string rate) {
    if (!call_ || call_->id != id || state.load() != State::Dialing)
        return;
    CancelTimer(dialTimer_);
    CarrierUp(rate);
}

void ModemCore::OnCallBusy(uint64_t id) {
    if (!call_ || call_->id != id || state.load() != State::Dialing)
        return;
    CancelCallTimers();
    call_.reset();
    SendResult(Result::Busy);
    SetState(State::Command);
}

void ModemCore::OnCallEnded(uint64_t id) {
    if (!call_ || call_->id != id)
        return;
    const bool ringing = state.load() == State::Ringing;
    call_->peer.reset();  // nothing to tell a side that is gone already
    if (ringing)
        return HangUp();
    AbortCall();
}

void ModemCore::OnRemoteData(uint64_t id, std::string bytes) {
    // In online-command mode the data of the far end is dropped; the modem has
    // no buffer for it.
    if (!call_ || call_->id != id || state.load() != State::Online)
        return;
    Send(bytes);
}

// ---- Configuration

void ModemCore::SetOutcome(const std::string& number, DialOutcome outcome) {
    opts_.outcomes[NormalizeNumber(number)] = std::move(outcome);
}
void ModemCore::SetDefaultOutcome(DialOutcome outcome) {
    opts_.defaultOutcome = std::move(outcome);
}
void ModemCore::SetCallerId(CallerId callerId, CallerIdFormat format) {
    opts_.callerId = std::move(callerId);
    opts_.callerIdFormat = format;
}
void ModemCore::SetRingCadence(std::chrono::milliseconds cadence) {
    opts_.ringCadence = cadence;
}

void ModemCore::AddReplyRule(std::string match, std::string reply,
                             std::chrono::milliseconds delay) {
    replies_.push_back({std::move(match), std::move(reply), delay});
}

}  // namespace tarvik::modemsim::detail
