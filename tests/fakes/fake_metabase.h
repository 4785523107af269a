#pragma once
// A metabase held in memory, for logic tests: keys with classes and properties, pools,
// applications (AppRoot) with AppPoolId and ScriptMaps inherited down the path as IIS does,
// a log of every call, and failure injection. Thread-safe.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/metabase.h"

namespace tarnwell::fakes {

class FakeMetabase final : public platform::IMetabase {
  template <typename F>
  auto Locked(F f) const {  // before its callers: they deduce its type
    std::lock_guard lock(mutex_);
    return f();
  }

 public:
  // Kinds of call, for failure injection. A call may be of two kinds: every Get of
  // "ServerComment" is also a Get, every SetInfo that saves an AppPoolId also a SetInfo.
  enum class Op { Bind, Name, Get, GetServerComment, Put, Clear, HasOwnValue, SetInfo, SetInfoAppPoolId,
                  EnumAppsInPool, Create, Delete, GetObject, Enumerate };

  // Starts with /LM, /LM/W3SVC and /LM/W3SVC/AppPools.
  FakeMetabase();

  // Setting up. Paths are metabase paths ("/LM/W3SVC/1/ROOT/shop"), any case.
  void AddKey(const std::string& path, const std::string& className);
  void AddPool(const std::string& name);
  // /LM/W3SVC/<id>, with a ServerComment unless none is given.
  void AddSite(const std::string& id, std::optional<std::string> comment = std::nullopt);
  // An application (AppRoot set), in its own AppPoolId when given, else inheriting one.
  void AddApp(const std::string& path, std::optional<std::string> appPoolId = std::nullopt);
  void SetProperty(const std::string& path, const std::string& property, platform::MetabaseValue value);
  // An enumeration entry under the container that is no directory object (Next gives null).
  void AddNonDirectoryChild(const std::string& containerPath);
  // What EnumAppsInPool of the pool answers instead of its applications.
  void SetEnumAppsResult(const std::string& pool, platform::MetabaseValue value);

  // Looking at the state.
  bool HasKey(const std::string& path) const { return Locked([&] { return Find(path) != nullptr; }); }
  std::vector<std::string> PoolNames() const;
  // The pool the application runs in (its own AppPoolId, an ancestor's, or DefaultAppPool).
  std::string EffectiveAppPool(const std::string& appPath) const;
  // Whether the key holds the property itself.
  bool HasOwnProperty(const std::string& path, const std::string& property) const;
  // As EnumAppsInPool gives them: "/LM/W3SVC/1/ROOT/shop/".
  std::vector<std::string> AppsInPool(const std::string& pool) const { return Locked([&] { return AppsIn(pool); }); }

  // Every call, in order: "Bind IIS://localhost/w3svc", "Get /LM/W3SVC/1 ServerComment",
  // "Put /LM/W3SVC/1/ROOT/shop AppPoolId=Temp", "Clear /LM/W3SVC/1/ROOT/shop AppPoolId",
  // "HasOwnValue /LM/W3SVC/1/ROOT/shop AppPoolId", "SetInfo /LM/W3SVC/1/ROOT/shop",
  // "EnumAppsInPool /LM/W3SVC/AppPools/Shop", "Create /LM/W3SVC/AppPools IIsApplicationPool Temp",
  // "Delete /LM/W3SVC/AppPools IIsApplicationPool Temp", "GetObject /LM/W3SVC IIsWebServer 1",
  // "Enumerate /LM/W3SVC/AppPools", "Name /LM/W3SVC/AppPools/Shop".
  std::vector<std::string> Calls() const { return Locked([&] { return calls_; }); }
  // Calls whose line starts with the prefix.
  int CountCalls(std::string_view prefix) const;
  void ClearCalls() { Locked([&] { calls_.clear(); }); }

  // Makes the nth (from 1) call of the kind whose log line contains `match` (any case;
  // empty: every line; a final "$" anchors it at the line's end) raise MetabaseError with
  // the code. nth 0: every such call. The failed call is logged like any other.
  void FailCall(Op op, int nth = 1, std::string match = {}, std::uint32_t code = platform::kErrFail);

  std::unique_ptr<platform::IMetabaseObject> Bind(std::string_view adsPath) override;

 private:
  friend class FakeMetabaseObject;
  using PropertyList = std::vector<std::pair<std::string, platform::MetabaseValue>>;
  struct Key {
    std::string path;
    std::string lower;  // of path: what lookups compare
    std::string className;
    PropertyList properties;
    bool directory = true;
  };
  struct FailRule {
    Op op;
    int nth;
    std::string match;  // lower-cased
    std::uint32_t code;
    int seen = 0;
  };

  // Logs the call and raises when a rule says so. Caller holds mutex_, as for all below.
  void Record(const std::string& line, std::initializer_list<Op> kinds);
  Key* Find(std::string_view path) const;
  Key& Existing(const std::string& path) const;  // raises "Path not found"
  std::optional<platform::MetabaseValue> Lookup(const std::string& path, std::string_view property) const;
  std::vector<std::string> AppsIn(const std::string& pool) const;

  mutable std::mutex mutex_;
  mutable std::vector<Key> keys_;  // in the order they were added, as a file holds them
  std::map<std::string, platform::MetabaseValue> enumAppsOverride_;  // by lower-cased pool name
  std::vector<std::string> calls_;
  std::vector<FailRule> rules_;
};

}  // namespace tarnwell::fakes
