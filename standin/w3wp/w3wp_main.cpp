// w3wp.exe stand-in: an IIS 6 worker process for one application pool, started as
//   w3wp.exe -a \\.\pipe\iisipm<id> -ap "PoolName"
// (the double quotes belong to the argument, so the command line reads as on Windows).
// It takes its load from standard input, one line at a time, and may be told again at
// any moment:
//   load CPU MB FILES TCP
// CPU: percent of one processor to burn; MB: memory to hold resident; FILES: files to
// hold open on a local disk; TCP: loopback TCP endpoints to listen on. Each line is
// answered by one line on standard output: "ok CPU MB FILES TCP", or "error TEXT" when
// the line is malformed or part of the load could not be taken. End of input keeps the last load. SIGTERM or SIGKILL ends it; it also
// dies with the process that started it.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "standin/w3wp/worker_load.h"

namespace {

using tarnwell::standin::ControlLine;
using tarnwell::standin::LoadHolder;

void Reply(const std::string& line) {
  const std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nobody reads the answers
    done += static_cast<std::size_t>(n);
  }
}

constexpr const char* kUsage =
    "usage: w3wp.exe -a \\\\.\\pipe\\iisipm<id> -ap \"PoolName\"\n"
    "  Worker stand-in for one application pool, started by w3svc. Standard input takes\n"
    "  lines 'load CPU MB FILES TCP' at any time; each is answered 'ok CPU MB FILES TCP'\n"
    "  or 'error TEXT'. Ends on SIGTERM and dies with the process that started it.\n";

enum class Parsed { Run, Exit, Fail };

// Reads -a and -ap as IIS passes them; the double quotes around the pool name belong to
// the argument, so the command line reads as on Windows.
Parsed ParseArgs(int argc, char** argv, std::string& pool) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return Parsed::Exit;
    }
    if (arg == "--version") {
      std::printf("w3wp.exe (Tarnwell stand-in) %s\n", TARNWELL_VERSION);
      return Parsed::Exit;
    }
    if (arg != "-a" && arg != "-ap") {
      std::fprintf(stderr, "w3wp.exe: unknown option %s\n%s", argv[i], kUsage);
      return Parsed::Fail;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "w3wp.exe: %s needs a value\n%s", argv[i], kUsage);
      return Parsed::Fail;
    }
    std::string_view value = argv[++i];
    if (arg == "-ap" && pool.empty()) {
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
      pool = std::string(value);
    }
  }
  if (pool.empty()) {
    std::fprintf(stderr, "w3wp.exe: no pool name (-ap)\n%s", kUsage);
    return Parsed::Fail;
  }
  return Parsed::Run;
}

std::string ExeDirectory() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  std::string pool;
  switch (ParseArgs(argc, argv, pool)) {
    case Parsed::Run: break;
    case Parsed::Exit: return 0;
    case Parsed::Fail: return 2;
  }

  // Die with the service; if it is already gone, do not linger as an orphan.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (const char* parent = std::getenv("TARNWELL_W3SVC_PID"); parent != nullptr) {
    if (std::to_string(::getppid()) != parent) return 0;
  }

  const std::string diskDir = tarnwell::standin::PickDiskDirectory({"/var/tmp", ExeDirectory()});
  if (diskDir.empty())
    std::fprintf(stderr, "w3wp.exe [%s]: no local-disk directory for files; using /var/tmp\n", pool.c_str());
  LoadHolder holder(diskDir.empty() ? "/var/tmp" : diskDir);

  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t eol;
    while ((eol = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      const ControlLine control = tarnwell::standin::ParseControlLine(line);
      if (!control.error.empty()) {
        Reply("error " + control.error);
      } else if (control.load) {
        std::string error;
        const auto held = holder.Apply(*control.load, error);
        if (error.empty()) {
          Reply("ok " + tarnwell::standin::FormatLoad(held));
        } else {
          std::fprintf(stderr, "w3wp.exe [%s]: %s\n", pool.c_str(), error.c_str());
          Reply("error " + error + "; holding " + tarnwell::standin::FormatLoad(held));
        }
      }
    }
  }
  // No more instructions: keep the last load until told to end.
  for (;;) ::pause();
}
