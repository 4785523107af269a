// tarnwell-genmeta: writes a large, realistic MetaBase.xml for benchmarks and trials.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "metabase/metabase_generator.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include <memory>

#include "platform/files/utf8_path.h"
#endif

namespace {

bool ParseCount(const char* text, int min, int& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < min || value > 1000000) return false;
  out = static_cast<int>(value);
  return true;
}

// The arguments as UTF-8. Windows hands main() its arguments in the ANSI code page, which
// would misname a file in a folder outside it: they come from the wide command line there.
std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
  struct Deleter {
    void operator()(wchar_t** wide) const noexcept { ::LocalFree(wide); }
  };
  int n = 0;
  std::unique_ptr<wchar_t*, Deleter> wide(::CommandLineToArgvW(::GetCommandLineW(), &n));
  if (wide) {
    std::vector<std::string> args;
    for (int i = 0; i < n; ++i) args.push_back(tarnwell::platform::Utf8FromPath(wide.get()[i]));
    return args;
  }
#endif
  return {argv, argv + argc};
}

constexpr const char* kUsage =
    "usage: tarnwell-genmeta [--] FILE [SITES [POOLS [APPS_PER_POOL]]]\n"
    "       tarnwell-genmeta --help | --version\n"
    "  writes a MetaBase.xml with SITES web sites (3), POOLS application pools (8)\n"
    "  and APPS_PER_POOL applications in every pool (2)\n";

}  // namespace

int main(int argc, char** argv) {
  int sites = 3;
  int pools = 8;
  int appsPerPool = 2;
  const std::vector<std::string> args = Arguments(argc, argv);
  std::vector<const char*> operands;
  bool optionsEnd = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (optionsEnd || arg.size() < 2 || arg.front() != '-') {
      operands.push_back(args[i].c_str());
    } else if (arg == "--") {
      optionsEnd = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("tarnwell-genmeta %s\n", TARNWELL_VERSION);
      return 0;
    } else {
      // Never taken for a file name: a mistyped option must not write a metabase.
      std::fprintf(stderr, "tarnwell-genmeta: unknown option %s\n%s", args[i].c_str(), kUsage);
      return 2;
    }
  }
  const std::size_t n = operands.size();
  if (n < 1 || n > 4 || (n > 1 && !ParseCount(operands[1], 1, sites)) ||
      (n > 2 && !ParseCount(operands[2], 1, pools)) || (n > 3 && !ParseCount(operands[3], 0, appsPerPool))) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const char* file = operands[0];
  try {
    tarnwell::standin::WriteGeneratedMetabase(file, sites, pools, appsPerPool);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarnwell-genmeta: %s\n", e.what());
    return 1;
  }
  std::printf("%s: %d sites, %d pools, %lld applications\n", file, sites, pools,
              static_cast<long long>(pools) * appsPerPool);
  return 0;
}
