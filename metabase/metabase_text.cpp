#include "metabase/metabase_text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace tarnwell::standin::mbtext {

namespace {


bool StartsWithI(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && IEquals(text.substr(0, prefix.size()), prefix);
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

bool IsNameStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
         static_cast<unsigned char>(c) >= 0x80;
}

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// Skips a construct that runs from `pos` to the first `terminator` after it.
std::optional<std::size_t> SkipPast(std::string_view text, std::size_t pos, std::string_view terminator) {
  const auto found = text.find(terminator, pos);
  if (found == std::string_view::npos) return std::nullopt;
  return found + terminator.size();
}

}  // namespace

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  AsciiLowerInPlace(out);
  return out;
}

void AsciiLowerInPlace(std::string& text) {
  for (char& c : text) c = AsciiLowerChar(c);
}

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // Callers mostly spell names as the file does.
  if (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0) return true;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLowerChar(a[i]) != AsciiLowerChar(b[i])) return false;
  }
  return true;
}

namespace {

// An ADSI path of this machine's metabase in two parts: "/LM" as the caller spelt it (or as
// the provider spells it for "IIS://"), and what follows, empty or from a "/", without
// closing "/"s. Nullopt when it names no key of this machine.
std::optional<std::pair<std::string_view, std::string_view>> SplitAdsPath(std::string_view adsPath) {
  std::string_view machine;
  std::string_view rest;
  if (StartsWithI(adsPath, "IIS://")) {
    const std::string_view afterScheme = adsPath.substr(6);
    const auto slash = afterScheme.find('/');
    const std::string_view server = afterScheme.substr(0, slash);
    if (!IEquals(server, "localhost") && server != "." && server != "127.0.0.1") return std::nullopt;
    machine = "/LM";
    if (slash != std::string_view::npos) rest = afterScheme.substr(slash);
  } else if (StartsWithI(adsPath, "/LM") && (adsPath.size() == 3 || adsPath[3] == '/')) {
    machine = adsPath.substr(0, 3);
    rest = adsPath.substr(3);
  } else {
    return std::nullopt;
  }
  while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  return std::pair(machine, rest);
}

}  // namespace

bool MetabasePathOf(std::string_view adsPath, std::string& path) {
  path.clear();
  const auto parts = SplitAdsPath(adsPath);
  if (!parts) return false;
  path.append(parts->first).append(parts->second);
  // An empty component ("W3SVC//1") names nothing.
  return path.find("//") == std::string::npos;
}

bool LowerMetabasePathOf(std::string_view adsPath, std::string& lower) {
  const auto parts = SplitAdsPath(adsPath);
  if (!parts) return false;
  const std::string_view rest = parts->second;
  lower.resize(3 + rest.size());
  char* out = lower.data();
  *out++ = '/';
  *out++ = 'l';
  *out++ = 'm';
  char previous = 'm';
  for (const char c : rest) {
    // An empty component ("W3SVC//1") names nothing.
    if (c == '/' && previous == '/') return false;
    *out++ = AsciiLowerChar(c);
    previous = c;
  }
  return true;
}

std::optional<std::string> MetabasePathOf(std::string_view adsPath) {
  std::string path;
  if (!MetabasePathOf(adsPath, path)) return std::nullopt;
  return path;
}

std::string_view ParentPath(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return {};
  return path.substr(0, slash);
}

std::string_view LastComponent(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool IsMultiValued(std::string_view property) {
  static constexpr std::array<std::string_view, 13> kMulti = {
      "ScriptMaps",      "ServerBindings",          "SecureBindings",     "HttpCustomHeaders",
      "HttpErrors",      "HttpPics",                "RedirectHeaders",    "ApplicationDependencies",
      "MimeMap",         "WebSvcExtRestrictionList", "InProcessIsapiApps", "CustomErrorDescriptions",
      "PeriodicRestartSchedule"};
  return std::any_of(kMulti.begin(), kMulti.end(),
                     [&](std::string_view m) { return m.size() == property.size() && IEquals(m, property); });
}

std::vector<std::string_view> SplitMultiValue(std::string_view value) {
  // A server's script maps are most of its file: the line ends are found with memchr, and
  // the lines gathered in a reused buffer so that the result is allocated once.
  if (value.empty()) return {};
  thread_local std::vector<std::string_view> lines;
  lines.clear();
  const char* at = value.data();
  const char* const end = at + value.size();
  for (;;) {
    const auto* lf = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
    const char* lineEnd = lf ? lf : end;
    // A carriage return the parser left (written as &#13;) ends a line too.
    if (const auto* cr = static_cast<const char*>(std::memchr(at, '\r', static_cast<std::size_t>(lineEnd - at)))) {
      lineEnd = cr;
    }
    std::string_view line(at, static_cast<std::size_t>(lineEnd - at));
    while (!line.empty() && IsBlankOrControl(line.front())) line.remove_prefix(1);
    while (!line.empty() && IsBlankOrControl(line.back())) line.remove_suffix(1);
    if (!line.empty()) lines.push_back(line);
    if (lineEnd == end) break;
    at = lineEnd + 1;
  }
  return {lines.begin(), lines.end()};
}

std::string EscapeAttribute(std::string_view value, char quote) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      case '"': out += quote == '"' ? "&quot;" : "\""; break;
      case '\'': out += quote == '\'' ? "&apos;" : "'"; break;
      default: out += c;
    }
  }
  return out;
}

