// tarvik-modemsim-server: runs simulated modems for one test process that
// cannot make pseudo-terminals itself (a Windows test program under Wine).
//
// usage: tarvik-modemsim-server FOLDER
// FOLDER holds two named pipes: "requests", which the client writes and this
// program reads, and "answers", the other way. They are opened in that order
// on both sides and spoken in the wire form of remote/Wire.h; the program
// ends when the client closes them. Named pipes rather than a socket: under
// Wine's wow64 mode the 32-bit Winsock does not start. The device links go to
// $TARVIK_DOSDEVICES (a Wine prefix's dosdevices folder), where the Windows
// side sees them as COM ports.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "../remote/Wire.h"
#include "modemsim/DeviceLink.h"
#include "modemsim/Exchange.h"
#include "modemsim/Modem.h"
#include "pty/PtyPair.h"

namespace ms = tarvik::modemsim;
namespace wire = tarvik::modemsim::wire;

namespace {

// The server maps ports into the device map of one test's own Wine prefix.
// Wine itself maps COM1, COM2, ... to the machine's serial ports there at
// every start, so a test's port may find such an entry: it is replaced (and
// removed again with the server's link), as nobody else uses that prefix.
constexpr bool kOwnPrefix = true;

int64_t Nanos(ms::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

class Connection {
  public:
    Connection(int in, int out) : in_(in), out_(out) {}

    void Send(const std::string& line) {
        std::lock_guard lock(mu_);
        std::string out = line + "\n";
        for (size_t at = 0; at < out.size();) {
            ssize_t n = ::write(out_, out.data() + at, out.size() - at);
            if (n <= 0)
                return;
            at += static_cast<size_t>(n);
        }
    }
    // One line without its end; false at the end of the connection.
    bool Receive(std::string* line) {
        for (;;) {
            size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                *line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            char chunk[4096];
            ssize_t n = ::read(in_, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

  private:
    int in_, out_;
    std::mutex mu_;
    std::string buffer_;
};

class Forwarder : public ms::Observer {
  public:
    Forwarder(Connection& c, int64_t id) : c_(c), id_(id) {}
    void OnReceived(std::string_view bytes, ms::Clock::time_point at) override {
        Report(wire::kReceived, at, bytes);
    }
    void OnSent(std::string_view bytes, ms::Clock::time_point at) override {
        Report(wire::kSent, at, bytes);
    }
    void OnCommandLine(std::string_view line, ms::Clock::time_point at) override {
        Report(wire::kLine, at, line);
    }
    void OnStateChanged(ms::State state) override {
        Report(wire::kState, ms::Clock::now(), std::to_string(static_cast<int>(state)));
    }

  private:
    void Report(char kind, ms::Clock::time_point at, std::string_view bytes) {
        wire::Writer w;
        w.Word("E").Int(id_).Word(std::string(1, kind)).Int(Nanos(at)).Text(bytes);
        c_.Send(w.Line());
    }
    Connection& c_;
    int64_t id_;
};

struct Served {
    std::unique_ptr<Forwarder> forwarder;
    std::unique_ptr<ms::Modem> modem;  // after the forwarder: stops first
};

class Server {
  public:
    explicit Server(Connection& c) : c_(c) {}
    ~Server() {
        // Modems first: a stopping modem leaves its exchange.
        modems_.clear();
        links_.clear();
        ptys_.clear();
        exchanges_.clear();
    }

    // Carries out one request; returns its answer's values.
    std::string Handle(wire::Reader& r) {
        wire::Writer out;
        const std::string verb = r.Word();
        if (verb == "clock") {
            out.Int(Nanos(ms::Clock::now()));
        } else if (verb == "new") {
            int64_t id = r.Int();
            auto options = r.Options();
            if (!r.Ok())
                return "bad";
            auto& s = modems_[id];
            s.forwarder = std::make_unique<Forwarder>(c_, id);
            s.modem = std::make_unique<ms::Modem>(std::move(options));
            s.modem->SetObserver(s.forwarder.get());
        } else if (verb == "free") {
            modems_.erase(r.Int());
        } else if (verb == "xnew") {
            exchanges_[r.Int()] = std::make_unique<ms::Exchange>();
        } else if (verb == "xfree") {
            exchanges_.erase(r.Int());
        } else if (verb == "link") {
            std::string port = r.Text(), device = r.Text(), error;
            auto link = std::make_unique<ms::DeviceLink>();
            if (link->Create(port, device, &error, kOwnPrefix)) {
                out.Int(1).Text(link->Path());
                links_[link->Path()] = std::move(link);
            } else {
                out.Int(0).Text(error);
            }
        } else if (verb == "unlink") {
            links_.erase(r.Text());
        } else if (verb == "join") {
            auto x = exchanges_.find(r.Int());
            ms::Modem* m = Find(r.Int());
            std::string number = r.Text();
            out.Int(x != exchanges_.end() && m && x->second->Join(*m, number));
        } else if (verb.rfind("pty", 0) == 0) {
            PtyRequest(verb, r, out);
        } else if (ms::Modem* m = Find(r.Int())) {
            ModemRequest(verb, *m, r, out);
        } else {
            return "bad";
        }
        return r.Ok() ? out.Line() : "bad";
    }

  private:
    ms::Modem* Find(int64_t id) {
        auto it = modems_.find(id);
        return it == modems_.end() ? nullptr : it->second.modem.get();
    }

    // A bare pseudo-terminal whose master end the client plays itself (the
    // serial tests' device).
    void PtyRequest(const std::string& verb, wire::Reader& r, wire::Writer& out) {
        using std::chrono::milliseconds;
        const int64_t id = r.Int();
        if (verb == "pty") {
            bool keep = r.Int() != 0, sane = r.Int() != 0;
            auto& pty = ptys_[id] = std::make_unique<tarvik::test::PtyPair>(keep, sane);
            out.Int(pty->Valid()).Text(pty->SlavePath());
            return;
        }
        auto it = ptys_.find(id);
        if (it == ptys_.end()) {
            r.Word();  // unknown: fails the reader
            r.Word();
            return;
        }
        tarvik::test::PtyPair& pty = *it->second;
        if (verb == "ptyfree") {
            ptys_.erase(it);
        } else if (verb == "ptymap") {
            std::string port = r.Text(), error;
            auto link = std::make_unique<ms::DeviceLink>();
            bool ok = link->Create(port, pty.SlavePath(), &error, kOwnPrefix);
            out.Int(ok);
            if (ok)
                links_[link->Path()] = std::move(link);
        } else if (verb == "ptywrite") {
            out.Int(pty.Write(r.Text()));
        } else if (verb == "ptyread") {
            size_t want = static_cast<size_t>(r.Int());
            out.Text(pty.Read(want, milliseconds(r.Int())));
        } else if (verb == "ptyreaduntil") {
            std::string text = r.Text();
            out.Text(pty.ReadUntil(text, milliseconds(r.Int())));
        } else if (verb == "ptyfill") {
            out.Int(static_cast<int64_t>(pty.FillSlaveOutput()));
        } else if (verb == "ptyhold") {
            out.Int(pty.HoldSlaveOutput());
        } else if (verb == "ptyrelease") {
            out.Int(pty.ReleaseSlaveOutput());
        } else if (verb == "ptyclose") {
            pty.CloseMaster();
        } else if (verb == "ptysettings") {
            tarvik::test::TerminalSettings t = pty.Settings();
            out.Int(t.inSpeed).Int(t.outSpeed).Int(t.minBytes).Text(t.flags);
        }
    }

    static void ModemRequest(const std::string& verb, ms::Modem& m, wire::Reader& r,
                             wire::Writer& out) {
        using std::chrono::milliseconds;
        if (verb == "start") {
            std::string error;
            if (m.Start(&error))
                out.Int(1).Text(m.SlavePath());
            else
                out.Int(0).Text(error);
        } else if (verb == "stop") {
            m.Stop();
        } else if (verb == "state") {
            out.Int(static_cast<int>(m.GetState()));
        } else if (verb == "register") {
            out.Int(m.Register(static_cast<int>(r.Int())));
        } else if (verb == "outcome") {
            std::string number = r.Text();
            m.SetOutcome(number, r.Outcome());
        } else if (verb == "default") {
            m.SetDefaultOutcome(r.Outcome());
        } else if (verb == "callerid") {
            auto cid = r.CallerIdData();
            m.SetCallerId(std::move(cid), static_cast<ms::CallerIdFormat>(r.Int()));
        } else if (verb == "cadence") {
            m.SetRingCadence(milliseconds(r.Int()));
        } else if (verb == "setregister") {
            int n = static_cast<int>(r.Int());
            m.SetRegister(n, static_cast<int>(r.Int()));
        } else if (verb == "ring") {
            m.Ring(static_cast<int>(r.Int()));
        } else if (verb == "drop") {
            m.DropCarrier();
        } else if (verb == "silent") {
            m.SetSilent(r.Int() != 0);
        } else if (verb == "errors") {
            m.SetErrorToEverything(r.Int() != 0);
        } else if (verb == "vanish") {
            m.Vanish();
        } else if (verb == "dtr") {
            m.SetDtr(r.Int() != 0);
        } else if (verb == "inject") {
            m.Inject(r.Text());
        } else if (verb == "injectafter") {
            auto delay = milliseconds(r.Int());
            m.InjectAfter(delay, r.Text());
        } else if (verb == "reply") {
            std::string match = r.Text(), reply = r.Text();
            m.ReplyToNextLine(std::move(match), std::move(reply), milliseconds(r.Int()));
        } else {
            r.Word();  // unknown: fails the reader
            r.Word();
        }
    }

    Connection& c_;
    std::map<int64_t, Served> modems_;
    std::map<int64_t, std::unique_ptr<ms::Exchange>> exchanges_;
    std::map<std::string, std::unique_ptr<ms::DeviceLink>> links_;
    std::map<int64_t, std::unique_ptr<tarvik::test::PtyPair>> ptys_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvik-modemsim-server FOLDER\n");
        return 2;
    }
    // A client that has gone makes writes fail rather than end the program.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string folder = argv[1];
    int in = ::open((folder + "/requests").c_str(), O_RDONLY | O_CLOEXEC);
    int out = in < 0 ? -1 : ::open((folder + "/answers").c_str(), O_WRONLY | O_CLOEXEC);
    if (out < 0) {
        std::perror("tarvik-modemsim-server: open");
        return 2;
    }
    Connection c(in, out);
    {
        Server server(c);
        std::string line;
        while (c.Receive(&line)) {
            wire::Reader r(line);
            std::string seq = r.Word();
            c.Send("R " + seq + " " + server.Handle(r));
        }
    }
    ::close(in);
    ::close(out);
    return 0;
}
