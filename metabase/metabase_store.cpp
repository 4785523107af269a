#include "metabase/metabase_store.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "metabase/metabase_doc.h"
#include "metabase/metabase_fs.h"
#include "metabase/metabase_text.h"
#include "platform/files/utf8_path.h"

namespace tarnwell::standin {

using platform::IMetabaseEnumerator;
using platform::IMetabaseObject;
using platform::MetabaseError;
using platform::MetabaseValue;
using mbfs::FileIdentity;
using mbfs::FileLock;
using mbfs::FileWatch;

namespace {

constexpr std::uint32_t kErrInvalidName = 0x8007007B;  // ERROR_INVALID_NAME

// The state every object bound from one store shares: the file's path and its last
// parsed version. All members are guarded by mutex_; any thread may call.
class StoreState {
 public:
  explicit StoreState(std::string path) : path_(std::move(path)), watch_(path_) {}

  const std::string& Path() const { return path_; }

  // The file as it is now, re-read only when it changed on disk. Raises MetabaseError when
  // the file is missing or not a well-formed metabase. A thread that is walking an
  // enumeration gets the version last read (with this program's own saves) without asking
  // the file again: LoadPools binds twice per application, and the question is a system call.
  std::shared_ptr<const MetabaseDoc> Current() {
    std::lock_guard lock(mutex_);
    if (doc_ && WalkingLocked(std::this_thread::get_id())) return doc_;
    return RefreshLocked();
  }

  // An enumeration starts or ends on a thread.
  void BeginWalk(std::thread::id thread) {
    std::lock_guard lock(mutex_);
    for (auto& [id, count] : walks_) {
      if (id == thread) {
        ++count;
        return;
      }
    }
    walks_.emplace_back(thread, 1);
  }
  void EndWalk(std::thread::id thread) noexcept {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(walks_.begin(), walks_.end(), [&](const auto& w) { return w.first == thread; });
    if (it != walks_.end() && --it->second == 0) walks_.erase(it);
  }

  // Runs a change on the current file under the lock file and saves its result.
  // edit returns the new text, or raises to refuse the change.
  std::shared_ptr<const MetabaseDoc> Change(const std::function<std::string(const MetabaseDoc&)>& edit) {
    std::lock_guard lock(mutex_);
    // Through a symbolic link, the file it names is the one replaced (and locked).
    const std::string target = SaveTarget();
    FileLock fileLock(target + ".lock");
    // Another program may have saved since we last read.
    const auto doc = RefreshLocked(true);
    std::string text = edit(*doc);
    if (text == doc->Text()) return doc;
    std::shared_ptr<const MetabaseDoc> next;
    try {
      next = MetabaseDoc::Parse(std::move(text), path_);
    } catch (const MetabaseError& e) {
      throw MetabaseError(platform::kErrFail, std::string("The change was not saved: ") + e.what());
    }
    id_ = mbfs::WriteReplacing(target, next->Text());
    haveId_ = true;
    // The events of our own save: taken now, while the lock file keeps other writers out,
    // so that the next bind does not go to the file for them.
    watch_.MaybeChanged();
    doc_ = next;
    error_.clear();
    return next;
  }

 private:
  // writeLocked: the caller holds the lock file (Change).
  std::shared_ptr<const MetabaseDoc> RefreshLocked(bool writeLocked = false) {
    const bool maybeChanged = watch_.MaybeChanged();
    if (haveId_ && !maybeChanged) {
      if (doc_) return doc_;
      throw MetabaseError(platform::kErrFail, error_);
    }
    std::optional<mbfs::ReadLock> readLock;
    if (!writeLocked) readLock.emplace(path_ + ".lock");
    FileIdentity now;
    std::string why;
    if (!mbfs::IdentityOf(path_, now, why)) {
      Forget();
      throw MetabaseError(platform::kErrFail, "Cannot read the metabase file " + path_ + ": " + why);
    }
    // A file rewritten in place at the same size within one time stamp granule looks
    // unchanged. When the watch saw a write to a file that recent, the identity is not trusted.
    const bool racy = maybeChanged && watch_.Active() && mbfs::RecentlyWritten(now);
    if (haveId_ && id_ == now && !racy) {
      if (doc_) return doc_;
      throw MetabaseError(platform::kErrFail, error_);
    }
    return LoadLocked();
  }

  bool WalkingLocked(std::thread::id thread) const {
    return std::any_of(walks_.begin(), walks_.end(), [&](const auto& w) { return w.first == thread; });
  }

