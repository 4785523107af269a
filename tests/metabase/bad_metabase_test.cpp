// LoadPools and the store over metabases an administrator should never have, but might:
// broken, enormous, with odd names or odd application paths. None may crash or hang, each
// failure must say what is wrong, and nothing already listed may be lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "iis/iis.h"
#include "metabase/metabase_generator.h"
#include "metabase/metabase_store.h"
#include "tests/fakes/null_seams.h"
#include "tests/metabase/metabase_test_util.h"

namespace tarnwell {
namespace {

using platform::MetabaseError;
using Lines = std::vector<std::string>;

// The head of a metabase: the web service (ASP.NET 2.0 script maps for all) and its pools'
// container; pools and sites follow, then kTail.
const char* const kHead =
    "<?xml version =\"1.0\"?>\n<configuration>\n<MBProperty>\n"
    "<IIsWebService\tLocation =\"/LM/W3SVC\"\n"
    "\t\tScriptMaps=\".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET\n"
    "\t\t\t.aspx,C:\\WINDOWS\\Microsoft.NET\\Framework\\v2.0.50727\\aspnet_isapi.dll,1,GET\"\n\t>\n"
    "</IIsWebService>\n"
    "<IIsApplicationPools\tLocation =\"/LM/W3SVC/AppPools\"\n\t>\n</IIsApplicationPools>\n";
const char* const kTail = "</MBProperty>\n</configuration>\n";

std::string Key(const std::string& cls, const std::string& location, const std::string& attributes = "") {
  return "<" + cls + "\tLocation =\"" + location + "\"" + attributes + "\n\t>\n</" + cls + ">\n";
}

std::string Pool(const std::string& name) { return Key("IIsApplicationPool", "/LM/W3SVC/AppPools/" + name); }

std::string Site(int id, const std::string& comment) {
  return Key("IIsWebServer", "/LM/W3SVC/" + std::to_string(id), "\n\t\tServerComment=\"" + comment + "\"");
}

std::string App(const std::string& location, const std::string& pool) {
  return Key("IIsWebVirtualDir", location, "\n\t\tAppPoolId=\"" + pool + "\"\n\t\tAppRoot=\"" + location + "\"");
}

class BadMetabase : public ::testing::Test {
 protected:
  void Write(const std::string& text) { testutil::ReplaceFile(file_, text); }

  Lines Names() const {
    Lines names;
    for (std::int32_t i = 0; i < registry_->PoolCount; ++i) {
      names.push_back(registry_->Pools[static_cast<std::size_t>(i)].Name);
    }
    return names;
  }

  // The message of the MetabaseError that binding the pools raises; empty when it binds.
  std::string BindError() {
    try {
      store_->Bind("IIS://localhost/W3SVC/AppPools");
    } catch (const MetabaseError& e) {
      return e.what();
    }
    return {};
  }

  testutil::TempDir dir_;
  std::string file_ = dir_.File("MetaBase.xml");
  fakes::NullProcessSystem processes_;
  std::unique_ptr<platform::IMetabase> store_ = standin::OpenMetabaseStore(file_);
  std::unique_ptr<TIISObject> registry_ = std::make_unique<TIISObject>(*store_, processes_);
};

// A file that is cut short, is no XML, or is XML of another kind: the list keeps what it
// showed (the metabase cannot be reached), and every bind says which file is wrong and why.
TEST_F(BadMetabase, ABrokenFileKeepsTheListAndEveryBindSaysWhy) {
  const std::string demo = testutil::ReadFile(testutil::DemoMetabasePath());
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
  }

  Write(demo);
  registry_->LoadPools();
  EXPECT_EQ(Names(), before);
  EXPECT_EQ(BindError(), "");
}

// A metabase of about 100 MB (1100 pools of 165 applications): read whole, the first 1024
// pools listed with their full application counts; cut short, a clear error.
TEST_F(BadMetabase, AHundredMegabyteMetabaseIsReadOrRefusedWhole) {
  std::string text = standin::GenerateMetabase(20, 1100, 165);
  ASSERT_GT(text.size(), 90u * 1024 * 1024);

  testutil::WriteFile(file_, text.substr(0, text.size() - 1000));
  registry_->LoadPools();
  EXPECT_EQ(registry_->PoolCount, 0);
  EXPECT_NE(BindError().find("not well-formed"), std::string::npos);

  testutil::ReplaceFile(file_, text);
  text.clear();
  text.shrink_to_fit();
  registry_->LoadPools();
  ASSERT_EQ(registry_->PoolCount, 1024);
  EXPECT_EQ(registry_->PoolsDropped, 1100 - 1024);
  for (std::size_t i = 0; i < 1024; ++i) {
    ASSERT_EQ(registry_->Pools[i].Name, standin::GeneratedPoolName(static_cast<int>(i)));
    ASSERT_EQ(registry_->Pools[i].AppCount, 165);
    ASSERT_TRUE(registry_->Pools[i].Apps);
    ASSERT_EQ(registry_->Pools[i].Apps->size(), 165u);
  }
}

// Names of 300 characters are listed cut to 255, and a ticked one stays ticked while
// monitoring; names with control characters are listed and selected exactly as they are.
TEST_F(BadMetabase, LongAndControlCharacterPoolNamesAreListedAndSelected) {
  const std::string longName = "Long" + std::string(296, 'n');
  // A name whose 255th byte starts a two-byte character: cut before the character.
  const std::string accented = std::string(254, 'e') + "\xC3\xA9" + std::string(44, 'e');
  const std::string controls = "Tab\tBell\x07" "Esc\x1B" "Del\x7F";
  Write(std::string(kHead) + Pool("DefaultAppPool") + Pool(longName) + Pool(accented) +
        Key("IIsApplicationPool", "/LM/W3SVC/AppPools/Tab&#9;Bell\x07" "Esc\x1B" "Del\x7F") + Site(1, "One") +
        App("/LM/W3SVC/1/ROOT", "DefaultAppPool") + App("/LM/W3SVC/1/ROOT/long", longName) +
        App("/LM/W3SVC/1/ROOT/ctl", controls) + kTail);

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
  Write(std::string(kHead) + Pool("DefaultAppPool") + Pool("Shop") + Site(1, "One") +
        Key("IIsWebServer", "/LM/W3SVC/2",
            "\n\t\tServerComment=\"Two\"\n\t\tAppPoolId=\"Shop\"\n\t\tAppRoot=\"/LM/W3SVC/2\"") +
        App("/LM/W3SVC/1/shop", "Shop") + App("/LM/W3SVC/1/ROOT", "DefaultAppPool") + kTail);
  registry_->GetSiteName = true;
  registry_->GetAspNetVersion = true;
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
  Write(std::string(kHead) + Pool("Shop") + App("/LM/W3SVC/9/ROOT", "Shop") + kTail);
  registry_->GetSiteName = true;
  try {
    registry_->LoadPools();
    FAIL() << "expected MetabaseError";
  } catch (const MetabaseError& e) {
    EXPECT_EQ(e.code(), platform::kErrPathNotFound);
    EXPECT_NE(std::string(e.what()).find("/LM/W3SVC/9"), std::string::npos) << e.what();
  }
  EXPECT_EQ(registry_->PoolCount, 0);

  registry_->GetSiteName = false;
  registry_->LoadPools();
  ASSERT_EQ(registry_->PoolCount, 1);
  EXPECT_EQ(*registry_->Pools[0].Apps, Lines{" [/LM/W3SVC/9/ROOT/]"});
}

}  // namespace
}  // namespace tarnwell
