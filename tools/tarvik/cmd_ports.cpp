// tarvik ports: show and edit the device map that gives Windows-style port
// names (COM1, COM12) their Linux devices.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "tarvik/serial.h"

namespace {

int List() {
    std::printf("device map: %s\n", tarvik::DeviceMapFolder().c_str());
    auto entries = tarvik::ListDeviceMap();
    if (entries.empty())
        std::printf("(no entries; COMn opens /dev/ttyS{n-1})\n");
    for (const auto& e : entries) {
        struct stat st {};
        bool present = stat(e.target.c_str(), &st) == 0;
        std::printf("%-7s -> %s%s\n", e.name.c_str(), e.target.c_str(),
                    present ? "" : "  (missing)");
    }
    return 0;
}

int RunPorts(const std::vector<std::string>& args) {
    if (args.empty() || args[0] == "list")
        return args.size() <= 1 ? List() : 2;
    DWORD error = 0;
    if (args[0] == "add" && args.size() == 3) {
        struct stat st {};
        // A USB adapter may be mapped before it is plugged in: warn, add anyway.
        if (stat(args[2].c_str(), &st) != 0)
            std::fprintf(stderr, "tarvik ports: warning: %s does not exist (yet)\n",
                         args[2].c_str());
        if (!tarvik::AddDeviceMapEntry(args[1], args[2], &error)) {
            std::fprintf(stderr, "tarvik ports: cannot map %s to %s (error %u)\n", args[1].c_str(),
                         args[2].c_str(), error);
            return 1;
        }
        std::printf("%s -> %s\n", args[1].c_str(), args[2].c_str());
        return 0;
    }
    if (args[0] == "remove" && args.size() == 2) {
        if (!tarvik::RemoveDeviceMapEntry(args[1], &error)) {
            std::fprintf(stderr, "tarvik ports: %s is not mapped (error %u)\n", args[1].c_str(),
                         error);
            return 1;
        }
        return 0;
    }
    std::fprintf(stderr, "usage: tarvik ports [list | add COMn DEVICE | remove COMn]\n");
    return 2;
}

tarvik::cli::Command reg{"ports", "show and edit the COM port device map",
                         "tarvik ports [list | add COMn DEVICE | remove COMn]", &RunPorts};

}  // namespace
