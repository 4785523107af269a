// The metabase seam over ADSI: automation values, late binding against a directory object
// of the provider's shape, the real binding on a machine without IIS, and COM per thread.
#include <gtest/gtest.h>

#include "fake_directory.h"

#include <objbase.h>

#include <thread>

#include "iis/iis.h"
#include "app/ProgramSeams.h"
#include "platform/thread_scope.h"
#include "tests/fakes/null_seams.h"

namespace tarnwell::platform::win32 {
namespace {

using tests::FakeDirectory;
using tests::FakeNode;
using Texts = std::vector<std::string>;

// The error the call raises; a failure of the test when it raises none.
template <typename Call>
MetabaseError ErrorOf(Call call) {
  try {
    call();
  } catch (const MetabaseError& e) {
    return e;
  }
  ADD_FAILURE() << "no error raised";
  return MetabaseError(0, "");
}

// --- Automation values -----------------------------------------------------------------

TEST(AutomationValues, TextAndArrayGoOutAsTheProviderTakesThem) {
  const Variant text = ToVariant(std::string("P\xC3\xB6ol"));
  ASSERT_EQ(text.get()->vt, VT_BSTR);
  EXPECT_EQ(std::wstring(text.get()->bstrVal, ::SysStringLen(text.get()->bstrVal)), L"P\u00f6ol");

  const Variant array = ToVariant(Texts{".aspx,C:\\x.dll", ""});
  ASSERT_EQ(array.get()->vt, VT_ARRAY | VT_VARIANT);
  LONG upper = -1;
  ASSERT_EQ(::SafeArrayGetUBound(array.get()->parray, 1, &upper), S_OK);
  EXPECT_EQ(upper, 1);
  Variant second;
  LONG index = 1;
  ASSERT_EQ(::SafeArrayGetElement(array.get()->parray, &index, second.put()), S_OK);
  EXPECT_EQ(second.get()->vt, VT_BSTR);

  EXPECT_EQ(FromVariant(*text.get(), "t"), MetabaseValue(std::string("P\xC3\xB6ol")));
  EXPECT_EQ(FromVariant(*array.get(), "t"), MetabaseValue(Texts{".aspx,C:\\x.dll", ""}));
  EXPECT_EQ(FromVariant(*ToVariant(Texts{}).get(), "t"), MetabaseValue(Texts{}));
}

TEST(AutomationValues, ScalarsEmptyAndBstrArraysComeBackAsTextAndOthersRaise) {
  Variant number;
  number.get()->vt = VT_I4;
  number.get()->lVal = 42;
  EXPECT_EQ(FromVariant(*number.get(), "t"), MetabaseValue(std::string("42")));
  EXPECT_EQ(FromVariant(*Variant().get(), "t"), MetabaseValue(std::string()));

  // An array of BSTR with a lower bound of 1.
  SAFEARRAYBOUND bound{2, 1};
  SafeArray owned(::SafeArrayCreate(VT_BSTR, 1, &bound));
  ASSERT_NE(owned.get(), nullptr);
  for (LONG i = 1; i <= 2; ++i) {
    Bstr b(i == 1 ? "first" : "second");
    ASSERT_EQ(::SafeArrayPutElement(owned.get(), &i, b.get()), S_OK);  // copies
  }
  Variant array;
  array.get()->vt = VT_ARRAY | VT_BSTR;
  array.get()->parray = owned.release();
  EXPECT_EQ(FromVariant(*array.get(), "t"), MetabaseValue(Texts{"first", "second"}));

  // Values without a text form raise.
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  Variant matrix;
  matrix.get()->vt = VT_ARRAY | VT_VARIANT;
  matrix.get()->parray = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
  EXPECT_THROW(FromVariant(*matrix.get(), "t"), MetabaseError);

  Variant object;
  object.get()->vt = VT_DISPATCH;
  object.get()->pdispVal = nullptr;
  const MetabaseError e = ErrorOf([&] { FromVariant(*object.get(), "\"Get\" of [X]"); });
  EXPECT_EQ(e.code(), kErrFail);
  EXPECT_NE(std::string(e.what()).find("\"Get\" of [X]"), std::string::npos);
}

// --- Late binding against a directory object -------------------------------------------

class AdsiObjectTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override {
    EXPECT_EQ(directory.OutstandingReferences(), 0) << "every reference taken is given back";
    ::CoUninitialize();
  }
  FakeDirectory directory;
};

TEST_F(AdsiObjectTest, NameGetPutAndSetInfo) {
  FakeNode& app = directory.Add(L"shop");
  app.properties[L"AppPoolId"] = std::string("DefaultAppPool");
  app.properties[L"ScriptMaps"] = Texts{".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET",
                                        ".aspx,C:\\WINDOWS\\Microsoft.NET\\Framework\\v2.0.50727\\aspnet_isapi.dll,1"};
  {
    auto object = WrapAdsiObject(app.AsDispatch(), "IIS://localhost/W3SVC/1/ROOT/shop");
    EXPECT_EQ(object->Name(), "shop");
    EXPECT_EQ(object->Get("AppPoolId"), MetabaseValue(std::string("DefaultAppPool")));
    EXPECT_EQ(object->Get("ScriptMaps"), app.properties[L"ScriptMaps"]);

    object->Put("AppPoolId", std::string("QuillmarshAnalyse1"));
    EXPECT_EQ(app.properties[L"AppPoolId"], MetabaseValue(std::string("DefaultAppPool"))) << "staged only";
    object->SetInfo();
  }
  EXPECT_EQ(app.properties[L"AppPoolId"], MetabaseValue(std::string("QuillmarshAnalyse1")));
  EXPECT_EQ(app.calls, (std::vector<std::wstring>{L"Get AppPoolId", L"Get ScriptMaps", L"Put AppPoolId",
                                                  L"SetInfo"}));
}

// An application whose AppPoolId a move put on it: it holds its own value until PutEx
// clears it, and then inherits again. GetDataPaths also lists keys below that hold one.
TEST_F(AdsiObjectTest, ClearAndOwnValueAsThePutExAndGetDataPathsOfIis) {
  FakeNode& app = directory.Add(L"shop");
  app.adsPath = L"IIS://LOCALHOST/W3SVC/1/ROOT/shop/";  // the provider's own spelling
  app.properties[L"AppPoolId"] = std::string("QuillmarshAnalyse1");
  app.pathsBelow = {"IIS://localhost/W3SVC/1/ROOT/shop/old"};
  {
    auto object = WrapAdsiObject(app.AsDispatch(), "IIS://localhost/w3svc/1/root/shop");
    EXPECT_TRUE(object->HasOwnValue("AppPoolId"));
    object->Clear("AppPoolId");
    EXPECT_EQ(app.properties.count(L"AppPoolId"), 1u) << "staged only";
    object->SetInfo();
    EXPECT_EQ(app.properties.count(L"AppPoolId"), 0u);
    EXPECT_FALSE(object->HasOwnValue("AppPoolId"));  // only a key below holds one
    app.pathsBelow.clear();
    EXPECT_FALSE(object->HasOwnValue("AppPoolId"));  // none anywhere: MD_ERROR_DATA_NOT_FOUND
  }
  EXPECT_EQ(app.calls, (std::vector<std::wstring>{L"GetDataPaths AppPoolId 0", L"PutEx 1 AppPoolId vt0", L"SetInfo",
                                                  L"GetDataPaths AppPoolId 0", L"GetDataPaths AppPoolId 0"}));

  // Any other failure is an error, as for every call.
  FakeNode& site = directory.Add(L"1");
  auto plain = WrapAdsiObject(site.AsDispatch(), "IIS://localhost/w3svc/1");
  site.properties[L"AppPoolId"] = std::string("Shop");
  site.adsPath = L"IIS://localhost/W3SVC/1";
  EXPECT_TRUE(plain->HasOwnValue("AppPoolId"));
  EXPECT_THROW(WrapAdsiObject(nullptr, "IIS://localhost/w3svc/9")->HasOwnValue("AppPoolId"), MetabaseError);
}

TEST_F(AdsiObjectTest, ProviderErrorCarriesItsOwnCodeAndNamesTheCall) {
  FakeNode& site = directory.Add(L"1");
  auto object = WrapAdsiObject(site.AsDispatch(), "IIS://localhost/w3svc/1");
  const MetabaseError e = ErrorOf([&] { object->Get("ServerComment"); });
  EXPECT_EQ(e.code(), kErrPropertyNotFound);
  for (const char* part : {"ServerComment", "IIS://localhost/w3svc/1", "0x8000500D", "cannot be found in the cache"}) {
    EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
  }
}

TEST_F(AdsiObjectTest, EnumAppsInPoolOnlyOnAPool) {
  FakeNode& pool = directory.Add(L"DefaultAppPool", true);
  pool.apps = {"/LM/W3SVC/1/ROOT/", "/LM/W3SVC/1/ROOT/shop/"};
  FakeNode& notPool = directory.Add(L"ROOT");
  auto poolObject = WrapAdsiObject(pool.AsDispatch(), "IIS://localhost/W3SVC/AppPools/DefaultAppPool");
  EXPECT_EQ(poolObject->EnumAppsInPool(), MetabaseValue(Texts{"/LM/W3SVC/1/ROOT/", "/LM/W3SVC/1/ROOT/shop/"}));
  pool.apps.clear();
  EXPECT_EQ(poolObject->EnumAppsInPool(), MetabaseValue(Texts{}));

  auto other = WrapAdsiObject(notPool.AsDispatch(), "IIS://localhost/W3SVC/1/ROOT");
  EXPECT_EQ(ErrorOf([&] { other->EnumAppsInPool(); }).code(), static_cast<std::uint32_t>(E_NOINTERFACE));
  EXPECT_TRUE(notPool.calls.empty());
}

TEST_F(AdsiObjectTest, ContainerGetObjectCreateDeleteAndEnumerate) {
  FakeNode& pools = directory.Add(L"AppPools");
  FakeNode& first = directory.Add(L"DefaultAppPool", true);
  FakeNode& odd = directory.Add(L"NotADirectoryObject", false, false);
  FakeNode& second = directory.Add(L"Shop Pool", true);
  pools.children = {&first, &odd, &second};
  {
    auto container = WrapAdsiObject(pools.AsDispatch(), "IIS://localhost/W3SVC/AppPools");
    EXPECT_EQ(container->GetObject("IIsApplicationPool", "shop pool")->Name(), "Shop Pool");
    EXPECT_EQ(ErrorOf([&] { container->GetObject("IIsApplicationPool", "Missing"); }).code(), kErrPathNotFound);

    auto created = container->Create("IIsApplicationPool", "QuillmarshAnalyse20240101");
    created->SetInfo();
    EXPECT_EQ(created->Name(), "QuillmarshAnalyse20240101");
    EXPECT_THROW(container->Create("IIsApplicationPool", "DefaultAppPool"), MetabaseError);
    container->Delete("IIsApplicationPool", "QuillmarshAnalyse20240101");
    EXPECT_EQ(pools.children.size(), 3u);
    EXPECT_EQ(ErrorOf([&] { container->Delete("IIsApplicationPool", "QuillmarshAnalyse20240101"); }).code(),
              kErrPathNotFound);

    // Children in the container's order; what is not a directory object comes back null.
    // (Under wine, whose ADsBuildEnumerator is a stub, through the container's own enumerator.)
    std::unique_ptr<IMetabaseEnumerator> items = container->Enumerate();
    std::vector<std::string> seen;
    std::unique_ptr<IMetabaseObject> child;
    while (items->Next(child)) seen.push_back(child ? child->Name() : "(none)");
    EXPECT_EQ(seen, (std::vector<std::string>{"DefaultAppPool", "(none)", "Shop Pool", "(none)"}));
    EXPECT_FALSE(items->Next(child));
  }
  // A leaf has no container interface.
  auto leaf = WrapAdsiObject(odd.AsDispatch(), "IIS://localhost/W3SVC/AppPools/x");
  EXPECT_THROW(leaf->Enumerate(), MetabaseError);
}

TEST(AdsiObject, NullObjectFailsOnItsFirstCall) {
  auto object = WrapAdsiObject(nullptr, "IIS://localhost/w3svc/1/ROOT/gone");
  EXPECT_THROW(object->Get("ScriptMaps"), MetabaseError);
  EXPECT_THROW(object->Name(), MetabaseError);
}

// --- The real provider, absent here ----------------------------------------------------

TEST(AdsiMetabase, BindingFailsWithoutIisAndTheRegistryKeepsItsPools) {
  ThreadScope com(Apartment::MultiThreaded);
  ASSERT_TRUE(::SetEnvironmentVariableW(L"IIS_METABASE", nullptr) || ::GetLastError() == ERROR_ENVVAR_NOT_FOUND);
  auto metabase = tarnwell::OpenLocalMetabase();
  const MetabaseError e = ErrorOf([&] { metabase->Bind("IIS://localhost/W3SVC/AppPools"); });
  EXPECT_NE(e.code(), 0u) << "bound a metabase on a machine without IIS";
  EXPECT_NE(std::string(e.what()).find("IIS://localhost/W3SVC/AppPools"), std::string::npos);

  fakes::NullProcessSystem processes;
  TIISObject registry(*metabase, processes);
  registry.PoolCount = 1;
  registry.Pools[0].Name = "Kept";
  registry.Pools[0].AppCount = 3;
  registry.LoadPools();
  EXPECT_EQ(registry.PoolCount, 1);
  EXPECT_EQ(registry.Pools[0].Name, "Kept");
  EXPECT_EQ(registry.Pools[0].AppCount, 3);
}

// --- COM per thread --------------------------------------------------------------------

// The calling thread's apartment, or -1 when COM is not initialised on it. Asked by
// joining the multi-threaded apartment and leaving again (CoGetApartmentType came with
// Windows 7): joining it answers S_FALSE inside it, RPC_E_CHANGED_MODE inside a
// single-threaded one, S_OK where COM was not initialised.
int ApartmentType() {
  const HRESULT joined = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (joined == RPC_E_CHANGED_MODE) return APTTYPE_STA;
  if (FAILED(joined)) return -2;
  ::CoUninitialize();
  return joined == S_FALSE ? APTTYPE_MTA : -1;
}

TEST(ThreadScope, InitialisesTheAskedApartmentForItsLifetime) {
  std::thread([] {
    {
      ThreadScope scope(Apartment::MultiThreaded);
      EXPECT_EQ(ApartmentType(), APTTYPE_MTA);
    }
    EXPECT_EQ(ApartmentType(), -1);
    {
      ThreadScope scope(Apartment::SingleThreaded);
      EXPECT_EQ(ApartmentType(), APTTYPE_STA);
    }
    EXPECT_EQ(ApartmentType(), -1);
  }).join();
}

TEST(ThreadScope, ScopeThatCouldNotInitialiseLeavesTheOuterOneAlone) {
  std::thread([] {
    ThreadScope outer(Apartment::SingleThreaded);
    const int outerType = ApartmentType();
    ASSERT_NE(outerType, -1);
    { ThreadScope inner(Apartment::MultiThreaded); }  // refused: other apartment
    EXPECT_EQ(ApartmentType(), outerType);
    { ThreadScope same(Apartment::SingleThreaded); }  // counted, then undone
    EXPECT_EQ(ApartmentType(), outerType);
  }).join();
}

}  // namespace
}  // namespace tarnwell::platform::win32
