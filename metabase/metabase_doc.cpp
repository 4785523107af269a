#include "metabase/metabase_doc.h"

#include <algorithm>

#include "metabase/metabase_text.h"

namespace tarnwell::standin {

using platform::MetabaseError;
using platform::MetabaseValue;

namespace {

constexpr std::string_view kDefaultAppPool = "DefaultAppPool";
constexpr std::string_view kW3svcPrefix = "/lm/w3svc/";

std::string_view LocalName(const char* name) {
  std::string_view n(name);
  const auto colon = n.find(':');
  return colon == std::string_view::npos ? n : n.substr(colon + 1);
}

bool IsBlank(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

std::size_t LineOf(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

bool IsLayoutSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The properties whose own value the index holds for each key; the first two a key
// inherits from its ancestors.
enum class Indexed { kNo, kAppPoolId, kScriptMaps, kServerComment };

Indexed IndexedKind(std::string_view property) {
  if (mbtext::IEquals(property, "ScriptMaps")) return Indexed::kScriptMaps;
  if (mbtext::IEquals(property, "AppPoolId")) return Indexed::kAppPoolId;
  if (mbtext::IEquals(property, "ServerComment")) return Indexed::kServerComment;
  return Indexed::kNo;
}

bool IsInherited(Indexed kind) { return kind == Indexed::kAppPoolId || kind == Indexed::kScriptMaps; }

const MetabaseRawValue& IndexedRaw(const MetabaseKey& key, Indexed kind) {
  switch (kind) {
    case Indexed::kScriptMaps:
      return key.ownScriptMaps;
    case Indexed::kServerComment:
      return key.ownServerComment;
    default:
      return key.ownAppPoolId;
  }
}

// An XML name equals want, ignoring ASCII case; no strlen, as most names differ early.
bool NameIs(const char* name, std::string_view want) {
  for (char w : want) {
    if (*name == '\0' || mbtext::AsciiLowerChar(*name) != mbtext::AsciiLowerChar(w)) return false;
    ++name;
  }
  return *name == '\0';
}

// A property outside the schema: <Custom Name="..." Value="..." Type="MULTISZ" .../>
MetabaseRawValue CustomValue(pugi::xml_node custom, std::string_view property) {
  const bool multi = mbtext::IEquals(custom.attribute("Type").value(), "MULTISZ") || mbtext::IsMultiValued(property);
  return {custom.attribute("Value").value(), multi};
}

struct Edit {
  std::size_t pos;
  std::size_t length;
  std::string text;
};

std::string ApplyEdits(std::string_view text, std::vector<Edit> edits) {
  std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.pos < b.pos; });
  std::string out;
  out.reserve(text.size() + 256);
  std::size_t at = 0;
  for (const auto& e : edits) {
    out.append(text.substr(at, e.pos - at));
    out.append(e.text);
    at = e.pos + e.length;
  }
  out.append(text.substr(at));
  return out;
}

MetabaseError Broken(std::string_view path) {
  return MetabaseError(platform::kErrFail, "The metabase text of key " + std::string(path) +
                                               " cannot be edited: its element is not well-formed");
}

// The text of a value inside an attribute; multi-values go one per line, separated by sep.
std::string ValueText(const MetabaseValue& value, char quote, std::string_view sep) {
  if (const auto* s = std::get_if<std::string>(&value)) return mbtext::EscapeAttribute(*s, quote);
  std::string out;
  const auto& lines = std::get<platform::MetabaseList>(value);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out.append(sep);
    out.append(mbtext::EscapeAttribute(lines[i], quote));
  }
  return out;
}

// The line break and indentation that separate the lines of an existing multi-value.
std::string MultiSeparator(std::string_view raw, std::string_view lineBreak) {
  const auto lf = raw.find('\n');
  if (lf == std::string_view::npos) return std::string(lineBreak) + "\t\t\t";
  std::size_t begin = (lf > 0 && raw[lf - 1] == '\r') ? lf - 1 : lf;
  std::size_t end = lf + 1;
  while (end < raw.size() && (raw[end] == ' ' || raw[end] == '\t')) ++end;
  return std::string(raw.substr(begin, end - begin));
}

// Where and with what separator a new attribute goes into a start tag.
std::pair<std::size_t, std::string> NewAttributePlace(std::string_view text, const mbtext::StartTag& tag,
                                                      std::string_view lineBreak) {
  if (tag.attrs.empty()) return {tag.nameEnd, " "};
  const auto& last = tag.attrs.back();
  const std::size_t prevEnd = tag.attrs.size() >= 2 ? tag.attrs[tag.attrs.size() - 2].valueEnd + 1 : tag.nameEnd;
  const std::string_view before = text.substr(prevEnd, last.nameBegin - prevEnd);
  const std::string_view after = text.substr(last.valueEnd + 1, tag.closeBegin - last.valueEnd - 1);
  std::string sep;
  if (before.find('\n') != std::string_view::npos) {
    sep = std::string(before);
  } else if (after.find('\n') != std::string_view::npos) {
    // The file's own layout: one attribute per line, indented by two tabs.
    sep = std::string(lineBreak) + "\t\t";
  } else {
    sep = " ";
  }
  return {last.valueEnd + 1, sep};
}

}  // namespace

