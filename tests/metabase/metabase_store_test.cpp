// The MetaBase.xml store over real files in temporary directories.
#include "metabase/metabase_store.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/metabase/metabase_test_util.h"
#include "tests/support/demo_metabase.h"

namespace tarnwell::standin {
namespace {

using platform::IMetabase;
using platform::IMetabaseObject;
using platform::MetabaseValue;
using testutil::ErrorOf;
using testutil::MetabaseXml;
using testutil::ReadAll;
using testutil::WriteFile;

using testutil::AppsOf;
using testutil::AsList;
using testutil::AsString;
using testutil::Lines;
using testutil::MoveApp;
using testutil::PoolNames;
using testutil::Text;

// A small metabase, LF line ends, where only application a sets AppPoolId (in lower case);
// `rootCustom`, a Custom element of the site's ROOT.
std::string Bare(const MetabaseXml::Attrs& rootCustom = {}) {
  MetabaseXml xml;
  xml.Pool("DefaultAppPool").Pool("Shop").Site(1, "Bare").App("/LM/W3SVC/1/ROOT");
  if (!rootCustom.empty()) xml.Custom(rootCustom);
  return xml.App("/LM/W3SVC/1/ROOT/a", "shop",
                 {"ScriptMaps=\"  .aspx,C:\\x\\aspnet_isapi.dll,1\r\n\n\t\t\t.asmx,C:\\y.dll,1   \n\""})
      .App("/LM/W3SVC/1/ROOT/a/b").Text();
}
const std::string kBare = Bare();

// Odd but well-formed layout: comments, single quotes, one-line and self-closing keys,
// entities, an unknown section, a namespace prefix.
const char* const kOdd =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- kept by hand -->\n"
    "<mb:configuration xmlns:mb='urn:example'>\n"
    "<MBSchema><Collection Name='x'/></MBSchema>\n"
    "<MBProperty>\n"
    "  <IIsWebService Location='/LM/W3SVC' AppPoolId='DefaultAppPool'/>\n"
    "  <IIsApplicationPools Location=\"/LM/W3SVC/AppPools\"/>\n"
    "  <IIsApplicationPool Location=\"/LM/W3SVC/AppPools/DefaultAppPool\"/>\n"
    "  <!-- the shop -->\n"
    "  <IIsApplicationPool Location=\"/LM/W3SVC/AppPools/R&amp;D\"></IIsApplicationPool>\n"
    "  <IIsWebServer Location=\"/LM/W3SVC/7\" ServerComment=\"Fish &amp; Chips\"/>\n"
    "  <IIsWebVirtualDir Location=\"/LM/W3SVC/7/ROOT\" AppRoot=\"/LM/W3SVC/7/ROOT\" Path='D:\\R&amp;D'/>\n"
    "  <IIsWebVirtualDir Location=\"/LM/W3SVC/7/ROOT/lab\" AppRoot=\"/LM/W3SVC/7/ROOT/lab\" AppPoolId=\"R&amp;D\"/>\n"
    "</MBProperty>\n"
    "</mb:configuration>\n";

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() { WriteFile(file_, ReadAll(testutil::DemoMetabasePath())); }
  std::unique_ptr<IMetabase> Open() const { return OpenMetabaseStore(file_); }

