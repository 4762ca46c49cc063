// The simulator's modems for a Windows test program: each Modem, Exchange and
// DeviceLink is a handle on one served by tarvik-modemsim-server, reached
// through the two named pipes in the folder $TARVIK_MODEMSIM_PIPES (a path as
// this process sees it, "Z:/tmp/..."). Every call waits for the server's
// answer, so calls take effect in the order they are made, as in-process;
// what the modems see comes back as events, with the server's times moved
// onto this process's clock.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "Wire.h"
#include "modemsim/DeviceLink.h"
#include "modemsim/Exchange.h"
#include "modemsim/Modem.h"

namespace tarvik::modemsim {

namespace detail {
struct ModemCore {
    int64_t id = 0;
    std::string slavePath;
    std::atomic<bool> started{false};
};
}  // namespace detail

struct ExchangeCore {
    int64_t id = 0;
};

namespace {

using std::chrono::nanoseconds;

class Client {
  public:
    static Client& Get() {
        // Never destroyed: its reader thread runs until the process ends.
        static Client* client = new Client;
        return *client;
    }

    int64_t NewId() { return ++lastId_; }

    // Sends a request and returns the reader over its answer's values; a
    // failed reader when the server cannot be reached or refused it.
    wire::Reader Call(const wire::Writer& request) {
        std::unique_lock lock(mu_);
        if (!connected_)
            return wire::Reader("bad");
        const int64_t seq = ++lastSeq_;
        std::string line = std::to_string(seq) + " " + request.Line() + "\n";
        for (size_t at = 0; at < line.size();) {
            DWORD n = 0;
            if (!WriteFile(toServer_, line.data() + at, static_cast<DWORD>(line.size() - at), &n,
                           nullptr) ||
                n == 0)
                return wire::Reader("bad");
            at += n;
        }
        if (!cv_.wait_for(lock, std::chrono::seconds(60),
                          [&] { return answers_.count(seq) || !connected_; }))
            return wire::Reader("bad");
        if (!answers_.count(seq))
            return wire::Reader("bad");
        std::string answer = std::move(answers_[seq]);
        answers_.erase(seq);
        wire::Reader r(answer);
        return r;
    }

    void Observe(int64_t id, Observer* observer) {
        std::lock_guard lock(observersMu_);
        if (observer)
            observers_[id] = observer;
        else
            observers_.erase(id);
    }

