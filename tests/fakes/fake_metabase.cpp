#include "tests/fakes/fake_metabase.h"

#include <algorithm>

namespace tarnwell::fakes {

using platform::IMetabaseEnumerator;
using platform::IMetabaseObject;
using platform::MetabaseError;
using platform::MetabaseValue;

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool IEquals(std::string_view a, std::string_view b) { return Lower(a) == Lower(b); }

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

}  // namespace

class FakeMetabaseObject final : public IMetabaseObject {
 public:
  FakeMetabaseObject(FakeMetabase& owner, std::string path, std::string className, bool pending = false)
      : owner_(owner), path_(std::move(path)), className_(std::move(className)), pending_(pending) {}

  std::string Name() const override { return owner_.ObjName(path_); }
  MetabaseValue Get(std::string_view property) override { return owner_.ObjGet(path_, property, staged_); }
  void Put(std::string_view property, const MetabaseValue& value) override {
    owner_.ObjPut(path_, property, value);
    std::erase_if(cleared_, [&](const std::string& name) { return IEquals(name, property); });
    for (auto& [name, staged] : staged_) {
      if (IEquals(name, property)) {
        staged = value;
        return;
      }
    }
    staged_.emplace_back(std::string(property), value);
  }
  void Clear(std::string_view property) override {
    owner_.ObjClear(path_, property);
    std::erase_if(staged_, [&](const auto& p) { return IEquals(p.first, property); });
    std::erase_if(cleared_, [&](const std::string& name) { return IEquals(name, property); });
    cleared_.emplace_back(property);
  }
  bool HasOwnValue(std::string_view property) override { return owner_.ObjHasOwnValue(path_, property); }
  void SetInfo() override {
    owner_.ObjSetInfo(path_, className_, pending_, staged_, cleared_);
    pending_ = false;
    staged_.clear();
    cleared_.clear();
  }
  MetabaseValue EnumAppsInPool() override { return owner_.ObjEnumApps(path_, className_); }
  std::unique_ptr<IMetabaseObject> Create(std::string_view className, std::string_view name) override {
    owner_.ObjCreate(path_, className, name);
    return std::make_unique<FakeMetabaseObject>(owner_, path_ + "/" + std::string(name), std::string(className),
                                                true);
  }
  void Delete(std::string_view className, std::string_view name) override {
    owner_.ObjDelete(path_, className, name);
  }
  std::unique_ptr<IMetabaseObject> GetObject(std::string_view className, std::string_view name) override {
    std::string path = owner_.ObjGetObject(path_, className, name);
    return std::make_unique<FakeMetabaseObject>(owner_, std::move(path), std::string(className));
  }
  std::unique_ptr<IMetabaseEnumerator> Enumerate() override;

 private:
  FakeMetabase& owner_;
  std::string path_;
  std::string className_;
  bool pending_;
  std::vector<std::pair<std::string, MetabaseValue>> staged_;
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
    if (path.empty()) {
      child.reset();
    } else {
      child = std::make_unique<FakeMetabaseObject>(owner_, path, className);
    }
    return true;
  }

 private:
  FakeMetabase& owner_;
  std::vector<std::pair<std::string, std::string>> children_;  // empty path: no directory object
  std::size_t next_ = 0;
};

}  // namespace

std::unique_ptr<IMetabaseEnumerator> FakeMetabaseObject::Enumerate() {
  return std::make_unique<FakeEnumerator>(owner_, owner_.ObjEnumerate(path_));
}

FakeMetabase::FakeMetabase() {
  AddKey("/LM", "IIsComputer");
  AddKey("/LM/W3SVC", "IIsWebService");
  AddKey("/LM/W3SVC/AppPools", "IIsApplicationPools");
}

void FakeMetabase::AddKey(const std::string& path, const std::string& className) {
  std::lock_guard lock(mutex_);
  if (FindLocked(path)) return;
  keys_.push_back(Key{Trimmed(path), Lower(Trimmed(path)), className, {}, true});
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
  Key* key = FindLocked(path);
  if (!key) {
    keys_.push_back(Key{Trimmed(path), Lower(Trimmed(path)), "IIsConfigObject", {}, true});
    key = &keys_.back();
  }
  SetPropertyLocked(*key, property, std::move(value));
}

void FakeMetabase::AddNonDirectoryChild(const std::string& containerPath) {
  std::lock_guard lock(mutex_);
  const std::string path = Trimmed(containerPath) + "/<not a directory object " + std::to_string(keys_.size()) + ">";
  keys_.push_back(Key{path, Lower(path), "", {}, false});
}

void FakeMetabase::SetEnumAppsResult(const std::string& pool, MetabaseValue value) {
  std::lock_guard lock(mutex_);
  enumAppsOverride_[Lower(pool)] = std::move(value);
}

bool FakeMetabase::HasKey(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return FindLocked(path) != nullptr;
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
  std::lock_guard lock(mutex_);
  const auto value = GetLocked(Trimmed(appPath), "AppPoolId");
  return value ? ValueText(*value) : std::string();
}

