#pragma once
// One parsed MetaBase.xml: the file's bytes, its XML tree and an index of its keys by path
// and of its applications by pool. Immutable once built, so any thread may read it; a
// change builds new text from it (splicing only the touched bytes) and a new document.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pugixml.hpp>

#include "platform/metabase.h"

namespace tarnwell::standin {

inline constexpr std::size_t kNoKey = static_cast<std::size_t>(-1);

// A property's text as the file holds it (inside its document), and whether it is a list.
struct MetabaseRawValue {
  const char* text = nullptr;  // null: not set
  bool multi = false;
  const std::vector<std::string_view>* lines = nullptr;  // a list split already; else null
};

// What a bind and an inherited Get read comes first, so that for most keys it is one cache
// line: LoadPools binds some ten thousand application keys one after another.
struct alignas(64) MetabaseKey {
  std::string_view lower;       // path, ASCII lower-case; in the document's lowerPaths_
  std::size_t parent = kNoKey;  // nearest ancestor that has a key of its own
  // The key's own values of the inherited properties, found once: inheritance walks up
  // the path on every Get. ServerComment too: LoadPools reads it for every application.
  MetabaseRawValue ownScriptMaps;
  bool isApp = false;  // has AppRoot, under /LM/W3SVC
  MetabaseRawValue ownAppPoolId;
  MetabaseRawValue ownServerComment;
  std::string_view className;   // element name without a namespace prefix
  std::string_view path;        // as the file spells it, without a closing "/"; in the tree
  pugi::xml_node node;
  std::size_t offset = 0;       // the element's '<' in the text
  std::vector<std::size_t> children;  // keys one level below, in file order
};

using PropertyList = std::vector<std::pair<std::string, platform::MetabaseValue>>;

class MetabaseDoc : public std::enable_shared_from_this<MetabaseDoc> {
 public:
  // Parses a MetaBase.xml text. Raises MetabaseError naming fileName and the fault.
  static std::shared_ptr<const MetabaseDoc> Parse(std::string text, const std::string& fileName);

  MetabaseDoc(const MetabaseDoc&) = delete;
  MetabaseDoc& operator=(const MetabaseDoc&) = delete;

  const std::string& Text() const { return text_; }
  const std::vector<MetabaseKey>& Keys() const { return keys_; }
  // The key at a lower-cased path; null when the file has none.
  const MetabaseKey* FindLower(std::string_view lowerPath) const;

  // A property of the key: its own value, else for AppPoolId and ScriptMaps the nearest
  // ancestor's, else AppPoolId's default.
  std::optional<platform::MetabaseValue> Get(const MetabaseKey& key, std::string_view property) const;
  // The same for a path that has no key (yet): only what it would inherit.
  std::optional<platform::MetabaseValue> GetInherited(std::string_view path, std::string_view property) const;

  // Whether the key holds a value of the property itself (attribute or Custom element).
  bool HasOwn(const MetabaseKey& key, std::string_view property) const { return OwnRaw(key, property).has_value(); }

  using RawValue = MetabaseRawValue;
  std::optional<RawValue> GetRaw(const MetabaseKey& key, std::string_view property) const;
  std::optional<RawValue> GetInheritedRaw(std::string_view path, std::string_view property) const;
  // A list's lines, split once per document and shared by every reader.
  platform::MetabaseList SharedList(const char* raw) const;
  platform::MetabaseValue ValueOf(const RawValue& raw) const;
  // Paths of the applications whose effective AppPoolId is the pool, in file order,
  // each "/LM/W3SVC/..." with a closing "/". Shared, like SharedList.
  platform::MetabaseList AppsInPool(std::string_view poolName) const;
  std::size_t AppCountInPool(std::string_view poolName) const;

  // New file texts for the three kinds of change; the rest of the text is kept byte for byte.
  // `cleared` names properties whose own values go (attribute and layout space before it,
  // or Custom element), so that a value added by WithProperties comes off without a trace.
  std::string WithProperties(const MetabaseKey& key, const PropertyList& properties,
                             const std::vector<std::string>& cleared = {}) const;
  // parent must exist; path is the new key's full path.
  std::string WithNewKey(const MetabaseKey& parent, std::string_view path, std::string_view className,
                         const PropertyList& properties) const;
  // Removes the key and every key below it.
  std::string WithoutKey(const MetabaseKey& key) const;

 private:
  MetabaseDoc() = default;
  void Index(const std::string& fileName);
  std::optional<RawValue> OwnRaw(const MetabaseKey& key, std::string_view property) const;
  // Walks up from key index k (inclusive) for an inherited property.
  std::optional<RawValue> InheritRaw(std::size_t k, std::string_view lowerPath, std::string_view property) const;
  std::size_t ElementEndOf(std::size_t lt) const;

  std::string text_;
  std::size_t bom_ = 0;  // bytes of a UTF-8 byte-order mark before what pugixml parsed
  pugi::xml_document xml_;
  std::vector<MetabaseKey> keys_;
  std::string lowerPaths_;  // every key's lower-cased path, one after another
  // Keys by lower-cased path: open addressing over indexes into keys_, so that a lookup
  // touches one small slot array and the key's own text (a bind per lookup, two per
  // application in LoadPools).
  struct PathSlot {
    std::uint32_t hash = 0;
    std::uint32_t key = 0;  // index into keys_ + 1; 0 when empty
  };
  std::vector<PathSlot> byLower_;
  std::size_t Lookup(std::string_view lowerPath) const;  // kNoKey when absent
  bool Insert(std::size_t key);                           // false when the path is there already
  // Application paths as EnumAppsInPool gives them, by lower-cased pool; views into appPaths_.
  std::unordered_map<std::string, std::vector<std::string_view>> appsByPool_;
  std::string appPaths_;

  // Every key's own ScriptMaps, split while indexing: LoadPools reads them for every
  // application.
  std::vector<std::unique_ptr<const std::vector<std::string_view>>> scriptMaps_;
  // Other split multi-values by their raw attribute text; filled on first Get.
  mutable std::mutex multiMutex_;
  mutable std::unordered_map<const char*, std::unique_ptr<const std::vector<std::string_view>>> multi_;
};

}  // namespace tarnwell::standin
