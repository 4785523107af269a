#pragma once
// The metabase seam: what the program asks of the IIS configuration. ADSI answers it on
// Windows; the MetaBase.xml store answers it on Linux and in tests.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarnwell::platform {

// Codes the IIS provider gives for the failures callers can meet.
inline constexpr std::uint32_t kErrPathNotFound = 0x80070003;   // no such key
inline constexpr std::uint32_t kErrAlreadyExists = 0x800700B7;  // Create of an existing key
inline constexpr std::uint32_t kErrPoolNotEmpty = 0x800710D3;   // Delete of a pool in use
inline constexpr std::uint32_t kErrPropertyNotFound = 0x8000500D;
inline constexpr std::uint32_t kErrNotBound = 0x80004003;       // a call on an object never bound
inline constexpr std::uint32_t kErrFail = 0x80004005;
// What binding an IIS:// path gives where the IIS provider is not registered (no IIS 6, or
// IIS 7 and later without IIS 6 Metabase Compatibility): MK_E_SYNTAX from ADsGetObject,
// E_ADS_BAD_PATHNAME, or REGDB_E_CLASSNOTREG for a provider whose class is gone.
inline constexpr std::uint32_t kErrNoIisProvider = 0x800401E4;
inline constexpr std::uint32_t kErrBadAdsPath = 0x80005000;
inline constexpr std::uint32_t kErrClassNotRegistered = 0x80040154;

class MetabaseError : public std::runtime_error {
 public:
  MetabaseError(std::uint32_t code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  std::uint32_t code() const noexcept { return code_; }

 private:
  std::uint32_t code_;
};

// An array value: immutable, and shared with whatever holds its texts, so that handing it
// on copies no text. LoadPools reads the same inherited ScriptMaps (some fifty entries)
// for every application of a server.
class MetabaseList {
 public:
  using value_type = std::string_view;
  using const_iterator = std::vector<std::string_view>::const_iterator;

  MetabaseList() = default;
  // A list that owns its texts.
  MetabaseList(std::vector<std::string> items);  // NOLINT: a vector is an array value
  MetabaseList(std::initializer_list<std::string_view> items);
  // Views into texts that `items` keeps alive (an aliasing pointer to their owner).
  explicit MetabaseList(std::shared_ptr<const std::vector<std::string_view>> items) : items_(std::move(items)) {}

  const_iterator begin() const { return Views().begin(); }
  const_iterator end() const { return Views().end(); }
  std::size_t size() const { return Views().size(); }
  bool empty() const { return Views().empty(); }
  std::string_view operator[](std::size_t i) const { return Views()[i]; }
  std::string_view front() const { return Views().front(); }
  std::vector<std::string> Strings() const { return {begin(), end()}; }

  friend bool operator==(const MetabaseList& a, const MetabaseList& b) { return a.Views() == b.Views(); }
  // The same stored list (not merely equal texts): callers may remember what they worked
  // out from one. Null for an empty list.
  const void* Identity() const { return items_.get(); }

 private:
  const std::vector<std::string_view>& Views() const;
  std::shared_ptr<const std::vector<std::string_view>> items_;  // null when empty
};

inline MetabaseList::MetabaseList(std::vector<std::string> items) {
  if (items.empty()) return;
  struct Owned {
    std::vector<std::string> texts;
    std::vector<std::string_view> views;
  };
  auto owned = std::make_shared<Owned>();
  owned->texts = std::move(items);
  owned->views.assign(owned->texts.begin(), owned->texts.end());
  items_ = std::shared_ptr<const std::vector<std::string_view>>(owned, &owned->views);
}

inline MetabaseList::MetabaseList(std::initializer_list<std::string_view> items)
    : MetabaseList(std::vector<std::string>(items.begin(), items.end())) {}

inline const std::vector<std::string_view>& MetabaseList::Views() const {
  static const std::vector<std::string_view> empty;
  return items_ ? *items_ : empty;
}

// A property value as a late-bound call returns it: one text, or an array of texts.
using MetabaseValue = std::variant<std::string, MetabaseList>;

inline bool IsArray(const MetabaseValue& v) { return std::holds_alternative<MetabaseList>(v); }

class IMetabaseEnumerator;

// One bound metabase object. Every call that fails raises MetabaseError.
class IMetabaseObject {
 public:
  virtual ~IMetabaseObject() = default;

  // IADs::Name: the last component of the object's path, as the metabase spells it.
  virtual std::string Name() const = 0;
  // "Get" of a property; inherited properties (AppPoolId, ScriptMaps) answer as IIS does.
  virtual MetabaseValue Get(std::string_view property) = 0;
  // "Put": staged on this object until SetInfo.
  virtual void Put(std::string_view property, const MetabaseValue& value) = 0;
  // "PutEx" with ADS_PROPERTY_CLEAR: staged like Put (the later of the two wins); at
  // SetInfo the key's own value goes, and the key inherits the property again.
  virtual void Clear(std::string_view property) = 0;
  // Whether the key itself holds a value of the property rather than inheriting one, as
  // IIS's "GetDataPaths" tells it. Reads the saved configuration, not staged changes.
  virtual bool HasOwnValue(std::string_view property) = 0;
  // "SetInfo": saves staged properties, and creates the key of an object made by Create.
  virtual void SetInfo() = 0;
  // "EnumAppsInPool" on a pool object: the application paths, "/LM/W3SVC/1/ROOT/shop/".
  virtual MetabaseValue EnumAppsInPool() = 0;
  // Container operations.
  virtual std::unique_ptr<IMetabaseObject> Create(std::string_view className, std::string_view name) = 0;
  virtual void Delete(std::string_view className, std::string_view name) = 0;
  virtual std::unique_ptr<IMetabaseObject> GetObject(std::string_view className, std::string_view name) = 0;
  virtual std::unique_ptr<IMetabaseEnumerator> Enumerate() = 0;
};

class IMetabaseEnumerator {
 public:
  virtual ~IMetabaseEnumerator() = default;
  // Fetches the next child. False at the end. A child that is not a directory object
  // (no IADs) comes back as a null pointer with true, and the caller skips it.
  virtual bool Next(std::unique_ptr<IMetabaseObject>& child) = 0;
};

class IMetabase {
 public:
  virtual ~IMetabase() = default;
  // Binds an ADSI path such as "IIS://localhost/W3SVC/AppPools" (case-insensitive).
  // Raises MetabaseError (kErrPathNotFound for a missing key).
  virtual std::unique_ptr<IMetabaseObject> Bind(std::string_view adsPath) = 0;
};

}  // namespace tarnwell::platform
