#include <gtest/gtest.h>

#include <string>

#include "iis/iis_filter.h"

namespace tarnwell {
namespace {

// The RegexError that compiling the expression (and searching `subject`, when given) raises.
std::string MessageOf(PoolFilter& f, std::string_view expression, std::string_view subject = "") {
  try {
    f.SetExpression(expression);
    if (!subject.empty()) f.Search(subject);
  } catch (const RegexError& e) {
    return e.what();
  }
  return "(compiled)";
}

std::string Repeat(const std::string& piece, std::size_t length) {
  std::string out;
  while (out.size() + piece.size() <= length) out += piece;
  return out;
}

// What is wrong and where; a byte wildcard and an expression that is not UTF-8 are refused.
TEST(FilterTest, CompileErrorsSayWhatAndWhere) {
  PoolFilter f;
  EXPECT_EQ(MessageOf(f, "(ab"), "Invalid regular expression at offset 3: missing closing parenthesis");
  EXPECT_EQ(MessageOf(f, "ab[c"),
            "Invalid regular expression at offset 4: missing terminating ] for character class");
  EXPECT_EQ(MessageOf(f, "*x"),
            "Invalid regular expression at offset 0: quantifier does not follow a repeatable item");
  EXPECT_FALSE(f.HasExpression());
  EXPECT_THROW(f.Search("x"), RegexError);
  EXPECT_NE(MessageOf(f, "a\\Cb"), "(compiled)");
  const std::string message = MessageOf(f, "caf\xE9");  // Latin-1, not UTF-8
  EXPECT_EQ(message.rfind("Invalid regular expression at offset 3: UTF-8 error", 0), 0u) << message;
}

TEST(FilterTest, FailedCompileDropsThePreviousExpression) {
  PoolFilter f;
  f.SetExpression("shop");
  EXPECT_TRUE(f.Search("WebShop"));
  EXPECT_THROW(f.SetExpression("shop("), RegexError);
  EXPECT_FALSE(f.HasExpression());
  EXPECT_TRUE(f.Expression().empty());
  // Setting the old text again compiles it again rather than trusting stale state.
  f.SetExpression("shop");
  EXPECT_EQ(f.Expression(), "shop");
  EXPECT_TRUE(f.Search("SHOP"));
}

TEST(FilterTest, CatastrophicBacktrackingHitsTheLimit) {
  PoolFilter f;
  const std::string message = MessageOf(f, "(a+)+$", std::string(40, 'a') + "b");
  EXPECT_NE(message.find("match limit exceeded"), std::string::npos) << message;
  EXPECT_TRUE(f.Search("aaaa"));
  EXPECT_FALSE(f.Search("bbbb"));
}

// Filters of 10,000 characters either decide or fail with a short, clear message, in
// bounded time and memory.
TEST(FilterTest, TenThousandCharacterFiltersMatchOrFailClearly) {
  PoolFilter f;
  const std::string name = std::string(254, 'a') + "b";
  // Long but plain: they simply decide.
  f.SetExpression(Repeat("x", 10'000));
  EXPECT_FALSE(f.Search(name));
  f.SetExpression(Repeat("zz|", 9'999) + "b$");
  EXPECT_TRUE(f.Search(name));

  // Too deeply nested to compile.
  EXPECT_NE(MessageOf(f, Repeat("(", 10'000)).find("Invalid regular expression"), std::string::npos);

  // Thousands of captures in a repeated group: every backtracking frame holds all of them,
  // which without a heap limit takes gigabytes (and with a match limit alone, seconds).
  for (const std::string& filter :
       {"^(?:" + Repeat("()", 4'990) + "a)*$", "^(?:" + Repeat("()", 2'490) + "a?)*(?:" + Repeat("()", 2'490) + "a?)*$",
        "^(?:" + Repeat("()", 400) + "a?)*(?:" + Repeat("()", 400) + "a?)*$"}) {
    const std::string message = MessageOf(f, filter, name);
    // One of the engine's limits, not a failed allocation after gigabytes.
    EXPECT_NE(message.find("limit exceeded"), std::string::npos) << message.substr(0, 200);
    // The message quotes the start of the expression, not all of it.
    EXPECT_NE(message.find(filter.substr(0, 20)), std::string::npos);
    EXPECT_LT(message.size(), 300u);
  }

  // A sane expression still runs its full course on a long name afterwards.
  f.SetExpression("^(a|b)+$");
  EXPECT_TRUE(f.Search(name));
}

TEST(FilterTest, NamesAreUtf8) {
  PoolFilter f;
  f.SetExpression("caf\xC3\xA9");  // "café"
  EXPECT_TRUE(f.Search("CAF\xC3\x89-Pool"));  // "CAFÉ-Pool": letters beyond ASCII fold too
  f.SetExpression("^caf.$");
  EXPECT_TRUE(f.Search("caf\xC3\xA9"));  // one character, two bytes
  // A stray byte is no character: no match there, and no error either.
  EXPECT_FALSE(f.Search("caf\xFF"));
  f.SetExpression("pool");
  EXPECT_TRUE(f.Search("\xFF\xFEpool"));
  EXPECT_FALSE(f.Search(""));
}

}  // namespace
}  // namespace tarnwell