bool IsXmlName(std::string_view name) {
  if (name.empty() || !IsNameStart(name.front())) return false;
  return std::all_of(name.begin(), name.end(), IsNameChar);
}

std::optional<StartTag> ScanStartTag(std::string_view text, std::size_t lt) {
  if (lt >= text.size() || text[lt] != '<') return std::nullopt;
  StartTag tag;
  tag.begin = lt;
  std::size_t pos = lt + 1;
  if (pos >= text.size() || !IsNameStart(text[pos])) return std::nullopt;
  while (pos < text.size() && IsNameChar(text[pos])) ++pos;
  tag.nameEnd = pos;
  for (;;) {
    const std::size_t wsBegin = pos;
    while (pos < text.size() && IsXmlSpace(text[pos])) ++pos;
    if (pos >= text.size()) return std::nullopt;
    if (text[pos] == '>') {
      tag.closeBegin = pos;
      tag.end = pos + 1;
      return tag;
    }
    if (text[pos] == '/') {
      if (pos + 1 >= text.size() || text[pos + 1] != '>') return std::nullopt;
      tag.closeBegin = pos;
      tag.end = pos + 2;
      tag.selfClosing = true;
      return tag;
    }
    // Attributes are separated from the name and from each other by white space.
    if (pos == wsBegin || !IsNameStart(text[pos])) return std::nullopt;
    AttrSpan attr;
    attr.nameBegin = pos;
    while (pos < text.size() && IsNameChar(text[pos])) ++pos;
    attr.nameEnd = pos;
    while (pos < text.size() && IsXmlSpace(text[pos])) ++pos;
    if (pos >= text.size() || text[pos] != '=') return std::nullopt;
    ++pos;
    while (pos < text.size() && IsXmlSpace(text[pos])) ++pos;
    if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\'')) return std::nullopt;
    attr.quote = text[pos];
    attr.valueBegin = ++pos;
    const auto close = text.find(attr.quote, pos);
    if (close == std::string_view::npos) return std::nullopt;
    attr.valueEnd = close;
    pos = close + 1;
    tag.attrs.push_back(attr);
  }
}

std::optional<std::size_t> ElementEnd(std::string_view text, std::size_t lt) {
  const auto first = ScanStartTag(text, lt);
  if (!first) return std::nullopt;
  if (first->selfClosing) return first->end;
  int depth = 1;
  std::size_t pos = first->end;
  while (depth > 0) {
    const auto open = text.find('<', pos);
    if (open == std::string_view::npos) return std::nullopt;
    const std::string_view at = text.substr(open);
    std::optional<std::size_t> next;
    if (at.starts_with("<!--")) {
      next = SkipPast(text, open + 4, "-->");
    } else if (at.starts_with("<![CDATA[")) {
      next = SkipPast(text, open + 9, "]]>");
    } else if (at.starts_with("<?")) {
      next = SkipPast(text, open + 2, "?>");
    } else if (at.starts_with("</")) {
      next = SkipPast(text, open + 2, ">");
      --depth;
    } else {
      const auto inner = ScanStartTag(text, open);
      if (!inner) return std::nullopt;
      if (!inner->selfClosing) ++depth;
      next = inner->end;
    }
    if (!next) return std::nullopt;
    pos = *next;
  }
  return pos;
}

std::string_view LineBreakOf(std::string_view text) {
  const auto lf = text.find('\n');
  if (lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r') return "\r\n";
  return "\n";
}

}  // namespace tarnwell::standin::mbtext