  testutil::TempDir dir_;
  std::string file_ = dir_.File("MetaBase.xml");
};

TEST_F(StoreTest, BindsPathsInAnyCaseAndFindsSitesOfTheRightClassOnly) {
  auto store = Open();
  EXPECT_EQ(store->Bind("iis://LocalHost/w3svc/apppools/shoppool")->Name(), "ShopPool");
  EXPECT_EQ(store->Bind("IIS://localhost/W3SVC/2/root/CATALOG/")->Name(), "catalog");
  EXPECT_EQ(store->Bind("/lm/w3svc")->Name(), "W3SVC");

  std::string message;
  EXPECT_EQ(ErrorOf([&] { store->Bind("IIS://localhost/W3SVC/9/ROOT"); }, &message), platform::kErrPathNotFound);
  EXPECT_NE(message.find("/LM/W3SVC/9/ROOT"), std::string::npos) << message;
  EXPECT_EQ(ErrorOf([&] { store->Bind("IIS://webfarm02/W3SVC"); }), platform::kErrPathNotFound);

  // GetObject finds sites of the right class only.
  auto service = store->Bind("IIS://localhost/w3svc");
  EXPECT_EQ(AsString(service->GetObject("IIsWebServer", "2")->Get("ServerComment")), "Shop site");
  EXPECT_EQ(AsString(service->GetObject("IISWEBSERVER", "4")->Get("ServerComment")), "Reports");
  for (const char* id : {"9", "AppPools", ""}) {
    EXPECT_EQ(ErrorOf([&] { service->GetObject("IIsWebServer", id); }), platform::kErrPathNotFound) << id;
  }
  EXPECT_EQ(service->GetObject("IIsWebVirtualDir", "2/ROOT/cart")->Name(), "cart");
  // The class, as IIS's KeyType gives it.
  EXPECT_EQ(AsString(service->Get("KeyType")), "IIsWebService");
  EXPECT_EQ(AsString(store->Bind("IIS://localhost/W3SVC/AppPools/ShopPool")->Get("keytype")), "IIsApplicationPool");
}

TEST_F(StoreTest, EnumeratesPoolsAndTheirApplicationsInFileOrder) {
  auto store = Open();
  EXPECT_EQ(PoolNames(*store), testutil::kDemoPools);
  for (const auto& [pool, apps] : testutil::kDemoPoolApps) EXPECT_EQ(AppsOf(*store, pool), apps) << pool;
  EXPECT_EQ(AppsOf(*store, "AppPool1").size(), 1u);

  // Only pools answer EnumAppsInPool.
  EXPECT_EQ(ErrorOf([&] { store->Bind("IIS://localhost/W3SVC/1")->EnumAppsInPool(); }), platform::kErrFail);
}

TEST_F(StoreTest, AppPoolIdComparesWithoutCaseAndDefaultsToDefaultAppPool) {
  WriteFile(file_, kBare);
  auto store = Open();
  EXPECT_EQ(AppsOf(*store, "Shop"), (Lines{"/LM/W3SVC/1/ROOT/a/", "/LM/W3SVC/1/ROOT/a/b/"}));
  EXPECT_EQ(AppsOf(*store, "DefaultAppPool"), (Lines{"/LM/W3SVC/1/ROOT/"}));
  EXPECT_EQ(Text(*store, "/1/ROOT", "AppPoolId"), "DefaultAppPool");
  EXPECT_EQ(Text(*store, "/1/ROOT/a/b", "AppPoolId"), "shop");
  // Multi-values split on any line end, each line trimmed, blank lines dropped.
  EXPECT_EQ(AsList(store->Bind("IIS://localhost/W3SVC/1/ROOT/a/b")->Get("ScriptMaps")),
            (Lines{".aspx,C:\\x\\aspnet_isapi.dll,1", ".asmx,C:\\y.dll,1"}));
}

// An AppPoolId kept in a <Custom> element: the pools list the application where Get says it
// runs, before and after it is moved. It is a text even where the element calls it MULTISZ.
TEST_F(StoreTest, ACustomAppPoolIdPlacesTheApplicationWhereGetSaysItRuns) {
  for (const MetabaseXml::Attrs& custom : {MetabaseXml::Attrs{"Name=\"AppPoolId\"", "Value=\"Shop\""},
                                          {"Name=\"AppPoolId\"", "Type=\"MULTISZ\"", "Value=\"Shop\""}}) {
    SCOPED_TRACE(custom[1]);
    WriteFile(file_, Bare(custom));
    auto store = Open();
    EXPECT_EQ(Text(*store, "/1/ROOT", "AppPoolId"), "Shop");
    EXPECT_EQ(AppsOf(*store, "Shop"), (Lines{"/LM/W3SVC/1/ROOT/", "/LM/W3SVC/1/ROOT/a/", "/LM/W3SVC/1/ROOT/a/b/"}));
    EXPECT_EQ(AppsOf(*store, "DefaultAppPool"), Lines{});

    MoveApp(*store, "/1/ROOT", "DefaultAppPool");
    EXPECT_EQ(AppsOf(*Open(), "DefaultAppPool"), (Lines{"/LM/W3SVC/1/ROOT/"}));
    EXPECT_EQ(Text(*Open(), "/1/ROOT", "AppPoolId"), "DefaultAppPool");

    // The Custom element is the key's own value; clearing it takes the element away whole.
    auto moved = Open();
    auto rootKey = moved->Bind("IIS://localhost/W3SVC/1/ROOT");
    EXPECT_TRUE(rootKey->HasOwnValue("appPoolId"));
    EXPECT_FALSE(moved->Bind("IIS://localhost/W3SVC/1/ROOT/a/b")->HasOwnValue("AppPoolId"));
    rootKey->Clear("AppPoolId");
    rootKey->SetInfo();
    EXPECT_EQ(ReadAll(file_), kBare);
    EXPECT_FALSE(Open()->Bind("IIS://localhost/W3SVC/1/ROOT")->HasOwnValue("AppPoolId"));
  }
}

// The index keeps each key's own ServerComment; it must answer as the key's attributes and
// Custom elements do, attribute first, and follow a change.
TEST_F(StoreTest, ServerCommentComesFromTheAttributeThenACustomElement) {
  WriteFile(file_, MetabaseXml().Site(1, "Bare").Custom({"Name=\"ServerComment\"", "Value=\"Hidden\""}).Site(2)
                       .Custom({"Name=\"servercomment\"", "Type=\"MULTISZ\"", "Value=\"Custom site\""})
                       .App("/LM/W3SVC/1/ROOT").Text());
  auto store = Open();
  auto service = store->Bind("IIS://localhost/W3SVC");
  EXPECT_EQ(AsString(service->GetObject("IIsWebServer", "1")->Get("ServerComment")), "Bare");
  EXPECT_EQ(AsString(service->GetObject("IIsWebServer", "2")->Get("SERVERCOMMENT")), "Custom site");
  // Not inherited: a key below the site has none.
  EXPECT_EQ(ErrorOf([&] { store->Bind("IIS://localhost/W3SVC/1/ROOT")->Get("ServerComment"); }),
            platform::kErrPropertyNotFound);

  auto second = service->GetObject("IIsWebServer", "2");
  second->Put("ServerComment", std::string("Renamed"));
  second->SetInfo();
  EXPECT_EQ(Text(*Open(), "/2", "ServerComment"), "Renamed");
}

TEST_F(StoreTest, GetInheritsOnlyAppPoolIdAndScriptMaps) {
  auto store = Open();
  auto admin = store->Bind("IIS://localhost/W3SVC/1/ROOT/legacy/admin");
  EXPECT_EQ(AsString(admin->Get("AppPoolId")), "LegacyPool");
  const Lines maps = AsList(admin->Get("ScriptMaps"));
  ASSERT_EQ(maps.size(), 27u);
  EXPECT_EQ(maps[0], ".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE");
  EXPECT_EQ(maps[13], ".aspx,C:\\WINDOWS\\Microsoft.NET\\Framework\\v1.1.4322\\aspnet_isapi.dll,1,GET,HEAD,POST,DEBUG");
  EXPECT_EQ(AsList(store->Bind("IIS://localhost/W3SVC/2/ROOT/cart")->Get("ScriptMaps")).size(), 51u);

  std::string message;
  EXPECT_EQ(ErrorOf([&] { admin->Get("Path"); }, &message), platform::kErrPropertyNotFound);
  EXPECT_NE(message.find("Path"), std::string::npos) << message;
  EXPECT_EQ(AsString(admin->Get("authflags")), "AuthNTLM");
  // A property outside the schema, in a Custom element.
  EXPECT_EQ(Text(*store, "/Info", "LogModuleList").substr(0, 14), "Custom Logging");
}

// A list shares the text of the file version it was read from: it must keep that version
// alive after the object, the store, and the version itself are gone.
TEST_F(StoreTest, AListOutlivesTheStoreAndTheFileItWasReadFrom) {
  MetabaseValue own, inherited, apps;
  Lines legacyApps;
  {
    auto store = Open();
    own = store->Bind("IIS://localhost/W3SVC/1/ROOT/legacy/admin")->Get("ScriptMaps");
    inherited = store->Bind("IIS://localhost/W3SVC/2/ROOT/cart")->Get("ScriptMaps");
    apps = store->Bind("IIS://localhost/W3SVC/AppPools/LegacyPool")->EnumAppsInPool();
    legacyApps = AsList(apps);
    WriteFile(file_, kBare);
    EXPECT_EQ(PoolNames(*store), (Lines{"DefaultAppPool", "Shop"}));  // the store let go of the old version
  }
  const auto& maps = std::get<platform::MetabaseList>(own);
  ASSERT_EQ(maps.size(), 27u);
  EXPECT_EQ(maps[13], ".aspx,C:\\WINDOWS\\Microsoft.NET\\Framework\\v1.1.4322\\aspnet_isapi.dll,1,GET,HEAD,POST,DEBUG");
  const platform::MetabaseList copy = std::get<platform::MetabaseList>(inherited);
  EXPECT_EQ(copy.size(), 51u);
  EXPECT_EQ(copy.Identity(), std::get<platform::MetabaseList>(inherited).Identity());
  EXPECT_EQ(copy.Strings().back().substr(0, 1), ".");
  EXPECT_FALSE(legacyApps.empty());
  EXPECT_EQ(AsList(apps), legacyApps);
}

TEST_F(StoreTest, CreatesAndDeletesPoolsAsIisDoes) {
  auto store = Open();
  auto pools = store->Bind("IIS://localhost/W3SVC/AppPools");
  const std::string temp = "QuillmarshAnalyse46362.9479166667";
  auto created = pools->Create("IIsApplicationPool", temp);
  // Nothing exists before SetInfo.
  EXPECT_EQ(ErrorOf([&] { store->Bind("IIS://localhost/W3SVC/AppPools/" + temp); }), platform::kErrPathNotFound);
  created->SetInfo();
  EXPECT_EQ(created->Name(), temp);

  auto other = Open();
  EXPECT_EQ(PoolNames(*other).back(), temp);
  EXPECT_TRUE(AppsOf(*other, temp).empty());

  std::string message;
  const auto again = [&] { pools->Create("IIsApplicationPool", "quillmarshanalyse46362.9479166667")->SetInfo(); };
  EXPECT_EQ(ErrorOf(again, &message), platform::kErrAlreadyExists);
  EXPECT_NE(message.find("already exists"), std::string::npos) << message;

  const std::string before = ReadAll(file_);
  EXPECT_EQ(ErrorOf([&] { pools->Delete("IIsApplicationPool", "ShopPool"); }, &message), platform::kErrPoolNotEmpty);
  EXPECT_NE(message.find("3 application"), std::string::npos) << message;
  EXPECT_EQ(ReadAll(file_), before);

  auto held = other->Bind("IIS://localhost/W3SVC/AppPools/" + temp);
  pools->Delete("IIsApplicationPool", temp);
  EXPECT_EQ(PoolNames(*other).back(), "EmptyPool");
  // The other store's object of the deleted pool can no longer be saved.
  held->Put("IdleTimeout", "5");
  EXPECT_EQ(ErrorOf([&] { held->SetInfo(); }), platform::kErrPathNotFound);
  EXPECT_EQ(ErrorOf([&] { held->Put("Location", "/LM/x"); }), platform::kErrFail);
  EXPECT_EQ(ErrorOf([&] { held->Put("KeyType", "IIsWebServer"); }), platform::kErrFail);
  EXPECT_EQ(ErrorOf([&] { pools->Delete("IIsApplicationPool", temp); }), platform::kErrPathNotFound);
  EXPECT_EQ(ErrorOf([&] { pools->Delete("IIsWebServer", "EmptyPool"); }), platform::kErrFail);
  EXPECT_EQ(ErrorOf([&] { pools->Create("IIsApplicationPool", "a/b"); }), 0x8007007Bu);
  EXPECT_EQ(ErrorOf([&] { pools->Create("IIsApplicationPool", ""); }), 0x8007007Bu);
}

TEST_F(StoreTest, AppPoolIdChangeIsSeenByASecondStoreOnTheSameFile) {
  auto first = Open();
  auto second = Open();
  EXPECT_EQ(AppsOf(*second, "ShopPool").size(), 3u);  // second has read the file already

  MoveApp(*first, "/2/ROOT/catalog", "EmptyPool");
  EXPECT_EQ(AppsOf(*second, "ShopPool"), (Lines{"/LM/W3SVC/2/ROOT/cart/", "/LM/W3SVC/2/ROOT/checkout/"}));
  EXPECT_EQ(AppsOf(*second, "EmptyPool"), (Lines{"/LM/W3SVC/2/ROOT/catalog/"}));
  // A staged value reads back before SetInfo, and a key without its own AppPoolId gets one.
  auto wiki = second->Bind("IIS://localhost/W3SVC/3/ROOT/wiki");
  wiki->Put("AppPoolId", "EmptyPool");
  EXPECT_EQ(AsString(wiki->Get("AppPoolId")), "EmptyPool");
  wiki->SetInfo();
  EXPECT_EQ(AppsOf(*first, "EmptyPool"), (Lines{"/LM/W3SVC/2/ROOT/catalog/", "/LM/W3SVC/3/ROOT/wiki/"}));
}

// Stores share the folder's change events: one that closes must not take them from the rest.
TEST_F(StoreTest, StoresThatCloseLeaveTheOthersSeeingChanges) {
  auto kept = Open();
  EXPECT_EQ(AppsOf(*kept, "ShopPool").size(), 3u);
  WriteFile(dir_.File("other.xml"), kBare);
  for (const auto& path : {file_, file_, dir_.File("other.xml")}) {
    auto passing = OpenMetabaseStore(path);
    EXPECT_EQ(PoolNames(*passing).empty(), false);
  }
  WriteFile(file_, kBare);  // another program, in place
  EXPECT_EQ(PoolNames(*kept), (Lines{"DefaultAppPool", "Shop"}));
}

// A change rewrites only the lines it touches: a move, a clear, a pool made and deleted put
// back, step by step, the bytes the file had.
TEST_F(StoreTest, AChangeTouchesOnlyItsOwnLines) {
  auto store = Open();
  auto pools = store->Bind("IIS://localhost/W3SVC/AppPools");
  const auto change = [&](auto&& f) {
    const std::string before = ReadAll(file_);
    f();
    return testutil::DiffLines(before, ReadAll(file_));
  };
  // The analyser binds applications by their lower-cased path.
  auto diff = change([&] { MoveApp(*store, "/2/root/cart", "MyPool2"); });
  EXPECT_EQ(diff.removed, (Lines{"\t\tAppPoolId=\"ShopPool\"\r"}));
  EXPECT_EQ(diff.added, (Lines{"\t\tAppPoolId=\"MyPool2\"\r"}));

  const std::string before = ReadAll(file_);
  diff = change([&] { MoveApp(*store, "/3/ROOT/wiki", "R&D \"lab\""); });
  EXPECT_TRUE(diff.removed.empty());
  EXPECT_EQ(diff.added, (Lines{"\t\tAppPoolId=\"R&amp;D &quot;lab&quot;\"\r"}));
  EXPECT_EQ(Text(*Open(), "/3/ROOT/wiki", "AppPoolId"), "R&D \"lab\"");
  // Cleared, the value goes with the line it came on, and reads at once as what the key
  // inherits; a value the key does not hold is no change.
  auto wiki = store->Bind("IIS://localhost/W3SVC/3/ROOT/wiki");
  wiki->Clear("AppPoolId");
  EXPECT_EQ(AsString(wiki->Get("AppPoolId")), "IntranetPool");
  wiki->Clear("ScriptMaps");
  wiki->SetInfo();
  EXPECT_EQ(ReadAll(file_), before);
  EXPECT_EQ(Text(*Open(), "/3/ROOT/wiki", "AppPoolId"), "IntranetPool");
  EXPECT_EQ(ErrorOf([&] { wiki->Clear("Location"); }), platform::kErrFail);

  diff = change([&] { pools->Create("IIsApplicationPool", "Temp")->SetInfo(); });
  EXPECT_TRUE(diff.removed.empty());
  EXPECT_EQ(diff.added, (Lines{"<IIsApplicationPool\tLocation =\"/LM/W3SVC/AppPools/Temp\"\r", "\t>\r",
                               "</IIsApplicationPool>\r"}));
  EXPECT_EQ(change([&] { pools->Delete("IIsApplicationPool", "Temp"); }).removed, diff.added);
  diff = change([&] { pools->Delete("IIsApplicationPool", "EmptyPool"); });
  EXPECT_TRUE(diff.added.empty());
  EXPECT_EQ(diff.removed, (Lines{"<IIsApplicationPool\tLocation =\"/LM/W3SVC/AppPools/EmptyPool\"\r",
                                 "\t\tAppPoolIdentityType=\"2\"\r", "\t>\r", "</IIsApplicationPool>\r"}));

  // Several values at once, one of them a list, one in a Custom element.
  diff = change([&] {
    auto info = store->Bind("IIS://localhost/W3SVC/Info");
    info->Put("LogModuleList", "W3C");
    info->SetInfo();
  });
  EXPECT_EQ(diff.added, (Lines{"\t\tValue=\"W3C\"\r"}));
  auto site = store->Bind("IIS://localhost/W3SVC/4");
  site->Put("ServerBindings", Lines{":8082:", ":80:reports.example.com"});
  site->Put("ServerComment", "Reports & more");
  site->SetInfo();
  EXPECT_EQ(AsList(Open()->Bind("IIS://localhost/W3SVC/4")->Get("ServerBindings")),
            (Lines{":8082:", ":80:reports.example.com"}));
  EXPECT_EQ(Text(*Open(), "/4", "ServerComment"), "Reports & more");
}

TEST_F(StoreTest, KeepsOddButWellFormedLayoutsAsTheyAre) {
  WriteFile(file_, kOdd);
  auto store = Open();
  EXPECT_EQ(PoolNames(*store), (Lines{"DefaultAppPool", "R&D"}));
  EXPECT_EQ(AppsOf(*store, "R&D"), (Lines{"/LM/W3SVC/7/ROOT/lab/"}));
  EXPECT_EQ(Text(*store, "/7", "ServerComment"), "Fish & Chips");
  EXPECT_EQ(Text(*store, "/7/ROOT", "Path"), "D:\\R&D");

  MoveApp(*store, "/7/ROOT", "R&D");
  auto diff = testutil::DiffLines(kOdd, ReadAll(file_));
  EXPECT_EQ(diff.removed, (Lines{"  <IIsWebVirtualDir Location=\"/LM/W3SVC/7/ROOT\" AppRoot=\"/LM/W3SVC/7/ROOT\" "
                                 "Path='D:\\R&amp;D'/>"}));
  EXPECT_EQ(diff.added, (Lines{"  <IIsWebVirtualDir Location=\"/LM/W3SVC/7/ROOT\" AppRoot=\"/LM/W3SVC/7/ROOT\" "
                               "Path='D:\\R&amp;D' AppPoolId=\"R&amp;D\"/>"}));
  auto root = store->Bind("IIS://localhost/W3SVC/7/ROOT");
  root->Clear("AppPoolId");
  root->SetInfo();
  EXPECT_EQ(ReadAll(file_), kOdd);
  MoveApp(*store, "/7/ROOT", "R&D");

  const std::string before = ReadAll(file_);
  store->Bind("IIS://localhost/W3SVC/AppPools")->Create("IIsApplicationPool", "New")->SetInfo();
  store->Bind("IIS://localhost/W3SVC/AppPools")->Delete("IIsApplicationPool", "New");
  EXPECT_EQ(ReadAll(file_), before);
  // A pool written as a start and an end tag goes whole, comment before it kept.
  MoveApp(*store, "/7/ROOT/lab", "DefaultAppPool");
  MoveApp(*store, "/7/ROOT", "DefaultAppPool");
  store->Bind("IIS://localhost/W3SVC/AppPools")->Delete("IIsApplicationPool", "R&D");
  EXPECT_NE(ReadAll(file_).find("<!-- the shop -->\n  <IIsWebServer"), std::string::npos);
}

TEST_F(StoreTest, AMissingFileFailsEveryBindUntilItAppearsAndItsByteOrderMarkIsKept) {
  std::filesystem::remove(file_);
  auto store = Open();
  std::string message;
  EXPECT_EQ(ErrorOf([&] { store->Bind("IIS://localhost/W3SVC"); }, &message), platform::kErrFail);
  EXPECT_NE(message.find(file_), std::string::npos) << message;
#ifndef _WIN32  // Windows words it its own way
  EXPECT_NE(message.find("No such file"), std::string::npos) << message;
#endif

  // It comes back with a byte order mark, which a save keeps.
  testutil::ReplaceFile(file_, "\xEF\xBB\xBF" + kBare);
  EXPECT_EQ(PoolNames(*store), (Lines{"DefaultAppPool", "Shop"}));
  MoveApp(*store, "/1/ROOT", "Shop");
  EXPECT_TRUE(ReadAll(file_).starts_with("\xEF\xBB\xBF<?xml"));
  EXPECT_EQ(AppsOf(*Open(), "Shop").size(), 3u);
}

TEST_F(StoreTest, ANewFileRenamedOverTheOldOneIsSeenByTheNextBind) {
  auto store = Open();
  auto heldPool = store->Bind("IIS://localhost/W3SVC/AppPools/ShopPool");
  EXPECT_EQ(PoolNames(*store).size(), 9u);

  testutil::ReplaceFile(file_, kBare);
  EXPECT_EQ(PoolNames(*store), (Lines{"DefaultAppPool", "Shop"}));
  // An object bound earlier answers from the file as it was when bound.
  EXPECT_EQ(AsList(heldPool->EnumAppsInPool()).size(), 3u);
}

// Rewritten in place again and again at the same size, faster than the file system's time
// stamps move: every version is still seen.
TEST_F(StoreTest, QuickSameSizeRewritesInPlaceAreAllSeen) {
  auto store = Open();
  const auto comment = [&] { return Text(*store, "/1", "ServerComment"); };
  std::string text = kBare;
  const std::size_t at = text.find("\"Bare\"") + 1;
  WriteFile(file_, text);
  ASSERT_EQ(comment(), "Bare");
  for (const char* next : {"Bear", "Boar", "Bare", "Bore", "Byre", "Bare"}) {
    text.replace(at, 4, next);
    WriteFile(file_, text);
    EXPECT_EQ(comment(), next);
  }
}

// While a thread walks an enumeration, its binds read the version it started from (and this
// program's own saves) without asking the file; other threads, and the thread once the walk
// ends, see another program's save at once.
TEST_F(StoreTest, AWalkReadsOneVersionAndTheNextBindSeesTheFileAgain) {
  auto store = Open();
  const auto comment = [&] { return Text(*store, "/2", "ServerComment"); };
  {
    auto walk = store->Bind("IIS://localhost/W3SVC/AppPools")->Enumerate();
    std::string changed = ReadAll(file_);
    const std::string shop = "ServerComment=\"Shop site\"";
    changed.replace(changed.find(shop), shop.size(), "ServerComment=\"Shop\"");
    testutil::ReplaceFile(file_, changed);
    EXPECT_EQ(comment(), "Shop site");
    std::string elsewhere;
    std::thread([&] { elsewhere = comment(); }).join();
    EXPECT_EQ(elsewhere, "Shop");

    // Its own save it does see.
    store->Bind("IIS://localhost/W3SVC/AppPools")->Create("IIsApplicationPool", "Walked")->SetInfo();
    EXPECT_EQ(store->Bind("IIS://localhost/W3SVC/AppPools/Walked")->Name(), "Walked");
    std::size_t walked = 0;
    for (std::unique_ptr<IMetabaseObject> pool; walk->Next(pool);) ++walked;
    EXPECT_EQ(walked, 9u);  // the enumeration itself lists the pools as they were
  }
  EXPECT_EQ(comment(), "Shop");
  EXPECT_EQ(PoolNames(*store).back(), "Walked");
}

TEST_F(StoreTest, ASymbolicLinkStaysALinkAndTheFileItNamesChanges) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links need a privilege on Windows";
#endif
  const std::string real = dir_.File("real.xml");
  std::filesystem::rename(file_, real);
  std::filesystem::create_symlink(real, file_);
  auto store = Open();
  MoveApp(*store, "/2/ROOT/cart", "MyPool2");
  EXPECT_TRUE(std::filesystem::is_symlink(file_));
  EXPECT_EQ(AppsOf(*OpenMetabaseStore(real), "MyPool2").size(), 3u);
  // The link now names another file: seen too, though no event comes from that directory.
  WriteFile(dir_.File("other.xml"), kBare);
  std::filesystem::remove(file_);
  std::filesystem::create_symlink(dir_.File("other.xml"), file_);
  EXPECT_EQ(PoolNames(*store), (Lines{"DefaultAppPool", "Shop"}));
}