std::shared_ptr<const MetabaseDoc> MetabaseDoc::Parse(std::string text, const std::string& fileName) {
  std::shared_ptr<MetabaseDoc> doc(new MetabaseDoc());
  doc->text_ = std::move(text);
  if (doc->text_.starts_with("\xEF\xBB\xBF")) doc->bom_ = 3;
  const std::string_view body = std::string_view(doc->text_).substr(doc->bom_);
  // No white-space conversion in attributes: multi-values keep their line breaks.
  const auto result = doc->xml_.load_buffer(body.data(), body.size(),
                                            pugi::parse_escapes | pugi::parse_eol, pugi::encoding_utf8);
  if (!result) {
    const auto offset = static_cast<std::size_t>(result.offset) + doc->bom_;
    throw MetabaseError(platform::kErrFail, "The metabase file " + fileName + " is not well-formed: " +
                                                result.description() + " at offset " + std::to_string(offset) +
                                                " (line " + std::to_string(LineOf(doc->text_, offset)) + ")");
  }
  doc->Index(fileName);
  return doc;
}

void MetabaseDoc::Index(const std::string& fileName) {
  const pugi::xml_node root = xml_.document_element();
  if (!root || LocalName(root.name()) != "configuration") {
    throw MetabaseError(platform::kErrFail,
                        "The metabase file " + fileName + " has no <configuration> root element");
  }
  pugi::xml_node property;
  for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && LocalName(child.name()) == "MBProperty") {
      property = child;
      break;
    }
  }
  if (!property) {
    throw MetabaseError(platform::kErrFail, "The metabase file " + fileName + " has no <MBProperty> element");
  }

  std::size_t elements = 0;
  for (pugi::xml_node node = property.first_child(); node; node = node.next_sibling()) ++elements;
  keys_.reserve(elements);
  std::size_t pathBytes = 0;
  for (pugi::xml_node node = property.first_child(); node; node = node.next_sibling()) {
    if (node.type() != pugi::node_element) continue;
    MetabaseKey key;
    key.node = node;
    bool hasLocation = false;
    const char* appRoot = nullptr;
    for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
      // Keys have some ten attributes each: the first letter rules out most at once.
      const char* name = a.name();
      switch (mbtext::AsciiLowerChar(name[0])) {
        case 'l':
          if (!hasLocation && NameIs(name, "Location")) {
            hasLocation = true;
            key.path = a.value();
          }
          break;
        case 'a':
          if (!key.ownAppPoolId.text && NameIs(name, "AppPoolId")) {
            key.ownAppPoolId = {a.value(), false};
          } else if (!appRoot && NameIs(name, "AppRoot")) {
            appRoot = a.value();
          }
          break;
        case 's':
          if (!key.ownScriptMaps.text && NameIs(name, "ScriptMaps")) {
            key.ownScriptMaps = {a.value(), true};
          } else if (!key.ownServerComment.text && NameIs(name, "ServerComment")) {
            key.ownServerComment = {a.value(), false};
          }
          break;
        default:
          break;
      }
    }
    if (!hasLocation) continue;
    // Get also answers from <Custom Name=".."> children; the index must agree with it, or a
    // pool would list an application whose AppPoolId names another.
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
      if (c.type() != pugi::node_element || LocalName(c.name()) != "Custom") continue;
      const std::string_view name = c.attribute("Name").value();
      // AppPoolId and ServerComment are texts here as in an attribute, whatever the element's
      // Type says: as a list, the application's pool would differ from the one indexed.
      if (!key.ownAppPoolId.text && mbtext::IEquals(name, "AppPoolId")) {
        key.ownAppPoolId = {c.attribute("Value").value(), false};
      } else if (!key.ownScriptMaps.text && mbtext::IEquals(name, "ScriptMaps")) {
        key.ownScriptMaps = CustomValue(c, name);
      } else if (!key.ownServerComment.text && mbtext::IEquals(name, "ServerComment")) {
        key.ownServerComment = {c.attribute("Value").value(), false};
      } else if (!appRoot && mbtext::IEquals(name, "AppRoot")) {
        appRoot = c.attribute("Value").value();
      }
    }
    while (key.path.size() > 1 && key.path.back() == '/') key.path.remove_suffix(1);
    pathBytes += key.path.size();
    key.className = LocalName(node.name());
    const auto nameOffset = node.offset_debug();
    key.offset = nameOffset > 0 ? static_cast<std::size_t>(nameOffset) - 1 + bom_ : 0;
    // The offset is checked where it is used (an edit scans the tag there); reading the
    // text here would touch every page of a copy the parser never read.
    if (nameOffset <= 0) {
      throw MetabaseError(platform::kErrFail, "The metabase file " + fileName + " could not be indexed");
    }
    key.isApp = appRoot != nullptr && !IsBlank(appRoot);  // and under the service: below
    if (key.ownScriptMaps.text) {
      scriptMaps_.push_back(
          std::make_unique<const std::vector<std::string_view>>(mbtext::SplitMultiValue(key.ownScriptMaps.text)));
      key.ownScriptMaps.lines = scriptMaps_.back().get();
    }
    keys_.push_back(std::move(key));
  }
  // One block for the lower-cased paths: sized first, so that the views stay valid.
  lowerPaths_.resize(pathBytes);
  char* lower = lowerPaths_.data();
  for (auto& key : keys_) {
    std::transform(key.path.begin(), key.path.end(), lower, mbtext::AsciiLowerChar);
    key.lower = std::string_view(lower, key.path.size());
    lower += key.path.size();
    key.isApp = key.isApp && key.lower.starts_with(kW3svcPrefix);
  }

  // Views into keys_ stay valid: keys_ no longer grows. The first element for a path wins;
  // a second one is ignored.
  // At most half full, so that a miss ends soon.
  std::size_t slots = 16;
  while (slots < 2 * keys_.size()) slots *= 2;
  byLower_.assign(slots, PathSlot{});
  std::vector<bool> first(keys_.size());
  for (std::size_t i = 0; i < keys_.size(); ++i) first[i] = Insert(i);
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    if (!first[i]) continue;
    for (std::string_view up = mbtext::ParentPath(keys_[i].lower); !up.empty(); up = mbtext::ParentPath(up)) {
      if (const std::size_t found = Lookup(up); found != kNoKey) {
        keys_[i].parent = found;
        if (mbtext::ParentPath(keys_[i].lower) == up) keys_[found].children.push_back(i);
        break;
      }
    }
  }
  // Each application's pool, then its path as EnumAppsInPool gives it: the service part
  // spelled canonically, the rest as the file does, and a closing "/".
  std::vector<std::pair<std::size_t, std::vector<std::string_view>*>> apps;
  std::size_t appBytes = 0;
  std::string lowerPool;
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    if (!keys_[i].isApp || !first[i]) continue;
    std::string_view pool = kDefaultAppPool;
    for (std::size_t k = i; k != kNoKey; k = keys_[k].parent) {
      if (keys_[k].ownAppPoolId.text) {
        pool = keys_[k].ownAppPoolId.text;
        break;
      }
    }
    lowerPool.assign(pool);
    mbtext::AsciiLowerInPlace(lowerPool);
    apps.emplace_back(i, &appsByPool_[lowerPool]);
    appBytes += keys_[i].path.size() + 1;
  }
  // Sized first, so that the views stay valid.
  appPaths_.resize(appBytes);
  char* at = appPaths_.data();
  constexpr std::string_view kService = "/LM/W3SVC/";
  for (const auto& [i, paths] : apps) {
    const std::string_view below = keys_[i].path.substr(kW3svcPrefix.size());
    char* const begin = at;
    at = std::copy(kService.begin(), kService.end(), at);
    at = std::copy(below.begin(), below.end(), at);
    *at++ = '/';
    paths->emplace_back(begin, static_cast<std::size_t>(at - begin));
  }
}

