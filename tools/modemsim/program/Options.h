// Command-line options of tarvik-modemsim.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "modemsim/Modem.h"

namespace tarvik::modemsim::program {

struct Options {
    ModemOptions modem;
    std::string link;      // "COM5", or empty
    bool log = false;      // trace traffic to stderr
    bool commands = true;  // read the command channel on stdin
};

// Parses argv into `out`. Nothing when the simulator should run; else the exit
// status, after the help, the version or a usage error has been printed.
std::optional<int> ParseOptions(int argc, char** argv, Options& out);

}  // namespace tarvik::modemsim::program
