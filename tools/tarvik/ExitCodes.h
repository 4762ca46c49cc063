// Exit statuses of the tarvik commands, for scripts: each way a call can fail
// has its own. A command ended by SIGINT, SIGTERM or SIGHUP hangs up first and
// then exits with 128 + the signal's number, as a shell reports it.
#pragma once

#include <string>

#include "tarvik/constants.h"

namespace tarvik::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,          // anything not listed below
    kExitUsage = 2,            // bad options or arguments
    kExitBusy = 3,             // the number was busy
    kExitNoDialTone = 4,       // no dial tone
    kExitNoAnswer = 5,         // no answer: no carrier, no call or the --timeout passed
    kExitNoModem = 6,          // the port opened but no modem answered the initialisation
    kExitDeviceLost = 7,       // the device went away (unplugged) during the run
    kExitPortUnavailable = 8,  // the port could not be opened (missing, in use, no permission)
};

// 128 + the signal's number.
inline int ExitForSignal(int signal) {
    return 128 + signal;
}

// The exit status for a call that ended before it connected.
inline int ExitForCause(LONG cause) {
    switch (cause) {
        case DISCONNECT_BUSY:
            return kExitBusy;
        case DISCONNECT_NO_DIALTONE:
            return kExitNoDialTone;
        case DISCONNECT_NO_CONNECTION:
        case DISCONNECT_CARRIER_LOST:
        case DISCONNECT_ANSWER_FAILED:
            return kExitNoAnswer;
        default:
            return kExitFailure;
    }
}

// What a disconnect cause means, in words.
inline const char* CauseText(LONG cause) {
    switch (cause) {
        case DISCONNECT_BUSY:
            return "the number is busy";
        case DISCONNECT_NORMAL:
            return "hung up";
        case DISCONNECT_NO_CONNECTION:
            return "no answer (no carrier)";
        case DISCONNECT_CARRIER_LOST:
            return "the remote side hung up";
        case DISCONNECT_NO_DIALTONE:
            return "no dial tone";
        case DISCONNECT_ANSWER_FAILED:
            return "the call could not be answered";
        default:
            return "the call ended";
    }
}

// The table above, as the help shows it.
inline std::string ExitStatusHelp() {
    return "Exit status:\n"
           "  0    success\n"
           "  1    any other failure\n"
           "  2    usage error (bad option or argument)\n"
           "  3    the number is busy\n"
           "  4    no dial tone\n"
           "  5    no answer (no carrier, no call, or --timeout passed)\n"
           "  6    no modem (the port opened but nothing answered the initialisation)\n"
           "  7    the device was lost (unplugged) during the run\n"
           "  8    the port cannot be opened (no such device, in use, permission denied)\n"
           "  128+N  ended by signal N (SIGINT 130, SIGTERM 143, SIGHUP 129), after hanging up";
}

}  // namespace tarvik::cli
