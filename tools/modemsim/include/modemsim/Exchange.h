// A simulated telephone exchange joining several modems. A modem joined with
// a number can dial another joined modem's number: the callee rings (with the
// caller's number as caller ID), its host answers (ATA or S0), both report
// CONNECT <callee's answerRate>, bytes flow both ways, and when one side hangs
// up (ATH, Z, DTR drop, carrier-drop fault, vanish, Stop) the other reports NO
// CARRIER. A dial to a busy modem gives BUSY; an unanswered one gives NO
// CARRIER after the caller's S7. Numbers not in the exchange use the caller's
// outcome table.
//
// The exchange and its modems may be destroyed in any order.
#pragma once

#include <memory>
#include <string>

namespace tarvik::modemsim {

class Modem;
struct ExchangeCore;

class Exchange {
  public:
    Exchange();
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // Gives `modem` the number `number` (NormalizeNumber form). A modem joins
    // one exchange once; false if the number is taken or the modem has joined
    // already.
    bool Join(Modem& modem, const std::string& number);

  private:
    std::shared_ptr<ExchangeCore> core_;
};

}  // namespace tarvik::modemsim
