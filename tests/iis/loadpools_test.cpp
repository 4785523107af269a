// TIISObject::LoadPools over the in-memory metabase.
#include <gtest/gtest.h>

#include <algorithm>

#include "iis/adshlp.h"
#include "iis/iis.h"
#include "iis/iis_load.h"
#include "tests/fakes/fake_metabase.h"
#include "tests/fakes/null_seams.h"

namespace tarnwell {
namespace {

using fakes::FakeMetabase;
using Lines = std::vector<std::string>;
using Op = FakeMetabase::Op;

const std::string kAsp = ".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE";
std::string AspNet(const std::string& ext, const std::string& folder) {
  return ext + ",C:\\WINDOWS\\Microsoft.NET\\Framework\\" + folder + "\\aspnet_isapi.dll,1,GET,HEAD,POST,DEBUG";
}

class LoadPoolsTest : public ::testing::Test {
 protected:
  LoadPoolsTest() {
    meta_.SetProperty("/LM/W3SVC", "ScriptMaps", Lines{kAsp, AspNet(".aspx", "v2.0.50727")});
    meta_.AddSite("1", "Shop");
    meta_.AddSite("2", "Archive");
    for (const char* pool : {"DefaultAppPool", "ShopPool", "Idle"}) meta_.AddPool(pool);
    meta_.AddApp("/LM/W3SVC/1/ROOT");  // DefaultAppPool, inherited
    meta_.AddApp("/LM/W3SVC/1/ROOT/shop", "ShopPool");
    meta_.AddApp("/LM/W3SVC/2/ROOT/old", "ShopPool");
    meta_.SetProperty("/LM/W3SVC/2/ROOT/old", "ScriptMaps", Lines{AspNet(".asmx", "v1.1.4322")});
  }

  TPoolRec& Rec(int i) { return registry_.Pools[static_cast<std::size_t>(i)]; }
  std::string Names() const {
    std::string out;
    for (int i = 0; i < registry_.PoolCount; ++i) out += registry_.Pools[static_cast<std::size_t>(i)].Name + ";";
    return out;
  }

  FakeMetabase meta_;
  fakes::NullProcessSystem processes_;
  TIISObject registry_{meta_, processes_};
};

TEST_F(LoadPoolsTest, StoresEveryPoolInMetabaseOrderWithSortedLines) {
  registry_.GetSiteName = registry_.GetAspNetVersion = true;
  registry_.LoadPools();
  ASSERT_EQ(registry_.PoolCount, 3);
  EXPECT_EQ(Names(), "DefaultAppPool;ShopPool;Idle;");
  EXPECT_EQ(Rec(0).AppCount, 1);
  EXPECT_EQ(*Rec(0).Apps, (Lines{"Shop [/LM/W3SVC/1/ROOT/] ASP.NET: 2.0.50727"}));
  // Archive sorts before Shop although the metabase gives it second.
  EXPECT_EQ(*Rec(1).Apps, (Lines{"Archive [/LM/W3SVC/2/ROOT/old/] ASP.NET: 1.1.4322",
                                 "Shop [/LM/W3SVC/1/ROOT/shop/] ASP.NET: 2.0.50727"}));
  EXPECT_EQ(Rec(2).AppCount, 0);
  EXPECT_FALSE(Rec(2).Apps);
  EXPECT_TRUE(Rec(3).Name.empty());
}

TEST_F(LoadPoolsTest, WithoutSiteNamesReadsNeitherSitesNorVersions) {
  registry_.GetAspNetVersion = true;
  registry_.LoadPools();
  EXPECT_EQ(*Rec(1).Apps, (Lines{" [/LM/W3SVC/1/ROOT/shop/]", " [/LM/W3SVC/2/ROOT/old/]"}));
  for (const auto& call : meta_.Calls()) {
    EXPECT_FALSE(call.starts_with("GetObject") || call.starts_with("Get ")) << call;
    EXPECT_NE(call, "Bind IIS://localhost/w3svc");
  }
}

TEST_F(LoadPoolsTest, BindsTheSiteContainerAnewForEveryApplication) {
  registry_.GetSiteName = true;
  registry_.LoadPools();
  const auto calls = meta_.Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "Bind IIS://localhost/w3svc"), 3);
  EXPECT_EQ(meta_.CountCalls("Get /LM/W3SVC/1 ServerComment"), 2);
  EXPECT_EQ(meta_.CountCalls("Get /LM/W3SVC/1/ROOT/shop ScriptMaps"), 0);  // versions off
  EXPECT_EQ(*Rec(1).Apps, (Lines{"Archive [/LM/W3SVC/2/ROOT/old/]", "Shop [/LM/W3SVC/1/ROOT/shop/]"}));
}

