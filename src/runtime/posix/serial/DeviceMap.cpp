// The device map: Windows-style port names resolved through a folder of
// symbolic links (comN -> /dev/ttyXXX), with /dev/ttyS{n-1} as fallback.
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "serial/SerialErrors.h"
#include "tarvik/serial.h"

namespace tarvik {
namespace {

bool IsDigits(const std::string& s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "COM12", "\\.\com12" -> 12; 0 for anything that is not COM and a number.
int PortNumber(std::string name) {
    if (name.rfind("\\\\.\\", 0) == 0)
        name = name.substr(4);
    if (name.size() < 4 || strncasecmp(name.c_str(), "COM", 3) != 0)
        return 0;
    std::string digits = name.substr(3);
    if (!IsDigits(digits) || digits.size() > 6)
        return 0;
    return std::atoi(digits.c_str());
}

std::string Canonical(int number) {
    return "com" + std::to_string(number);
}

// Folder entry whose name equals `wanted` without regard to case.
std::string FindEntry(const std::string& folder, const std::string& wanted) {
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return {};
    std::string found;
    while (dirent* e = readdir(dir)) {
        if (strcasecmp(e->d_name, wanted.c_str()) == 0) {
            found = folder + "/" + e->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

bool MakeFolders(const std::string& path) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

}  // namespace

std::string DeviceMapFolder() {
    if (const char* dir = std::getenv("TARVIK_DOSDEVICES"); dir && *dir)
        return dir;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
        return std::string(data) + "/tarvik/dosdevices";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.local/share/tarvik/dosdevices";
}

std::string ResolvePortName(const char* name) {
    if (!name || !*name)
        return {};
    std::string n = name;
    if (n[0] == '/')
        return n;
    int number = PortNumber(n);
    if (number <= 0)
        return {};
    std::string entry = FindEntry(DeviceMapFolder(), Canonical(number));
    if (!entry.empty())
        return entry;
    return "/dev/ttyS" + std::to_string(number - 1);
}

std::vector<DeviceMapEntry> ListDeviceMap() {
    std::vector<std::pair<int, DeviceMapEntry>> found;
    std::string folder = DeviceMapFolder();
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* e = readdir(dir)) {
            int number = PortNumber(e->d_name);
            if (number <= 0)
                continue;
            char target[4096];
            std::string link = folder + "/" + e->d_name;
            ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
            if (len < 0)
                continue;
            target[len] = 0;
            found.push_back({number, {"COM" + std::to_string(number), target}});
        }
        closedir(dir);
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<DeviceMapEntry> out;
    for (auto& f : found)
        out.push_back(std::move(f.second));
    return out;
}

bool AddDeviceMapEntry(const std::string& name, const std::string& target, DWORD* error) {
    int number = PortNumber(name);
    if (number <= 0 || target.empty()) {
        if (error)
            *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    std::string folder = DeviceMapFolder();
    if (!MakeFolders(folder)) {
        if (error)
            *error = serial_detail::Win32FromErrno(errno);
        return false;
    }
    // Replace atomically: a new link under a temporary name, renamed over the
    // old one, so a concurrent open never finds the name missing.
    std::string existing = FindEntry(folder, Canonical(number));
    std::string link = existing.empty() ? folder + "/" + Canonical(number) : existing;
    std::string tmp = link + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        if (error)
            *error = serial_detail::Win32FromErrno(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool RemoveDeviceMapEntry(const std::string& name, DWORD* error) {
    int number = PortNumber(name);
    std::string entry = number > 0 ? FindEntry(DeviceMapFolder(), Canonical(number)) : "";
    if (entry.empty()) {
        if (error)
            *error = number > 0 ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER;
        return false;
    }
    if (unlink(entry.c_str()) != 0) {
        if (error)
            *error = serial_detail::Win32FromErrno(errno);
        return false;
    }
    return true;
}

}  // namespace tarvik
