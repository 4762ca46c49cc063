// Building blocks for COM objects and their class objects: an atomic
// reference count, QueryInterface through a per-class hook, aggregation with a
// non-delegating inner IUnknown, a module lock that every live object holds,
// and a generic class factory. Header-only, so the component, the companions
// and test code all use the same pieces.
//
// A class lists its interfaces once and answers its own interface ids:
//
//   class CThing : public tarvik::ComObject<CThing, IThing, ISupportErrorInfo> {
//   public:
//       IUnknown* FindInterface(REFIID iid) noexcept override {
//           if (IsEqualIID(iid, IID_IThing)) return static_cast<IThing*>(this);
//           if (IsEqualIID(iid, IID_ISupportErrorInfo))
//               return static_cast<ISupportErrorInfo*>(this);
//           return nullptr;
//       }
//       HRESULT FinalConstruct() override;  // optional construction step
//   };
//
//   HRESULT hr = tarvik::CreateComObject<CThing>(outer, &g_module, riid, ppv);
//
// IUnknown itself is answered by the base: the first listed interface for a
// plain object, the inner unknown for an aggregated one.
#pragma once

#include <atomic>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

#include "tarvik/com.h"

namespace tarvik {

// The count behind DllCanUnloadNow: live objects plus outstanding
// LockServer(TRUE) calls.
class ModuleLock {
  public:
    void Lock() noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
    void Unlock() noexcept { count_.fetch_sub(1, std::memory_order_acq_rel); }
    LONG Count() const noexcept { return count_.load(std::memory_order_acquire); }
    bool CanUnload() const noexcept { return Count() == 0; }

  private:
    std::atomic<LONG> count_{0};
};

// Everything of an object that does not depend on its interfaces.
class ComObjectCore {
  public:
    ComObjectCore(const ComObjectCore&) = delete;
    ComObjectCore& operator=(const ComObjectCore&) = delete;

    // The object's own answer for `iid`, without a reference; null when it
    // does not implement it. IUnknown never reaches this hook.
    virtual IUnknown* FindInterface(REFIID iid) noexcept = 0;

    // Construction step run by CreateComObject after the object has its
    // outer unknown and holds a reference. A failure destroys the object.
    // An aggregated object's outer does not know it yet: reach the object's
    // own interfaces here through InnerUnknown(), not QueryInterface.
    virtual HRESULT FinalConstruct() { return S_OK; }

    // The non-delegating unknown. An aggregating outer object keeps this one
    // and asks it for the inner object's interfaces.
    IUnknown* InnerUnknown() noexcept { return &inner_; }
    // The controlling unknown: the outer object when aggregated, else our own.
    IUnknown* ControllingUnknown() const noexcept { return outer_; }
    bool IsAggregated() const noexcept { return outer_ != &inner_; }

    // Reference count as seen by the inner unknown (tests and diagnostics).
    ULONG RefCount() const noexcept { return refs_.load(std::memory_order_acquire); }

    // Called once, before the object is handed to anybody. The outer object is
    // not referenced: it owns us, a reference back would keep both alive.
    void SetOuter(IUnknown* outer) noexcept { outer_ = outer ? outer : &inner_; }
    // Takes one module lock for the lifetime of the object.
    void HoldModule(ModuleLock* module) noexcept {
        if (module_ == module)
            return;
        if (module)
            module->Lock();
        if (module_)
            module_->Unlock();
        module_ = module;
    }

  protected:
    ComObjectCore() noexcept : inner_(this), outer_(&inner_) {}
    virtual ~ComObjectCore() {
        if (module_)
            module_->Unlock();
    }

    // First listed interface of the class: the identity of a plain object.
    virtual IUnknown* PrimaryInterface() noexcept = 0;

    HRESULT InnerQueryInterface(REFIID iid, void** ppv) noexcept {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        IUnknown* found = nullptr;
        if (IsEqualIID(iid, IID_IUnknown))
            found = IsAggregated() ? static_cast<IUnknown*>(&inner_) : PrimaryInterface();
        else
            found = FindInterface(iid);
        if (!found)
            return E_NOINTERFACE;
        // The reference goes through the interface itself, so for an
        // aggregated object it lands on the outer object, as COM wants.
        found->AddRef();
        *ppv = found;
        return S_OK;
    }
    ULONG InnerAddRef() noexcept { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG InnerRelease() noexcept {
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            // A destructor that passes `this` around (AddRef/Release pairs)
            // must not bring the count back to zero and delete twice.
            refs_.store(kDestroying, std::memory_order_relaxed);
            delete this;
        }
        return left;
    }

  private:
    // Far from zero in both directions.
    static constexpr ULONG kDestroying = 0x40000000u;

    struct Inner final : IUnknown {
        explicit Inner(ComObjectCore* o) : owner(o) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
            return owner->InnerQueryInterface(iid, ppv);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return owner->InnerAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return owner->InnerRelease(); }
        ComObjectCore* owner;
    };

    std::atomic<ULONG> refs_{0};
    Inner inner_;
    IUnknown* outer_;
    ModuleLock* module_ = nullptr;
};

// Implements the IUnknown methods of every listed interface by delegating to
// the controlling unknown. The first interface is the object's identity.
template <class Derived, class First, class... Rest>
class ComObject : public First, public Rest..., public ComObjectCore {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
        return ControllingUnknown()->QueryInterface(iid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ControllingUnknown()->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return ControllingUnknown()->Release(); }