TEST_F(LoadPoolsTest, VersionComesFromTheFirstAspNetScriptMapOnly) {
  const auto versionOf = [&](Lines maps) {
    meta_.SetProperty("/LM/W3SVC/1/ROOT/shop", "ScriptMaps", std::move(maps));
    registry_.GetSiteName = registry_.GetAspNetVersion = true;
    registry_.LoadPools();
    const std::string line = (*Rec(1).Apps)[1];
    const auto at = line.find(" ASP.NET: ");
    return at == std::string::npos ? std::string("none") : line.substr(at + 10);
  };
  EXPECT_EQ(versionOf({kAsp, AspNet(".aspx", "v2.0.50727")}), "2.0.50727");
  EXPECT_EQ(versionOf({AspNet(".asmx", "V1.1.4322")}), "1.1.4322");
  EXPECT_EQ(versionOf({AspNet(".aspx", "1.1.4322")}), "1.1.4322");  // no v: taken whole
  EXPECT_EQ(versionOf({".aspx,C:\\WINDOWS\\MICROSOFT.NET\\FRAMEWORK\\v4.0.30319\\aspnet_isapi.dll,1"}), "4.0.30319");
  // The first .aspx entry has no framework folder: later entries are not tried.
  EXPECT_EQ(versionOf({".aspx,D:\\handlers\\gate.dll,1", AspNet(".asmx", "v2.0.50727")}), "none");
  EXPECT_EQ(versionOf({".ASPX,x", AspNet(".asmx", "v2.0.50727")}), "2.0.50727");  // exact case
  EXPECT_EQ(versionOf({kAsp}), "none");
  EXPECT_EQ(versionOf({".aspx,C:\\Framework\\v2.0"}), "none");  // nothing after the folder name
  EXPECT_EQ(versionOf({".aspx,C:\\Framework\\"}), "none");
  EXPECT_EQ(versionOf({}), "none");
}

TEST(LoadPoolsHelpers, TakeTheSiteIdAndTheObjectPathFromTheApplicationPath) {
  EXPECT_EQ(SiteIdOfAppPath("/LM/W3SVC/1/ROOT/shop/"), "1");
  EXPECT_EQ(SiteIdOfAppPath("/LM/W3SVC/1234567/ROOT/"), "1234567");
  EXPECT_EQ(SiteIdOfAppPath("/LM/W3SVC/42"), "42");
  EXPECT_THROW(SiteIdOfAppPath("/lm/w3svc/1/ROOT/"), platform::MetabaseError);
  EXPECT_EQ(AppScriptMapsPath("/LM/W3SVC/1/ROOT/shop/"), "IIS://localhost/w3svc/1/ROOT/shop");
  EXPECT_EQ(AppScriptMapsPath("/LM/W3SVC/1/ROOT/shop"), "IIS://localhost/w3svc/1/ROOT/shop");
}

