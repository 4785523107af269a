// The DLL's entry points that COM calls: DllMain, DllGetClassObject, DllCanUnloadNow.
#include "standin/adsi/module.h"

#include <objbase.h>

#include "standin/adsi/com_object.h"
#include "standin/adsi/directory.h"

namespace tarnwell::standin::adsi {

namespace {

HMODULE thisModule = nullptr;

class Factory final : public ComObject<Factory, IClassFactory> {
 public:
  void* Find(REFIID iid) noexcept { return iid == IID_IClassFactory ? static_cast<IClassFactory*>(this) : nullptr; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return CreateNamespaceObject(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ModuleLock::Add();
    } else {
      ModuleLock::Remove();
    }
    return S_OK;
  }
};

}  // namespace

HMODULE ThisModule() { return thisModule; }

}  // namespace tarnwell::standin::adsi

using namespace tarnwell::standin::adsi;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    thisModule = instance;
    ::DisableThreadLibraryCalls(instance);
    // Loaded until the process ends. Unloaded, the last thread that used the store
    // unloads it on its way out (its thread-local buffers hold the module), under the
    // loader lock, where the runtime's static destructors wait forever.
    HMODULE pinned = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&ThisModule), &pinned);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != kClsidNamespace) return CLASS_E_CLASSNOTAVAILABLE;
  try {
    Factory* factory = Factory::Make();
    const HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDAPI DllCanUnloadNow() { return ModuleLock::Idle() ? S_OK : S_FALSE; }
