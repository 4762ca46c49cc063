// The command table of the tarvik tool. A subcommand registers itself from its
// own file with a static Command object:
//
//   static tarvik::cli::Command reg{"ports", "show and edit the COM port device map", &RunPorts};
//
// A command parses its own options with tarvik::tool::Args, so that
// "tarvik COMMAND --help" works alike for all of them.
#pragma once

#include <vector>

namespace tarvik::cli {

// Returns the process exit code. argv[0] is the command's name.
using CommandFn = int (*)(int argc, char** argv);

struct Command {
    Command(const char* name, const char* summary, CommandFn fn);
    const char* name;
    const char* summary;
    CommandFn fn;
};

const std::vector<const Command*>& Commands();

}  // namespace tarvik::cli
