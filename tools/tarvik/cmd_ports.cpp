// tarvik ports: show and edit the device map that gives Windows-style port
// names (COM1, COM12) their Linux devices, and list the serial devices this
// machine has (--scan).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Args.h"
#include "CallKit.h"
#include "Command.h"
#include "Console.h"
#include "ExitCodes.h"
#include "tarvik/serial.h"

namespace {

namespace fs = std::filesystem;
using tarvik::cli::Json;

// The root the scan looks under, "" for the machine itself: a test builds a
// fake sys/class/tty, dev and proc there.
std::string ScanRoot() {
    const char* root = std::getenv("TARVIK_SCAN_ROOT");
    return root ? root : "";
}

void Print(bool json, const Json& fields, const std::string& text) {
    if (json)
        std::printf("%s\n", fields.Text().c_str());
    else
        std::printf("%s\n", text.c_str());
}

int List(bool json) {
    auto entries = tarvik::ListDeviceMap();
    if (!json) {
        std::printf("device map: %s\n", tarvik::DeviceMapFolder().c_str());
        if (entries.empty())
            std::printf("(no entries; COMn opens /dev/ttyS{n-1})\n");
    }
    for (const auto& e : entries) {
        struct stat st {};
        const bool present = stat(e.target.c_str(), &st) == 0;
        char text[512];
        std::snprintf(text, sizeof text, "%-7s -> %s%s", e.name.c_str(), e.target.c_str(),
                      present ? "" : "  (missing)");
        Print(json, Json().Add("port", e.name).Add("device", e.target).Add("present", present),
              text);
    }
    return 0;
}

// Why a device-map edit failed, in words: what the system said when it said
// something, else what the code means.
std::string MapError(DWORD code, int savedErrno) {
    if (savedErrno)
        return std::strerror(savedErrno);
    switch (code) {
        case ERROR_INVALID_PARAMETER:
            return "not a port name (COM1 to COM256)";
        case ERROR_FILE_NOT_FOUND:
            return "no such entry";
        case ERROR_ACCESS_DENIED:
            return "permission denied";
        default:
            return "the device map cannot be written";
    }
}

struct Device {
    std::string name;  // ttyUSB0
    std::vector<std::string> byId;
    std::vector<std::string> mapped;
    std::string use;  // "free", "in use", "no permission"
};

std::string ReadLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Whether another program has the device open, found without disturbing it:
// a process of ours (or any, for root) holding a descriptor of it; else an
// open that does not wait for carrier, which a holder of TIOCEXCL refuses, and
// the advisory lock the Tarvik runtime and others take.
std::string InUse(const std::string& root, const std::string& device) {
    const fs::path dev = root + device;
    if (tarvik::cli::HolderOf(device, root))
        return "in use";
    const int fd = open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY                      ? "in use"
               : errno == EACCES || errno == EPERM ? "no permission"
                                                   : "unavailable";
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return locked ? "in use" : "free";
}

bool IsSerialName(const std::string& name) {
    for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM", "ttyAMA"})
        if (name.rfind(prefix, 0) == 0 && name.size() > std::strlen(prefix))
            return true;
    return false;
}

int Scan(bool json) {
    const std::string root = ScanRoot();
    std::error_code ec;
    std::vector<Device> devices;
    for (const auto& entry : fs::directory_iterator(root + "/sys/class/tty", ec)) {
        const std::string name = entry.path().filename();
        std::error_code e;
        if (!IsSerialName(name) || !fs::exists(entry.path() / "device", e))
            continue;
        // The kernel makes ttyS0-ttyS31 whether or not a UART is there; type 0
        // is "unknown": nothing behind it.
        if (name.rfind("ttyS", 0) == 0) {
            const std::string type = ReadLine(entry.path() / "type");
            if (type.empty() || type == "0")
                continue;
        }
        devices.push_back({name, {}, {}, {}});
    }
    // Built-in ports first, then USB adapters and modems, each by number.
    std::sort(devices.begin(), devices.end(), [](const Device& a, const Device& b) {
        auto key = [](const std::string& name) {
            const size_t digits = name.find_first_of("0123456789");
            const std::string prefix = name.substr(0, digits);
            const int group = prefix == "ttyS"     ? 0
                              : prefix == "ttyUSB" ? 1
                              : prefix == "ttyACM" ? 2
                                                   : 3;
            return std::make_pair(group, std::atol(name.c_str() + std::min(digits, name.size())));
        };
        return key(a.name) < key(b.name);
    });
    for (const auto& link : fs::directory_iterator(root + "/dev/serial/by-id", ec)) {
        std::error_code e;
        const std::string target = fs::read_symlink(link.path(), e).filename();
        for (Device& d : devices)
            if (d.name == target)
                d.byId.push_back("/dev/serial/by-id/" + link.path().filename().string());
    }
    const auto entries = tarvik::ListDeviceMap();
    for (Device& d : devices) {
        const std::string device = "/dev/" + d.name;
        for (const auto& e : entries) {
            bool match = e.target == device ||
                         std::find(d.byId.begin(), d.byId.end(), e.target) != d.byId.end();
            std::error_code c1, c2;
            if (!match && root.empty())
                match = fs::equivalent(e.target, device, c1) && !c1 && !c2;
            if (match)
                d.mapped.push_back(e.name);
        }
        // An unmapped COMn opens /dev/ttyS{n-1}.
        if (d.name.rfind("ttyS", 0) == 0 && d.name.size() > 4 &&
            d.name.find_first_not_of("0123456789", 4) == std::string::npos) {
            const std::string com = "COM" + std::to_string(std::atoi(d.name.c_str() + 4) + 1);
            if (tarvik::ResolvePortName(com.c_str()) == device &&
                std::find(d.mapped.begin(), d.mapped.end(), com) == d.mapped.end())
                d.mapped.push_back(com);
        }
        d.use = InUse(root, device);
    }
    if (!json && devices.empty())
        std::printf("no serial devices found\n");
    for (const Device& d : devices) {
        auto join = [](const std::vector<std::string>& v) {
            std::string s;
            for (const auto& x : v)
                s += (s.empty() ? "" : ", ") + x;
            return s;
        };
        std::string text = "/dev/" + d.name + "  " +
                           (d.mapped.empty() ? "not mapped" : "as " + join(d.mapped)) + ", " +
                           d.use;
        for (const auto& id : d.byId)
            text += "\n    " + id;
        std::string ids = "[", coms = "[";
        for (const auto& id : d.byId)
            ids += (ids.size() > 1 ? "," : "") + tarvik::cli::JsonString(id);
        for (const auto& com : d.mapped)
            coms += (coms.size() > 1 ? "," : "") + tarvik::cli::JsonString(com);
        // Arrays are written as they stand: Json holds scalars only.
        std::string line = Json().Add("device", "/dev/" + d.name).Text();
        line.pop_back();
        line += ",\"by-id\":" + ids + "],\"mapped\":" + coms + "]," +
                Json().Add("in-use", d.use == "in use").Add("state", d.use).Text().substr(1);
        if (json)
            std::printf("%s\n", line.c_str());
        else
            std::printf("%s\n", text.c_str());
    }
    return 0;
}

int RunPorts(int argc, char** argv) {
    tarvik::tool::Args args(
        "tarvik ports", "[list | add COMn DEVICE | remove COMn] [--scan] [--json]",
        {{"scan", 's', nullptr,
          "list the serial devices of this machine (ttyS with\nhardware, "
          "ttyUSB, ttyACM), their by-id names,\nCOM names and whether in use"},
         {"json", 0, nullptr, "one JSON object per line"}},
        "The device map (a folder of links comN -> device: $TARVIK_DOSDEVICES, else\n"
        "$XDG_DATA_HOME/tarvik/dosdevices, else ~/.local/share/tarvik/dosdevices) gives\n"
        "COM names their devices; an unmapped COMn opens /dev/ttyS{n-1}.");
    if (auto done = args.Parse(argc, argv))
        return *done;
    const auto& p = args.Positional();
    const bool json = args.Has("json");
    if (args.Has("scan")) {
        if (!p.empty())
            return args.UsageError("--scan takes no arguments");
        return Scan(json);
    }
    if (p.empty() || p[0] == "list")
        return p.size() <= 1 ? List(json) : args.UsageError("list takes no arguments");
    DWORD error = 0;
    if (p[0] == "add") {
        if (p.size() != 3)
            return args.UsageError("add takes COMn and DEVICE");
        if (!tarvik::tool::ComPortNumber(p[1]))
            return args.UsageError("'" + p[1] + "' is not a port name (COM1 to COM256)");
        // The link must lead to the same device from wherever it is opened: a
        // bare name is one of /dev, a relative path is made absolute.
        std::string device = p[2];
        if (device.find('/') == std::string::npos)
            device = "/dev/" + device;
        else if (device[0] != '/')
            device = fs::absolute(device).lexically_normal().string();
        struct stat st {};
        // A USB adapter may be mapped before it is plugged in: warn, add anyway.
        if (stat(device.c_str(), &st) != 0)
            std::fprintf(stderr, "tarvik ports: warning: %s does not exist (yet)\n",
                         device.c_str());
        else if (!S_ISCHR(st.st_mode))
            return args.UsageError(device + " is not a serial device (a character device)");
        errno = 0;
        if (!tarvik::AddDeviceMapEntry(p[1], device, &error)) {
            const int saved = errno;
            std::fprintf(stderr, "tarvik ports: cannot map %s to %s in %s: %s\n", p[1].c_str(),
                         device.c_str(), tarvik::DeviceMapFolder().c_str(),
                         MapError(error, saved).c_str());
            return tarvik::cli::kExitFailure;
        }
        std::printf("%s -> %s\n", p[1].c_str(), device.c_str());
        return 0;
    }
    if (p[0] == "remove") {
        if (p.size() != 2)
            return args.UsageError("remove takes COMn");
        errno = 0;
        if (!tarvik::RemoveDeviceMapEntry(p[1], &error)) {
            const int saved = errno;
            std::fprintf(stderr, "tarvik ports: cannot remove %s: %s\n", p[1].c_str(),
                         error == ERROR_FILE_NOT_FOUND ? "it is not mapped"
                                                       : MapError(error, saved).c_str());
            return tarvik::cli::kExitFailure;
        }
        return 0;
    }
    return args.UsageError("unknown action '" + p[0] + "' (list, add or remove)");
}

tarvik::cli::Command reg{"ports", "show and edit the COM port device map, scan for devices",
                         &RunPorts};

}  // namespace
