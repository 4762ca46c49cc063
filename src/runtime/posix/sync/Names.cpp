#include <unordered_map>

#include "Objects.h"

namespace tarvik::rt {

std::shared_ptr<KernelObject> OpenOrCreateNamed(
    const std::string& name, const std::function<std::shared_ptr<KernelObject>()>& make,
    bool* created) {
    struct Names {
        std::mutex lock;
        // Weak: a name lives exactly as long as some handle (or a wait) holds
        // its object, as on Windows. Dead entries are replaced on reuse.
        std::unordered_map<std::string, std::weak_ptr<KernelObject>> objects;
    };
    static Names* names = new Names;  // never destroyed, see the handle table

    std::lock_guard<std::mutex> g(names->lock);
    auto& slot = names->objects[name];
    if (auto existing = slot.lock()) {
        *created = false;
        return existing;
    }
    auto object = make();
    *created = object != nullptr;
    if (object) {
        slot = object;
    } else {
        names->objects.erase(name);
    }
    // Keep the map from growing with names nobody uses any more.
    if (names->objects.size() > 64 && names->objects.size() % 64 == 0) {
        std::erase_if(names->objects, [](const auto& kv) { return kv.second.expired(); });
    }
    return object;
}

}  // namespace tarvik::rt
