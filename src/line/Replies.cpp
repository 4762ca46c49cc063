#include "line/Replies.h"

#include <initializer_list>
#include <utility>

#include "tarvik/results.h"

namespace tarvik::line {
namespace {

using Row = std::pair<std::string_view, ModemReply>;

ModemReply FirstFound(std::string_view frame, std::initializer_list<Row> rows) {
    for (const auto& [text, reply] : rows)
        if (frame.find(text) != std::string_view::npos)
            return reply;
    return ModemReply::None;
}

}  // namespace

ModemReply MatchReply(LONG state, std::string_view frame) {
    using R = ModemReply;
    switch (state) {
        case MODEM_IDLE:
            return FirstFound(frame, {{"RING", R::Ring}});
        case MODEM_INITIALIZING:
            // "ERROR" only counts when "OK" is absent.
            return FirstFound(frame, {{"OK", R::Ok}, {"ERROR", R::Error}});
        case MODEM_CONNECTING:
            return FirstFound(frame, {{"CONNECT", R::Connect},
                                      {"NO CARRIER", R::NoCarrier},
                                      {"BUSY", R::Busy},
                                      {"NO ANSWER", R::NoAnswer},
                                      {"OK", R::Ok},
                                      {"NO DIALTONE", R::NoDialtone}});
        case MODEM_CONNECTED:
            return FirstFound(frame, {{"NO CARRIER", R::NoCarrier}});
        case MODEM_DISCONNECTING_START:
            return FirstFound(frame, {{"NO CARRIER", R::NoCarrier}, {"OK", R::Ok}});
        case MODEM_DISCONNECTING_FINISH:
            return FirstFound(frame, {{"OK", R::Ok}});
        case MODEM_ANSWERING:
            return FirstFound(
                frame, {{"CONNECT", R::Connect}, {"NO CARRIER", R::NoCarrier}, {"RING", R::Ring}});
        case MODEM_COMMAND_PENDING:
            return FirstFound(frame, {{"NO CARRIER", R::NoCarrier}, {"OK", R::Ok}});
        case MODEM_CALL_OFFERING:  // the call waits for the host; nothing is read
        default:
            return R::None;
    }
}

}  // namespace tarvik::line
