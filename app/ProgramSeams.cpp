#include "app/ProgramSeams.h"

#include <stdexcept>
#include <string>

#ifdef _WIN32
#include "platform/win32/win_api.h"
#include "platform/win32/adsi_metabase.h"
#include "platform/win32/http_server_win32.h"
#include "platform/win32/process_system_win32.h"
#include "platform/win32/text.h"
#else
#include <cstdlib>
#include <filesystem>

#include "platform/linux/process_system_linux.h"
#endif

#if !defined(_WIN32) || TARNWELL_WIN32_STORE
#include "metabase/metabase_store.h"
#endif

namespace tarnwell {

namespace {

#ifdef _WIN32
#if TARNWELL_WIN32_STORE
// The variable's value as UTF-8; empty when unset.
std::string EnvironmentUtf8(const wchar_t* name) {
  const DWORD n = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  const DWORD got = ::GetEnvironmentVariableW(name, value.data(), n);
  if (got == 0 || got >= n) return {};
  value.resize(got);
  return platform::win32::ToUtf8(value);
}
#endif
#else
// IIS_METABASE names the store's file; else MetaBase.xml beside the executable.
std::string MetabaseFilePath() {
  if (const char* env = std::getenv("IIS_METABASE"); env != nullptr && *env != '\0') return env;
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "MetaBase.xml";
  return (exe.parent_path() / "MetaBase.xml").string();
}
#endif

}  // namespace

std::unique_ptr<platform::IMetabase> OpenLocalMetabase() {
#ifdef _WIN32
#if TARNWELL_WIN32_STORE
  // IIS_METABASE points the program at a MetaBase.xml file instead of the local IIS, so
  // the same code runs on a machine without it.
  if (const std::string store = EnvironmentUtf8(L"IIS_METABASE"); !store.empty()) {
    return standin::OpenMetabaseStore(store);
  }
#endif
  return platform::win32::OpenAdsiMetabase();
#else
  return standin::OpenMetabaseStore(MetabaseFilePath());
#endif
}

std::unique_ptr<platform::IMetabase> OpenMetabaseFile(const std::string& path) {
#if !defined(_WIN32) || TARNWELL_WIN32_STORE
  return standin::OpenMetabaseStore(path);
#else
  throw std::runtime_error("this build reads no MetaBase.xml file [" + path + "]");
#endif
}

std::unique_ptr<platform::IProcessSystem> OpenProcessSystem() {
#ifdef _WIN32
  return platform::win32::OpenWin32ProcessSystem();
#else
  return platform::linux_proc::OpenProcSystem();
#endif
}

platform::HttpServerFactory SystemHttpServer() {
#ifdef _WIN32
  return &platform::win32::ServeHttp;
#else
  return {};
#endif
}

}  // namespace tarnwell