  std::shared_ptr<const MetabaseDoc> LoadLocked() {
    std::string text;
    FileIdentity read;
    std::string why;
    if (!mbfs::ReadWhole(path_, text, read, why)) {
      Forget();
      throw MetabaseError(platform::kErrFail, "Cannot read the metabase file " + path_ + ": " + why);
    }
    if (mbfs::IsSymbolicLink(path_)) watch_.Disable();
    // What was read is this version of the file, whatever the path names by now.
    id_ = read;
    haveId_ = true;
    try {
      doc_ = MetabaseDoc::Parse(std::move(text), path_);
      error_.clear();
      return doc_;
    } catch (const MetabaseError& e) {
      doc_.reset();
      error_ = e.what();
      throw;
    }
  }

  std::string SaveTarget() const {
    if (!mbfs::IsSymbolicLink(path_)) return path_;
    std::error_code ec;
    const auto resolved = std::filesystem::canonical(platform::PathFromUtf8(path_), ec);
    return ec ? path_ : platform::Utf8FromPath(resolved);
  }

  void Forget() {
    doc_.reset();
    haveId_ = false;
    error_.clear();
  }

  std::mutex mutex_;
  const std::string path_;
  FileWatch watch_;
  std::shared_ptr<const MetabaseDoc> doc_;
  FileIdentity id_;
  bool haveId_ = false;
  std::string error_;  // why the file at id_ could not be parsed
  std::vector<std::pair<std::thread::id, int>> walks_;  // live enumerations per thread
};

MetabaseError NotFound(std::string_view path, const std::string& file) {
  return MetabaseError(platform::kErrPathNotFound,
                       "The metabase path " + std::string(path) + " was not found in " + file);
}

// Location is the key's path and KeyType its element's name: neither is an attribute to set.
bool IsNotAProperty(std::string_view property) {
  return mbtext::IEquals(property, "Location") || mbtext::IEquals(property, "KeyType");
}

void CheckName(std::string_view name, std::string_view what) {
  const bool bad = name.empty() || name == "." || name == ".." ||
                   std::any_of(name.begin(), name.end(), [](char c) {
                     return c == '/' || c == '\\' || static_cast<unsigned char>(c) < ' ';
                   });
  if (bad) {
    throw MetabaseError(kErrInvalidName, "Invalid " + std::string(what) + " name [" + std::string(name) + "]");
  }
}

// One key of the file. Reads answer from the file as it was when the object was bound
// (ADSI's property cache); changes re-read the file under the lock first. Not shared
// between threads; several objects of one store may be used on several threads.
class StoreObject final : public IMetabaseObject {
 public:
  StoreObject(std::shared_ptr<StoreState> state, std::shared_ptr<const MetabaseDoc> doc, const MetabaseKey& key)
      : state_(std::move(state)), doc_(std::move(doc)), key_(&key) {}

  // An object made by Create: no key until SetInfo.
  StoreObject(std::shared_ptr<StoreState> state, std::shared_ptr<const MetabaseDoc> doc, std::string path,
              std::string className)
      : state_(std::move(state)), doc_(std::move(doc)), pendingPath_(std::move(path)),
        pendingClass_(std::move(className)) {}

  std::string Name() const override { return std::string(mbtext::LastComponent(Path())); }

  MetabaseValue Get(std::string_view property) override {
    for (const auto& [name, value] : staged_) {
      if (mbtext::IEquals(name, property)) return value;
    }
    // A staged clear answers what the key will inherit.
    const bool cleared = std::any_of(cleared_.begin(), cleared_.end(),
                                     [&](const std::string& name) { return mbtext::IEquals(name, property); });
    auto value = key_ && !cleared ? doc_->Get(*key_, property) : doc_->GetInherited(Path(), property);
    if (value) return std::move(*value);
    throw MetabaseError(platform::kErrPropertyNotFound,
                        "The property " + std::string(property) + " is not set on " + std::string(Path()));
  }

  void Put(std::string_view property, const MetabaseValue& value) override {
    if (!mbtext::IsXmlName(property) || IsNotAProperty(property)) {
      throw MetabaseError(platform::kErrFail, "The property [" + std::string(property) + "] cannot be set");
    }
    std::erase_if(cleared_, [&](const std::string& name) { return mbtext::IEquals(name, property); });
    for (auto& [name, staged] : staged_) {
      if (mbtext::IEquals(name, property)) {
        staged = value;
        return;
      }
    }
    staged_.emplace_back(std::string(property), value);
  }

