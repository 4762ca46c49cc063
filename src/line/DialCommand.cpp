#include "line/DialCommand.h"

namespace tarvik::line {

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
