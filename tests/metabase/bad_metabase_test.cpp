// LoadPools and the store over metabases an administrator should never have, but might:
// broken, with odd names or odd application paths (enormous ones: the slow tests). None
// may crash or hang, each failure must say what is wrong, and nothing listed may be lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "iis/iis.h"
#include "tests/metabase/metabase_test_util.h"

namespace tarnwell {
namespace {

using Lines = std::vector<std::string>;
using BadMetabase = testutil::OverStore;

// The web service with ASP.NET 2.0 script maps for all, and its pools' container.
testutil::MetabaseXml Server() {
  return testutil::MetabaseXml({"ScriptMaps=\".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET\n"
                                "\t\t\t.aspx,C:\\WINDOWS\\Microsoft.NET\\Framework\\v2.0.50727\\aspnet_isapi.dll,1,GET\""});
}

// A file that is cut short, is no XML, or is XML of another kind: the list keeps what it
// showed (the metabase cannot be reached), and every bind fails saying which file is wrong
// and why.
TEST_F(BadMetabase, ABrokenFileKeepsTheListAndEveryBindSaysWhy) {
  const std::string demo = testutil::ReadAll(testutil::DemoMetabasePath());
  Write(demo);
  registry_->LoadPools();
  const Lines before = Names();
  ASSERT_EQ(before.size(), 9u);

  const struct {
    std::string text;
    std::string says;
  } broken[] = {
      {demo.substr(0, demo.size() / 2), "offset"},
      {demo.substr(0, demo.size() - 20), "offset"},
      {"", "No document element"},
      {std::string("\x7F" "ELF\x02\x01\x01\0\0\0\xFF\xFE", 13) + std::string(4096, '\0'), "offset"},
      {"{\"pools\": [\"Shop\"]}\n", "No document element"},
      {"<html><body>Service unavailable</body></html>", "no <configuration>"},
      {"<?xml version=\"1.0\"?>\n<configuration>\n</configuration>\n", "no <MBProperty>"},
      {"<configuration><MBProperty><IIsWebService Location=\"/LM/W3SVC\">", "offset"},
      {"<configuration>\n<MBProperty>\n<IIsWebService Location=\"/LM/W3SVC\">\n</MBProperty>\n</configuration>\n",
       "mismatch at offset"},  // pugixml's own description
  };
  for (const auto& b : broken) {
    SCOPED_TRACE(b.says + ": " + b.text.substr(0, 40));
    Write(b.text);
    ASSERT_NO_THROW(registry_->LoadPools());
    EXPECT_EQ(Names(), before);
    const std::string message = BindError();
    EXPECT_NE(message.find(file_), std::string::npos) << message;
    EXPECT_NE(message.find(b.says), std::string::npos) << message;
    EXPECT_LT(message.size(), 400u) << message;  // names the fault, does not quote the file
    EXPECT_EQ(BindError(), message);  // every bind, until the file is mended
  }

  Write(demo);
  registry_->LoadPools();
  EXPECT_EQ(Names(), before);
  EXPECT_EQ(BindError(), "");
}

// Names of 300 characters are listed cut to 255, and a ticked one stays ticked while
// monitoring; names with control characters are listed and selected exactly as they are.
TEST_F(BadMetabase, LongAndControlCharacterPoolNamesAreListedAndSelected) {
  const std::string longName = "Long" + std::string(296, 'n');
  // A name whose 255th byte starts a two-byte character: cut before the character.
  const std::string accented = std::string(254, 'e') + "\xC3\xA9" + std::string(44, 'e');
  const std::string controls = "Tab\tBell\x07" "Esc\x1B" "Del\x7F";
  Write(Server().Pool("DefaultAppPool").Pool(longName).Pool(accented).Pool("Tab&#9;Bell\x07" "Esc\x1B" "Del\x7F")
            .Site(1, "One").App("/LM/W3SVC/1/ROOT", "DefaultAppPool").App("/LM/W3SVC/1/ROOT/long", longName)
            .App("/LM/W3SVC/1/ROOT/ctl", controls).Text());

  registry_->GetSiteName = true;
  registry_->LoadPools();
  const std::string longCut = longName.substr(0, 255);
  const std::string accentedCut = std::string(254, 'e');
  ASSERT_EQ(Names(), (Lines{"DefaultAppPool", longCut, accentedCut, controls}));
  EXPECT_EQ(registry_->Pools[1].AppCount, 1);
  EXPECT_EQ(*registry_->Pools[1].Apps, Lines{"One [/LM/W3SVC/1/ROOT/long/]"});
  EXPECT_EQ(registry_->Pools[3].AppCount, 1);
  EXPECT_EQ(registry_->IndexOfPool(controls), 3);

  // The window ticks the names it lists.
  registry_->SelectedPools = longCut + "\t" + controls + "\t";
  registry_->SetMonitoring(true);
  registry_->LoadPools();
  EXPECT_EQ(Names(), (Lines{longCut, controls}));
  EXPECT_TRUE(registry_->IsSelectedPool(longCut));
}

// Applications straight under a site, or at the site itself, rather than below its ROOT.
TEST_F(BadMetabase, ApplicationsOutsideRootAreListedWithSiteAndVersion) {
  Write(Server().Pool("DefaultAppPool").Pool("Shop").Site(1, "One")
            .Site(2, "Two", {"AppPoolId=\"Shop\"", "AppRoot=\"/LM/W3SVC/2\""})
            .App("/LM/W3SVC/1/shop", "Shop").App("/LM/W3SVC/1/ROOT", "DefaultAppPool").Text());
  registry_->GetSiteName = registry_->GetAspNetVersion = true;
  registry_->LoadPools();
  ASSERT_EQ(registry_->PoolCount, 2);
  EXPECT_EQ(*registry_->Pools[1].Apps,
            (Lines{"One [/LM/W3SVC/1/shop/] ASP.NET: 2.0.50727", "Two [/LM/W3SVC/2/] ASP.NET: 2.0.50727"}));

  const auto apps = std::get<platform::MetabaseList>(store_->Bind("IIS://localhost/W3SVC/AppPools/Shop")->EnumAppsInPool()).Strings();
  EXPECT_EQ(apps, (Lines{"/LM/W3SVC/2/", "/LM/W3SVC/1/shop/"}));  // file order
  EXPECT_EQ(std::get<std::string>(store_->Bind("IIS://localhost/w3svc/2")->Get("AppPoolId")), "Shop");
}

// An application of a site that has no key: with site names, LoadPools stops with an error
// naming the missing site; without them the application is listed.
TEST_F(BadMetabase, AnApplicationOfAMissingSiteIsAClearError) {
  Write(Server().Pool("Shop").App("/LM/W3SVC/9/ROOT", "Shop").Text());
  registry_->GetSiteName = true;
  std::string message;
  EXPECT_EQ(testutil::ErrorOf([&] { registry_->LoadPools(); }, &message), platform::kErrPathNotFound);
  EXPECT_NE(message.find("/LM/W3SVC/9"), std::string::npos) << message;
  EXPECT_EQ(registry_->PoolCount, 0);

  registry_->GetSiteName = false;
  registry_->LoadPools();
  ASSERT_EQ(registry_->PoolCount, 1);
  EXPECT_EQ(*registry_->Pools[0].Apps, Lines{" [/LM/W3SVC/9/ROOT/]"});
}

}  // namespace
}  // namespace tarnwell
