#include "standin/adsi/metabase_file.h"

#include "platform/win32/win_api.h"

#include <map>
#include <mutex>
#include <vector>

#include "metabase/metabase_store.h"
#include "platform/win32/native.h"
#include "platform/win32/text.h"

namespace tarnwell::standin::adsi {

namespace {

std::wstring Environment(const wchar_t* name) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    buffer.resize(n);
  }
}

// IsWow64Process came with XP SP2 and 2003 SP1: bound at run time.
bool RunsUnderWow64() {
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  const auto isWow64 = kernel == nullptr ? nullptr
                                         : platform::win32::NativeCast<IsWow64ProcessFn>(
                                               ::GetProcAddress(kernel, "IsWow64Process"));
  BOOL wow64 = FALSE;
  return isWow64 != nullptr && isWow64(::GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace

std::wstring MetabaseFile() {
  if (std::wstring own = Environment(L"TARNWELL_STANDIN_METABASE"); !own.empty()) return own;
  // The system's own Windows folder, not a user's (Terminal Services gives each one).
  std::vector<wchar_t> windows(MAX_PATH);
  UINT n = ::GetSystemWindowsDirectoryW(windows.data(), static_cast<UINT>(windows.size()));
  if (n >= windows.size()) {
    windows.resize(n + 1);
    n = ::GetSystemWindowsDirectoryW(windows.data(), static_cast<UINT>(windows.size()));
  }
  std::wstring root(windows.data(), n < windows.size() ? n : 0);
  while (!root.empty() && root.back() == L'\\') root.pop_back();
  std::wstring system = root + L"\\system32";
  if (RunsUnderWow64()) {
    // Sysnative: Vista and later, and 2003 with its hotfix; without it the redirected
    // folder is all a 32-bit process can name.
    const std::wstring native = root + L"\\Sysnative";
    if (::GetFileAttributesW(native.c_str()) != INVALID_FILE_ATTRIBUTES) system = native;
  }
  return system + L"\\inetsrv\\MetaBase.xml";
}

std::shared_ptr<platform::IMetabase> StoreFor(const std::wstring& file) {
  static std::mutex mutex;
  static std::map<std::wstring, std::shared_ptr<platform::IMetabase>> stores;
  std::lock_guard lock(mutex);
  auto& store = stores[file];
  if (!store) store = OpenMetabaseStore(platform::win32::ToUtf8(file));
  return store;
}

}  // namespace tarnwell::standin::adsi
