#include "modemsim/DeviceLink.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <system_error>

namespace tarvik::modemsim {

std::string DeviceMapFolder() {
    if (const char* d = getenv("TARVIK_DOSDEVICES"); d && *d)
        return d;
    if (const char* x = getenv("XDG_DATA_HOME"); x && *x)
        return std::string(x) + "/tarvik/dosdevices";
    const char* home = getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/share/tarvik/dosdevices";
}

std::string DeviceMapEntry(const std::string& port) {
    std::string name = port;
    if (name.rfind("\\\\.\\", 0) == 0)
        name.erase(0, 4);
    if (name.size() < 4 || name.size() > 6)
        return {};
    std::string out;
    for (char c : name)
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (out.compare(0, 3, "com") != 0)
        return {};
    int n = 0;
    for (size_t i = 3; i < out.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(out[i])))
            return {};
        n = n * 10 + (out[i] - '0');
    }
    if (out[3] == '0' || n < 1 || n > 256)
        return {};
    return out;
}

DeviceLink::~DeviceLink() {
    Remove();
}

bool DeviceLink::Create(const std::string& port, const std::string& device, std::string* error,
                        bool replaceExisting) {
    namespace fs = std::filesystem;
    Remove();
    const std::string entry = DeviceMapEntry(port);
    if (entry.empty()) {
        if (error)
            *error = "not a COM port name: " + port;
        return false;
    }
    const std::string folder = DeviceMapFolder();
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        if (error)
            *error = folder + ": " + ec.message();
        return false;
    }
    const std::string path = folder + "/" + entry;
    // A link left by an earlier run points at a terminal that is gone and is
    // replaced; an entry that leads somewhere is the user's mapping, and stays.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (!replaceExisting && (n < 0 || stat(path.c_str(), &st) == 0)) {
            if (error)
                *error = port + " is mapped already (" + path +
                         (n < 0 ? "" : " -> " + std::string(target, static_cast<size_t>(n))) +
                         "); choose another name or remove that mapping";
            return false;
        }
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            if (error)
                *error = path + ": " + strerror(errno);
            return false;
        }
    }
    if (symlink(device.c_str(), path.c_str()) != 0) {
        if (error)
            *error = path + ": " + strerror(errno);
        return false;
    }
    path_ = path;
    target_ = device;
    return true;
}

void DeviceLink::Remove() {
    if (path_.empty())
        return;
    // Leave a link that somebody has pointed elsewhere in the meantime alone.
    char buf[PATH_MAX];
    ssize_t n = readlink(path_.c_str(), buf, sizeof buf - 1);
    if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target_)
        unlink(path_.c_str());
    path_.clear();
    target_.clear();
}

}  // namespace tarvik::modemsim