std::size_t MetabaseDoc::Lookup(std::string_view lowerPath) const {
  if (byLower_.empty()) return kNoKey;
  const std::size_t hash = std::hash<std::string_view>{}(lowerPath);
  const std::size_t mask = byLower_.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    const PathSlot& slot = byLower_[at];
    if (slot.key == 0) return kNoKey;
    if (slot.hash == static_cast<std::uint32_t>(hash) && keys_[slot.key - 1].lower == lowerPath) return slot.key - 1;
  }
}

bool MetabaseDoc::Insert(std::size_t key) {
  const std::string_view lower = keys_[key].lower;
  const std::size_t hash = std::hash<std::string_view>{}(lower);
  const std::size_t mask = byLower_.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    PathSlot& slot = byLower_[at];
    if (slot.key == 0) {
      slot = {static_cast<std::uint32_t>(hash), static_cast<std::uint32_t>(key + 1)};
      return true;
    }
    if (slot.hash == static_cast<std::uint32_t>(hash) && keys_[slot.key - 1].lower == lower) return false;
  }
}

const MetabaseKey* MetabaseDoc::FindLower(std::string_view lowerPath) const {
  const std::size_t found = Lookup(lowerPath);
  return found == kNoKey ? nullptr : &keys_[found];
}

platform::MetabaseList MetabaseDoc::SharedList(const char* raw) const {
  const std::vector<std::string_view>* views = nullptr;
  {
    std::lock_guard lock(multiMutex_);
    auto& cached = multi_[raw];
    if (!cached) cached = std::make_unique<const std::vector<std::string_view>>(mbtext::SplitMultiValue(raw));
    views = cached.get();
  }
  // The views point into this document's text: the list keeps the document alive.
  return platform::MetabaseList(std::shared_ptr<const std::vector<std::string_view>>(shared_from_this(), views));
}

