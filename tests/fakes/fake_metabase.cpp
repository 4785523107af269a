#include "tests/fakes/fake_metabase.h"

#include <algorithm>

#include "iis/iis.h"

namespace tarnwell::fakes {

using platform::IMetabaseEnumerator;
using platform::IMetabaseObject;
using platform::MetabaseError;
using platform::MetabaseValue;
using Op = FakeMetabase::Op;

namespace {

using Properties = std::vector<std::pair<std::string, MetabaseValue>>;

bool IEquals(std::string_view a, std::string_view b) { return LowerAscii(a) == LowerAscii(b); }

bool StartsWithI(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && IEquals(text.substr(0, prefix.size()), prefix);
}

std::string Trimmed(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string ParentOf(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos || slash == 0 ? std::string() : std::string(path.substr(0, slash));
}

std::string LastOf(std::string_view path) {
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::optional<std::string> MetabasePath(std::string_view ads) {
  if (StartsWithI(ads, "IIS://localhost")) return Trimmed("/LM" + std::string(ads.substr(15)));
  if (StartsWithI(ads, "/LM")) return Trimmed(std::string(ads));
  return std::nullopt;
}

std::string ValueText(const MetabaseValue& value) {
  if (const auto* s = std::get_if<std::string>(&value)) return *s;
  std::string out;
  for (std::string_view line : std::get<platform::MetabaseList>(value)) out.append(out.empty() ? "" : "|").append(line);
  return out;
}

// Property lists and name lists match names in any case, as the metabase does.
std::string_view NameOf(const std::pair<std::string, MetabaseValue>& property) { return property.first; }
std::string_view NameOf(const std::string& name) { return name; }

template <typename List>
auto FindNamed(List& list, std::string_view name) {
  return std::find_if(list.begin(), list.end(), [&](const auto& entry) { return IEquals(NameOf(entry), name); });
}

template <typename List>
void EraseNamed(List& list, std::string_view name) {
  std::erase_if(list, [&](const auto& entry) { return IEquals(NameOf(entry), name); });
}

void SetNamed(Properties& list, std::string_view name, MetabaseValue value) {
  if (const auto it = FindNamed(list, name); it != list.end()) {
    it->second = std::move(value);
  } else {
    list.emplace_back(std::string(name), std::move(value));
  }
}

[[noreturn]] void NotFound(const std::string& path) {
  throw MetabaseError(platform::kErrPathNotFound, "Path not found: " + path);
}

}  // namespace

class FakeMetabaseObject final : public IMetabaseObject {
 public:
  FakeMetabaseObject(FakeMetabase& owner, std::string path, std::string className, bool pending = false)
      : owner_(owner), path_(std::move(path)), className_(std::move(className)), pending_(pending) {}

  std::string Name() const override {
    auto lock = Log("Name", {Op::Name});
    return LastOf(path_);
  }
  MetabaseValue Get(std::string_view property) override {
    auto lock = IEquals(property, "ServerComment") ? Log("Get", {Op::Get, Op::GetServerComment}, {property})
                                                   : Log("Get", {Op::Get}, {property});
    if (const auto it = FindNamed(staged_, property); it != staged_.end()) return it->second;
    if (auto value = owner_.Lookup(path_, property)) return *value;
    throw MetabaseError(platform::kErrPropertyNotFound, "Property not found: " + std::string(property) + " on " + path_);
  }
  void Put(std::string_view property, const MetabaseValue& value) override {
    auto lock = Log("Put", {Op::Put}, {std::string(property) + "=" + ValueText(value)});
    EraseNamed(cleared_, property);
    SetNamed(staged_, property, value);
  }
  void Clear(std::string_view property) override {
    auto lock = Log("Clear", {Op::Clear}, {property});
    EraseNamed(staged_, property);
    EraseNamed(cleared_, property);
    cleared_.emplace_back(property);
  }
  bool HasOwnValue(std::string_view property) override {
    auto lock = Log("HasOwnValue", {Op::HasOwnValue}, {property});
    const Properties& properties = owner_.Existing(path_).properties;
    return FindNamed(properties, property) != properties.end();
  }
  void SetInfo() override {
    const bool poolId = FindNamed(staged_, "AppPoolId") != staged_.end() || FindNamed(cleared_, "AppPoolId") != cleared_.end();
    auto lock = poolId ? Log("SetInfo", {Op::SetInfo, Op::SetInfoAppPoolId}) : Log("SetInfo", {Op::SetInfo});
    FakeMetabase::Key* key = pending_ ? owner_.Find(path_) : &owner_.Existing(path_);
    if (pending_) {
      if (key) throw MetabaseError(platform::kErrAlreadyExists, "Already exists: " + path_);
      owner_.Existing(ParentOf(path_));
      key = &owner_.keys_.emplace_back(FakeMetabase::Key{path_, LowerAscii(path_), className_, {}, true});
    }
    for (const auto& [name, value] : staged_) SetNamed(key->properties, name, value);
    for (const auto& name : cleared_) EraseNamed(key->properties, name);
    pending_ = false;
    staged_.clear();
    cleared_.clear();
  }
  MetabaseValue EnumAppsInPool() override {
    auto lock = Log("EnumAppsInPool", {Op::EnumAppsInPool});
    if (!IEquals(className_, "IIsApplicationPool")) throw MetabaseError(platform::kErrFail, "Not a pool: " + path_);
    owner_.Existing(path_);
    const auto it = owner_.enumAppsOverride_.find(LowerAscii(LastOf(path_)));
    return it != owner_.enumAppsOverride_.end() ? it->second : MetabaseValue(owner_.AppsIn(LastOf(path_)));
  }
  std::unique_ptr<IMetabaseObject> Create(std::string_view className, std::string_view name) override {
    auto lock = Log("Create", {Op::Create}, {className, name});
    if (name.empty() || name.find('/') != std::string_view::npos) {
      throw MetabaseError(platform::kErrFail, "Invalid name: " + std::string(name));
    }
    return std::make_unique<FakeMetabaseObject>(owner_, Child(name), std::string(className), true);
  }
  void Delete(std::string_view className, std::string_view name) override {
    auto lock = Log("Delete", {Op::Delete}, {className, name});
    const std::string child = Child(name);
    if (!IEquals(owner_.Existing(child).className, className)) throw MetabaseError(platform::kErrFail, "Wrong class: " + child);
    if (IEquals(className, "IIsApplicationPool") && !owner_.AppsIn(std::string(name)).empty()) {
      throw MetabaseError(platform::kErrPoolNotEmpty, "Pool in use: " + std::string(name));
    }
    const std::string lower = LowerAscii(child);
    std::erase_if(owner_.keys_, [&](const auto& k) { return k.lower == lower || k.lower.starts_with(lower + "/"); });
  }
  std::unique_ptr<IMetabaseObject> GetObject(std::string_view className, std::string_view name) override {
    auto lock = Log("GetObject", {Op::GetObject}, {className, name});
    const std::string child = Child(name);
    const FakeMetabase::Key* key = name.empty() ? nullptr : owner_.Find(child);
    if (!key || !key->directory) NotFound(child);
    if (!IEquals(key->className, className)) throw MetabaseError(platform::kErrPathNotFound, "Wrong class: " + child);
    return std::make_unique<FakeMetabaseObject>(owner_, key->path, std::string(className));
  }
  std::unique_ptr<IMetabaseEnumerator> Enumerate() override;

 private:
  // Locks the metabase and logs "<verb> <path> <words...>" (which may raise).
  std::unique_lock<std::mutex> Log(std::string_view verb, std::initializer_list<Op> kinds,
                                   std::initializer_list<std::string_view> words = {}) const {
    std::string line = std::string(verb) + " " + path_;
    for (const std::string_view word : words) line.append(" ").append(word);
    std::unique_lock lock(owner_.mutex_);
    owner_.Record(line, kinds);
    return lock;
  }
  std::string Child(std::string_view name) const { return path_ + "/" + std::string(name); }

  FakeMetabase& owner_;
  std::string path_;
  std::string className_;
  bool pending_;
  Properties staged_;
  std::vector<std::string> cleared_;
};

namespace {

class FakeEnumerator final : public IMetabaseEnumerator {
 public:
  FakeEnumerator(FakeMetabase& owner, std::vector<std::pair<std::string, std::string>> children)
      : owner_(owner), children_(std::move(children)) {}
  bool Next(std::unique_ptr<IMetabaseObject>& child) override {
    if (next_ >= children_.size()) return false;
    const auto& [path, className] = children_[next_++];
    child = path.empty() ? nullptr : std::make_unique<FakeMetabaseObject>(owner_, path, className);
    return true;
  }

 private:
  FakeMetabase& owner_;
  std::vector<std::pair<std::string, std::string>> children_;  // empty path: no directory object
  std::size_t next_ = 0;
};

}  // namespace

std::unique_ptr<IMetabaseEnumerator> FakeMetabaseObject::Enumerate() {
  auto lock = Log("Enumerate", {Op::Enumerate});
  std::vector<std::pair<std::string, std::string>> children;
  for (const auto& k : owner_.keys_) {
    if (IEquals(ParentOf(k.path), path_)) children.emplace_back(k.directory ? k.path : std::string(), k.className);
  }
  return std::make_unique<FakeEnumerator>(owner_, std::move(children));
}

FakeMetabase::FakeMetabase() {
  AddKey("/LM", "IIsComputer");
  AddKey("/LM/W3SVC", "IIsWebService");
  AddKey("/LM/W3SVC/AppPools", "IIsApplicationPools");
}

void FakeMetabase::AddKey(const std::string& path, const std::string& className) {
  const std::string trimmed = Trimmed(path);
  Locked([&] { if (!Find(trimmed)) keys_.push_back(Key{trimmed, LowerAscii(trimmed), className, {}, true}); });
}

void FakeMetabase::AddPool(const std::string& name) { AddKey("/LM/W3SVC/AppPools/" + name, "IIsApplicationPool"); }

void FakeMetabase::AddSite(const std::string& id, std::optional<std::string> comment) {
  AddKey("/LM/W3SVC/" + id, "IIsWebServer");
  if (comment) SetProperty("/LM/W3SVC/" + id, "ServerComment", *comment);
}

void FakeMetabase::AddApp(const std::string& path, std::optional<std::string> appPoolId) {
  AddKey(path, "IIsWebVirtualDir");
  SetProperty(path, "AppRoot", Trimmed(path));
  if (appPoolId) SetProperty(path, "AppPoolId", *appPoolId);
}

void FakeMetabase::SetProperty(const std::string& path, const std::string& property, MetabaseValue value) {
  std::lock_guard lock(mutex_);
  Key* key = Find(path);
  if (!key) key = &keys_.emplace_back(Key{Trimmed(path), LowerAscii(Trimmed(path)), "IIsConfigObject", {}, true});
  SetNamed(key->properties, property, std::move(value));
}

void FakeMetabase::AddNonDirectoryChild(const std::string& containerPath) {
  std::lock_guard lock(mutex_);
  const std::string path = Trimmed(containerPath) + "/<not a directory object " + std::to_string(keys_.size()) + ">";
  keys_.push_back(Key{path, LowerAscii(path), "", {}, false});
}

void FakeMetabase::SetEnumAppsResult(const std::string& pool, MetabaseValue value) {
  Locked([&] { enumAppsOverride_[LowerAscii(pool)] = std::move(value); });
}

std::vector<std::string> FakeMetabase::PoolNames() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& k : keys_) {
    if (k.directory && IEquals(ParentOf(k.path), "/LM/W3SVC/AppPools") && IEquals(k.className, "IIsApplicationPool")) {
      out.push_back(LastOf(k.path));
    }
  }
  return out;
}

std::string FakeMetabase::EffectiveAppPool(const std::string& appPath) const {
  const auto value = Locked([&] { return Lookup(Trimmed(appPath), "AppPoolId"); });
  return value ? ValueText(*value) : std::string();
}

bool FakeMetabase::HasOwnProperty(const std::string& path, const std::string& property) const {
  return Locked([&] { return Find(path) && FindNamed(Find(path)->properties, property) != Find(path)->properties.end(); });
}

int FakeMetabase::CountCalls(std::string_view prefix) const {
  return Locked([&] { return std::count_if(calls_.begin(), calls_.end(), [&](auto& c) { return c.starts_with(prefix); }); });
}

void FakeMetabase::FailCall(Op op, int nth, std::string match, std::uint32_t code) {
  Locked([&] { rules_.push_back(FailRule{op, nth, LowerAscii(match), code, 0}); });
}

void FakeMetabase::Record(const std::string& line, std::initializer_list<Op> kinds) {
  calls_.push_back(line);
  const std::string lower = LowerAscii(line);
  for (auto& rule : rules_) {
    if (std::find(kinds.begin(), kinds.end(), rule.op) == kinds.end()) continue;
    const bool anchored = rule.match.ends_with('$');
    const std::string_view match = anchored ? std::string_view(rule.match).substr(0, rule.match.size() - 1)
                                            : std::string_view(rule.match);
    if (anchored ? !lower.ends_with(match) : lower.find(match) == std::string::npos) continue;
    ++rule.seen;
    if (rule.nth == 0 || rule.seen == rule.nth) throw MetabaseError(rule.code, "Injected failure: " + line);
  }
}

FakeMetabase::Key* FakeMetabase::Find(std::string_view path) const {
  const std::string wanted = LowerAscii(Trimmed(std::string(path)));
  const auto it = std::find_if(keys_.begin(), keys_.end(), [&](const Key& k) { return k.lower == wanted; });
  return it == keys_.end() ? nullptr : &*it;
}

FakeMetabase::Key& FakeMetabase::Existing(const std::string& path) const {
  if (Key* key = Find(path)) return *key;
  NotFound(path);
}

std::optional<MetabaseValue> FakeMetabase::Lookup(const std::string& path, std::string_view property) const {
  const bool inherited = IEquals(property, "AppPoolId") || IEquals(property, "ScriptMaps");
  for (std::string p = path; !p.empty(); p = ParentOf(p)) {
    if (const Key* key = Find(p)) {
      if (const auto it = FindNamed(key->properties, property); it != key->properties.end()) return it->second;
    }
    if (!inherited) break;
  }
  if (IEquals(property, "AppPoolId") && StartsWithI(path, "/LM/W3SVC")) return MetabaseValue(std::string("DefaultAppPool"));
  return std::nullopt;
}

std::vector<std::string> FakeMetabase::AppsIn(const std::string& pool) const {
  std::vector<std::string> out;
  for (const auto& k : keys_) {
    if (FindNamed(k.properties, "AppRoot") == k.properties.end() || !StartsWithI(k.path, "/LM/W3SVC/")) continue;
    const auto effective = Lookup(k.path, "AppPoolId");
    if (effective && IEquals(ValueText(*effective), pool)) out.push_back("/LM/W3SVC/" + k.path.substr(10) + "/");
  }
  return out;
}

std::unique_ptr<IMetabaseObject> FakeMetabase::Bind(std::string_view adsPath) {
  std::lock_guard lock(mutex_);
  Record("Bind " + std::string(adsPath), {Op::Bind});
  const auto path = MetabasePath(adsPath);
  const Key* key = path ? Find(*path) : nullptr;
  if (!key || !key->directory) {
    throw MetabaseError(platform::kErrPathNotFound, "Path not found: " + std::string(adsPath));
  }
  return std::make_unique<FakeMetabaseObject>(*this, key->path, key->className);
}

}  // namespace tarnwell::fakes
