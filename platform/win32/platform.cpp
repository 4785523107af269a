#include "platform/platform.h"

#include "platform/win32/win_api.h"

#include <string>

#include "platform/win32/adsi_metabase.h"
#include "platform/win32/process_system_win32.h"
#include "platform/win32/text.h"

#if TARNWELL_WIN32_STORE
#include "metabase/metabase_store.h"
#endif

namespace tarnwell::platform {

namespace {

#if TARNWELL_WIN32_STORE
// The variable's value as UTF-8; empty when unset.
std::string EnvironmentUtf8(const wchar_t* name) {
  const DWORD n = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  const DWORD got = ::GetEnvironmentVariableW(name, value.data(), n);
  if (got == 0 || got >= n) return {};
  value.resize(got);
  return win32::ToUtf8(value);
}
#endif

}  // namespace

std::unique_ptr<IMetabase> OpenLocalMetabase() {
#if TARNWELL_WIN32_STORE
  // IIS_METABASE points the program at a MetaBase.xml file instead of the local IIS, so
  // the same code runs on a machine without it.
  if (const std::string store = EnvironmentUtf8(L"IIS_METABASE"); !store.empty()) {
    return standin::OpenMetabaseStore(store);
  }
#endif
  return win32::OpenAdsiMetabase();
}

std::unique_ptr<IProcessSystem> OpenProcessSystem() { return win32::OpenWin32ProcessSystem(); }

}  // namespace tarnwell::platform