bool FakeMetabase::HasOwnProperty(const std::string& path, const std::string& property) const {
  std::lock_guard lock(mutex_);
  const Key* key = FindLocked(path);
  return key && std::any_of(key->properties.begin(), key->properties.end(),
                            [&](const auto& p) { return IEquals(p.first, property); });
}

std::vector<std::string> FakeMetabase::AppsInPool(const std::string& pool) const {
  std::lock_guard lock(mutex_);
  return AppsInPoolLocked(pool);
}

std::vector<std::string> FakeMetabase::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

int FakeMetabase::CountCalls(std::string_view prefix) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                        [&](const std::string& c) { return c.starts_with(prefix); }));
}

void FakeMetabase::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

void FakeMetabase::FailCall(Op op, int nth, std::string match, std::uint32_t code) {
  std::lock_guard lock(mutex_);
  rules_.push_back(FailRule{op, nth, Lower(match), code, 0});
}

void FakeMetabase::Record(const std::string& line, std::initializer_list<Op> kinds) {
  calls_.push_back(line);
  const std::string lower = Lower(line);
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

FakeMetabase::Key* FakeMetabase::FindLocked(std::string_view path) {
  const std::string wanted = Lower(Trimmed(std::string(path)));
  for (auto& k : keys_) {
    if (k.lower == wanted) return &k;
  }
  return nullptr;
}

const FakeMetabase::Key* FakeMetabase::FindLocked(std::string_view path) const {
  return const_cast<FakeMetabase*>(this)->FindLocked(path);
}

void FakeMetabase::SetPropertyLocked(Key& key, const std::string& property, MetabaseValue value) {
  for (auto& [name, v] : key.properties) {
    if (IEquals(name, property)) {
      v = std::move(value);
      return;
    }
  }
  key.properties.emplace_back(property, std::move(value));
}

std::optional<MetabaseValue> FakeMetabase::GetLocked(const std::string& path, std::string_view property) const {
  const bool inherited = IEquals(property, "AppPoolId") || IEquals(property, "ScriptMaps");
  for (std::string p = path; !p.empty(); p = ParentOf(p)) {
    if (const Key* key = FindLocked(p)) {
      for (const auto& [name, value] : key->properties) {
        if (IEquals(name, property)) return value;
      }
    }
    if (!inherited) break;
  }
  if (IEquals(property, "AppPoolId") && StartsWithI(path, "/LM/W3SVC")) return MetabaseValue(std::string("DefaultAppPool"));
  return std::nullopt;
}

std::vector<std::string> FakeMetabase::AppsInPoolLocked(const std::string& pool) const {
  std::vector<std::string> out;
  for (const auto& k : keys_) {
    const bool isApp = std::any_of(k.properties.begin(), k.properties.end(),
                                   [](const auto& p) { return IEquals(p.first, "AppRoot"); });
    if (!isApp || !StartsWithI(k.path, "/LM/W3SVC/")) continue;
    const auto effective = GetLocked(k.path, "AppPoolId");
    if (effective && IEquals(ValueText(*effective), pool)) out.push_back("/LM/W3SVC/" + k.path.substr(10) + "/");
  }
  return out;
}

std::unique_ptr<IMetabaseObject> FakeMetabase::Bind(std::string_view adsPath) {
  std::lock_guard lock(mutex_);
  Record("Bind " + std::string(adsPath), {Op::Bind});
  const auto path = MetabasePath(adsPath);
  const Key* key = path ? FindLocked(*path) : nullptr;
  if (!key || !key->directory) {
    throw MetabaseError(platform::kErrPathNotFound, "Path not found: " + std::string(adsPath));
  }
  return std::make_unique<FakeMetabaseObject>(*this, key->path, key->className);
}

std::string FakeMetabase::ObjName(const std::string& path) {
  std::lock_guard lock(mutex_);
  Record("Name " + path, {Op::Name});
  return LastOf(path);
}

MetabaseValue FakeMetabase::ObjGet(const std::string& path, std::string_view property, const PropertyList& staged) {
  std::lock_guard lock(mutex_);
  if (IEquals(property, "ServerComment")) {
    Record("Get " + path + " " + std::string(property), {Op::Get, Op::GetServerComment});
  } else {
    Record("Get " + path + " " + std::string(property), {Op::Get});
  }
  for (const auto& [name, value] : staged) {
    if (IEquals(name, property)) return value;
  }
  if (auto value = GetLocked(path, property)) return *value;
  throw MetabaseError(platform::kErrPropertyNotFound, "Property not found: " + std::string(property) + " on " + path);
}

void FakeMetabase::ObjPut(const std::string& path, std::string_view property, const MetabaseValue& value) {
  std::lock_guard lock(mutex_);
  Record("Put " + path + " " + std::string(property) + "=" + ValueText(value), {Op::Put});
}

void FakeMetabase::ObjClear(const std::string& path, std::string_view property) {
  std::lock_guard lock(mutex_);
  Record("Clear " + path + " " + std::string(property), {Op::Clear});
}

bool FakeMetabase::ObjHasOwnValue(const std::string& path, std::string_view property) {
  std::lock_guard lock(mutex_);
  Record("HasOwnValue " + path + " " + std::string(property), {Op::HasOwnValue});
  const Key* key = FindLocked(path);
  if (!key) throw MetabaseError(platform::kErrPathNotFound, "Path not found: " + path);
  return std::any_of(key->properties.begin(), key->properties.end(),
                     [&](const auto& p) { return IEquals(p.first, property); });
}

void FakeMetabase::ObjSetInfo(const std::string& path, const std::string& className, bool create,
                              const PropertyList& staged, const std::vector<std::string>& cleared) {
  std::lock_guard lock(mutex_);
  const bool poolId =
      std::any_of(staged.begin(), staged.end(), [](const auto& p) { return IEquals(p.first, "AppPoolId"); }) ||
      std::any_of(cleared.begin(), cleared.end(), [](const std::string& n) { return IEquals(n, "AppPoolId"); });
  if (poolId) {
    Record("SetInfo " + path, {Op::SetInfo, Op::SetInfoAppPoolId});
  } else {
    Record("SetInfo " + path, {Op::SetInfo});
  }
  Key* key = FindLocked(path);
  if (create) {
    if (key) throw MetabaseError(platform::kErrAlreadyExists, "Already exists: " + path);
    if (!FindLocked(ParentOf(path))) throw MetabaseError(platform::kErrPathNotFound, "Path not found: " + ParentOf(path));
    keys_.push_back(Key{path, Lower(path), className, {}, true});
    key = &keys_.back();
  } else if (!key) {
    throw MetabaseError(platform::kErrPathNotFound, "Path not found: " + path);
  }
  for (const auto& [name, value] : staged) SetPropertyLocked(*key, name, value);
  for (const auto& name : cleared) {
    std::erase_if(key->properties, [&](const auto& p) { return IEquals(p.first, name); });
  }
}

MetabaseValue FakeMetabase::ObjEnumApps(const std::string& path, const std::string& className) {
  std::lock_guard lock(mutex_);
  Record("EnumAppsInPool " + path, {Op::EnumAppsInPool});
  if (!IEquals(className, "IIsApplicationPool")) throw MetabaseError(platform::kErrFail, "Not a pool: " + path);
  if (!FindLocked(path)) throw MetabaseError(platform::kErrPathNotFound, "Path not found: " + path);
  if (const auto it = enumAppsOverride_.find(Lower(LastOf(path))); it != enumAppsOverride_.end()) return it->second;
  return AppsInPoolLocked(LastOf(path));
}

void FakeMetabase::ObjCreate(const std::string& path, std::string_view className, std::string_view name) {
  std::lock_guard lock(mutex_);
  Record("Create " + path + " " + std::string(className) + " " + std::string(name), {Op::Create});
  if (name.empty() || name.find('/') != std::string_view::npos) {
    throw MetabaseError(platform::kErrFail, "Invalid name: " + std::string(name));
  }
}

void FakeMetabase::ObjDelete(const std::string& path, std::string_view className, std::string_view name) {
  std::lock_guard lock(mutex_);
  Record("Delete " + path + " " + std::string(className) + " " + std::string(name), {Op::Delete});
  const std::string child = path + "/" + std::string(name);
  const Key* key = FindLocked(child);
  if (!key) throw MetabaseError(platform::kErrPathNotFound, "Path not found: " + child);
  if (!IEquals(key->className, className)) throw MetabaseError(platform::kErrFail, "Wrong class: " + child);
  if (IEquals(className, "IIsApplicationPool") && !AppsInPoolLocked(std::string(name)).empty()) {
    throw MetabaseError(platform::kErrPoolNotEmpty, "Pool in use: " + std::string(name));
  }
  const std::string lower = Lower(child);
  std::erase_if(keys_, [&](const Key& k) { return k.lower == lower || k.lower.starts_with(lower + "/"); });
}

std::string FakeMetabase::ObjGetObject(const std::string& path, std::string_view className, std::string_view name) {
  std::lock_guard lock(mutex_);
  Record("GetObject " + path + " " + std::string(className) + " " + std::string(name), {Op::GetObject});
  const std::string child = path + "/" + std::string(name);
  const Key* key = name.empty() ? nullptr : FindLocked(child);
  if (!key || !key->directory) throw MetabaseError(platform::kErrPathNotFound, "Path not found: " + child);
  if (!IEquals(key->className, className)) throw MetabaseError(platform::kErrPathNotFound, "Wrong class: " + child);
  return key->path;
}

std::vector<std::pair<std::string, std::string>> FakeMetabase::ObjEnumerate(const std::string& path) {
  std::lock_guard lock(mutex_);
  Record("Enumerate " + path, {Op::Enumerate});
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& k : keys_) {
    if (!IEquals(ParentOf(k.path), path)) continue;
    out.emplace_back(k.directory ? k.path : std::string(), k.className);
  }
  return out;
}

}  // namespace tarnwell::fakes
