#pragma once
// Sorting rules of the pool list and the Analyse list, kept apart from the widgets so that
// they are tested alone. Every "less" here is a strict weak ordering.
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwell {

// Folds only a..z to capitals, compares other characters by code; a proper prefix first.
// Negative, zero or positive.
int CompareTextAscii(std::string_view a, std::string_view b);

// A whole number as the Analyse list and the threshold box read it: optional leading
// spaces, an optional sign, then decimal digits or hexadecimal digits after "$", "x" or
// "0x", nothing after, within the signed 32-bit range.
std::optional<std::int32_t> ReadWholeNumber(std::string_view text);

// Pool list: every column compared as text, times the column's sign (+1 or -1).
bool PoolListLess(std::string_view a, std::string_view b, int sign);

// Analyse list: column 0 as text; columns 1 to 3 by number when both read as numbers.
// Equal numbers compare equal, and numbers sort before texts, so mixed columns still give
// a strict weak ordering.
bool AnalyseListLess(int column, std::string_view a, std::string_view b, int sign);

}  // namespace tarnwell
