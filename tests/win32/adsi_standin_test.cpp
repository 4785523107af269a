// The stand-in ADSI provider (standin/adsi), registered in the test prefix with regsvr32 by
// the AdsiStandin.Register fixture, driven through the program's own ADSI code on a copy
// of the demo metabase that TARNWELL_STANDIN_METABASE names.
#include <gtest/gtest.h>

#include "platform/win32/win_api.h"
#include <ole2.h>
#include <iads.h>
#include <adshlp.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/ProgramSeams.h"
#include "iis/iis.h"
#include "platform/files/utf8_path.h"
#include "platform/thread_scope.h"
#include "platform/win32/adsi_metabase.h"
#include "platform/win32/com.h"
#include "platform/win32/text.h"
#include "platform/win32/win_handles.h"
#include "tests/fakes/null_seams.h"
#include "tests/support/demo_metabase.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#if TARNWELL_WIN32_STORE
#include "metabase/metabase_store.h"

namespace tarnwell::platform::win32 {
namespace {

using testutil::AppsOf;
using testutil::AsList;
using testutil::AsString;
using testutil::Lines;
using testutil::PoolNames;
using testutil::Text;

constexpr std::uint32_t kDataNotFound = 0x800CC801;  // MD_ERROR_DATA_NOT_FOUND
// IISBaseObject (GetDataPaths by its vtable), which mingw-w64 declares but does not define.
constexpr GUID kIidIisBaseObject = {0x4B42E390, 0x0E96, 0x11D1, {0x9C, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0xE7, 0x03}};

// The code of the MetabaseError the call raises; 0 when it raises none.
template <typename Call>
std::uint32_t CodeOf(Call call) {
  try {
    call();
  } catch (const MetabaseError& e) {
    return e.code();
  }
  return 0;
}

// A value under HKEY_LOCAL_MACHINE; empty when missing.
std::wstring RegistryText(const std::wstring& path, const wchar_t* name = nullptr) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return {};
  wchar_t text[1024] = {};
  DWORD size = sizeof text - sizeof(wchar_t);
  const LONG result = ::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
  ::RegCloseKey(key);
  return result == ERROR_SUCCESS ? std::wstring(text) : std::wstring();
}

// A member called late-bound by name, as a script calls it; arg, when given, its one
// argument (the new value of a property put). The failure code a caller sees, or S_OK.
HRESULT Late(IDispatch* object, const wchar_t* member, WORD flags, const char* arg, Variant& result) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(member)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  Variant value;
  if (arg != nullptr) value = ToVariant(std::string(arg));
  DISPID put = DISPID_PROPERTYPUT;
  const bool putting = flags == DISPATCH_PROPERTYPUT;
  DISPPARAMS params{arg != nullptr ? value.get() : nullptr, putting ? &put : nullptr, arg != nullptr ? 1u : 0u,
                    putting ? 1u : 0u};
  EXCEPINFO info{};
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result.put(), &info, nullptr);
  if (hr == DISP_E_EXCEPTION) {
    hr = info.scode;
    const Bstr source = Bstr::Adopt(info.bstrSource);
    const Bstr description = Bstr::Adopt(info.bstrDescription);
    const Bstr helpFile = Bstr::Adopt(info.bstrHelpFile);
  }
  return hr;
}

class StandinProvider : public ::testing::Test {
 protected:
  StandinProvider() {
    testutil::WriteFile(file_, testutil::ReadAll(std::string(TARNWELL_DEMO_DIR "/MetaBase.xml")));
    ::SetEnvironmentVariableW(L"IIS_METABASE", nullptr);  // else the program takes the store itself
    ::SetEnvironmentVariableW(L"TARNWELL_STANDIN_METABASE", file_.wstring().c_str());
    adsi_ = tarnwell::OpenLocalMetabase();
  }
  ~StandinProvider() override { ::SetEnvironmentVariableW(L"TARNWELL_STANDIN_METABASE", nullptr); }

  ThreadScope com_{Apartment::MultiThreaded};
  testutil::TempDir dir_{testutil::kNonAsciiName};
  const std::filesystem::path file_ = dir_.Path() / L"MetaBase.xml";
  std::unique_ptr<IMetabase> adsi_;
};

