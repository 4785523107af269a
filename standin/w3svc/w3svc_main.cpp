// w3svc stand-in: the IIS web service's worker-process management, over a MetaBase.xml
// file. See Usage below; it runs in the foreground until SIGTERM or SIGINT, or until the
// process that started it ends.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "standin/w3svc/service.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

constexpr const char* kUsage =
    "usage: w3svc [--metabase PATH] [--profile PATH] [--worker PATH] [--pid-file PATH]\n"
    "       w3svc --help | --version\n"
    "  Keeps one w3wp.exe running for every application pool that has applications,\n"
    "  following changes of the metabase file; ends its workers on SIGTERM or SIGINT,\n"
    "  or when the process that started it ends.\n"
    "  --metabase PATH  MetaBase.xml to serve (default: $IIS_METABASE, else MetaBase.xml\n"
    "                   beside w3svc)\n"
    "  --profile PATH   load profile: lines of 'APP_PATH CPU% MB FILES TCP' (default: none,\n"
    "                   workers idle)\n"
    "  --worker PATH    worker executable (default: w3wp.exe beside w3svc)\n"
    "  --pid-file PATH  write w3svc's process id there while it runs\n";

std::filesystem::path ExeDirectory() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path(".") : exe.parent_path();
}

}  // namespace

int main(int argc, char** argv) {
  tarnwell::standin::ServiceOptions options;
  const auto exeDir = ExeDirectory();
  if (const char* env = std::getenv("IIS_METABASE"); env != nullptr && *env != '\0')
    options.metabasePath = env;
  else
    options.metabasePath = (exeDir / "MetaBase.xml").string();
  options.workerPath = (exeDir / "w3wp.exe").string();

  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
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
      std::fprintf(stderr, "w3svc: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "w3svc: %s needs a value\n%s", argv[i], kUsage);
      return 2;
    }
    *target = argv[++i];
  }

  struct sigaction action{};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the sleep ends at once
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);  // a worker that died leaves a closed pipe

  // Stops (and stops its workers) when whatever started it dies — a demo script, a test
  // killed by its timeout — so no service is left running on its own.
  const pid_t parent = ::getppid();
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) g_stop = 1;

  tarnwell::standin::W3Service service(options, stdout);
  return service.Run(g_stop);
}
