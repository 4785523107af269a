// ReadWholeNumber against a slow reference built on strtoll: optional blanks, an optional
// sign, decimal digits or hexadecimal ones after "$", "x" or "0x", nothing else, and a
// value within the signed 32-bit range.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "app/ListCompare.h"

namespace {

bool IsDigitOf(char c, int base) {
  if (c >= '0' && c <= '9') return true;
  return base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
}

std::optional<std::int32_t> Reference(std::string_view text) {
  std::size_t i = text.find_first_not_of(' ');
  if (i == std::string_view::npos) return std::nullopt;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  std::string_view rest = text.substr(i);
  int base = 10;
  if (rest.starts_with("$") || rest.starts_with("x") || rest.starts_with("X")) {
    base = 16;
    rest.remove_prefix(1);
  } else if (rest.starts_with("0x") || rest.starts_with("0X")) {
    base = 16;
    rest.remove_prefix(2);
  }
  if (rest.empty()) return std::nullopt;
  for (char c : rest) {
    if (!IsDigitOf(c, base)) return std::nullopt;
  }
  // Only digits are left, so strtoll reads all of them; ERANGE means far out of range.
  const std::string digits(rest);
  char* end = nullptr;
  errno = 0;
  const long long magnitude = std::strtoll(digits.c_str(), &end, base);
  if (errno == ERANGE || end != digits.c_str() + digits.size()) return std::nullopt;
  const long long value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (tarnwell::ReadWholeNumber(text) != Reference(text)) std::abort();
  return 0;
}