  protected:
    ComObject() = default;
    ~ComObject() override = default;
    IUnknown* PrimaryInterface() noexcept override { return static_cast<First*>(this); }
};

// Creates a `T` (constructed from `args`), plain or aggregated, runs its
// FinalConstruct and asks it for `iid`. With an outer object only IUnknown
// may be asked for (CLASS_E_NOAGGREGATION otherwise). A failed construction
// or query destroys the new object and returns the failure.
template <class T, class... Args>
HRESULT CreateComObject(IUnknown* outer, ModuleLock* module, REFIID iid, void** ppv,
                        Args&&... args) noexcept {
    static_assert(std::is_base_of_v<ComObjectCore, T>);
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    T* obj = nullptr;
    try {
        obj = new T(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
    obj->SetOuter(outer);
    obj->HoldModule(module);
    // A reference of our own while the construction step runs, so that the
    // object may hand itself around without being destroyed half-built.
    IUnknown* inner = obj->InnerUnknown();
    inner->AddRef();
    HRESULT hr;
    try {
        hr = obj->FinalConstruct();
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        hr = E_FAIL;
    }
    if (SUCCEEDED(hr)) {
        // Aggregated: IUnknown from the inner unknown is the inner unknown.
        hr = inner->QueryInterface(iid, ppv);
    }
    inner->Release();  // destroys the object when the query failed
    return hr;
}

// A creator used by a class factory: plain or aggregated creation of one
// object, answering `iid` through `ppv`.
using Creator = std::function<HRESULT(IUnknown* outer, REFIID iid, void** ppv)>;

// A class object. It makes objects through its creator and counts
// LockServer in the module lock.
class ClassFactory final : public ComObject<ClassFactory, IClassFactory> {
  public:
    ClassFactory(Creator create, ModuleLock* module)
        : create_(std::move(create)), module_(module) {}

    IUnknown* FindInterface(REFIID iid) noexcept override {
        if (IsEqualIID(iid, IID_IClassFactory))
            return static_cast<IClassFactory*>(this);
        return nullptr;
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer && !IsEqualIID(iid, IID_IUnknown))
            return CLASS_E_NOAGGREGATION;
        if (!create_)
            return E_UNEXPECTED;
        try {
            return create_(outer, iid, ppv);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_FAIL;
        }
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (module_) {
            if (lock)
                module_->Lock();
            else
                module_->Unlock();
        }
        return S_OK;
    }

  private:
    Creator create_;
    ModuleLock* module_;
};

// Whether a class object keeps its module loaded. A module that hands out a
// fresh class object per request lets each one hold a module lock while it
// lives (a host holding only a class object must not see the library
// unloaded under it). A module that caches its class objects until unload
// must not count its own cached reference, or it could never unload.
enum class FactoryLifetime { LocksModule, Cached };

// A class factory around any creator (for classes whose objects need
// arguments, and for tests). Returns an IClassFactory reference, null when out
// of memory.
inline IClassFactory* NewClassFactory(
    Creator create, ModuleLock* module,
    FactoryLifetime lifetime = FactoryLifetime::LocksModule) noexcept {
    void* pv = nullptr;
    try {
        CreateComObject<ClassFactory>(nullptr,
                                      lifetime == FactoryLifetime::LocksModule ? module : nullptr,
                                      IID_IClassFactory, &pv, std::move(create), module);
    } catch (...) {
        return nullptr;
    }
    return static_cast<IClassFactory*>(pv);
}

// A class factory for `T`, whose objects are made with
// CreateComObject<T>(outer, module, iid, ppv).
template <class T>
IClassFactory* NewClassFactory(ModuleLock* module,
                               FactoryLifetime lifetime = FactoryLifetime::LocksModule) noexcept {
    try {
        return NewClassFactory(Creator([module](IUnknown* outer, REFIID iid, void** ppv) {
                                   return CreateComObject<T>(outer, module, iid, ppv);
                               }),
                               module, lifetime);
    } catch (...) {
        return nullptr;
    }
}

// Serves `create` as this process's class object for `clsid`
// (CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE) for as long as the registration
// lives: how tests and hosts put their own objects in place of a class's.
// Empty (Registered() false) when the factory or the registration failed.
class ClassRegistration {
  public:
    ClassRegistration() = default;
    ClassRegistration(REFCLSID clsid, Creator create) noexcept {
        IClassFactory* factory = NewClassFactory(std::move(create), nullptr);
        if (!factory)
            return;
        if (FAILED(CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                         &cookie_)))
            cookie_ = 0;
        factory->Release();  // the class table holds its own reference
    }
    ~ClassRegistration() { Revoke(); }
    ClassRegistration(ClassRegistration&& other) noexcept : cookie_(other.cookie_) {
        other.cookie_ = 0;
    }
    ClassRegistration& operator=(ClassRegistration&& other) noexcept {
        if (this != &other) {
            Revoke();
            cookie_ = other.cookie_;
            other.cookie_ = 0;
        }
        return *this;
    }

    bool Registered() const noexcept { return cookie_ != 0; }
    void Revoke() noexcept {
        if (cookie_)
            CoRevokeClassObject(cookie_);
        cookie_ = 0;
    }

  private:
    DWORD cookie_ = 0;
};

}  // namespace tarvik
