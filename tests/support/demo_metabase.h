#pragma once
// What demo/MetaBase.xml answers through the metabase seam, whichever implementation
// answers it: the store on Linux, and the program's ADSI code over the stand-in provider
// under wine. Both test folders check the same tables.
#include <string>
#include <vector>

#include "platform/metabase.h"

namespace tarnwell::testutil {

using Lines = std::vector<std::string>;

// A value of the other kind throws, failing the test.
inline Lines AsList(const platform::MetabaseValue& value) { return std::get<platform::MetabaseList>(value).Strings(); }
inline std::string AsString(const platform::MetabaseValue& value) { return std::get<std::string>(value); }

// A property of /LM/W3SVC<path>, read by a fresh bind.
inline std::string Text(platform::IMetabase& store, const std::string& path, const std::string& property) {
  return AsString(store.Bind("IIS://localhost/W3SVC" + path)->Get(property));
}

inline Lines PoolNames(platform::IMetabase& store) {
  Lines names;
  auto children = store.Bind("IIS://localhost/W3SVC/AppPools")->Enumerate();
  for (std::unique_ptr<platform::IMetabaseObject> child; children->Next(child);) {
    if (child) names.push_back(child->Name());
  }
  return names;
}

inline Lines AppsOf(platform::IMetabase& store, const std::string& pool) {
  return AsList(store.Bind("IIS://localhost/W3SVC/AppPools/" + pool)->EnumAppsInPool());
}

inline void MoveApp(platform::IMetabase& store, const std::string& app, const std::string& pool) {
  auto object = store.Bind("IIS://localhost/w3svc" + app);
  object->Put("AppPoolId", pool);
  object->SetInfo();
}

// The demo's pools in file order.
inline const Lines kDemoPools = {"DefaultAppPool", "MyPool2",      "AppPool1",     "MyAppPool", "ShopPool",
                                 "ReportsPool",    "LegacyPool",   "IntranetPool", "EmptyPool"};

struct DemoPoolApps {
  const char* pool;
  Lines apps;  // EnumAppsInPool, in file order
};
// AppPoolId set on the application itself, inherited from /LM/W3SVC, from the site key,
// and from a parent application; a pool without applications.
inline const std::vector<DemoPoolApps> kDemoPoolApps = {
    {"ShopPool", {"/LM/W3SVC/2/ROOT/catalog/", "/LM/W3SVC/2/ROOT/cart/", "/LM/W3SVC/2/ROOT/checkout/"}},
    {"DefaultAppPool", {"/LM/W3SVC/1/ROOT/", "/LM/W3SVC/1/ROOT/Printers/"}},
    {"IntranetPool", {"/LM/W3SVC/3/ROOT/", "/LM/W3SVC/3/ROOT/wiki/"}},
    {"LegacyPool", {"/LM/W3SVC/1/ROOT/legacy/", "/LM/W3SVC/1/ROOT/legacy/admin/"}},
    {"EmptyPool", {}},
};

}  // namespace tarnwell::testutil
