// tarvik term: a plain AT terminal on a port, as picocom or minicom give one:
// keys go to the modem as typed, what the modem sends goes to the screen, and
// the escape key leaves, hanging up on the way (out of a data call with the
// escape sequence first, then DTR dropped, or "ATH" where the port has no DTR
// line).
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "Args.h"
#include "CallKit.h"
#include "Command.h"
#include "Console.h"
#include "ExitCodes.h"
#include "tarvik/serial.h"

namespace {

using namespace tarvik::cli;

// Reads what the modem sends until `text` has come or `ms` have passed.
bool AwaitText(int fd, const std::string& text, int ms) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    std::string seen;
    while (Clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (poll(&p, 1, static_cast<int>(std::max<long>(left, 1))) <= 0)
            continue;
        char buffer[256];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        seen.append(buffer, static_cast<size_t>(n));
        if (seen.find(text) != std::string::npos)
            return true;
    }
    return false;
}

void Send(int fd, const char* text) {
    (void)!write(fd, text, std::strlen(text));
    tcdrain(fd);
}

// Hangs the modem up on the way out. A modem in a data call takes every byte
// as data, "ATH" included: it is brought back to its commands first with the
// escape sequence, "+++" between two guard times of silence. Dropping DTR
// hangs up a modem set up for it (&D2); a port without modem-control lines (a
// pseudo-terminal) gets ATH in any case.
void HangUp(tarvik::SerialDevice& device, bool online) {
    const int fd = device.Fd();
    constexpr int kGuardMs = 1100;  // above a modem's usual 1 s guard time (S12=50)
    if (online) {
        Out().Say("leaving a data call: escaping to the modem's commands (+++)");
        std::this_thread::sleep_for(std::chrono::milliseconds(kGuardMs));
        Send(fd, "+++");
        std::this_thread::sleep_for(std::chrono::milliseconds(kGuardMs));
        AwaitText(fd, "OK", 2000);
    }
    int dtr = TIOCM_DTR;
    if (ioctl(fd, TIOCMBIC, &dtr) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        ioctl(fd, TIOCMBIS, &dtr);
        if (!online)
            return;
    }
    Send(fd, "ATH\r");
    AwaitText(fd, "OK", 2000);
}

std::string Details() {
    return std::string(
               "Keys go to the modem as typed (standard input in raw mode when it is a\n"
               "terminal) and what the modem sends is shown. ") +
           kEscapeKeyName +
           " leaves, as does the end of\n"
           "input, or Ctrl-C when input is no terminal (on a terminal Ctrl-C goes to the\n"
           "modem). On the way out the modem is hung up: after a CONNECT it is first\n"
           "brought back to its commands with \"+++\" and its guard times, then DTR is\n"
           "dropped, or ATH sent where the port has no DTR line.\n\n"
           "Exit status:\n"
           "  0    left with the escape key or the end of input\n"
           "  2    usage error (bad option or argument)\n"
           "  7    the device was lost (unplugged) during the run\n"
           "  8    the port cannot be opened (no such device, in use, permission denied)\n"
           "  128+N  ended by signal N (SIGINT 130, SIGTERM 143, SIGHUP 129), after hanging up";
}

int RunTerm(int argc, char** argv) {
    tarvik::tool::Args args(
        "tarvik term", "--port PORT [--baud RATE]",
        {{"port", 'p', "PORT", "COM1 to COM256 (see 'tarvik ports') or a device path"},
         {"baud", 'b', "RATE", "the port's speed, a standard rate (9600)"}},
        Details());
    if (auto done = args.Parse(argc, argv))
        return *done;
    if (!args.Positional().empty())
        return args.UsageError("unexpected argument '" + args.Positional()[0] + "'");
    if (!args.Has("port"))
        return args.UsageError("--port is needed");
    const auto baud = BaudOption(args);
    if (!baud)
        return kExitUsage;
    PortSetup port;
    std::string error;
    if (!port.Use(args.Value("port"), &error))
        return args.UsageError(error);

    SignalFd();
    Console& out = Out();
    out.Configure("tarvik term", false, false);
    // The same check as dial and answer (and the scan): a program that holds
    // the device without its lock would share every byte with us.
    const std::string problem = PortProblemBeforeOpening(port.Device());
    if (!problem.empty())
        return out.Fail(port.Described() + ": " + problem, kExitPortUnavailable);
    DWORD code = 0;
    std::shared_ptr<tarvik::SerialDevice> device =
        tarvik::SerialDevice::Open(port.Name().c_str(), &code);
    if (!device)
        return out.Fail(port.Described() + ": " + DeviceProblem(port.Device()),
                        kExitPortUnavailable);
    tarvik::DCB dcb{};
    if (device->GetCommState(&dcb)) {
        dcb.BaudRate = static_cast<DWORD>(*baud);
        dcb.ByteSize = 8;
        dcb.Parity = tarvik::NOPARITY;
        dcb.StopBits = tarvik::ONESTOPBIT;
        dcb.fDtrControl = tarvik::DTR_CONTROL_ENABLE;
        dcb.fRtsControl = tarvik::RTS_CONTROL_ENABLE;
        device->SetCommState(dcb);
    }
    const RawTerminal terminal;
    out.Say("on " + port.Described() + " at " + std::to_string(*baud) + "; " + kEscapeKeyName +
            " leaves");
    const BridgeEnd end = Bridge(device->Fd(), terminal, false, false);
    if (end.kind != BridgeEnd::DeviceLost)
        HangUp(*device, end.online);
    device->Close();
    switch (end.kind) {
        case BridgeEnd::Signal:
            return ExitForSignal(end.signal);
        case BridgeEnd::DeviceLost:
        case BridgeEnd::RemoteHungUp:
            return out.Fail(port.Described() + ": the device was lost", kExitDeviceLost);
        default:
            out.Say("left " + port.Described());
            return kExitOk;
    }
}

Command term{"term", "a plain AT terminal on a port (keys to the modem, replies to the screen)",
             &RunTerm};

}  // namespace
