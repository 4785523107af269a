#include "iis/iis_workers.h"

namespace tarnwell {

std::string GetProcessCommandLine(platform::IProcessSystem& system, std::uint32_t pid) {
  return system.CommandLine(pid);
}

std::string ExtractPoolName(std::string_view commandLine) {
  constexpr std::string_view kPoolArg = "-ap \"";
  const auto arg = commandLine.find(kPoolArg);
  if (arg == std::string_view::npos) return {};
  const auto start = arg + kPoolArg.size();
  // The closing quote is searched from the name's first character, so -ap "" is an empty
  // name rather than a run of the following arguments.
  const auto close = commandLine.find('"', start);
  if (close == std::string_view::npos) return {};
  return std::string(commandLine.substr(start, close - start));
}

}  // namespace tarnwell