TEST_F(StandinProvider, AnswersTheDemoAsTheStoreDoes) {
  EXPECT_EQ(PoolNames(*adsi_), testutil::kDemoPools);
  for (const auto& [pool, apps] : testutil::kDemoPoolApps) EXPECT_EQ(AppsOf(*adsi_, pool), apps) << pool;

  fakes::NullProcessSystem processes;
  TIISObject registry(*adsi_, processes);
  registry.LoadPools();
  ASSERT_FALSE(registry.LoadFailure) << registry.LoadFailure->Reason;
  ASSERT_EQ(registry.PoolCount, 9);
  EXPECT_EQ(registry.Pools[static_cast<std::size_t>(registry.IndexOfPool("ShopPool"))].AppCount, 3);

  // Paths in any case, inheritance down the path, and the codes IIS gives.
  struct Read {
    const char* path;
    const char* property;
    std::string text;       // a text value
    std::size_t lines = 0;  // else a list of this many
    std::uint32_t error = 0;
  };
  const Read reads[] = {
      {"IIS://localhost/W3SVC/2", "ServerComment", "Shop site"},
      {"iis://LocalHost/w3svc/1/root/LEGACY/admin", "appPoolId", "LegacyPool"},
      {"IIS://localhost/W3SVC/1/ROOT/legacy/admin", "ScriptMaps", "", 27},
      {"IIS://localhost/W3SVC/2/ROOT/cart/", "ScriptMaps", "", 51},
      {"IIS://localhost/W3SVC/AppPools/ShopPool", "KeyType", "IIsApplicationPool"},
      {"IIS://localhost/W3SVC/1/ROOT/legacy/admin", "Path", "", 0, kDataNotFound},
      {"IIS://localhost/W3SVC/9/ROOT", "Path", "", 0, kErrPathNotFound},
  };
  for (const Read& r : reads) {
    SCOPED_TRACE(std::string(r.path) + " " + r.property);
    if (r.error != 0) {
      EXPECT_EQ(CodeOf([&] { adsi_->Bind(r.path)->Get(r.property); }), r.error);
    } else if (r.lines != 0) {
      EXPECT_EQ(AsList(adsi_->Bind(r.path)->Get(r.property)).size(), r.lines);
    } else {
      EXPECT_EQ(AsString(adsi_->Bind(r.path)->Get(r.property)), r.text);
    }
  }
  EXPECT_EQ(adsi_->Bind("iis://localhost/w3svc/apppools/shoppool")->Name(), "ShopPool");
  // GetDataPaths: the key's own value, or only an inherited one.
  EXPECT_TRUE(adsi_->Bind("IIS://localhost/W3SVC/2/ROOT/cart")->HasOwnValue("AppPoolId"));
  EXPECT_TRUE(adsi_->Bind("IIS://localhost/W3SVC/2")->HasOwnValue("AppPoolId"));
  EXPECT_FALSE(adsi_->Bind("IIS://localhost/W3SVC/1/ROOT/legacy/admin")->HasOwnValue("AppPoolId"));
  // Only a pool has IISApplicationPool.
  EXPECT_EQ(CodeOf([&] { adsi_->Bind("IIS://localhost/W3SVC/1")->EnumAppsInPool(); }),
            static_cast<std::uint32_t>(E_NOINTERFACE));
}

