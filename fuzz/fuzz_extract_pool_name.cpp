// ExtractPoolName over arbitrary command lines, checked against a plain scan: the name is
// the text between the first -ap " and the next double quote.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "iis/iis_workers.h"

namespace {

std::string Reference(std::string_view line) {
  constexpr std::string_view kArg = "-ap \"";
  for (std::size_t i = 0; i + kArg.size() <= line.size(); ++i) {
    if (line.substr(i, kArg.size()) != kArg) continue;
    for (std::size_t j = i + kArg.size(); j < line.size(); ++j) {
      if (line[j] == '"') return std::string(line.substr(i + kArg.size(), j - i - kArg.size()));
    }
    return {};
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::string name = tarnwell::ExtractPoolName(line);
  if (name != Reference(line)) std::abort();
  if (name.find('"') != std::string::npos) std::abort();
  if (!name.empty() && line.find("-ap \"" + name + "\"") == std::string_view::npos) std::abort();
  return 0;
}
