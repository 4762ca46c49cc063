// A simulated Hayes-compatible modem on the master side of a pseudo-terminal.
//
// The slave side (SlavePath(), for example /dev/pts/7) behaves like the serial
// port of a modem: a host opens it and talks AT commands. Every modem runs one
// thread of its own; all public calls are safe from any thread and take effect
// in the order they are made (they are queued to that thread).
//
//   tarvik::modemsim::ModemOptions opts;
//   opts.outcomes["5551234"] = DialOutcome::Connect("9600", 200ms);
//   tarvik::modemsim::Modem modem(opts);
//   std::string error;
//   if (!modem.Start(&error)) ...
//   open(modem.SlavePath().c_str(), ...);   // "ATDT555-1234\r" -> "\r\nCONNECT 9600\r\n"
//
// Behaviour in short: "AT" command lines ended by S3 (LF ignored), several
// commands per line, "A/" repeats the last line, E/V/Q/Z/&F/I/H/A/D/O/S and
// harmless extended commands (+ & \ %); "+++" with the S12 guard time around
// it leaves data mode; dial outcomes per number; RING at a cadence with
// optional caller ID; S0 auto-answer; loopback data unless joined to an
// Exchange; faults (carrier drop, silence, ERROR to everything, vanish) and a
// DTR input the test drives, since a pseudo-terminal has no control lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "modemsim/Outcome.h"

namespace tarvik::modemsim {

class Exchange;
namespace detail {
class ModemCore;
}

using Clock = std::chrono::steady_clock;

enum class State {
    Idle,           // not started yet
    Command,        // on hook, taking commands
    Dialing,        // waiting for the outcome of a dial
    Ringing,        // an incoming call rings
    Answering,      // answered, carrier not up yet
    Online,         // data mode
    OnlineCommand,  // escaped with "+++": commands, the call stays up
    Vanished,       // the device went away (master closed)
    Stopped,
};

const char* StateName(State s);

struct ModemOptions {
    // Dial outcomes by number (NormalizeNumber form, for example "5551234").
    std::map<std::string, DialOutcome> outcomes;
    // For numbers neither in the table nor in the exchange.
    DialOutcome defaultOutcome = DialOutcome::Of(DialOutcome::Kind::NoCarrier);

    // Caller ID sent between the first and the second RING of a call started
    // with Ring(). Empty: none. Calls through an exchange always carry the
    // caller's number (CALR spaced, NMBR compact) with the date and time.
    CallerId callerId;
    CallerIdFormat callerIdFormat = CallerIdFormat::Spaced;
    // Caller ID just before the first RING (as networks that send it before
    // ringing give it) instead of half-way after the first.
    bool callerIdBeforeRing = false;
    // Time between RINGs; the caller-ID lines go out half-way after the first.
    std::chrono::milliseconds ringCadence{6000};
    // Rings before the caller gives up; 0 rings until answered or dropped.
    int ringLimit = 0;

    // Rate reported when this modem answers (CONNECT <rate>), and the time
    // the answer takes before carrier is up.
    std::string answerRate = "9600";
    std::chrono::milliseconds answerDelay{0};

    // Initial ("stored profile") S-register values, restored by Z and &F, on
    // top of the defaults (S2=43, S3=13, S4=10, S5=8, S7=50, S12=50, S25=5...).
    std::map<int, int> registers;
    bool echo = true;     // E1
    bool verbose = true;  // V1
    bool quiet = false;   // Q0
    int dtrMode = 2;      // &D2: DTR low for longer than S25 hangs up

    // Unknown extended commands (+..., &..., \..., %...) answer OK; set to
    // answer ERROR instead.
    bool rejectExtended = false;

    // Texts of I0..I4.
    std::string identity[5] = {"TARVIK-SIM", "000", "OK", "Tarvik Hayes modem simulator 1.0",
                               "TarvikSim 33600 data/fax"};
};

// Receives what the modem sees and does, on the modem's own thread. Keep the
// handlers short. They may call the modem's queueing members (Inject, Ring,
// ...) but never Stop(), which waits for that very thread.
class Observer {
  public:
    virtual ~Observer() = default;
    // Bytes the host wrote, with the time they were read off the master.
    virtual void OnReceived(std::string_view /*bytes*/, Clock::time_point /*at*/) {}
    // Bytes the modem wrote (echo, results, RING, data, injections).
    virtual void OnSent(std::string_view /*bytes*/, Clock::time_point /*at*/) {}
    // A command line the modem took, "AT..." as typed (an "A/" repeat is
    // reported as the line it repeats), when its S3 arrived.
    virtual void OnCommandLine(std::string_view /*line*/, Clock::time_point /*at*/) {}
    virtual void OnStateChanged(State /*state*/) {}
};

class Modem {
  public:
    explicit Modem(ModemOptions options = {});
    ~Modem();  // Stop()
    Modem(const Modem&) = delete;
    Modem& operator=(const Modem&) = delete;

    // Set before Start(); the observer must outlive the modem's thread (Stop()).
    void SetObserver(Observer* observer);

    // Opens the pseudo-terminal and starts the thread. A modem starts once.
    bool Start(std::string* error = nullptr);
    // Ends a call in progress (the remote side of an exchange call sees NO
    // CARRIER), stops the thread and closes the pseudo-terminal. Idempotent.
    void Stop();

    // "/dev/pts/N"; empty before Start().
    const std::string& SlavePath() const;

    State GetState() const;
    // Current value of an S-register (0..99); -1 outside that range.
    int Register(int n) const;

    // ---- Configuration while running
    void SetOutcome(const std::string& number, DialOutcome outcome);
    void SetDefaultOutcome(DialOutcome outcome);
    void SetCallerId(CallerId callerId, CallerIdFormat format);
    void SetRingCadence(std::chrono::milliseconds cadence);
    void SetRegister(int n, int value);

    // ---- Incoming calls and faults
    // Starts an incoming call: RING now and at the cadence; `count` rings
    // before the caller gives up (0: the ringLimit option). Ignored unless the
    // modem is idle in command mode.
    void Ring(int count = 0);
    // Carrier lost: a call in data or online-command mode ends with NO
    // CARRIER; a dial in progress ends with NO CARRIER; ringing stops.
    void DropCarrier();
    // Stop answering: nothing is sent any more (no echo, no results, no RING)
    // and input is ignored, until switched off.
    void SetSilent(bool silent);
    // Every command line is answered ERROR.
    void SetErrorToEverything(bool on);
    // The device disappears: master and the modem's own slave descriptor are
    // closed, so the host's reads fail (EIO / POLLHUP).
    void Vanish();
    // What the host's DTR line is doing. Low for longer than S25 (1/100 s)
    // acts by &D: &D2/&D3 hang up (NO CARRIER if a call was up), &D1 returns
    // to online-command mode with OK, &D0 ignores it.
    void SetDtr(bool high);

    // ---- Scripting hooks for tests
    // Writes raw bytes to the host now (still counted as sent; even when
    // silent).
    void Inject(std::string bytes);
    // Writes raw bytes after `delay`.
    void InjectAfter(std::chrono::milliseconds delay, std::string bytes);
    // The next command line containing `match` (case-sensitive, on the line as
    // typed, "AT" included) is not executed: `reply` is written instead,
    // after `delay` (empty reply: the line is swallowed). Rules are used once
    // each, oldest first.
    void ReplyToNextLine(std::string match, std::string reply,
                         std::chrono::milliseconds delay = {});

  private:
    friend class Exchange;
    std::shared_ptr<detail::ModemCore> core_;
};

}  // namespace tarvik::modemsim
