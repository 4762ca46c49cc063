// A "comN" entry in the Tarvik device map (a folder of symbolic links that
// resolves Windows port names) pointing at a simulated modem, for as long as
// the DeviceLink object lives.
#pragma once

#include <string>

namespace tarvik::modemsim {

// $TARVIK_DOSDEVICES, else $XDG_DATA_HOME/tarvik/dosdevices, else
// ~/.local/share/tarvik/dosdevices.
std::string DeviceMapFolder();

// "COM5", "com5", "\\.\COM12" -> "com5", "com12"; empty if `port` is not a
// COM port name (COM1..COM256).
std::string DeviceMapEntry(const std::string& port);

class DeviceLink {
  public:
    DeviceLink() = default;
    ~DeviceLink();  // removes the link, if it still points where we left it
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Creates the entry for `port` in the device map, creating the folder if
    // needed, pointing at `device`. A link made before by this object is
    // removed first; a dangling link (an earlier run's) is replaced; an entry
    // that leads to something that exists is left alone and refused, unless
    // `replaceExisting` (a device map that belongs to a test alone). false
    // with `error` set on failure.
    bool Create(const std::string& port, const std::string& device, std::string* error = nullptr,
                bool replaceExisting = false);
    void Remove();

    // The link's own path; empty when there is none.
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    std::string target_;
};

}  // namespace tarvik::modemsim