// What the analyser does: a temporary pool, each kind of application moved into it and
// back, the pool deleted; the file, which another program reads, follows every SetInfo
// and ends as it began, byte for byte.
TEST_F(StandinProvider, ChangesReachTheFileAndPuttingThemBackRestoresItByteForByte) {
  const std::string original = testutil::ReadAll(file_);
  auto file = standin::OpenMetabaseStore(Utf8FromPath(file_));
  const std::string temp = "QuillmarshAnalyse46362.5";
  auto pools = adsi_->Bind("IIS://localhost/W3SVC/AppPools");
  auto created = pools->Create("IIsApplicationPool", temp);
  EXPECT_EQ(CodeOf([&] { file->Bind("IIS://localhost/W3SVC/AppPools/" + temp); }), kErrPathNotFound);
  created->SetInfo();
  EXPECT_EQ(PoolNames(*file).back(), temp);
  EXPECT_EQ(CodeOf([&] { pools->Create("IIsApplicationPool", temp)->SetInfo(); }), kErrAlreadyExists);

  for (const std::string app : {"/2/ROOT/cart", "/1/ROOT/legacy/admin"}) {  // own AppPoolId, inherited one
    SCOPED_TRACE(app);
    auto object = adsi_->Bind("IIS://localhost/W3SVC" + app);
    const bool own = object->HasOwnValue("AppPoolId");
    const std::string before = AsString(object->Get("AppPoolId"));
    object->Put("AppPoolId", temp);
    EXPECT_EQ(Text(*file, app, "AppPoolId"), before) << "held until SetInfo";
    object->SetInfo();
    EXPECT_EQ(Text(*file, app, "AppPoolId"), temp);
    EXPECT_TRUE(object->HasOwnValue("AppPoolId"));
    EXPECT_EQ(AppsOf(*adsi_, temp), Lines{"/LM/W3SVC" + app + "/"});
    EXPECT_EQ(CodeOf([&] { pools->Delete("IIsApplicationPool", temp); }), kErrPoolNotEmpty);

    if (own) {
      object->Put("AppPoolId", before);
    } else {
      object->Clear("AppPoolId");  // PutEx ADS_PROPERTY_CLEAR: inherits again
    }
    object->SetInfo();
    EXPECT_EQ(object->HasOwnValue("AppPoolId"), own);
    EXPECT_EQ(Text(*adsi_, app, "AppPoolId"), before);
  }
  pools->Delete("IIsApplicationPool", temp);
  EXPECT_EQ(CodeOf([&] { adsi_->Bind("IIS://localhost/W3SVC/AppPools/" + temp); }), kErrPathNotFound);
  EXPECT_EQ(testutil::ReadAll(file_), original);
}

// What a script reaches beyond the seam's calls: IADs properties and metabase properties
// by name, put and read back before SetInfo, and GetInfo dropping what was not saved.
TEST_F(StandinProvider, ScriptsReachMembersAndPropertiesByName) {
  const std::string original = testutil::ReadAll(file_);
  ComPtr<IDispatch> site;
  ASSERT_EQ(::ADsGetObject(L"IIS://localhost/W3SVC/2", IID_IDispatch, site.put_void()), S_OK);
  struct Step {
    const wchar_t* member;
    WORD flags;
    const char* arg;
    HRESULT hr;
    std::string text;  // of the result
  };
  const Step steps[] = {
      {L"class", DISPATCH_PROPERTYGET, nullptr, S_OK, "IIsWebServer"},
      {L"ADsPath", DISPATCH_PROPERTYGET | DISPATCH_METHOD, nullptr, S_OK, "IIS://localhost/W3SVC/2"},
      {L"ServerComment", DISPATCH_PROPERTYGET, nullptr, S_OK, "Shop site"},
      {L"ServerComment", DISPATCH_PROPERTYPUT, "Renamed", S_OK, ""},
      {L"Get", DISPATCH_METHOD, "servercomment", S_OK, "Renamed"},
      {L"GetInfo", DISPATCH_METHOD, nullptr, S_OK, ""},
      {L"ServerComment", DISPATCH_PROPERTYGET, nullptr, S_OK, "Shop site"},
      {L"Get", DISPATCH_METHOD, "Path", static_cast<HRESULT>(kDataNotFound), ""},
      {L"EnumAppsInPool", DISPATCH_METHOD, nullptr, DISP_E_UNKNOWNNAME, ""},
      {L"SetInfo", DISPATCH_METHOD, "extra", DISP_E_BADPARAMCOUNT, ""},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(ToUtf8(step.member) + (step.arg != nullptr ? std::string(" ") + step.arg : std::string()));
    Variant result;
    EXPECT_EQ(Late(site.get(), step.member, step.flags, step.arg, result), step.hr);
    if (step.hr == S_OK) {
      EXPECT_EQ(FromVariant(*result.get(), "result"), MetabaseValue(step.text));
    }
  }
  EXPECT_EQ(testutil::ReadAll(file_), original);
}