  private:
    Client() {
        const char* folder = std::getenv("TARVIK_MODEMSIM_PIPES");
        if (!folder) {
            std::fprintf(stderr, "modem simulator: TARVIK_MODEMSIM_PIPES is not set\n");
            return;
        }
        // The server opens "requests" first, then "answers": the same order
        // here, or both would wait for ever.
        toServer_ = CreateFileA((std::string(folder) + "/requests").c_str(), GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
        if (toServer_ != INVALID_HANDLE_VALUE)
            fromServer_ = CreateFileA((std::string(folder) + "/answers").c_str(), GENERIC_READ, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
        if (fromServer_ == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "modem simulator: no server at %s (error %lu)\n", folder,
                         GetLastError());
            return;
        }
        connected_ = true;
        std::thread([this] { Read(); }).detach();
        SyncClock();
    }

    // The server's clock against ours: the round trip with the least delay
    // gives the offset, off by at most half of it.
    void SyncClock() {
        nanoseconds best = nanoseconds::max();
        for (int i = 0; i < 8; ++i) {
            auto before = Clock::now();
            wire::Reader r = Call(wire::Writer().Word("clock"));
            auto after = Clock::now();
            int64_t theirs = r.Int();
            if (!r.Ok())
                return;
            if (after - before < best) {
                best = after - before;
                auto middle = before + (after - before) / 2;
                offset_ = middle.time_since_epoch() - nanoseconds(theirs);
            }
        }
    }

    void Read() {
        const auto since = Clock::now();
        bool heard = false;
        std::string buffer;
        char chunk[4096];
        for (;;) {
            DWORD n = 0;
            if (!ReadFile(fromServer_, chunk, sizeof chunk, &n, nullptr) || n == 0) {
                // Wine opens the pipe without waiting for its writer: until
                // the server has opened its end, a read finds nothing.
                if (heard || Clock::now() - since > std::chrono::seconds(10))
                    break;
                Sleep(10);
                continue;
            }
            heard = true;
            buffer.append(chunk, static_cast<size_t>(n));
            for (size_t end; (end = buffer.find('\n')) != std::string::npos;) {
                std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                Dispatch(line);
            }
        }
        std::lock_guard lock(mu_);
        connected_ = false;
        cv_.notify_all();
    }

    void Dispatch(const std::string& line) {
        wire::Reader r(line);
        const std::string kind = r.Word();
        if (kind == "R") {
            int64_t seq = r.Int();
            size_t values = line.find(' ', 2);
            std::lock_guard lock(mu_);
            answers_[seq] = values == std::string::npos ? std::string() : line.substr(values + 1);
            cv_.notify_all();
            return;
        }
        int64_t id = r.Int();
        std::string what = r.Word();
        auto at = Clock::time_point(
            std::chrono::duration_cast<Clock::duration>(nanoseconds(r.Int()) + offset_));
        std::string bytes = r.Text();
        if (!r.Ok() || what.size() != 1)
            return;
        // Held while the observer runs: a modem that stops waits for it.
        std::lock_guard lock(observersMu_);
        auto it = observers_.find(id);
        if (it == observers_.end())
            return;
        Observer* o = it->second;
        switch (what[0]) {
            case wire::kReceived:
                o->OnReceived(bytes, at);
                break;
            case wire::kSent:
                o->OnSent(bytes, at);
                break;
            case wire::kLine:
                o->OnCommandLine(bytes, at);
                break;
            case wire::kState:
                o->OnStateChanged(static_cast<State>(std::atoi(bytes.c_str())));
                break;
        }
    }

    HANDLE toServer_ = INVALID_HANDLE_VALUE;
    HANDLE fromServer_ = INVALID_HANDLE_VALUE;
    std::mutex mu_;
    std::condition_variable cv_;
    bool connected_ = false;
    int64_t lastSeq_ = 0;
    std::map<int64_t, std::string> answers_;
    std::atomic<int64_t> lastId_{0};
    nanoseconds offset_{0};
    std::mutex observersMu_;
    std::map<int64_t, Observer*> observers_;
};

wire::Writer Request(const char* verb, int64_t id) {
    wire::Writer w;
    w.Word(verb).Int(id);
    return w;
}

void Tell(const wire::Writer& request) {
    wire::Reader r = Client::Get().Call(request);
    if (!r.Ok() || (!r.AtEnd() && r.Word() == "bad"))
        std::fprintf(stderr, "modem simulator: request failed: %s\n", request.Line().c_str());
}

}  // namespace

wire::Reader wire::Call(const Writer& request) {
    return Client::Get().Call(request);
}

int64_t wire::NewId() {
    return Client::Get().NewId();
}

Modem::Modem(ModemOptions options) : core_(std::make_shared<detail::ModemCore>()) {
    core_->id = Client::Get().NewId();
    Tell(Request("new", core_->id).Options(options));
}

Modem::~Modem() {
    Stop();
    Client::Get().Observe(core_->id, nullptr);
    Tell(Request("free", core_->id));
}

void Modem::SetObserver(Observer* observer) {
    Client::Get().Observe(core_->id, observer);
}

bool Modem::Start(std::string* error) {
    wire::Reader r = Client::Get().Call(Request("start", core_->id));
    bool ok = r.Int() == 1;
    std::string text = r.Text();
    if (!r.Ok()) {
        ok = false;
        text = "the modem simulator's server does not answer";
    }
    if (ok) {
        core_->slavePath = text;
        core_->started = true;
    } else if (error) {
        *error = text;
    }
    return ok;
}

void Modem::Stop() {
    if (core_->started.exchange(false))
        Tell(Request("stop", core_->id));
}

const std::string& Modem::SlavePath() const {
    return core_->slavePath;
}

State Modem::GetState() const {
    wire::Reader r = Client::Get().Call(Request("state", core_->id));
    auto state = static_cast<State>(r.Int());
    return r.Ok() ? state : State::Stopped;
}

int Modem::Register(int n) const {
    wire::Reader r = Client::Get().Call(Request("register", core_->id).Int(n));
    int value = static_cast<int>(r.Int());
    return r.Ok() ? value : -1;
}

void Modem::SetOutcome(const std::string& number, DialOutcome outcome) {
    Tell(Request("outcome", core_->id).Text(number).Outcome(outcome));
}
void Modem::SetDefaultOutcome(DialOutcome outcome) {
    Tell(Request("default", core_->id).Outcome(outcome));
}
void Modem::SetCallerId(CallerId callerId, CallerIdFormat format) {
    Tell(Request("callerid", core_->id).CallerIdData(callerId).Int(static_cast<int>(format)));
}
void Modem::SetRingCadence(std::chrono::milliseconds cadence) {
    Tell(Request("cadence", core_->id).Int(cadence.count()));
}
void Modem::SetRegister(int n, int value) {
    Tell(Request("setregister", core_->id).Int(n).Int(value));
}
void Modem::Ring(int count) {
    Tell(Request("ring", core_->id).Int(count));
}
void Modem::DropCarrier() {
    Tell(Request("drop", core_->id));
}
void Modem::SetSilent(bool silent) {
    Tell(Request("silent", core_->id).Int(silent));
}
void Modem::SetErrorToEverything(bool on) {
    Tell(Request("errors", core_->id).Int(on));
}
void Modem::Vanish() {
    Tell(Request("vanish", core_->id));
}
void Modem::SetDtr(bool high) {
    Tell(Request("dtr", core_->id).Int(high));
}
void Modem::Inject(std::string bytes) {
    Tell(Request("inject", core_->id).Text(bytes));
}
void Modem::InjectAfter(std::chrono::milliseconds delay, std::string bytes) {
    Tell(Request("injectafter", core_->id).Int(delay.count()).Text(bytes));
}
void Modem::ReplyToNextLine(std::string match, std::string reply, std::chrono::milliseconds delay) {
    Tell(Request("reply", core_->id).Text(match).Text(reply).Int(delay.count()));
}

Exchange::Exchange() : core_(std::make_shared<ExchangeCore>()) {
    core_->id = Client::Get().NewId();
    Tell(Request("xnew", core_->id));
}

Exchange::~Exchange() {
    Tell(Request("xfree", core_->id));
}

bool Exchange::Join(Modem& modem, const std::string& number) {
    wire::Reader r =
        Client::Get().Call(Request("join", core_->id).Int(modem.core_->id).Text(number));
    return r.Int() == 1 && r.Ok();
}

DeviceLink::~DeviceLink() {
    Remove();
}

// The server maps into this test's own prefix and replaces what it finds
// there, whatever the caller asks.
bool DeviceLink::Create(const std::string& port, const std::string& device, std::string* error,
                        bool /*replaceExisting*/) {
    Remove();
    wire::Reader r = Client::Get().Call(wire::Writer().Word("link").Text(port).Text(device));
    bool ok = r.Int() == 1;
    std::string text = r.Text();
    if (!r.Ok()) {
        ok = false;
        text = "the modem simulator's server does not answer";
    }
    if (ok) {
        path_ = text;
        target_ = device;
    } else if (error) {
        *error = text;
    }
    return ok;
}

void DeviceLink::Remove() {
    if (path_.empty())
        return;
    Tell(wire::Writer().Word("unlink").Text(path_));
    path_.clear();
    target_.clear();
}

}  // namespace tarvik::modemsim
