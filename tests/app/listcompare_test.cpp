#include "app/ListCompare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tarnwell {
namespace {

std::vector<std::string> SortPoolColumn(std::vector<std::string> v, int sign) {
  std::stable_sort(v.begin(), v.end(), [&](const std::string& a, const std::string& b) { return PoolListLess(a, b, sign); });
  return v;
}

std::vector<std::string> SortAnalyseColumn(int column, std::vector<std::string> v, int sign) {
  std::stable_sort(v.begin(), v.end(),
                   [&](const std::string& a, const std::string& b) { return AnalyseListLess(column, a, b, sign); });
  return v;
}

TEST(ListCompare, TextFoldsOnlyAsciiLettersAndPutsPrefixFirst) {
  EXPECT_EQ(CompareTextAscii("DefaultAppPool", "defaultapppool"), 0);
  EXPECT_LT(CompareTextAscii("ab", "abc"), 0);
  EXPECT_GT(CompareTextAscii("abc", "ab"), 0);
  // '_' sits between the capitals and the small letters, so folding decides the order.
  EXPECT_GT(CompareTextAscii("_", "a"), 0);
  EXPECT_LT(CompareTextAscii("_", "\xC3\xA9"), 0);  // bytes above 127 compare unsigned
  EXPECT_NE(CompareTextAscii("\xC3\xA9", "\xC3\x89"), 0);  // no folding outside a..z
}

TEST(ListCompare, PoolListFirstClickDescendsAndAppsSortAsText) {
  EXPECT_EQ(SortPoolColumn({"AppPool1", "zeta", "MyPool2"}, -1), (std::vector<std::string>{"zeta", "MyPool2", "AppPool1"}));
  EXPECT_EQ(SortPoolColumn({"zeta", "AppPool1", "MyPool2"}, +1), (std::vector<std::string>{"AppPool1", "MyPool2", "zeta"}));
  EXPECT_EQ(SortPoolColumn({"1", "10", "9"}, -1), (std::vector<std::string>{"9", "10", "1"}));
  // Equal texts keep their order: no second key.
  EXPECT_EQ(SortPoolColumn({"b", "A", "a", "B"}, +1), (std::vector<std::string>{"A", "a", "b", "B"}));
}

TEST(ListCompare, ReadsWholeNumbersAsTheThresholdBoxDoes) {
  for (const auto& [text, value] : {std::pair{"70", 70}, {"-1", -1}, {"+5", 5}, {" 12", 12}, {"$7FFFFFFF", 2147483647},
                                     {"x1F", 31}, {"0x1f", 31}, {"-2147483648", -2147483647 - 1}}) {
    EXPECT_EQ(ReadWholeNumber(text), value) << text;
  }
  for (const char* bad : {"", " ", "abc", "7a", "12 ", "0x", "$", "-", "-2147483649", "2147483648", "$80000000",
                          "99999999999999999999999999"}) {
    EXPECT_FALSE(ReadWholeNumber(bad).has_value()) << bad;
  }
}

TEST(ListCompare, AnalyseNumbersSortByValueInBothDirections) {
  EXPECT_EQ(SortAnalyseColumn(2, {"9", "100", "10"}, -1), (std::vector<std::string>{"100", "10", "9"}));
  EXPECT_EQ(SortAnalyseColumn(2, {"100", "9", "10"}, +1), (std::vector<std::string>{"9", "10", "100"}));
  EXPECT_EQ(SortAnalyseColumn(0, {"b", "C", "a"}, -1), (std::vector<std::string>{"C", "b", "a"}));
  // Equal numbers are equal: the sort keeps them in list order.
  EXPECT_EQ(SortAnalyseColumn(3, {"05", "5", "$5"}, -1), (std::vector<std::string>{"05", "5", "$5"}));
}

TEST(ListCompare, MixedColumnsStayAStrictWeakOrdering) {
  const std::vector<std::string> values{"9", "10", "1a", "a", "-1", "$A", "", "B", "10", "x"};
  for (int sign : {1, -1}) {
    const auto less = [&](const std::string& a, const std::string& b) { return AnalyseListLess(1, a, b, sign); };
    const auto equal = [&](const std::string& a, const std::string& b) { return !less(a, b) && !less(b, a); };
    for (const auto& a : values) {
      for (const auto& b : values) {
        EXPECT_FALSE(less(a, b) && less(b, a)) << a << " " << b;  // with a == b: irreflexive
        for (const auto& c : values) {
          EXPECT_FALSE(less(a, b) && less(b, c) && !less(a, c)) << a << " " << b << " " << c;
          EXPECT_FALSE(equal(a, b) && equal(b, c) && !equal(a, c)) << a << " " << b << " " << c;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tarnwell
