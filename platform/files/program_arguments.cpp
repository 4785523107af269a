#include "platform/files/program_arguments.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include "platform/files/utf8_path.h"
#endif

namespace tarnwell::platform {

#ifdef _WIN32
std::vector<std::string> ProgramArguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(Utf8FromWide(wide[i]));
  ::LocalFree(wide);
  return args;
}
#else
std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
}
#endif

}  // namespace tarnwell::platform
