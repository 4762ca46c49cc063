#include "line/Replies.h"

#include <cctype>
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

std::string_view VerboseReply(std::string_view frame) {
    size_t first = frame.find_first_not_of("\r\n ");
    if (first == std::string_view::npos)
        return frame;
    size_t last = frame.find_last_not_of("\r\n ");
    std::string_view code = frame.substr(first, last - first + 1);
    if (code.size() > 3 || code.find_first_not_of("0123456789") != std::string_view::npos)
        return frame;
    // 5 and 10 and above are CONNECT at one rate or another.
    static constexpr std::string_view kCodes[] = {"OK",          "CONNECT", "RING",
                                                  "NO CARRIER",  "ERROR",   "CONNECT",
                                                  "NO DIALTONE", "BUSY",    "NO ANSWER"};
    int n = 0;
    for (char c : code)
        n = n * 10 + (c - '0');
    if (n < 9)
        return kCodes[n];
    return n >= 10 ? std::string_view("CONNECT") : frame;
}

namespace {

// A numeric result code at the end of a frame that began with other bytes,
// as "+++0\r": the call's last data, then a V0 modem's answer to the escape,
// which has no CR LF of its own in front. Only after a byte that cannot be
// part of a word, so "NMBR=12" or "CARRIER 300" never count.
std::string_view TrailingCode(std::string_view frame) {
    const size_t last = frame.find_last_not_of("\r\n ");
    if (last == std::string_view::npos)
        return {};
    const size_t before = frame.find_last_not_of("0123456789", last);
    if (before == std::string_view::npos || before == last || last - before > 3)
        return {};
    const unsigned char c = static_cast<unsigned char>(frame[before]);
    if (std::isalnum(c) || c == ' ' || c == '=' || c == ':' || c == '/')
        return {};
    return VerboseReply(frame.substr(before + 1, last - before));
}

}  // namespace

ModemReply MatchReply(LONG state, std::string_view frame) {
    using R = ModemReply;
    // Only the escape's answer can follow the call's data on one line.
    const std::string_view trailing =
        state == MODEM_DISCONNECTING_START ? TrailingCode(frame) : std::string_view();
    frame = trailing.empty() ? VerboseReply(frame) : trailing;
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
                                      {"NO DIALTONE", R::NoDialtone},
                                      {"NO DIAL TONE", R::NoDialtone},
                                      {"DELAYED", R::Delayed},
                                      {"BLACKLISTED", R::Blacklisted}});
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