TEST(LoadPoolsHelpers, SortIgnoresCaseAndKeepsEqualLinesInOrder) {
  Lines lines{" [/LM/W3SVC/1/ROOT/b/]", " [/LM/W3SVC/1/ROOT/Shop/]", " [/LM/W3SVC/1/ROOT/A/]",
              " [/LM/W3SVC/1/ROOT/shop/]", " [/LM/W3SVC/1/ROOT/SHOP/]"};
  SortAppLines(lines, std::locale::classic());
  EXPECT_EQ(lines, (Lines{" [/LM/W3SVC/1/ROOT/A/]", " [/LM/W3SVC/1/ROOT/b/]", " [/LM/W3SVC/1/ROOT/Shop/]",
                          " [/LM/W3SVC/1/ROOT/shop/]", " [/LM/W3SVC/1/ROOT/SHOP/]"}));
  // Letters beyond ASCII fold too where the locale knows them; invalid UTF-8 is no harm.
  Lines accented{"\xC3\xA9t\xC3\xA9", "Zoo", "\xC3\x89T\xC3\x89", "\xFF\xFE", "apple"};
  std::locale utf8 = std::locale::classic();
  try {
    utf8 = std::locale("C.UTF-8");
  } catch (const std::runtime_error&) {
  }
  SortAppLines(accented, utf8);
  EXPECT_EQ(accented[0], "apple");
  EXPECT_EQ(accented[1], "Zoo");
  if (std::has_facet<std::ctype<wchar_t>>(utf8) && std::use_facet<std::ctype<wchar_t>>(utf8).tolower(L'\u00C9') == L'\u00E9') {
    EXPECT_EQ(accented[2], "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(accented[3], "\xC3\x89T\xC3\x89");
  }
}

TEST_F(LoadPoolsTest, KeepsOnlyAcceptedPoolsWithoutGapsAndAnInvalidFilterClearsThem) {
  registry_.Filter = "pool$";
  registry_.LoadPools();
  EXPECT_EQ(Names(), "DefaultAppPool;ShopPool;");

  registry_.SelectedPools = "Idle\t";
  registry_.SetMonitoring(true);
  registry_.LoadPools();
  EXPECT_EQ(Names(), "Idle;");
  EXPECT_FALSE(Rec(1).Apps);  // ShopPool's list went with ClearPools

  // An invalid filter passes out after ClearPools.
  registry_.SetMonitoring(false);
  registry_.Filter = "(unclosed";
  EXPECT_THROW(registry_.LoadPools(), RegexError);
  EXPECT_EQ(registry_.PoolCount, 0);
  EXPECT_TRUE(Rec(0).Name.empty());
}

TEST_F(LoadPoolsTest, AnUnreachableMetabaseLeavesTheRecordsAsTheyWereAndSaysWhy) {
  registry_.LoadPools();
  ASSERT_EQ(registry_.PoolCount, 3);
  EXPECT_FALSE(registry_.LoadFailure);
  meta_.FailCall(Op::Bind, 1, "w3svc/AppPools$", platform::kErrPathNotFound);
  registry_.LoadPools();
  EXPECT_EQ(Names(), "DefaultAppPool;ShopPool;Idle;");
  ASSERT_TRUE(Rec(1).Apps);
  EXPECT_EQ(Rec(1).Apps->size(), 2u);
  ASSERT_TRUE(registry_.LoadFailure);
  EXPECT_EQ(registry_.LoadFailure->Code, platform::kErrPathNotFound);
  EXPECT_EQ(MetabaseUnreadableText(*registry_.LoadFailure),
            "The metabase cannot be read [IIS://localhost/w3svc/AppPools]: Injected failure: Bind "
            "IIS://localhost/w3svc/AppPools");
  registry_.LoadPools();
  EXPECT_FALSE(registry_.LoadFailure);  // read again

  // Where the IIS provider is missing, the line says what the server needs.
  const std::string reason = "Binding [IIS://localhost/w3svc/AppPools] failed: 0x800401E4 Invalid syntax.";
  for (const std::uint32_t code : {platform::kErrNoIisProvider, platform::kErrBadAdsPath}) {
    const std::string text = MetabaseUnreadableText({code, reason});
    EXPECT_NE(text.find("Invalid syntax. The ADSI provider of IIS is missing: IIS 6 Metabase Compatibility is needed"),
              std::string::npos)
        << text;
  }
  EXPECT_EQ(MetabaseUnreadableText({platform::kErrFail, reason}).find("Compatibility"), std::string::npos);
}

TEST_F(LoadPoolsTest, AMetabaseWithNoPoolsClearsEveryRecord) {
  registry_.LoadPools();
  ASSERT_TRUE(Rec(1).Apps);
  for (const auto& app : {"/LM/W3SVC/1/ROOT", "/LM/W3SVC/1/ROOT/shop", "/LM/W3SVC/2/ROOT/old"}) {
    meta_.SetProperty(app, "AppPoolId", "Elsewhere");
  }
  auto pools = meta_.Bind("IIS://localhost/W3SVC/AppPools");
  for (const auto& name : {"DefaultAppPool", "ShopPool", "Idle"}) pools->Delete("IIsApplicationPool", name);
  registry_.LoadPools();
  EXPECT_EQ(registry_.PoolCount, 0);
  for (int i = 0; i <= 3; ++i) {
    EXPECT_TRUE(Rec(i).Name.empty()) << i;
    EXPECT_FALSE(Rec(i).Apps) << i;
  }
}

TEST_F(LoadPoolsTest, SkipsChildrenThatAreNoDirectoryObjects) {
  meta_.AddNonDirectoryChild("/LM/W3SVC/AppPools");
  meta_.AddPool("Last");
  registry_.LoadPools();
  EXPECT_EQ(Names(), "DefaultAppPool;ShopPool;Idle;Last;");
}

TEST_F(LoadPoolsTest, ErrorsPassOutAfterTheRecordsWereCleared) {
  // Pools A (one application), B (two), C; returns whether B's record was left a list.
  const auto raises = [&](auto setup, std::uint32_t code, int storedBefore) {
    FakeMetabase meta;
    meta.AddSite("1", "Shop");
    for (const char* pool : {"A", "B", "C"}) meta.AddPool(pool);
    meta.AddApp("/LM/W3SVC/1/ROOT/a", "A");
    meta.AddApp("/LM/W3SVC/1/ROOT/b1", "B");
    meta.AddApp("/LM/W3SVC/1/ROOT/b2", "B");
    meta.SetProperty("/LM/W3SVC", "ScriptMaps", Lines{AspNet(".aspx", "v2.0.50727")});
    setup(meta);
    TIISObject registry(meta, processes_);
    registry.GetSiteName = registry.GetAspNetVersion = true;
    try {
      registry.LoadPools();
      ADD_FAILURE() << "LoadPools did not raise";
    } catch (const platform::MetabaseError& e) {
      EXPECT_EQ(e.code(), code) << e.what();
    }
    // What was stored before the error stays; the pool being read is not counted.
    EXPECT_EQ(registry.PoolCount, storedBefore);
    EXPECT_TRUE(registry.Pools[static_cast<std::size_t>(storedBefore)].Name.empty());
    const bool leftList = registry.Pools[1].Apps != nullptr;
    // The next load (the failure was a one-off or is mended) clears what was left.
    meta.SetEnumAppsResult("B", Lines{});
    meta.SetProperty("/LM/W3SVC/1", "ServerComment", "Shop");
    meta.SetProperty("/LM/W3SVC/1/ROOT/b2", "ScriptMaps", Lines{});
    registry.LoadPools();
    EXPECT_EQ(registry.PoolCount, 3);
    EXPECT_FALSE(registry.Pools[1].Apps);
    return leftList;
  };
  EXPECT_FALSE(raises([](FakeMetabase& m) { m.FailCall(Op::EnumAppsInPool, 2); }, platform::kErrFail, 1));
  EXPECT_FALSE(raises([](FakeMetabase& m) { m.SetEnumAppsResult("B", std::string("no list")); }, platform::kErrFail, 1));
  raises([](FakeMetabase& m) { m.FailCall(Op::Name, 2, "", platform::kErrPathNotFound); }, platform::kErrPathNotFound, 1);
  raises([](FakeMetabase& m) { m.FailCall(Op::Enumerate); }, platform::kErrFail, 0);
  raises([](FakeMetabase& m) { m.SetProperty("/LM/W3SVC/1", "ServerComment", Lines{"x"}); }, platform::kErrFail, 0);
  // Mid-pool: B's second application fails, and B's first line stays in its list.
  EXPECT_TRUE(raises([](FakeMetabase& m) { m.FailCall(Op::GetServerComment, 3); }, platform::kErrFail, 1));
  EXPECT_TRUE(raises([](FakeMetabase& m) { m.FailCall(Op::Bind, 1, "ROOT/b2$"); }, platform::kErrNotBound, 1));
  EXPECT_TRUE(raises([](FakeMetabase& m) { m.SetProperty("/LM/W3SVC/1/ROOT/b2", "ScriptMaps", std::string("x")); },
                     platform::kErrFail, 1));
  EXPECT_TRUE(raises([](FakeMetabase& m) { m.FailCall(Op::GetObject, 3); }, platform::kErrFail, 1));
}

TEST_F(LoadPoolsTest, AFailedSiteContainerBindDropsOnlyThatApplicationsSiteAndVersion) {
  meta_.FailCall(Op::Bind, 2, "localhost/w3svc$");
  registry_.GetSiteName = registry_.GetAspNetVersion = true;
  registry_.LoadPools();
  EXPECT_EQ(*Rec(0).Apps, (Lines{"Shop [/LM/W3SVC/1/ROOT/] ASP.NET: 2.0.50727"}));
  EXPECT_EQ(*Rec(1).Apps, (Lines{" [/LM/W3SVC/1/ROOT/shop/]", "Archive [/LM/W3SVC/2/ROOT/old/] ASP.NET: 1.1.4322"}));
}

TEST(LoadPoolsLimits, KeepsTheFirst1024Of2000PoolsAndCountsTheRest) {
  FakeMetabase meta;
  for (int i = 0; i < 2000; ++i) meta.AddPool(std::string("P").append(std::to_string(i)));
  meta.AddApp("/LM/W3SVC/1/ROOT/late", "P1999");
  fakes::NullProcessSystem processes;
  TIISObject registry(meta, processes);
  registry.LoadPools();
  EXPECT_EQ(registry.PoolCount, 1024);
  EXPECT_EQ(registry.PoolsDropped, 976);
  EXPECT_EQ(registry.Pools[1023].Name, "P1023");
  EXPECT_TRUE(registry.Pools[1024].Name.empty());
  // Pools beyond the records are not even asked for their applications.
  EXPECT_EQ(meta.CountCalls("EnumAppsInPool"), 1024);

  registry.Filter = "^P1[0-9]$";
  registry.LoadPools();
  EXPECT_EQ(registry.PoolCount, 10);
  EXPECT_EQ(registry.PoolsDropped, 0);
}

// Binding through adshlp: the two ways LoadPools and the analyser bind metabase paths.
TEST(Adshlp, BindContainerGivesTheCodeAndAFailedGetMetabaseObjectFailsEveryCall) {
  FakeMetabase meta;
  std::unique_ptr<platform::IMetabaseObject> container;
  EXPECT_EQ(BindContainer(meta, "IIS://localhost/w3svc/AppPools", container), 0u);
  ASSERT_TRUE(container);
  EXPECT_EQ(container->Name(), "AppPools");

  EXPECT_EQ(BindContainer(meta, "IIS://localhost/w3svc/7", container), platform::kErrPathNotFound);
  EXPECT_FALSE(container);
  meta.FailCall(Op::Bind, 0, "apppools$", 0x80070005);
  EXPECT_EQ(BindContainer(meta, "IIS://localhost/w3svc/AppPools", container), 0x80070005u);
  EXPECT_FALSE(container);

  // A failed GetMetabaseObject gives an object that fails on every call, naming the path.
  auto bound = GetMetabaseObject(meta, "IIS://localhost/W3SVC");
  EXPECT_EQ(bound->Name(), "W3SVC");

  auto unbound = GetMetabaseObject(meta, "IIS://localhost/W3SVC/9/ROOT/shop");
  ASSERT_TRUE(unbound);
  const auto codeOf = [](auto&& call) {
    try {
      call();
    } catch (const platform::MetabaseError& e) {
      EXPECT_NE(std::string(e.what()).find("IIS://localhost/W3SVC/9/ROOT/shop"), std::string::npos) << e.what();
      return e.code();
    }
    return 0u;
  };
  EXPECT_EQ(codeOf([&] { unbound->Name(); }), platform::kErrNotBound);
  EXPECT_EQ(codeOf([&] { unbound->Get("ScriptMaps"); }), platform::kErrNotBound);
  EXPECT_EQ(codeOf([&] { unbound->Put("AppPoolId", std::string("x")); }), platform::kErrNotBound);
  EXPECT_EQ(codeOf([&] { unbound->SetInfo(); }), platform::kErrNotBound);
  EXPECT_EQ(codeOf([&] { unbound->EnumAppsInPool(); }), platform::kErrNotBound);
  EXPECT_EQ(codeOf([&] { unbound->Create("IIsApplicationPool", "x"); }), platform::kErrNotBound);
  EXPECT_EQ(codeOf([&] { unbound->Delete("IIsApplicationPool", "x"); }), platform::kErrNotBound);
  EXPECT_EQ(codeOf([&] { unbound->GetObject("IIsWebServer", "1"); }), platform::kErrNotBound);
  EXPECT_EQ(codeOf([&] { unbound->Enumerate(); }), platform::kErrNotBound);
}

}  // namespace
}  // namespace tarnwell
