// The process-wide handle table. A HANDLE is a small number that packs a slot
// index with the slot's generation: a closed value stays invalid even after
// the slot is reused (until the generation wraps), and every value fits a
// positive 32-bit integer, because the component hands event handles to hosts
// as LONGs.
#include <cstdint>
#include <deque>
#include <vector>

#include "Kernel.h"
#include "ThreadState.h"

namespace tarvik::rt {
namespace {

constexpr uint32_t kIndexBits = 20;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr uint32_t kGenerationMask = (1u << (31 - kIndexBits)) - 1;

struct Slot {
    std::shared_ptr<KernelObject> object;
    uint32_t generation = 0;
};

struct Table {
    std::mutex lock;
    std::vector<Slot> slots{1};  // slot 0 is never used, so no handle is 0
    // Freed slots are reused oldest first, which keeps a closed value invalid
    // for as long as possible.
    std::deque<uint32_t> free;
    std::vector<WaitRegistration*> waits;
};

// Never destroyed: threads may still close handles while the process exits.
Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

uintptr_t Pack(uint32_t index, uint32_t generation) {
    return (static_cast<uintptr_t>(generation) << kIndexBits) | index;
}

// The slot of a handle value, or null. Caller holds the table lock.
Slot* Resolve(Table& t, HANDLE h) {
    auto v = reinterpret_cast<uintptr_t>(h);
    if (v == 0 || v > 0x7FFFFFFFu)
        return nullptr;
    uint32_t index = static_cast<uint32_t>(v) & kIndexMask;
    uint32_t generation = static_cast<uint32_t>(v >> kIndexBits);
    if (index == 0 || index >= t.slots.size())
        return nullptr;
    Slot& s = t.slots[index];
    if (!s.object || s.generation != generation)
        return nullptr;
    return &s;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    if (!object) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    uint32_t index;
    if (!t.free.empty()) {
        index = t.free.front();
        t.free.pop_front();
    } else if (t.slots.size() <= kIndexMask) {
        index = static_cast<uint32_t>(t.slots.size());
        t.slots.emplace_back();
    } else {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Slot& s = t.slots[index];
    s.object = std::move(object);
    return reinterpret_cast<HANDLE>(Pack(index, s.generation));
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE h) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    Slot* s = Resolve(t, h);
    return s ? s->object : nullptr;
}

bool WaitRegistration::Register(DWORD count, const HANDLE* handles,
                                std::shared_ptr<KernelObject>* objects, ThreadState& self) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    for (DWORD i = 0; i < count; ++i) {
        Slot* s = Resolve(t, handles[i]);
        if (!s)
            return false;
        objects[i] = s->object;
    }
    handles_ = handles;
    count_ = count;
    self_ = &self;
    t.waits.push_back(this);
    registered_ = true;
    return true;
}

WaitRegistration::~WaitRegistration() {
    if (!registered_)
        return;
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    for (size_t i = 0; i < t.waits.size(); ++i) {
        if (t.waits[i] == this) {
            t.waits[i] = t.waits.back();
            t.waits.pop_back();
            break;
        }
    }
}

}  // namespace tarvik::rt

using namespace tarvik::rt;

BOOL CloseHandle(HANDLE h) {
    // On Windows this value is the process's own pseudo-handle, whose closing
    // does nothing and succeeds.
    if (h == INVALID_HANDLE_VALUE)
        return TRUE;
    Table& t = TheTable();
    std::shared_ptr<KernelObject> dying;
    {
        std::lock_guard<std::mutex> g(t.lock);
        Slot* s = Resolve(t, h);
        if (!s) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        dying = std::move(s->object);
        s->generation = (s->generation + 1) & kGenerationMask;
        t.free.push_back(static_cast<uint32_t>(s - t.slots.data()));
        // A wait on a handle that is being closed would otherwise sleep until
        // its time-out (or forever): wake it, and it fails with
        // ERROR_INVALID_HANDLE, as a later wait on the value would.
        for (WaitRegistration* w : t.waits) {
            for (DWORD i = 0; i < w->count_; ++i) {
                if (w->handles_[i] == h) {
                    w->closed_.store(true, std::memory_order_release);
                    w->self_->Wake();
                    break;
                }
            }
        }
    }
    // The object dies here, outside the table lock, unless a waiter or
    // another handle still holds it.
    dying.reset();
    return TRUE;
}
