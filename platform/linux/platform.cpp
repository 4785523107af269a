#include "platform/platform.h"

#include <cstdlib>
#include <filesystem>

#include "platform/linux/process_system_linux.h"
#include "metabase/metabase_store.h"

namespace tarnwell::platform {

namespace {

// IIS_METABASE names the store's file; else MetaBase.xml beside the executable.
std::string MetabaseFilePath() {
  if (const char* env = std::getenv("IIS_METABASE"); env != nullptr && *env != '\0') return env;
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "MetaBase.xml";
  return (exe.parent_path() / "MetaBase.xml").string();
}

}  // namespace

std::unique_ptr<IMetabase> OpenLocalMetabase() { return standin::OpenMetabaseStore(MetabaseFilePath()); }

std::unique_ptr<IProcessSystem> OpenProcessSystem() { return linux_proc::OpenProcSystem(); }

}  // namespace tarnwell::platform
