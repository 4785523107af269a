#include <gtest/gtest.h>

#include <string>

#include "iis/iis_filter.h"

namespace tarnwell {
namespace {

std::string MessageOf(PoolFilter& f, std::string_view expression) {
  try {
    f.SetExpression(expression);
  } catch (const RegexError& e) {
    return e.what();
  }
  return "(compiled)";
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
  f.SetExpression("(a+)+$");
  try {
    f.Search(std::string(40, 'a') + "b");
    FAIL() << "expected RegexError";
  } catch (const RegexError& e) {
    EXPECT_NE(std::string(e.what()).find("match limit exceeded"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(f.Search("aaaa"));
  EXPECT_FALSE(f.Search("bbbb"));
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
