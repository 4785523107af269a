#pragma once
// Pure text helpers of the MetaBase.xml store: path mapping, multi-value splitting,
// attribute escaping, and a start-tag scanner that lets a change splice only the bytes it
// touches, leaving the rest of the file exactly as it was.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwell::standin::mbtext {

// ASCII-only lower-casing; metabase paths and property names compare this way.
constexpr char AsciiLowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
std::string AsciiLower(std::string_view text);
void AsciiLowerInPlace(std::string& text);
bool IEquals(std::string_view a, std::string_view b);

// "IIS://localhost/W3SVC/1/ROOT" -> "/LM/W3SVC/1/ROOT"; a metabase path ("/LM/...") is taken
// as it is. Trailing "/" dropped. Empty when the text names no key of the local machine.
std::optional<std::string> MetabasePathOf(std::string_view adsPath);
// The same into a caller's buffer; false when the text names no key.
bool MetabasePathOf(std::string_view adsPath, std::string& path);
// The same, lower-cased as the store looks paths up, in one pass: a bind's cost.
bool LowerMetabasePathOf(std::string_view adsPath, std::string& lower);

// The parent path of a metabase path ("/LM/W3SVC/1" -> "/LM/W3SVC"); empty for "/LM" and "".
std::string_view ParentPath(std::string_view path);
// The last component ("/LM/W3SVC/AppPools/Shop" -> "Shop").
std::string_view LastComponent(std::string_view path);

// Properties that hold one value per line (MULTISZ in the schema).
bool IsMultiValued(std::string_view property);
// One value per line, each trimmed of blanks and control characters; blank lines dropped.
// The views point into value.
std::vector<std::string_view> SplitMultiValue(std::string_view value);
// Text for an attribute value delimited by `quote`; control characters become references.
std::string EscapeAttribute(std::string_view value, char quote);
// An XML name that may stand as a property (attribute) or class (element) name.
bool IsXmlName(std::string_view name);

// Byte offsets of one attribute inside a start tag. The value excludes its quotes.
struct AttrSpan {
  std::size_t nameBegin = 0;
  std::size_t nameEnd = 0;
  std::size_t valueBegin = 0;
  std::size_t valueEnd = 0;
  char quote = '"';
};

struct StartTag {
  std::size_t begin = 0;       // the '<'
  std::size_t nameEnd = 0;     // just past the element name
  std::vector<AttrSpan> attrs;
  std::size_t closeBegin = 0;  // the "/>" or ">" that ends the tag
  std::size_t end = 0;         // just past the '>'
  bool selfClosing = false;
};

// Scans the start tag that opens at text[lt] == '<'; nothing when it is not well-formed.
std::optional<StartTag> ScanStartTag(std::string_view text, std::size_t lt);
// Offset just past the element that opens at text[lt]: past "/>" or past its end tag.
std::optional<std::size_t> ElementEnd(std::string_view text, std::size_t lt);

// The line break the file uses ("\r\n" when its first line break is one, else "\n").
std::string_view LineBreakOf(std::string_view text);

}  // namespace tarnwell::standin::mbtext
