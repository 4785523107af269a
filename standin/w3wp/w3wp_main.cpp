// w3wp.exe stand-in: an IIS 6 worker process for one application pool, started as
//   w3wp.exe -a \\.\pipe\iisipm<id> -ap "PoolName"
// (the double quotes belong to the argument, so the command line reads as on Windows).
// It takes its load from standard input, one line at a time, and may be told again at
// any moment:
//   load CPU MB FILES TCP
// CPU: percent of one processor to burn; MB: memory to hold resident; FILES: files to
// hold open on a local disk; TCP: loopback TCP endpoints to listen on. Each line is
// answered by one line on standard output: "ok CPU MB FILES TCP", or "error TEXT" when
// the line is malformed or part of the load could not be taken. End of input keeps the last
// load. SIGTERM or SIGKILL ends it (TerminateProcess on Windows); it also dies with the
// process that started it.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/program_arguments.h"
#include "standin/w3wp/worker_load.h"
#include "standin/w3wp/worker_os.h"

namespace {

using tarnwell::standin::ControlLine;
using tarnwell::standin::LoadHolder;

void Reply(const std::string& line) { tarnwell::standin::worker_os::WriteOutput(line + "\n"); }

constexpr const char* kUsage =
    "usage: w3wp.exe -a \\\\.\\pipe\\iisipm<id> -ap \"PoolName\"\n"
    "  Worker stand-in for one application pool, started by w3svc. Standard input takes\n"
    "  lines 'load CPU MB FILES TCP' at any time; each is answered 'ok CPU MB FILES TCP'\n"
    "  or 'error TEXT'. Ends when ended from outside, and dies with the process that\n"
    "  started it.\n";

enum class Parsed { Run, Exit, Fail };

// Reads -a and -ap as IIS passes them. On Linux the double quotes around the pool name
// belong to the argument, so the command line reads as on Windows, where splitting the
// command line into arguments has already taken them off.
Parsed ParseArgs(const std::vector<std::string>& args, std::string& pool) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return Parsed::Exit;
    }
    if (arg == "--version") {
      std::printf("w3wp.exe (Tarnwell stand-in) %s\n", TARNWELL_VERSION);
      return Parsed::Exit;
    }
    if (arg != "-a" && arg != "-ap") {
      std::fprintf(stderr, "w3wp.exe: unknown option %s\n%s", args[i].c_str(), kUsage);
      return Parsed::Fail;
    }
    if (i + 1 >= args.size()) {
      std::fprintf(stderr, "w3wp.exe: %s needs a value\n%s", args[i].c_str(), kUsage);
      return Parsed::Fail;
    }
    std::string_view value = args[++i];
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

}  // namespace

int main(int argc, char** argv) {
  namespace os = tarnwell::standin::worker_os;
  std::string pool;
  switch (ParseArgs(tarnwell::platform::ProgramArguments(argc, argv), pool)) {
    case Parsed::Run: break;
    case Parsed::Exit: return 0;
    case Parsed::Fail: return 2;
  }
  if (!os::DieWithStarter()) return 0;

  std::string note;
  LoadHolder holder(os::FileDirectory(note));
  if (!note.empty()) std::fprintf(stderr, "w3wp.exe [%s]: %s\n", pool.c_str(), note.c_str());

  std::string pending;
  char buffer[4096];
  while (const std::size_t n = os::ReadInput(buffer, sizeof buffer)) {
    pending.append(buffer, n);
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
  os::WaitToBeEnded();
}
