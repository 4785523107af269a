// The MetaBase.xml store over arbitrary file contents: reading it as the program does
// (pools, their applications, each application's pool and script maps, LoadPools with
// site names and versions), then a change on a copy: a new pool is added, read back,
// given an application, and deleted again. Any input may fail with MetabaseError; none may
// crash, lose a pool, or change bytes the change did not touch.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "iis/iis.h"
#include "iis/iis_load.h"
#include "platform/metabase.h"
#include "metabase/metabase_store.h"
#include "metabase/metabase_text.h"
#include "tests/fakes/null_seams.h"

namespace {

using tarnwell::platform::IMetabase;
using tarnwell::platform::IMetabaseObject;
using tarnwell::platform::MetabaseError;
using tarnwell::platform::MetabaseList;
using tarnwell::platform::MetabaseValue;
using Lines = std::vector<std::string>;
namespace mbtext = tarnwell::standin::mbtext;

constexpr std::string_view kPools = "IIS://localhost/W3SVC/AppPools";
constexpr std::string_view kNewPool = "QzFuzzPool";

void Check(bool ok) {
  if (!ok) std::abort();
}

// A directory of this process's own, on tmpfs when there is one (saves are fsync'd).
class Scratch {
 public:
  Scratch() {
    std::filesystem::path base = "/dev/shm";
    if (::access(base.c_str(), W_OK) != 0) base = std::filesystem::temp_directory_path();
    std::string pattern = (base / "tarnwell-fuzz-XXXXXX").string();
    Check(::mkdtemp(pattern.data()) != nullptr);
    dir_ = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string File(const char* name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

const Scratch& Dir() {
  static const Scratch scratch;
  return scratch;
}

// Writes beside the file and renames over it: a new inode, so that a store kept from the
// last input sees a new file even when size and time stamps are the same.
void WriteFile(const std::string& path, std::string_view text) {
  const std::string temp = path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0);
  Check(::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
  ::close(fd);
  Check(::rename(temp.c_str(), path.c_str()) == 0);
}

// Stores live across inputs, as the program keeps one: closing a store's inotify instance
// takes the kernel milliseconds, which would make fuzzing crawl.
struct Stores {
  std::string file = Dir().File("MetaBase.xml");
  std::string copy = Dir().File("copy.xml");
  std::unique_ptr<IMetabase> reader = tarnwell::standin::OpenMetabaseStore(file);
  std::unique_ptr<IMetabase> changer = tarnwell::standin::OpenMetabaseStore(copy);
  std::unique_ptr<IMetabase> checker = tarnwell::standin::OpenMetabaseStore(copy);
};

Stores& Open() {
  static Stores stores;
  return stores;
}

std::string ReadFile(const std::string& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  Check(fd >= 0);
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return text;
}

struct Pool {
  std::string name;
  Lines apps;
  bool appsFailed = false;  // EnumAppsInPool raised
  bool operator==(const Pool&) const = default;
};
using Listing = std::vector<Pool>;

// The pools in enumeration order; nothing when the pools' key cannot be bound.
std::optional<Listing> ReadPools(IMetabase& store) {
  std::unique_ptr<IMetabaseObject> pools;
  try {
    pools = store.Bind(kPools);
  } catch (const MetabaseError&) {
    return std::nullopt;
  }
  Check(pools != nullptr);
  Listing listing;
  auto children = pools->Enumerate();
  std::unique_ptr<IMetabaseObject> child;
  while (children->Next(child)) {
    if (!child) continue;
    Pool pool{child->Name(), {}, false};
    try {
      const MetabaseValue apps = child->EnumAppsInPool();
      Check(tarnwell::platform::IsArray(apps));
      pool.apps = std::get<MetabaseList>(apps).Strings();
    } catch (const MetabaseError&) {
      pool.appsFailed = true;
    }
    listing.push_back(std::move(pool));
  }
  return listing;
}

// An application a pool lists names that pool as its AppPoolId, own or inherited.
void CheckApp(IMetabase& store, const std::string& pool, const std::string& app) {
  Check(app.starts_with("/LM/W3SVC/") && app.ends_with("/"));
  std::unique_ptr<IMetabaseObject> object;
  try {
    object = store.Bind(tarnwell::AppScriptMapsPath(app));
  } catch (const MetabaseError&) {
    return;  // a path ADSI would not take either ("//" inside)
  }
  const MetabaseValue id = object->Get("AppPoolId");
  Check(!tarnwell::platform::IsArray(id) && mbtext::IEquals(std::get<std::string>(id), pool));
  try {
    (void)tarnwell::AspNetVersionOf(std::get<MetabaseList>(object->Get("ScriptMaps")));
  } catch (const MetabaseError&) {
  } catch (const std::bad_variant_access&) {
    std::abort();  // a multi-valued property came back as a text
  }
}

void CheckLoadPools(IMetabase& store, const std::optional<Listing>& listing, bool siteNames) {
  tarnwell::fakes::NullProcessSystem processes;
  tarnwell::TIISObject registry(store, processes);
  registry.GetSiteName = siteNames;
  registry.GetAspNetVersion = siteNames;
  try {
    registry.LoadPools();
  } catch (const MetabaseError&) {
    return;
  }
  if (!listing) {
    Check(registry.PoolCount == 0);
    return;
  }
  const auto kept = std::min<std::size_t>(listing->size(), tarnwell::MaxPools - 1);
  Check(registry.PoolCount == static_cast<std::int32_t>(kept));
  Check(registry.PoolsDropped == static_cast<std::int32_t>(listing->size() - kept));
  for (std::size_t i = 0; i < kept; ++i) {
    const auto& rec = registry.Pools[i];
    const auto& pool = (*listing)[i];
    Check(!pool.appsFailed);
    Check(rec.Name == tarnwell::CutPoolName(pool.name));
    Check(rec.AppCount == static_cast<std::int32_t>(pool.apps.size()));
    Check(rec.Apps ? rec.Apps->size() == pool.apps.size() : pool.apps.empty());
  }
}

// after is before with one run of bytes put in somewhere.
bool IsInsertion(std::string_view before, std::string_view after) {
  if (after.size() <= before.size()) return false;
  std::size_t head = 0;
  while (head < before.size() && before[head] == after[head]) ++head;
  std::size_t tail = 0;
  while (tail < before.size() - head && before[before.size() - 1 - tail] == after[after.size() - 1 - tail]) ++tail;
  return head + tail == before.size();
}

void ChangeACopy(std::string_view text, const Listing& before) {
  const std::string& copy = Open().copy;
  WriteFile(copy, text);
  try {
    Open().changer->Bind(kPools)->Create("IIsApplicationPool", kNewPool)->SetInfo();
  } catch (const MetabaseError&) {
    Check(ReadFile(copy) == text);  // a refused change saves nothing
    return;
  }
  Check(IsInsertion(text, ReadFile(copy)));

  // Read back from the file by a store that did not make the change.
  IMetabase* store = Open().checker.get();
  const auto after = ReadPools(*store);
  Check(after && after->size() == before.size() + 1);
  Check(std::equal(before.begin(), before.end(), after->begin()));
  Check(mbtext::IEquals(after->back().name, kNewPool));

  // Moving an application into the new pool: the pool lists it, the application names it.
  const auto withApps = std::find_if(before.begin(), before.end(), [](const Pool& p) { return !p.apps.empty(); });
  if (withApps != before.end()) {
    const std::string app = withApps->apps.front();
    std::unique_ptr<IMetabaseObject> object;
    try {
      object = store->Bind(tarnwell::AppScriptMapsPath(app));
    } catch (const MetabaseError&) {
    }
    if (object) {
      const Lines maps = {".aspx,C:\\WINDOWS\\Microsoft.NET\\Framework\\v2.0.50727\\aspnet_isapi.dll,1,GET",
                          ".x,&<>\"'\tamp;&#10;,5"};
      const std::string comment = "R&D <\"new\">\t'pool'\r\n&#13;";
      bool saved = true;
      try {
        object->Put("AppPoolId", std::string(kNewPool));
        object->Put("ScriptMaps", MetabaseList(maps));
        object->Put("FuzzComment", comment);
        object->SetInfo();
      } catch (const MetabaseError&) {
        saved = false;  // the key's element is not one the store can edit
      }
      if (saved) {
        IMetabase* reread = Open().changer.get();  // the checker made this change
        const auto moved = reread->Bind(tarnwell::AppScriptMapsPath(app));
        Check(std::get<std::string>(moved->Get("AppPoolId")) == kNewPool);
        Check(std::get<MetabaseList>(moved->Get("ScriptMaps")).Strings() == maps);
        Check(std::get<std::string>(moved->Get("FuzzComment")) == comment);
        const auto pool = reread->Bind(std::string(kPools) + "/" + std::string(kNewPool));
        const auto apps = std::get<MetabaseList>(pool->EnumAppsInPool());
        Check(std::find(apps.begin(), apps.end(), app) != apps.end());
        return;
      }
    }
  }

  // Deleting the new pool gives the file back byte for byte, unless the file already had
  // keys below that name (they go with it) or applications naming it.
  try {
    store->Bind(kPools)->Delete("IIsApplicationPool", kNewPool);
  } catch (const MetabaseError& e) {
    Check(e.code() == tarnwell::platform::kErrPoolNotEmpty && !after->back().apps.empty());
    return;
  }
  if (mbtext::AsciiLower(text).find(mbtext::AsciiLower(kNewPool)) == std::string::npos) {
    Check(ReadFile(copy) == text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  WriteFile(Open().file, text);
  IMetabase* store = Open().reader.get();
  for (std::string_view path : {"IIS://localhost/W3SVC", "IIS://LOCALHOST/w3svc/1/root", "/LM", "/lm/W3SVC/Filters/",
                                "IIS://localhost/W3SVC/AppPools/DefaultAppPool", "IIS://./W3SVC//1",
                                "IIS://127.0.0.1/W3SVC/AppPools//", "IIS://remote/W3SVC"}) {
    try {
      auto object = store->Bind(path);
      Check(object != nullptr);
      (void)object->Name();
      (void)object->Get("ServerComment");
    } catch (const MetabaseError&) {
    }
  }

  const auto listing = ReadPools(*store);
  if (listing) {
    for (const auto& pool : *listing) {
      for (const auto& app : pool.apps) CheckApp(*store, pool.name, app);
    }
  }
  CheckLoadPools(*store, listing, false);
  CheckLoadPools(*store, listing, true);
  if (listing) ChangeACopy(text, *listing);
  return 0;
}
