// Binding through adshlp: the two ways LoadPools and the analyser bind metabase paths.
#include <gtest/gtest.h>

#include "iis/adshlp.h"
#include "tests/fakes/fake_metabase.h"

namespace tarnwell {
namespace {

using platform::MetabaseError;

TEST(Adshlp, BindContainerGivesZeroAndTheObjectOrTheFailureCode) {
  fakes::FakeMetabase meta;
  std::unique_ptr<platform::IMetabaseObject> container;
  EXPECT_EQ(BindContainer(meta, "IIS://localhost/w3svc/AppPools", container), 0u);
  ASSERT_TRUE(container);
  EXPECT_EQ(container->Name(), "AppPools");

  EXPECT_EQ(BindContainer(meta, "IIS://localhost/w3svc/7", container), platform::kErrPathNotFound);
  EXPECT_FALSE(container);
  meta.FailCall(fakes::FakeMetabase::Op::Bind, 0, "apppools$", 0x80070005);
  EXPECT_EQ(BindContainer(meta, "IIS://localhost/w3svc/AppPools", container), 0x80070005u);
  EXPECT_FALSE(container);
}

TEST(Adshlp, AFailedGetMetabaseObjectFailsOnEveryCallNamingThePath) {
  fakes::FakeMetabase meta;
  auto bound = GetMetabaseObject(meta, "IIS://localhost/W3SVC");
  EXPECT_EQ(bound->Name(), "W3SVC");

  auto unbound = GetMetabaseObject(meta, "IIS://localhost/W3SVC/9/ROOT/shop");
  ASSERT_TRUE(unbound);
  const auto codeOf = [](auto&& call) {
    try {
      call();
    } catch (const MetabaseError& e) {
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
