// DllRegisterServer and DllUnregisterServer, run by regsvr32: the keys IIS 6 writes for its
// own provider. No registry view is named, so the keys land in the view of the process's
// own bitness (regsvr32 of the DLL's bitness gives the right one).
#include "platform/win32/win_api.h"
#include <objbase.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "standin/adsi/module.h"

namespace tarnwell::standin::adsi {

namespace {

class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* put() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

const std::wstring kClasses = L"SOFTWARE\\Classes\\";
const std::wstring kProviders = L"SOFTWARE\\Microsoft\\ADs\\Providers\\";

std::wstring ClassId() {
  wchar_t text[40] = {};
  ::StringFromGUID2(kClsidNamespace, text, 40);
  return text;
}

std::wstring ClassKey() { return kClasses + L"CLSID\\" + ClassId(); }

// A key's value; empty when the key or the value is missing. name null: the default value.
std::wstring ReadText(const std::wstring& path, const wchar_t* name = nullptr) {
  Key key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return {};
  DWORD type = 0, size = 0;
  if (::RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) {
    return {};
  }
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  return text.data();
}

bool WriteText(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  Key key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes) ==
         ERROR_SUCCESS;
}

// A key that is already gone counts as removed; one that still has subkeys of others stays.
bool Remove(const std::wstring& path) {
  const LONG result = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

std::wstring ModulePath() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(ThisModule(), path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) return std::wstring(path.data(), n);
    path.resize(path.size() * 2);
  }
}

// Whether the ProgID is ours or free; false when it names another class (a real IIS).
bool ProgIdIsOursOrFree() {
  const std::wstring current = ReadText(kClasses + kProgId + L"\\CLSID");
  return current.empty() || ::_wcsicmp(current.c_str(), ClassId().c_str()) == 0;
}

HRESULT Register() {
  if (!ProgIdIsOursOrFree()) return SELFREG_E_CLASS;
  const std::wstring path = ModulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  const std::wstring cls = ClassKey();
  const bool written = WriteText(cls, nullptr, L"IIS Namespace Object") &&
                       WriteText(cls + L"\\InprocServer32", nullptr, path) &&
                       WriteText(cls + L"\\InprocServer32", L"ThreadingModel", L"Both") &&
                       WriteText(cls + L"\\ProgID", nullptr, kProgId) &&
                       WriteText(kClasses + kProgId, nullptr, L"IIS Namespace Object") &&
                       WriteText(kClasses + kProgId + L"\\CLSID", nullptr, ClassId()) &&
                       WriteText(kProviders + kNamespacePrefix, nullptr, kProgId);
  return written ? S_OK : SELFREG_E_CLASS;
}

HRESULT Unregister() {
  // Only what is ours: a real IIS's keys under the same names stay.
  if (!ProgIdIsOursOrFree()) return S_OK;
  bool removed = true;
  if (ReadText(kProviders + kNamespacePrefix) == kProgId) removed &= Remove(kProviders + kNamespacePrefix);
  removed &= Remove(kClasses + kProgId + L"\\CLSID") && Remove(kClasses + kProgId);
  const std::wstring cls = ClassKey();
  removed &= Remove(cls + L"\\InprocServer32") && Remove(cls + L"\\ProgID") && Remove(cls);
  return removed ? S_OK : SELFREG_E_CLASS;
}

}  // namespace

}  // namespace tarnwell::standin::adsi

STDAPI DllRegisterServer() {
  try {
    return tarnwell::standin::adsi::Register();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDAPI DllUnregisterServer() {
  try {
    return tarnwell::standin::adsi::Unregister();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