TEST_F(StandinProvider, IsRegisteredAsIisRegistersItsProviderAndAnswersAsADirectoryObject) {
  EXPECT_EQ(RegistryText(L"SOFTWARE\\Microsoft\\ADs\\Providers\\IIS"), L"IIS");
  CLSID clsid{};
  ASSERT_EQ(::CLSIDFromProgID(L"IIS", &clsid), S_OK);
  wchar_t id[40] = {};
  ::StringFromGUID2(clsid, id, 40);
  const std::wstring server = L"SOFTWARE\\Classes\\CLSID\\" + std::wstring(id) + L"\\InprocServer32";
  EXPECT_TRUE(RegistryText(server).ends_with(L"\\iisadsi.dll")) << ToUtf8(RegistryText(server));
  EXPECT_EQ(RegistryText(server, L"ThreadingModel"), L"Both");

  struct Face {
    const wchar_t* path;
    const wchar_t* name;
    const wchar_t* cls;
    const wchar_t* parent;
    bool pool;
  };
  const Face faces[] = {
      {L"IIS://localhost/W3SVC/AppPools/ShopPool", L"ShopPool", L"IIsApplicationPool", L"IIS://localhost/W3SVC/AppPools",
       true},
      {L"IIS://localhost/W3SVC/2/ROOT/cart/", L"cart", L"IIsWebVirtualDir", L"IIS://localhost/W3SVC/2/ROOT", false},
  };
  for (const Face& f : faces) {
    SCOPED_TRACE(ToUtf8(f.path));
    ComPtr<IADs> ads;
    ASSERT_EQ(::ADsGetObject(f.path, IID_IADs, ads.put_void()), S_OK);
    const auto text = [](HRESULT hr, Bstr& b) { return SUCCEEDED(hr) ? b.Utf8() : "failed"; };
    Bstr name, cls, parent, path;
    EXPECT_EQ(text(ads->get_Name(name.put()), name), ToUtf8(f.name));
    EXPECT_EQ(text(ads->get_Class(cls.put()), cls), ToUtf8(f.cls));
    EXPECT_EQ(text(ads->get_Parent(parent.put()), parent), ToUtf8(f.parent));
    EXPECT_EQ(text(ads->get_ADsPath(path.put()), path), ToUtf8(f.parent) + "/" + ToUtf8(f.name));

    // One identity whichever interface is asked; IISApplicationPool on pools only.
    ComPtr<IADsContainer> container;
    ASSERT_EQ(ads.As(IID_IADsContainer, container), S_OK);
    ComPtr<IUnknown> one, other;
    ASSERT_EQ(ads.As(IID_IUnknown, one), S_OK);
    ASSERT_EQ(container.As(IID_IUnknown, other), S_OK);
    EXPECT_EQ(one.get(), other.get());
    ComPtr<IDispatch> pool, base;
    EXPECT_EQ(ads.As(kIidIisApplicationPool, pool), f.pool ? S_OK : E_NOINTERFACE);
    EXPECT_EQ(ads.As(kIidIisBaseObject, base), S_OK);
  }
}

// F5 reads the pools on a thread of its own, in its own apartment, and the thread then
// ends. With nobody else holding the provider, it is unloaded on that thread's way out:
// the thread must still end (it once waited forever there, under the loader lock, and the
// window with it). Run alone, so that no other test has the provider loaded.
DWORD WINAPI ReadPoolsAlone(void*) {
  ThreadScope com{Apartment::SingleThreaded};
  std::unique_ptr<IMetabase> adsi = tarnwell::OpenLocalMetabase();
  fakes::NullProcessSystem processes;
  TIISObject registry(*adsi, processes);
  registry.LoadPools();
  return static_cast<DWORD>(registry.PoolCount);
}

TEST(StandinProviderAlone, AThreadThatLoadedItEnds) {
  testutil::TempDir dir{testutil::kNonAsciiName};
  const std::filesystem::path file = dir.Path() / L"MetaBase.xml";
  testutil::WriteFile(file, testutil::ReadAll(std::string(TARNWELL_DEMO_DIR "/MetaBase.xml")));
  ::SetEnvironmentVariableW(L"IIS_METABASE", nullptr);
  ::SetEnvironmentVariableW(L"TARNWELL_STANDIN_METABASE", file.wstring().c_str());
  UniqueHandle thread(::CreateThread(nullptr, 0, ReadPoolsAlone, nullptr, 0, nullptr));
  ASSERT_TRUE(thread);
  ASSERT_EQ(::WaitForSingleObject(thread.get(), 60000), WAIT_OBJECT_0) << "the thread never ended";
  DWORD pools = 0;
  ::GetExitCodeThread(thread.get(), &pools);
  EXPECT_EQ(pools, 9u);
  ::SetEnvironmentVariableW(L"TARNWELL_STANDIN_METABASE", nullptr);
}

}  // namespace
}  // namespace tarnwell::platform::win32
#endif
