// Command-line options of tarvik-modemsim.
#pragma once

#include <string>
#include <vector>

#include "modemsim/Modem.h"

namespace tarvik::modemsim::program {

struct Options {
    ModemOptions modem;
    std::string link;      // "COM5", or empty
    bool log = false;      // trace traffic to stderr
    bool commands = true;  // read the command channel on stdin
    bool help = false;
};

// Parses argv; false with `error` set on a bad option.
bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error);

extern const char* const kUsage;

}  // namespace tarvik::modemsim::program
