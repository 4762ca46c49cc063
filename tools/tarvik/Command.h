// The command table of the tarvik tool. A subcommand registers itself from its
// own file with a static Command object:
//
//   static tarvik::cli::Command reg{"ports", "edit the COM port device map",
//                                   "tarvik ports [list | add COMn DEVICE | remove COMn]",
//                                   &RunPorts};
#pragma once

#include <string>
#include <vector>

namespace tarvik::cli {

// Returns the process exit code. args excludes the program and command names.
using CommandFn = int (*)(const std::vector<std::string>& args);

struct Command {
    Command(const char* name, const char* summary, const char* usage, CommandFn fn);
    const char* name;
    const char* summary;
    const char* usage;
    CommandFn fn;
};

const std::vector<const Command*>& Commands();

}  // namespace tarvik::cli