  void Clear(std::string_view property) override {
    if (!mbtext::IsXmlName(property) || IsNotAProperty(property)) {
      throw MetabaseError(platform::kErrFail, "The property [" + std::string(property) + "] cannot be cleared");
    }
    std::erase_if(staged_, [&](const auto& p) { return mbtext::IEquals(p.first, property); });
    if (std::none_of(cleared_.begin(), cleared_.end(),
                     [&](const std::string& name) { return mbtext::IEquals(name, property); })) {
      cleared_.emplace_back(property);
    }
  }

  bool HasOwnValue(std::string_view property) override {
    if (!key_) throw NotFound(Path(), state_->Path());
    return doc_->HasOwn(*key_, property);
  }

  void SetInfo() override {
    const std::string lower = mbtext::AsciiLower(Path());
    if (!key_) {
      const std::string parentLower(mbtext::ParentPath(lower));
      Rebind(state_->Change([&](const MetabaseDoc& doc) {
        const auto* parent = doc.FindLower(parentLower);
        if (!parent) throw NotFound(std::string(mbtext::ParentPath(pendingPath_)), state_->Path());
        if (const auto* existing = doc.FindLower(lower)) {
          throw MetabaseError(platform::kErrAlreadyExists,
                              "Cannot create " + pendingPath_ + ": " + std::string(existing->path) + " already exists");
        }
        return doc.WithNewKey(*parent, std::string(parent->path) + "/" + Name(), pendingClass_, staged_);
      }), lower);
    } else if (!staged_.empty() || !cleared_.empty()) {
      Rebind(state_->Change([&](const MetabaseDoc& doc) {
        const auto* key = doc.FindLower(lower);
        if (!key) throw NotFound(Path(), state_->Path());
        return doc.WithProperties(*key, staged_, cleared_);
      }), lower);
    }
    staged_.clear();
    cleared_.clear();
  }

  MetabaseValue EnumAppsInPool() override {
    if (!key_) throw NotFound(Path(), state_->Path());
    if (!mbtext::IEquals(key_->className, "IIsApplicationPool")) {
      throw MetabaseError(platform::kErrFail, "EnumAppsInPool is a method of application pools, and " +
                                                  std::string(key_->path) + " is an " + std::string(key_->className));
    }
    return doc_->AppsInPool(Name());
  }

  std::unique_ptr<IMetabaseObject> Create(std::string_view className, std::string_view name) override {
    CheckName(name, "key");
    if (!mbtext::IsXmlName(className)) {
      throw MetabaseError(platform::kErrFail, "Invalid class name [" + std::string(className) + "]");
    }
    if (!key_) throw NotFound(Path(), state_->Path());
    return std::make_unique<StoreObject>(state_, doc_, std::string(key_->path) + "/" + std::string(name),
                                         std::string(className));
  }

  void Delete(std::string_view className, std::string_view name) override {
    CheckName(name, "key");
    if (!key_) throw NotFound(Path(), state_->Path());
    const std::string lower(key_->lower);
    const std::string childLower = lower + "/" + mbtext::AsciiLower(name);
    Rebind(state_->Change([&](const MetabaseDoc& doc) {
      if (!doc.FindLower(lower)) throw NotFound(Path(), state_->Path());
      const auto* key = doc.FindLower(childLower);
      if (!key) throw NotFound(std::string(Path()) + "/" + std::string(name), state_->Path());
      if (!mbtext::IEquals(key->className, className)) {
        throw MetabaseError(platform::kErrFail, "Cannot delete " + std::string(key->path) + ": it is an " +
                                                    std::string(key->className) + ", not an " + std::string(className));
      }
      if (mbtext::IEquals(className, "IIsApplicationPool")) {
        if (const auto apps = doc.AppCountInPool(mbtext::LastComponent(key->path)); apps > 0) {
          throw MetabaseError(platform::kErrPoolNotEmpty,
                              "Cannot delete the application pool " + std::string(key->path) + ": " +
                                  std::to_string(apps) + " application(s) still run in it");
        }
      }
      return doc.WithoutKey(*key);
    }), lower);
  }

