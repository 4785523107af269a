#include "metabase/metabase_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace tarnwell::standin::mbtext {
namespace {

// Another machine, an empty component, or no IIS path at all name nothing here. Binds look
// paths up through the one-pass lower-cased form: it must name exactly what the plain
// mapping names, lower-cased.
TEST(MetabaseText, MapsAdsiPathsToMetabasePaths) {
  const std::pair<std::string_view, std::optional<std::string>> rows[] = {
      {"IIS://localhost/W3SVC/AppPools", "/LM/W3SVC/AppPools"},
      {"iis://LOCALHOST/w3svc/1/ROOT/shop/", "/LM/w3svc/1/ROOT/shop"},
      {"IIS://localhost", "/LM"}, {"IIS://localhost/W3SVC/AppPools/", "/LM/W3SVC/AppPools"},
      {"/LM/W3SVC/1", "/LM/W3SVC/1"}, {"IIS://webfarm02/W3SVC", std::nullopt},
      {"IIS://localhost/W3SVC//1", std::nullopt}, {"W3SVC/1", std::nullopt}, {"/LMX/W3SVC", std::nullopt},
      {"", std::nullopt}, {"IIS://localhost/", "/LM"}, {"IIS://./W3SVC", "/LM/W3SVC"},
      {"IIS://127.0.0.1/W3SVC//", "/LM/W3SVC"}, {"/lm/W3SVC/1", "/lm/W3SVC/1"}, {"/LM", "/LM"}, {"/LM/", "/LM"},
      {"IIS://localhost//W3SVC", std::nullopt}, {"IIS:/", std::nullopt}, {"IIS://", std::nullopt},
  };
  for (const auto& [ads, expected] : rows) {
    const auto plain = MetabasePathOf(ads);
    EXPECT_EQ(plain, expected) << ads;
    std::string lower = "left over";
    EXPECT_EQ(LowerMetabasePathOf(ads, lower), plain.has_value()) << ads;
    EXPECT_EQ(plain ? lower : "", plain ? AsciiLower(*plain) : "") << ads;
  }
}

TEST(MetabaseText, SplitsMultiValuesOnAnyLineEndAndTrims) {
  const std::string asp = ".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE";
  const std::string maps = asp + "\r\n\t\t\t.cer,x.dll,5\n   .cdx,y.dll,5  \r\n\r\n";
  EXPECT_EQ(SplitMultiValue(maps), (std::vector<std::string_view>{asp, ".cer,x.dll,5", ".cdx,y.dll,5"}));
  EXPECT_EQ(SplitMultiValue("\n\t\t\t:80:\n"), (std::vector<std::string_view>{":80:"}));
  // A carriage return written as &#13; reaches the store on its own.
  EXPECT_EQ(SplitMultiValue("a\rb\r"), (std::vector<std::string_view>{"a", "b"}));
  EXPECT_TRUE(SplitMultiValue("").empty());
  EXPECT_TRUE(SplitMultiValue(" \r\n\t").empty());
  EXPECT_TRUE(IsMultiValued("scriptmaps"));
  EXPECT_FALSE(IsMultiValued("AppPoolId"));
}

TEST(MetabaseText, EscapesAttributeValues) {
  EXPECT_EQ(EscapeAttribute("a&b<c>\"d'e", '"'), "a&amp;b&lt;c&gt;&quot;d'e");
  EXPECT_EQ(EscapeAttribute("it's", '\''), "it&apos;s");
  EXPECT_EQ(EscapeAttribute("x\ty\nz\r", '"'), "x&#9;y&#10;z&#13;");
  EXPECT_TRUE(IsXmlName("AppPoolId"));
  EXPECT_FALSE(IsXmlName("App Pool"));
  EXPECT_FALSE(IsXmlName("1st"));
  EXPECT_FALSE(IsXmlName(""));
}

TEST(MetabaseText, ScansTheStartTagsIisWritesAndFindsTheirElementsEnd) {
  const std::string text =
      "<IIsWebServer\tLocation =\"/LM/W3SVC/1\"\r\n\t\tServerComment='a > b'\r\n\t\tServerBindings=\":80:\r\n"
      "\t\t\t:81:\"\r\n\t>\r\n</IIsWebServer>";
  const auto tag = ScanStartTag(text, 0);
  ASSERT_TRUE(tag);
  ASSERT_EQ(tag->attrs.size(), 3u);
  const auto value = [&](std::size_t i) {
    return text.substr(tag->attrs[i].valueBegin, tag->attrs[i].valueEnd - tag->attrs[i].valueBegin);
  };
  EXPECT_EQ(value(0), "/LM/W3SVC/1");
  EXPECT_EQ(value(1), "a > b");
  EXPECT_EQ(tag->attrs[1].quote, '\'');
  EXPECT_EQ(value(2), ":80:\r\n\t\t\t:81:");
  EXPECT_FALSE(tag->selfClosing);
  EXPECT_EQ(text.substr(tag->closeBegin, 1), ">");
  EXPECT_EQ(ElementEnd(text, 0), text.size());

  const std::string empty = "<IIsConfigObject Location=\"/LM/x\"/>tail";
  const auto selfClosing = ScanStartTag(empty, 0);
  ASSERT_TRUE(selfClosing);
  EXPECT_TRUE(selfClosing->selfClosing);
  EXPECT_EQ(ElementEnd(empty, 0), empty.size() - 4);

  // An element's end is found past its children, comments and CDATA.
  const std::string nested =
      "<IIsConfigObject Location=\"/LM/W3SVC/Info\">\n"
      "\t<!-- </IIsConfigObject> -->\n"
      "\t<Custom Name=\"A\" Value=\"1\"/>\n"
      "\t<Custom Name=\"B\"><![CDATA[</IIsConfigObject>]]></Custom>\n"
      "</IIsConfigObject>\n<Next/>";
  EXPECT_EQ(ElementEnd(nested, 0), nested.find("\n<Next/>"));
}

TEST(MetabaseText, RefusesTagsThatAreNotWellFormed) {
  EXPECT_FALSE(ScanStartTag("<a b=\"1\"", 0));          // no end
  EXPECT_FALSE(ScanStartTag("<a b=1>", 0));             // unquoted value
  EXPECT_FALSE(ScanStartTag("<a b=\"1\"c=\"2\">", 0));  // no blank between attributes
  EXPECT_FALSE(ScanStartTag("a", 0));
  EXPECT_FALSE(ElementEnd("<a><b></a>", 0));  // <b> never closed
  EXPECT_FALSE(ElementEnd("<a>text", 0));
}

TEST(MetabaseText, TellsPathsApartAndLineBreaks) {
  EXPECT_EQ(ParentPath("/LM/W3SVC/1"), "/LM/W3SVC");
  EXPECT_EQ(ParentPath("/LM"), "");
  EXPECT_EQ(LastComponent("/LM/W3SVC/AppPools/Shop"), "Shop");
  EXPECT_EQ(LineBreakOf("a\r\nb\n"), "\r\n");
  EXPECT_EQ(LineBreakOf("a\nb\r\n"), "\n");
  EXPECT_EQ(LineBreakOf("a"), "\n");
}

}  // namespace
}  // namespace tarnwell::standin::mbtext