TEST_F(StoreTest, SavesLeaveNoTemporaryFilesAndKeepTheFileMode) {
#ifndef _WIN32
  ::chmod(file_.c_str(), 0640);
#endif
  auto store = Open();
  MoveApp(*store, "/2/ROOT/cart", "MyPool2");
  store->Bind("IIS://localhost/W3SVC/AppPools")->Create("IIsApplicationPool", "Temp")->SetInfo();

  Lines names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (Lines{"MetaBase.xml", "MetaBase.xml.lock"}));
#ifndef _WIN32  // Windows has no mode bits; its rights come with the directory
  struct stat st{};
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
#endif
}

TEST_F(StoreTest, ConcurrentChangesFromTwoStoresLoseNothing) {
  constexpr int kRounds = 15;
  std::atomic<bool> done{false};
  std::atomic<int> readFailures{0};
  // Pools enumerated from one bind answer from one version of the file: 16 applications.
  std::thread reader([&] {
    auto store = Open();
    while (!done.load()) {
      try {
        std::size_t apps = 0;
        auto children = store->Bind("IIS://localhost/W3SVC/AppPools")->Enumerate();
        for (std::unique_ptr<IMetabaseObject> pool; children->Next(pool);) apps += AsList(pool->EnumAppsInPool()).size();
        if (apps != 16) ++readFailures;
      } catch (const platform::MetabaseError&) {
        ++readFailures;
      }
    }
  });
  const auto mover = [&](std::string app, std::string a, std::string b) {
    auto store = Open();
    for (int i = 0; i < kRounds; ++i) MoveApp(*store, app, i % 2 == 0 ? a : b);
  };
  std::thread one(mover, "/2/ROOT/catalog", "EmptyPool", "ShopPool");
  std::thread two(mover, "/4/ROOT/daily", "EmptyPool", "MyPool2");
  one.join();
  two.join();
  done = true;
  reader.join();
  EXPECT_EQ(readFailures.load(), 0);
  EXPECT_EQ(AppsOf(*Open(), "EmptyPool"), (Lines{"/LM/W3SVC/2/ROOT/catalog/", "/LM/W3SVC/4/ROOT/daily/"}));
}

}  // namespace
}  // namespace tarnwell::standin
