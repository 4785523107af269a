#pragma once
// The one place where the provider's COM objects count their references and delete
// themselves, and the module's count of live objects and locks that DllCanUnloadNow reads.
#include "platform/win32/win_api.h"
#include <unknwn.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>

namespace tarnwell::standin::adsi {

// Live objects and IClassFactory::LockServer locks of the module.
class ModuleLock {
 public:
  static void Add() noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
  static void Remove() noexcept { count_.fetch_sub(1, std::memory_order_release); }
  static bool Idle() noexcept { return count_.load(std::memory_order_acquire) == 0; }

 private:
  static inline std::atomic<long> count_{0};
};

// A COM object made of the interfaces it lists. The most derived class answers
// QueryInterface through Find, naming each interface it gives out; IUnknown identity is the
// first interface listed. Objects are made only through Make, so that `delete this` in
// Release always meets an object of the heap; Derived is final, so that deleting it as
// itself is deleting the whole object.
template <typename Derived, typename First, typename... Rest>
class ComObject : public First, public Rest... {
 public:
  template <typename... Args>
  static Derived* Make(Args&&... args) {  // one reference, the caller's; raises std::bad_alloc
    return new Derived(std::forward<Args>(args)...);  // NOLINT: owned by its own count from here
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(refs_.fetch_add(1) + 1); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete static_cast<Derived*>(this);
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = iid == IID_IUnknown ? static_cast<IUnknown*>(static_cast<First*>(this))
                               : static_cast<Derived*>(this)->Find(iid);
    if (*out == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }

  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 protected:
  ComObject() noexcept { ModuleLock::Add(); }
  ~ComObject() { ModuleLock::Remove(); }

 private:
  std::atomic<long> refs_{1};
};

}  // namespace tarnwell::standin::adsi
