// SimModem: a scripted Hayes modem on a real pseudo-terminal, for tests.
//
// The code under test opens SlavePath() (or "COMn" after LinkAs("COMn")) like
// any serial port. The modem answers AT commands as a Hayes-compatible modem
// does (see modemsim/Modem.h); the test configures it, injects faults and raw
// bytes, and checks what the modem received and when.
//
// Records. Every byte received is kept with the time it was read off the
// master (steady_clock), every byte sent with the time it was written, every
// command line the modem took. Offsets into the records
// serve as marks: take ReceivedSize() before an action and pass it as `from`
// to look only at what came after.
//
// Waits. All waits block until the condition holds or the time-out passes
// (default kWait) and return what they found; none sleeps a fixed time.
//
// Lifetime. Start() once; Stop() (or the destructor) ends a call in progress,
// stops the modem and closes the pseudo-terminal. The COM link made by LinkAs
// goes with the destructor. All members are safe to call from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "modemsim/DeviceLink.h"
#include "modemsim/Exchange.h"
#include "modemsim/Modem.h"

namespace tarvik::test {

class SimModem : private modemsim::Observer {
  public:
    using Clock = std::chrono::steady_clock;
    using Duration = Clock::duration;
    using Options = modemsim::ModemOptions;
    using State = modemsim::State;
    using Outcome = modemsim::DialOutcome;
    using CallerIdFormat = modemsim::CallerIdFormat;

    static constexpr std::chrono::milliseconds kWait{5000};

    // Where a text was found in a record: the offset of its first byte and the
    // times its first and last bytes arrived (or were sent).
    struct Match {
        size_t offset;
        Clock::time_point first;
        Clock::time_point last;
    };
    struct Line {
        std::string text;  // "ATZ", as typed, without the CR
        Clock::time_point at;
    };

    // The modem's own defaults (RING every 6 s, S12 guard 1 s, ...) unless
    // `options` says otherwise; most tests shorten the ring cadence.
    explicit SimModem(Options options = {});
    ~SimModem() override;
    SimModem(const SimModem&) = delete;
    SimModem& operator=(const SimModem&) = delete;

    // Opens the pseudo-terminal and starts the modem. On failure it records a
    // test failure with the reason and returns false.
    bool Start();
    void Stop();
    const std::string& SlavePath() const { return modem_.SlavePath(); }
    // Makes "COM5" (also "\\.\COM5") resolve to this modem in the sandbox's
    // device map ($TARVIK_DOSDEVICES); returns the link path, empty (and a
    // test failure) on error. Removed by the destructor.
    std::string LinkAs(const std::string& port);

    // Joins `exchange` under `number`; other joined modems can dial it.
    bool JoinExchange(modemsim::Exchange& exchange, const std::string& number);

    State GetState() const { return modem_.GetState(); }
    int Register(int n) const { return modem_.Register(n); }

    // ---- Behaviour (any time; takes effect in call order)
    void SetOutcome(const std::string& number, Outcome outcome);
    // "CONNECT 9600@500ms", "BUSY", "NO ANSWER@2s", "SILENCE", ... A text that
    // does not parse is a test failure.
    void SetOutcome(const std::string& number, std::string_view outcome);
    void SetDefaultOutcome(Outcome outcome) { modem_.SetDefaultOutcome(std::move(outcome)); }
    // "DATE=1206,TIME=0902,NMBR=5551212,NAME=JOHN DOE"
    void SetCallerId(std::string_view fields, CallerIdFormat format = CallerIdFormat::Spaced);
    void SetRingCadence(std::chrono::milliseconds cadence) { modem_.SetRingCadence(cadence); }
    void SetRegister(int n, int value) { modem_.SetRegister(n, value); }

    // ---- Incoming calls, faults, DTR
    void Ring(int count = 0) { modem_.Ring(count); }
    void DropCarrier() { modem_.DropCarrier(); }
    void SetSilent(bool silent) { modem_.SetSilent(silent); }
    void SetErrorToEverything(bool on) { modem_.SetErrorToEverything(on); }
    void Vanish() { modem_.Vanish(); }
    // A pseudo-terminal has no DTR line: the test says what the host did.
    void SetDtr(bool high) { modem_.SetDtr(high); }

    // ---- Raw bytes
    void Inject(std::string bytes) { modem_.Inject(std::move(bytes)); }
    void InjectAfter(std::chrono::milliseconds delay, std::string bytes) {
        modem_.InjectAfter(delay, std::move(bytes));
    }
    // The next command line containing `match` gets `reply` (after `delay`)
    // instead of being executed.
    void ReplyToNextLine(std::string match, std::string reply,
                         std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
        modem_.ReplyToNextLine(std::move(match), std::move(reply), delay);
    }

    // ---- Records
    std::string Received() const;
    std::string Sent() const;
    size_t ReceivedSize() const;
    size_t SentSize() const;
    // Arrival time of the received byte at `offset` (which must exist).
    Clock::time_point ReceivedAt(size_t offset) const;
    // The silence on the line before the received byte at `offset`: the time
    // since the previous received byte, or nothing for the first byte.
    std::optional<Duration> GapBefore(size_t offset) const;
    std::vector<Line> Lines() const;

    // ---- Waits
    std::optional<Match> WaitForReceived(std::string_view text, Duration timeout = kWait,
                                         size_t from = 0);
    std::optional<Match> WaitForSent(std::string_view text, Duration timeout = kWait,
                                     size_t from = 0);
    // The first command line from index `from` on that contains `text`.
    std::optional<Line> WaitForLine(std::string_view text, Duration timeout = kWait,
                                    size_t from = 0);
    bool WaitForState(State state, Duration timeout = kWait);

  private:
    struct Record {
        std::string bytes;
        std::vector<Clock::time_point> times;
    };
    void OnReceived(std::string_view bytes, Clock::time_point at) override;
    void OnSent(std::string_view bytes, Clock::time_point at) override;
    void OnCommandLine(std::string_view line, Clock::time_point at) override;
    void OnStateChanged(State state) override;
    std::optional<Match> WaitIn(const Record& record, std::string_view text, Duration timeout,
                                size_t from);
    // Waits until the records hold everything the modem has reported so far.
    void CatchUp() const;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    Record received_, sent_;
    std::vector<Line> lines_;
    // Declared last: destroyed (and so stopped) before the records it writes.
    modemsim::DeviceLink link_;
    modemsim::Modem modem_;
};

}  // namespace tarvik::test
