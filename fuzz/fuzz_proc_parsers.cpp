// Every pure /proc parser over the same arbitrary text; each must return, and what it
// returns must be made of the text it was given.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/proc_parsers.h"

namespace lp = tarnwell::platform::linux_proc;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The text cut at NULs into up to three parts, for the parsers that take several texts.
std::vector<std::string_view> Parts(std::string_view text) {
  std::vector<std::string_view> parts;
  while (parts.size() < 2) {
    const auto nul = text.find('\0');
    if (nul == std::string_view::npos) break;
    parts.push_back(text.substr(0, nul));
    text.remove_prefix(nul + 1);
  }
  parts.push_back(text);
  while (parts.size() < 3) parts.emplace_back();
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto stat = lp::ParseStat(text)) {
    Check(text.find(stat->comm) != std::string_view::npos);
  }

  const std::string line = lp::JoinCommandLine(text);
  Check(line.size() <= text.size() && line.find('\0') == std::string::npos);

  if (const auto resident = lp::ParseStatmResident(text)) Check(*resident >= 0);

  std::vector<std::uint64_t> inodes;
  lp::ParseTcpInodes(text, inodes);
  Check(inodes.size() <= static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));

  for (std::string_view protocol : {"TCP", "TCP6", "UDP"}) {
    if (const auto inuse = lp::ParseSockstatInuse(text, protocol)) Check(*inuse >= 0);
  }

  if (const auto pid = lp::ParsePid(text)) Check(*pid != 0 && AllDigits(text));

  Check(text.ends_with(lp::BaseName(text)));

  const auto parts = Parts(text);
  const std::string exe = lp::ExeNameFrom(parts[0], parts[1], parts[2]);
  Check(exe.starts_with(parts[0]));
  if (parts[0].size() < lp::kCommMax) Check(exe == parts[0]);
  return 0;
}
