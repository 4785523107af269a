// IIS_METABASE points OpenLocalMetabase at a MetaBase.xml file instead of ADSI.
#include <gtest/gtest.h>

#include "platform/win32/win_api.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "iis/iis.h"
#include "app/ProgramSeams.h"
#include "tests/fakes/null_seams.h"
#include "tests/support/files.h"
#include "tests/support/metabase_xml.h"
#include "tests/support/temp_dir.h"

namespace tarnwell::platform {
namespace {

#if TARNWELL_WIN32_STORE

// A directory with a non-ASCII name so that the path goes through UTF-8 and back;
// IIS_METABASE names the file in it for the test's lifetime.
class MetabaseFromEnvironment : public ::testing::Test {
 protected:
  MetabaseFromEnvironment() {
    std::filesystem::create_directory(dir_);
    testutil::WriteFile(file_, testutil::MetabaseXml().Pool("DefaultAppPool").Pool("Shop").Site(1, "Small")
                                   .App("/LM/W3SVC/1/ROOT").App("/LM/W3SVC/1/ROOT/cart", "Shop").Text());
    ::SetEnvironmentVariableW(L"IIS_METABASE", file_.wstring().c_str());
  }
  ~MetabaseFromEnvironment() override { ::SetEnvironmentVariableW(L"IIS_METABASE", nullptr); }

  testutil::TempDir temp_;
  const std::filesystem::path dir_ = temp_.Path() / L"st\u00f6re";
  const std::filesystem::path file_ = dir_ / L"MetaBase.xml";
};

TEST_F(MetabaseFromEnvironment, ListsThePoolsOfTheFileAndSavesChangesInPlace) {
  auto metabase = tarnwell::OpenLocalMetabase();
  fakes::NullProcessSystem processes;
  TIISObject registry(*metabase, processes);
  registry.LoadPools();
  ASSERT_EQ(registry.PoolCount, 2);
  EXPECT_EQ(registry.Pools[0].Name, "DefaultAppPool");
  EXPECT_EQ(registry.Pools[0].AppCount, 1);
  EXPECT_EQ(registry.Pools[1].Name, "Shop");
  EXPECT_EQ(registry.Pools[1].AppCount, 1);

  // A save replaces the file whole, leaves the lock file beside it and nothing else, and
  // a second store over the same file sees it.
  metabase->Bind("IIS://localhost/W3SVC/AppPools")->Create("IIsApplicationPool", "Temp")->SetInfo();
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) files.push_back(entry.path().filename().string());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"MetaBase.xml", "MetaBase.xml.lock"}));
  auto other = tarnwell::OpenLocalMetabase();
  EXPECT_EQ(other->Bind("IIS://localhost/W3SVC/AppPools/Temp")->Name(), "Temp");
  registry.LoadPools();
  EXPECT_EQ(registry.PoolCount, 3);

  // Another program's save in place, at the same size, is seen by the next bind.
  std::string text = testutil::ReadAll(file_);
  ASSERT_NE(text.find("\"Small\""), std::string::npos);
  text.replace(text.find("\"Small\""), 7, "\"Smell\"");
  testutil::WriteFile(file_, text);
  EXPECT_EQ(std::get<std::string>(metabase->Bind("IIS://localhost/W3SVC/1")->Get("ServerComment")), "Smell");
}

TEST_F(MetabaseFromEnvironment, AMissingFileIsAClearErrorNamingIt) {
  std::filesystem::remove(file_);
  auto metabase = tarnwell::OpenLocalMetabase();
  try {
    metabase->Bind("IIS://localhost/W3SVC/AppPools");
    FAIL() << "bound a missing file";
  } catch (const MetabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("MetaBase.xml"), std::string::npos) << e.what();
  }
}

#else
TEST(MetabaseFromEnvironment, NeedsTheStore) { GTEST_SKIP() << "built without TARNWELL_WIN32_STORE"; }
#endif

}  // namespace
}  // namespace tarnwell::platform
