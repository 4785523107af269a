// w3svc stand-in: the IIS web service's worker-process management, over a MetaBase.xml
// file. See Usage below; it runs in the foreground until asked to stop (SIGTERM or SIGINT;
// Ctrl+C or closing its console on Windows), or on Linux until the process that started it
// ends.
#include <atomic>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/program_arguments.h"
#include "platform/files/utf8_path.h"
#include "standin/w3svc/service.h"
#include "standin/w3svc/service_process.h"

namespace {

constexpr const char* kUsage =
    "usage: w3svc [--metabase PATH] [--profile PATH] [--worker PATH] [--pid-file PATH]\n"
    "       w3svc --help | --version\n"
    "  Keeps one w3wp.exe running for every application pool that has applications,\n"
#ifdef _WIN32
    "  following changes of the metabase file; ends its workers on Ctrl+C or when its\n"
    "  console closes, and they end with it whatever way it ends.\n"
    "  --metabase PATH  MetaBase.xml to serve (default: %IIS_METABASE%, else\n"
    "                   %windir%\\system32\\inetsrv\\MetaBase.xml)\n"
#else
    "  following changes of the metabase file; ends its workers on SIGTERM or SIGINT,\n"
    "  or when the process that started it ends.\n"
    "  --metabase PATH  MetaBase.xml to serve (default: $IIS_METABASE, else MetaBase.xml\n"
    "                   beside w3svc)\n"
#endif
    "  --profile PATH   load profile: lines of 'APP_PATH CPU% MB FILES TCP' (default: none,\n"
    "                   workers idle)\n"
    "  --worker PATH    worker executable (default: w3wp.exe beside w3svc)\n"
    "  --pid-file PATH  write w3svc's process id there while it runs\n";

}  // namespace

int main(int argc, char** argv) {
  namespace standin = tarnwell::standin;
  standin::ServiceOptions options;
  options.metabasePath = standin::EnvironmentText("IIS_METABASE");
  if (options.metabasePath.empty()) options.metabasePath = standin::DefaultMetabasePath();
  options.workerPath = tarnwell::platform::Utf8FromPath(standin::ExecutableDirectory() / "w3wp.exe");

  const std::vector<std::string> args = tarnwell::platform::ProgramArguments(argc, argv);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("w3svc (Tarnwell stand-in) %s\n", TARNWELL_VERSION);
      return 0;
    }
    std::string* target = arg == "--metabase"   ? &options.metabasePath
                          : arg == "--profile"  ? &options.profilePath
                          : arg == "--worker"   ? &options.workerPath
                          : arg == "--pid-file" ? &options.pidFile
                                                : nullptr;
    if (target == nullptr) {
      std::fprintf(stderr, "w3svc: unknown option %s\n%s", args[i].c_str(), kUsage);
      return 2;
    }
    if (i + 1 >= args.size()) {
      std::fprintf(stderr, "w3svc: %s needs a value\n%s", args[i].c_str(), kUsage);
      return 2;
    }
    *target = args[++i];
  }

  static std::atomic<bool> stop{false};
  standin::WatchStopRequests(stop);
  int code = 0;
  {
    standin::W3Service service(options, stdout);
    code = service.Run(stop);
  }
  standin::StopDone();
  return code;
}
