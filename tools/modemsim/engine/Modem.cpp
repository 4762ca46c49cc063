// The public face of a simulated modem: every call is handed to the modem's
// thread, so the core needs no locks of its own.
#include "modemsim/Modem.h"

#include "ModemCore.h"

namespace tarvik::modemsim {

Modem::Modem(ModemOptions options)
    : core_(std::make_shared<detail::ModemCore>(std::move(options))) {}

Modem::~Modem() {
    Stop();
}

void Modem::SetObserver(Observer* observer) {
    core_->observer = observer;
}
bool Modem::Start(std::string* error) {
    return core_->Start(error);
}
void Modem::Stop() {
    core_->Stop();
}
const std::string& Modem::SlavePath() const {
    return core_->slavePath;
}
State Modem::GetState() const {
    return core_->state.load();
}

int Modem::Register(int n) const {
    if (n < 0 || n >= detail::kRegisterCount)
        return -1;
    return core_->regs[n].load();
}

// The lambdas hold a raw pointer: queued tasks run on the core's own thread,
// which the core outlives, and a shared_ptr in the core's own queue would be
// a cycle.
void Modem::SetOutcome(const std::string& number, DialOutcome outcome) {
    core_->Post([c = core_.get(), number, outcome] { c->SetOutcome(number, outcome); });
}
void Modem::SetDefaultOutcome(DialOutcome outcome) {
    core_->Post([c = core_.get(), outcome] { c->SetDefaultOutcome(outcome); });
}
void Modem::SetCallerId(CallerId callerId, CallerIdFormat format) {
    core_->Post([c = core_.get(), callerId, format] { c->SetCallerId(callerId, format); });
}
void Modem::SetRingCadence(std::chrono::milliseconds cadence) {
    core_->Post([c = core_.get(), cadence] { c->SetRingCadence(cadence); });
}
void Modem::SetRegister(int n, int value) {
    if (n < 0 || n >= detail::kRegisterCount)
        return;
    core_->Post([c = core_.get(), n, value] { c->regs[n].store(value & 0xff); });
}
void Modem::Ring(int count) {
    core_->Post([c = core_.get(), count] { c->RingFromLine(count); });
}
void Modem::DropCarrier() {
    core_->Post([c = core_.get()] { c->DropCarrier(); });
}
void Modem::SetSilent(bool silent) {
    core_->Post([c = core_.get(), silent] { c->SetSilent(silent); });
}
void Modem::SetErrorToEverything(bool on) {
    core_->Post([c = core_.get(), on] { c->SetErrorToEverything(on); });
}
void Modem::Vanish() {
    core_->Post([c = core_.get()] { c->Vanish(); });
}
void Modem::SetDtr(bool high) {
    core_->Post([c = core_.get(), high] { c->SetDtr(high); });
}
void Modem::Inject(std::string bytes) {
    core_->Post([c = core_.get(), bytes = std::move(bytes)] { c->Inject(bytes); });
}
void Modem::InjectAfter(std::chrono::milliseconds delay, std::string bytes) {
    core_->Post([c = core_.get(), delay, bytes = std::move(bytes)] {
        c->AddTimer(delay, [c, bytes] { c->Inject(bytes); });
    });
}
void Modem::ReplyToNextLine(std::string match, std::string reply, std::chrono::milliseconds delay) {
    core_->Post([c = core_.get(), match = std::move(match), reply = std::move(reply), delay] {
        c->AddReplyRule(match, reply, delay);
    });
}

}  // namespace tarvik::modemsim