MetabaseValue MetabaseDoc::ValueOf(const RawValue& raw) const {
  if (raw.lines) {
    // The views point into this document's text: the list keeps the document alive.
    return platform::MetabaseList(std::shared_ptr<const std::vector<std::string_view>>(shared_from_this(), raw.lines));
  }
  if (raw.multi) return SharedList(raw.text);
  return MetabaseValue(std::string(raw.text));
}

std::optional<MetabaseDoc::RawValue> MetabaseDoc::OwnRaw(const MetabaseKey& key, std::string_view property) const {
  if (const Indexed kind = IndexedKind(property); kind != Indexed::kNo) {
    const RawValue& indexed = IndexedRaw(key, kind);
    if (indexed.text) return indexed;
    return std::nullopt;
  }
  // KeyType is the element's name in MetaBase.xml; the name ends its tag's name, so its
  // text is terminated.
  if (mbtext::IEquals(property, "KeyType") && !key.className.empty()) return RawValue{key.className.data(), false};
  // The Location attribute is the key's path, not a property.
  const bool location = mbtext::IEquals(property, "Location");
  for (pugi::xml_attribute a = key.node.first_attribute(); a && !location; a = a.next_attribute()) {
    if (NameIs(a.name(), property)) return RawValue{a.value(), mbtext::IsMultiValued(property)};
  }
  // Properties outside the schema: <Custom Name="..." Value="..." Type="MULTISZ" .../>
  for (pugi::xml_node c = key.node.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element || LocalName(c.name()) != "Custom") continue;
    if (!mbtext::IEquals(c.attribute("Name").value(), property)) continue;
    return CustomValue(c, property);
  }
  return std::nullopt;
}

