#include "line/DialCommand.h"

#include <cstdio>

namespace tarvik::line {

namespace {

bool InDialSet(char c) {
    if (c >= '0' && c <= '9')
        return true;
    if (c >= 'A' && c <= 'D')
        return true;
    return std::string_view("*#PTWR,!@; -().").find(c) != std::string_view::npos;
}

}  // namespace

std::optional<std::string> DialStringProblem(std::string_view text, std::string_view what) {
    for (char c : text) {
        if (InDialSet(c))
            continue;
        const auto byte = static_cast<unsigned char>(c);
        char shown[8];
        if (byte < 0x20 || byte == 0x7F)
            std::snprintf(shown, sizeof shown, "0x%02X", byte);
        else
            std::snprintf(shown, sizeof shown, "'%c'", c);
        return std::string("The field ")
            .append(what)
            .append(" holds the character ")
            .append(shown)
            .append(", which a dial string may not contain");
    }
    return std::nullopt;
}

std::optional<std::string> BuildDialCommand(bool pulse, std::string_view number,
                                            std::string_view accessCode) {
    if (number.size() + accessCode.size() > kMaxDialDigits)
        return std::nullopt;
    std::string command = pulse ? kPulsePrefix : kTonePrefix;
    command.append(number);
    command.append(accessCode);
    command.push_back('\r');
    return command;
}

}  // namespace tarvik::line
