#include "app/ListCompare.h"

#include <algorithm>
#include <limits>

namespace tarnwell {

namespace {

unsigned char FoldUpper(char c) {
  auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int Sign(int v) { return (v > 0) - (v < 0); }

}  // namespace

int CompareTextAscii(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const int d = int(FoldUpper(a[i])) - int(FoldUpper(b[i]));
    if (d != 0) return d;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::optional<std::int32_t> ReadWholeNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return std::nullopt;
  // Accumulated in 64 bits and checked per digit, so no input can overflow.
  const std::int64_t limit = negative ? std::int64_t(std::numeric_limits<std::int32_t>::max()) + 1
                                      : std::numeric_limits<std::int32_t>::max();
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit = base == 16 ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (digit < 0) return std::nullopt;
    value = value * base + digit;
    if (value > limit) return std::nullopt;
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

bool PoolListLess(std::string_view a, std::string_view b, int sign) {
  return sign * Sign(CompareTextAscii(a, b)) < 0;
}

bool AnalyseListLess(int column, std::string_view a, std::string_view b, int sign) {
  int order = 0;
  if (column == 0) {
    order = Sign(CompareTextAscii(a, b));
  } else {
    const auto na = ReadWholeNumber(a);
    const auto nb = ReadWholeNumber(b);
    if (na && nb) {
      order = (*na > *nb) - (*na < *nb);
    } else if (na || nb) {
      order = na ? -1 : 1;
    } else {
      order = Sign(CompareTextAscii(a, b));
    }
  }
  return sign * order < 0;
}

}  // namespace tarnwell