std::optional<MetabaseDoc::RawValue> MetabaseDoc::InheritRaw(std::size_t k, std::string_view lowerPath,
                                                             std::string_view property) const {
  const Indexed kind = IndexedKind(property);
  if (!IsInherited(kind)) return std::nullopt;
  for (; k != kNoKey; k = keys_[k].parent) {
    if (const RawValue& own = IndexedRaw(keys_[k], kind); own.text) return own;
  }
  if (kind == Indexed::kAppPoolId && (lowerPath == "/lm/w3svc" || lowerPath.starts_with(kW3svcPrefix))) {
    return RawValue{kDefaultAppPool.data(), false};
  }
  return std::nullopt;
}

std::optional<MetabaseDoc::RawValue> MetabaseDoc::GetRaw(const MetabaseKey& key, std::string_view property) const {
  if (auto own = OwnRaw(key, property)) return own;
  return InheritRaw(key.parent, key.lower, property);
}

std::optional<MetabaseValue> MetabaseDoc::Get(const MetabaseKey& key, std::string_view property) const {
  if (const auto raw = GetRaw(key, property)) return ValueOf(*raw);
  return std::nullopt;
}

std::optional<MetabaseDoc::RawValue> MetabaseDoc::GetInheritedRaw(std::string_view path,
                                                                  std::string_view property) const {
  const std::string lower = mbtext::AsciiLower(path);
  for (std::string_view up = mbtext::ParentPath(lower); !up.empty(); up = mbtext::ParentPath(up)) {
    if (const auto* found = FindLower(up)) {
      return InheritRaw(static_cast<std::size_t>(found - keys_.data()), lower, property);
    }
  }
  return InheritRaw(kNoKey, lower, property);
}

std::optional<MetabaseValue> MetabaseDoc::GetInherited(std::string_view path, std::string_view property) const {
  if (const auto raw = GetInheritedRaw(path, property)) return ValueOf(*raw);
  return std::nullopt;
}

platform::MetabaseList MetabaseDoc::AppsInPool(std::string_view poolName) const {
  const auto it = appsByPool_.find(mbtext::AsciiLower(poolName));
  if (it == appsByPool_.end()) return {};
  // The views point into this document: the list keeps the document alive.
  return platform::MetabaseList(std::shared_ptr<const std::vector<std::string_view>>(shared_from_this(), &it->second));
}

std::size_t MetabaseDoc::AppCountInPool(std::string_view poolName) const {
  const auto it = appsByPool_.find(mbtext::AsciiLower(poolName));
  return it == appsByPool_.end() ? 0 : it->second.size();
}

std::size_t MetabaseDoc::ElementEndOf(std::size_t lt) const {
  const auto end = mbtext::ElementEnd(text_, lt);
  if (!end) throw MetabaseError(platform::kErrFail, "The metabase text at offset " + std::to_string(lt) +
                                                        " is not a well-formed element");
  return *end;
}

