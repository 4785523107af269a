// LoadPools and the generator over the real store: the demo metabase and generated ones.
#include <gtest/gtest.h>

#include "iis/iis.h"
#include "metabase/metabase_generator.h"
#include "metabase/metabase_store.h"
#include "tests/fakes/null_seams.h"
#include "tests/metabase/metabase_test_util.h"

namespace tarnwell {
namespace {

using Lines = std::vector<std::string>;

class LoadPoolsOverStore : public ::testing::Test {
 protected:
  void Use(const std::string& text) {
    testutil::WriteFile(file_, text);
    store_ = standin::OpenMetabaseStore(file_);
    registry_ = std::make_unique<TIISObject>(*store_, processes_);
  }

  const TPoolRec* Pool(const std::string& name) const {
    const auto i = registry_->IndexOfPool(name);
    return i < 0 ? nullptr : &registry_->Pools[static_cast<std::size_t>(i)];
  }

  testutil::TempDir dir_;
  std::string file_ = dir_.File("MetaBase.xml");
  fakes::NullProcessSystem processes_;
  std::unique_ptr<platform::IMetabase> store_;
  std::unique_ptr<TIISObject> registry_;
};

TEST_F(LoadPoolsOverStore, ReadsTheDemoServerWithSiteNamesAndVersions) {
  Use(testutil::ReadFile(testutil::DemoMetabasePath()));
  registry_->GetSiteName = true;
  registry_->GetAspNetVersion = true;
  registry_->LoadPools();

  ASSERT_EQ(registry_->PoolCount, 9);
  EXPECT_EQ(registry_->Pools[0].Name, "DefaultAppPool");
  EXPECT_EQ(registry_->Pools[8].Name, "EmptyPool");
  EXPECT_EQ(registry_->PoolsDropped, 0);

  const auto* shop = Pool("ShopPool");
  ASSERT_TRUE(shop && shop->Apps);
  EXPECT_EQ(shop->AppCount, 3);
  EXPECT_EQ(*shop->Apps, (Lines{"Shop site [/LM/W3SVC/2/ROOT/cart/] ASP.NET: 2.0.50727",
                                "Shop site [/LM/W3SVC/2/ROOT/catalog/] ASP.NET: 2.0.50727",
                                "Shop site [/LM/W3SVC/2/ROOT/checkout/] ASP.NET: 2.0.50727"}));
  // The shop's home directory is no application; its catalog inherits ShopPool from the site.
  const auto* mine = Pool("MyAppPool");
  ASSERT_TRUE(mine && mine->Apps);
  EXPECT_EQ(*mine->Apps, (Lines{"Intranet [/LM/W3SVC/3/ROOT/hr/] ASP.NET: 2.0.50727",
                                "Intranet [/LM/W3SVC/3/ROOT/timesheet/] ASP.NET: 2.0.50727"}));
  // The first .aspx handler lies outside any framework folder: no version.
  const auto* gateway = Pool("AppPool1");
  ASSERT_TRUE(gateway && gateway->Apps);
  EXPECT_EQ(*gateway->Apps, (Lines{"Default Web Site [/LM/W3SVC/1/ROOT/isapi/]"}));
  // Script maps inherited from a parent application and from a site ROOT.
  const auto* legacy = Pool("LegacyPool");
  ASSERT_TRUE(legacy && legacy->Apps);
  for (const auto& line : *legacy->Apps) EXPECT_TRUE(line.ends_with("/] ASP.NET: 1.1.4322")) << line;
  const auto* reports = Pool("ReportsPool");
  ASSERT_TRUE(reports && reports->Apps);
  EXPECT_EQ((*reports->Apps)[0], "Reports [/LM/W3SVC/4/ROOT/] ASP.NET: 1.1.4322");

  const auto* empty = Pool("EmptyPool");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->AppCount, 0);
  EXPECT_FALSE(empty->Apps);
}

TEST_F(LoadPoolsOverStore, WithoutSiteNamesLinesAreOnlyPaths) {
  Use(testutil::ReadFile(testutil::DemoMetabasePath()));
  registry_->GetAspNetVersion = true;  // has no effect without site names
  registry_->LoadPools();
  const auto* shop = Pool("ShopPool");
  ASSERT_TRUE(shop && shop->Apps);
  EXPECT_EQ(*shop->Apps, (Lines{" [/LM/W3SVC/2/ROOT/cart/]", " [/LM/W3SVC/2/ROOT/catalog/]",
                                " [/LM/W3SVC/2/ROOT/checkout/]"}));
}

TEST_F(LoadPoolsOverStore, KeepsTheFirst1024Of2000PoolsAndCountsTheRest) {
  Use(standin::GenerateMetabase(3, 2000, 1));
  registry_->LoadPools();
  EXPECT_EQ(registry_->PoolCount, 1024);
  EXPECT_EQ(registry_->PoolsDropped, 2000 - 1024);
  EXPECT_EQ(registry_->Pools[1023].Name, standin::GeneratedPoolName(1023));
  EXPECT_EQ(registry_->Pools[1023].AppCount, 1);
  EXPECT_TRUE(registry_->Pools[1024].Name.empty());
  EXPECT_FALSE(registry_->Pools[1024].Apps);

  // A filter that lets fewer through leaves nothing dropped.
  registry_->Filter = "^AppPool00";
  registry_->LoadPools();
  EXPECT_EQ(registry_->PoolCount, 99);
  EXPECT_EQ(registry_->PoolsDropped, 0);
}

// A save by another program between two loads is in the second, however close they are.
TEST_F(LoadPoolsOverStore, TheNextLoadSeesAnotherProgramsSave) {
  const std::string demo = testutil::ReadFile(testutil::DemoMetabasePath());
  Use(demo);
  registry_->GetSiteName = true;
  registry_->LoadPools();
  ASSERT_EQ(registry_->PoolCount, 9);

  std::string changed = demo;
  const std::string shop = "ServerComment=\"Shop site\"";
  changed.replace(changed.find(shop), shop.size(), "ServerComment=\"Shop\"");
  testutil::ReplaceFile(file_, changed);
  registry_->LoadPools();
  const auto* shopPool = Pool("ShopPool");
  ASSERT_TRUE(shopPool && shopPool->Apps);
  EXPECT_EQ(shopPool->Apps->front(), "Shop [/LM/W3SVC/2/ROOT/cart/]");
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