  std::unique_ptr<IMetabaseObject> GetObject(std::string_view className, std::string_view name) override {
    if (!key_) throw NotFound(Path(), state_->Path());
    const MetabaseKey* key = nullptr;
    if (!name.empty()) {
      // A name may be a relative path ("1/ROOT").
      std::string lower;
      lower.reserve(key_->lower.size() + 1 + name.size());
      lower.append(key_->lower).append("/").append(name);
      mbtext::AsciiLowerInPlace(lower);
      key = doc_->FindLower(lower);
    }
    if (!key) throw NotFound(std::string(key_->path) + "/" + std::string(name), state_->Path());
    if (!mbtext::IEquals(key->className, className)) {
      throw MetabaseError(platform::kErrPathNotFound, "The metabase path " + std::string(key->path) + " is an " +
                                                          std::string(key->className) + ", not an " +
                                                          std::string(className));
    }
    return std::make_unique<StoreObject>(state_, doc_, *key);
  }

  std::unique_ptr<IMetabaseEnumerator> Enumerate() override;

 private:
  std::string_view Path() const { return key_ ? key_->path : std::string_view(pendingPath_); }

  // Takes the file as a change left it; key_ is looked up again in it.
  void Rebind(std::shared_ptr<const MetabaseDoc> doc, const std::string& lower) {
    const MetabaseKey* key = doc->FindLower(lower);
    if (!key) throw MetabaseError(platform::kErrFail, "The key " + lower + " is missing after the change");
    doc_ = std::move(doc);
    key_ = key;
    pendingPath_.clear();
    pendingClass_.clear();
  }

  std::shared_ptr<StoreState> state_;
  std::shared_ptr<const MetabaseDoc> doc_;  // the file as this object last saw it
  const MetabaseKey* key_ = nullptr;        // inside *doc_; null until a created key is saved
  std::string pendingPath_;                 // of a created key, until SetInfo
  std::string pendingClass_;
  PropertyList staged_;  // Put values waiting for SetInfo
  std::vector<std::string> cleared_;  // Clear of own values waiting for SetInfo
};

class StoreEnumerator final : public IMetabaseEnumerator {
 public:
  StoreEnumerator(std::shared_ptr<StoreState> state, std::shared_ptr<const MetabaseDoc> doc,
                  const std::vector<std::size_t>& children)
      : state_(std::move(state)), doc_(std::move(doc)), children_(children) {
    state_->BeginWalk(thread_);
  }
  ~StoreEnumerator() override { state_->EndWalk(thread_); }
  StoreEnumerator(const StoreEnumerator&) = delete;
  StoreEnumerator& operator=(const StoreEnumerator&) = delete;

  bool Next(std::unique_ptr<IMetabaseObject>& child) override {
    if (next_ >= children_.size()) return false;
    child = std::make_unique<StoreObject>(state_, doc_, doc_->Keys()[children_[next_++]]);
    return true;
  }

 private:
  std::shared_ptr<StoreState> state_;
  std::shared_ptr<const MetabaseDoc> doc_;
  const std::vector<std::size_t>& children_;  // inside *doc_
  std::size_t next_ = 0;
  const std::thread::id thread_ = std::this_thread::get_id();  // the one walking it
};

std::unique_ptr<IMetabaseEnumerator> StoreObject::Enumerate() {
  if (!key_) throw NotFound(Path(), state_->Path());
  return std::make_unique<StoreEnumerator>(state_, doc_, key_->children);
}

class MetabaseStore final : public platform::IMetabase {
 public:
  explicit MetabaseStore(std::string path) : state_(std::make_shared<StoreState>(std::move(path))) {}

  std::unique_ptr<IMetabaseObject> Bind(std::string_view adsPath) override {
    // Reused by the thread's next bind: LoadPools binds twice per application.
    // Lower-cased at once: the caller's spelling is wanted only for the error.
    thread_local std::string lower;
    if (!mbtext::LowerMetabasePathOf(adsPath, lower)) {
      throw MetabaseError(platform::kErrPathNotFound,
                          "[" + std::string(adsPath) + "] is not a path of the local IIS metabase");
    }
    auto doc = state_->Current();
    const auto* key = doc->FindLower(lower);
    if (!key) throw NotFound(*mbtext::MetabasePathOf(adsPath), state_->Path());
    return std::make_unique<StoreObject>(state_, std::move(doc), *key);
  }

 private:
  std::shared_ptr<StoreState> state_;
};

}  // namespace

std::unique_ptr<platform::IMetabase> OpenMetabaseStore(const std::string& path) {
  return std::make_unique<MetabaseStore>(path);
}

}  // namespace tarnwell::standin