std::string MetabaseDoc::WithProperties(const MetabaseKey& key, const PropertyList& properties,
                                        const std::vector<std::string>& cleared) const {
  const std::string_view text = text_;
  const std::string_view lineBreak = mbtext::LineBreakOf(text);
  const auto tag = mbtext::ScanStartTag(text, key.offset);
  if (!tag) throw Broken(key.path);

  std::vector<Edit> edits;
  std::string appended;  // new attributes of the key's own tag, in the order given
  const auto findAttr = [&](const mbtext::StartTag& t, std::string_view name) -> const mbtext::AttrSpan* {
    for (const auto& a : t.attrs) {
      const std::string_view n = text.substr(a.nameBegin, a.nameEnd - a.nameBegin);
      if (mbtext::IEquals(n, name) && !mbtext::IEquals(n, "Location")) return &a;
    }
    return nullptr;
  };
  const auto replaceValue = [&](const mbtext::AttrSpan& a, const MetabaseValue& value) {
    const std::string_view raw = text.substr(a.valueBegin, a.valueEnd - a.valueBegin);
    edits.push_back({a.valueBegin, a.valueEnd - a.valueBegin,
                     ValueText(value, a.quote, MultiSeparator(raw, lineBreak))});
  };
  const std::string defaultSep = std::string(lineBreak) + "\t\t\t";
  const auto place = NewAttributePlace(text, *tag, lineBreak);

  for (const auto& [name, value] : properties) {
    if (const auto* attr = findAttr(*tag, name)) {
      replaceValue(*attr, value);
      continue;
    }
    bool done = false;
    for (pugi::xml_node c = key.node.first_child(); c && !done; c = c.next_sibling()) {
      if (c.type() != pugi::node_element || LocalName(c.name()) != "Custom") continue;
      if (!mbtext::IEquals(c.attribute("Name").value(), name)) continue;
      const auto nameOffset = c.offset_debug();
      if (nameOffset <= 0) throw Broken(key.path);
      const auto customTag = mbtext::ScanStartTag(text, static_cast<std::size_t>(nameOffset) - 1 + bom_);
      if (!customTag) throw Broken(key.path);
      if (const auto* valueAttr = findAttr(*customTag, "Value")) {
        replaceValue(*valueAttr, value);
      } else {
        const auto [pos, sep] = NewAttributePlace(text, *customTag, lineBreak);
        edits.push_back({pos, 0, sep + "Value=\"" + ValueText(value, '"', defaultSep) + "\""});
      }
      done = true;
    }
    if (!done) appended += place.second + name + "=\"" + ValueText(value, '"', defaultSep) + "\"";
  }
  for (const auto& name : cleared) {
    for (std::size_t i = 0; i < tag->attrs.size(); ++i) {
      const auto& a = tag->attrs[i];
      const std::string_view n = text.substr(a.nameBegin, a.nameEnd - a.nameBegin);
      if (!mbtext::IEquals(n, name) || mbtext::IEquals(n, "Location")) continue;
      // With the space before it: the inverse of appending it after the last attribute.
      const std::size_t begin = i == 0 ? tag->nameEnd : tag->attrs[i - 1].valueEnd + 1;
      edits.push_back({begin, a.valueEnd + 1 - begin, {}});
    }
    for (pugi::xml_node c = key.node.first_child(); c; c = c.next_sibling()) {
      if (c.type() != pugi::node_element || LocalName(c.name()) != "Custom") continue;
      if (!mbtext::IEquals(c.attribute("Name").value(), name)) continue;
      const auto nameOffset = c.offset_debug();
      if (nameOffset <= 0) throw Broken(key.path);
      const std::size_t lt = static_cast<std::size_t>(nameOffset) - 1 + bom_;
      std::size_t begin = lt;
      while (begin > tag->end && IsLayoutSpace(text[begin - 1])) --begin;
      edits.push_back({begin, ElementEndOf(lt) - begin, {}});
    }
  }
  if (!appended.empty()) edits.push_back({place.first, 0, std::move(appended)});
  return ApplyEdits(text, std::move(edits));
}

std::string MetabaseDoc::WithNewKey(const MetabaseKey& parent, std::string_view path, std::string_view className,
                                    const PropertyList& properties) const {
  const std::string_view lineBreak = mbtext::LineBreakOf(text_);
  // After the parent's last descendant, so that the file stays in tree order.
  std::size_t anchor = parent.offset;
  const std::string below = std::string(parent.lower) + "/";
  for (const auto& k : keys_) {
    if (k.offset > anchor && k.lower.starts_with(below)) anchor = k.offset;
  }
  const std::size_t at = ElementEndOf(anchor);

  std::string element;
  element.append(lineBreak).append("<").append(className).append("\tLocation =\"");
  element.append(mbtext::EscapeAttribute(path, '"')).append("\"");
  const std::string sep = std::string(lineBreak) + "\t\t\t";
  for (const auto& [name, value] : properties) {
    element.append(lineBreak).append("\t\t").append(name).append("=\"").append(ValueText(value, '"', sep)).append("\"");
  }
  element.append(lineBreak).append("\t>").append(lineBreak).append("</").append(className).append(">");
  return ApplyEdits(text_, {Edit{at, 0, std::move(element)}});
}

std::string MetabaseDoc::WithoutKey(const MetabaseKey& key) const {
  std::vector<Edit> edits;
  const std::string below = std::string(key.lower) + "/";
  for (const auto& k : keys_) {
    if (k.lower != key.lower && !k.lower.starts_with(below)) continue;
    std::size_t begin = k.offset;
    // The line break and indentation before the element go with it.
    while (begin > 0 && IsLayoutSpace(text_[begin - 1])) --begin;
    edits.push_back({begin, ElementEndOf(k.offset) - begin, {}});
  }
  return ApplyEdits(text_, std::move(edits));
}

}  // namespace tarnwell::standin
