#include <cstdio>
#include <string>
#include <vector>

#include "Args.h"
#include "Command.h"
#include "ExitCodes.h"

namespace tarvik::cli {

static std::vector<const Command*>& Table() {
    static std::vector<const Command*> table;
    return table;
}

Command::Command(const char* n, const char* s, CommandFn f) : name(n), summary(s), fn(f) {
    Table().push_back(this);
}

const std::vector<const Command*>& Commands() {
    return Table();
}

}  // namespace tarvik::cli

namespace {

const tarvik::cli::Command* Find(const std::string& name) {
    for (const auto* c : tarvik::cli::Commands())
        if (name == c->name)
            return c;
    return nullptr;
}

std::string Details() {
    std::string text = "Commands:\n";
    for (const auto* c : tarvik::cli::Commands()) {
        char line[160];
        std::snprintf(line, sizeof line, "  %-12s %s\n", c->name, c->summary);
        text += line;
    }
    text += "\n'tarvik COMMAND --help' shows how to use one.\n\n";
    text += tarvik::cli::ExitStatusHelp();
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    tarvik::tool::Args args("tarvik", "[--help | --version] COMMAND [OPTIONS]", {}, Details());
    args.StopAtFirstOperand();
    if (auto done = args.Parse(argc, argv))
        return *done;
    if (args.Positional().empty())
        return args.UsageError("no command given");
    std::string name = args.Positional()[0];
    std::vector<std::string> rest(args.Positional().begin() + 1, args.Positional().end());
    if (name == "help") {
        if (rest.empty()) {
            args.PrintHelp(stdout);
            return 0;
        }
        name = rest[0];
        rest = {"--help"};
    }
    const auto* command = Find(name);
    if (!command)
        return args.UsageError("unknown command '" + name + "'");
    rest.insert(rest.begin(), name);
    std::vector<char*> commandArgv;
    for (auto& a : rest)
        commandArgv.push_back(a.data());
    commandArgv.push_back(nullptr);
    return command->fn(static_cast<int>(rest.size()), commandArgv.data());
}
