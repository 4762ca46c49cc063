// Values a host receives from a line: line states, LastError codes and the
// causes passed to IModemLineCallback::CallDisconnected.
#pragma once

#include "tarvik/types.h"

enum ModemLineState : LONG {
    MODEM_IDLE = 0,
    MODEM_INITIALIZING = 1,
    MODEM_CONNECTING = 2,
    MODEM_CONNECTED = 3,
    MODEM_DISCONNECTING_START = 4,
    MODEM_DISCONNECTING_FINISH = 5,
    MODEM_CALL_OFFERING = 6,
    MODEM_ANSWERING = 7,
    MODEM_COMMAND_PENDING = 8,
};

enum DisconnectCause : LONG {
    DISCONNECT_ANSWER_FAILED = 2032,
    DISCONNECT_BUSY = 2221,
    DISCONNECT_NORMAL = 2223,
    DISCONNECT_NO_CONNECTION = 2224,
    DISCONNECT_CARRIER_LOST = 2227,
    DISCONNECT_NO_DIALTONE = 2229,
};
