// LoadPools and the generator over the real store: the demo metabase and generated ones.
#include <gtest/gtest.h>

#include "metabase/metabase_generator.h"
#include "tests/metabase/metabase_test_util.h"

namespace tarnwell {
namespace {

using Lines = std::vector<std::string>;

using LoadPoolsOverStore = testutil::OverStore;

TEST_F(LoadPoolsOverStore, ReadsTheDemoServerWithSiteNamesAndVersions) {
  Write(testutil::ReadAll(testutil::DemoMetabasePath()));
  registry_->GetSiteName = registry_->GetAspNetVersion = true;
  registry_->LoadPools();

  ASSERT_EQ(registry_->PoolCount, 9);
  EXPECT_EQ(registry_->PoolsDropped, 0);

  EXPECT_EQ(Pool("ShopPool")->AppCount, 3);
  EXPECT_EQ(Apps("ShopPool"), (Lines{"Shop site [/LM/W3SVC/2/ROOT/cart/] ASP.NET: 2.0.50727",
                                     "Shop site [/LM/W3SVC/2/ROOT/catalog/] ASP.NET: 2.0.50727",
                                     "Shop site [/LM/W3SVC/2/ROOT/checkout/] ASP.NET: 2.0.50727"}));
  // The shop's home directory is no application; its catalog inherits ShopPool from the site.
  EXPECT_EQ(Apps("MyAppPool"), (Lines{"Intranet [/LM/W3SVC/3/ROOT/hr/] ASP.NET: 2.0.50727",
                                      "Intranet [/LM/W3SVC/3/ROOT/timesheet/] ASP.NET: 2.0.50727"}));
  // The first .aspx handler lies outside any framework folder: no version.
  EXPECT_EQ(Apps("AppPool1"), (Lines{"Default Web Site [/LM/W3SVC/1/ROOT/isapi/]"}));
  // Script maps inherited from a parent application and from a site ROOT.
  ASSERT_FALSE(Apps("LegacyPool").empty());
  for (const auto& line : Apps("LegacyPool")) EXPECT_TRUE(line.ends_with("/] ASP.NET: 1.1.4322")) << line;
  EXPECT_EQ(Apps("ReportsPool").at(0), "Reports [/LM/W3SVC/4/ROOT/] ASP.NET: 1.1.4322");
}

TEST(GeneratedMetabase, HasTheShapeAsked) {
  testutil::TempDir dir;
  const std::string file = dir.File("gen.xml");
  standin::WriteGeneratedMetabase(file, 4, 6, 5);
  auto store = standin::OpenMetabaseStore(file);

  auto pools = store->Bind("IIS://localhost/W3SVC/AppPools")->Enumerate();
  std::unique_ptr<platform::IMetabaseObject> pool;
  Lines names;
  while (pools->Next(pool)) {
    names.push_back(pool->Name());
    EXPECT_EQ(std::get<platform::MetabaseList>(pool->EnumAppsInPool()).size(), 5u) << names.back();
  }
  EXPECT_EQ(names, (Lines{"DefaultAppPool", "AppPool0001", "AppPool0002", "AppPool0003", "AppPool0004", "AppPool0005"}));
  // The sites' ROOTs are the first applications; DefaultAppPool's inherit their pool.
  const auto defaults = std::get<platform::MetabaseList>(store->Bind("IIS://localhost/W3SVC/AppPools/DefaultAppPool")->EnumAppsInPool()).Strings();
  EXPECT_EQ(defaults[0], "/LM/W3SVC/1/ROOT/");
  EXPECT_EQ(std::get<std::string>(store->Bind("IIS://localhost/W3SVC/1/ROOT")->Get("AppPoolId")), "DefaultAppPool");
  EXPECT_EQ(std::get<std::string>(store->Bind("IIS://localhost/W3SVC/4")->Get("ServerComment")), "Web site 4");
  // Every 8th application has ASP.NET 1.1 script maps of its own.
  const auto own = std::get<platform::MetabaseList>(store->Bind("IIS://localhost/W3SVC/4/ROOT/app00007")->Get("ScriptMaps")).Strings();
  EXPECT_EQ(own, standin::AspNetScriptMaps("1.1.4322"));
  const auto inherited = std::get<platform::MetabaseList>(store->Bind("IIS://localhost/W3SVC/1/ROOT/app00008")->Get("ScriptMaps")).Strings();
  EXPECT_EQ(inherited, standin::AspNetScriptMaps("2.0.50727"));
}

}  // namespace
}  // namespace tarnwell
