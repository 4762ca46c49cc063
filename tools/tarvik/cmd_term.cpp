// tarvik term: a plain AT terminal on a port, as picocom or minicom give one:
// keys go to the modem as typed, what the modem sends goes to the screen, and
// the escape key leaves, hanging up on the way (DTR dropped, or "ATH" where
// the port has no DTR line).
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

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

// Drops DTR for a moment, which a modem set up for it (&D2) takes as a
// hang-up. A port without modem-control lines (a pseudo-terminal) gets ATH.
void HangUp(tarvik::SerialDevice& device) {
    const int fd = device.Fd();
    int dtr = TIOCM_DTR;
    if (ioctl(fd, TIOCMBIC, &dtr) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        ioctl(fd, TIOCMBIS, &dtr);
        return;
    }
    const char command[] = "ATH\r";
    (void)!write(fd, command, sizeof command - 1);
    tcdrain(fd);
}

int RunTerm(int argc, char** argv) {
    tarvik::tool::Args args(
        "tarvik term", "--port PORT [--baud RATE]",
        {{"port", 'p', "PORT", "COMn (see 'tarvik ports') or a device path"},
         {"baud", 'b', "RATE", "line speed, one of the standard rates (9600)"}},
        std::string("Keys go to the modem as typed (standard input in raw mode when it is a\n"
                    "terminal) and what the modem sends is shown. ") +
            kEscapeKeyName +
            " leaves, as does the end of\n"
            "input or Ctrl-C when input is no terminal; the modem is hung up on the way out.\n\n" +
            ExitStatusHelp());
    if (auto done = args.Parse(argc, argv))
        return *done;
    if (!args.Positional().empty())
        return args.UsageError("unexpected argument '" + args.Positional()[0] + "'");
    if (!args.Has("port"))
        return args.UsageError("--port is needed");
    const auto baud = args.Integer("baud", 110, 256000, 9600);
    if (!baud)
        return kExitUsage;
    if (!tarvik::IsStandardBaudRate(*baud))
        return args.UsageError(std::to_string(*baud) + " is not a standard rate");
    PortSetup port;
    std::string error;
    if (!port.Use(args.Value("port"), &error))
        return args.UsageError(error);

    SignalFd();
    Console& out = Out();
    out.Configure("tarvik term", false, false);
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
    HangUp(*device);
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
