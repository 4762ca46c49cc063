// Answering incoming calls comes with the incoming-call work; until then the
// line offers calls (CallOffering) but cannot take them.
#include "line/ModemLine.h"

HRESULT CModemLine::AnswerCall(LONG) {
    return E_NOTIMPL;
}
