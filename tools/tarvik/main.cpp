#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Command.h"

namespace tarvik::cli {

static std::vector<const Command*>& Table() {
    static std::vector<const Command*> table;
    return table;
}

Command::Command(const char* n, const char* s, const char* u, CommandFn f)
    : name(n), summary(s), usage(u), fn(f) {
    Table().push_back(this);
}

const std::vector<const Command*>& Commands() {
    return Table();
}

}  // namespace tarvik::cli

static void PrintHelp() {
    std::printf("tarvik: reach remote equipment through AT-command modems\n\nCommands:\n");
    for (const auto* c : tarvik::cli::Commands())
        std::printf("  %-12s %s\n", c->name, c->summary);
    std::printf("\n'tarvik help COMMAND' shows how to use one.\n");
}

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        PrintHelp();
        return argc < 2 ? 2 : 0;
    }
    std::string name = argv[1];
    if (name == "help") {
        if (argc < 3) {
            PrintHelp();
            return 0;
        }
        name = argv[2];
        for (const auto* c : tarvik::cli::Commands())
            if (name == c->name) {
                std::printf("%s\n\nusage: %s\n", c->summary, c->usage);
                return 0;
            }
        std::fprintf(stderr, "tarvik: unknown command '%s'\n", name.c_str());
        return 2;
    }
    for (const auto* c : tarvik::cli::Commands())
        if (name == c->name)
            return c->fn(std::vector<std::string>(argv + 2, argv + argc));
    std::fprintf(stderr, "tarvik: unknown command '%s' (try 'tarvik --help')\n", name.c_str());
    return 2;
}
