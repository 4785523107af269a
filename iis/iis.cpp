#include "iis/iis.h"

#include <algorithm>

#include "iis/iis_filter.h"

namespace tarnwell {

namespace {

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return LowerAsciiChar(x) == LowerAsciiChar(y); });
}

// Strips leading and trailing blanks and control characters (bytes up to ' '); bytes of
// UTF-8 sequences are above it and stay.
std::string_view TrimBlanks(std::string_view text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), LowerAsciiChar);
  return out;
}

TIISObject::TIISObject(platform::IMetabase& metabase, platform::IProcessSystem& processes)
    : metabase_(metabase), processes_(processes), FilterExpr(std::make_unique<PoolFilter>()) {}

TIISObject::~TIISObject() { ClearPools(); }

void TIISObject::ClearPools() {
  // Also the record after the last pool: an enumeration that failed midway may have left
  // an application list there. Clamped so that a broken count never leaves the array.
  const std::int32_t last = std::clamp<std::int32_t>(PoolCount, 0, MaxPools - 1);
  for (std::int32_t i = 0; i <= last; ++i) {
    Pools[static_cast<std::size_t>(i)].Name.clear();
    Pools[static_cast<std::size_t>(i)].Apps.reset();
  }
  PoolCount = 0;
}

bool TIISObject::AcceptPool(std::string_view name) {
  if (IsMonitoring() && !SelectByFilter) {
    // A plain substring test against the ticked names; an empty name is never in it.
    return !name.empty() && LowerAscii(SelectedPools).find(LowerAscii(name)) != std::string::npos;
  }
  if (TrimBlanks(name).empty() || TrimBlanks(Filter).empty()) return true;
  FilterExpr->SetExpression(Filter);
  return FilterExpr->Search(name);
}

std::int32_t TIISObject::IndexOfPool(std::string_view name) const {
  if (name.empty()) return -1;  // an empty name marks a record without a pool
  const std::int32_t count = std::clamp<std::int32_t>(PoolCount, 0, MaxPools - 1);
  for (std::int32_t i = 0; i < count; ++i) {
    if (EqualsIgnoreAsciiCase(Pools[static_cast<std::size_t>(i)].Name, name)) return i;
  }
  return -1;
}

bool TIISObject::IsSelectedPool(std::string_view name) const {
  std::string needle = LowerAscii(name);
  needle += '\t';
  return LowerAscii(SelectedPools).find(needle) != std::string::npos;
}

}  // namespace tarnwell
