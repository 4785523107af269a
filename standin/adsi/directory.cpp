#include "standin/adsi/directory.h"

#include <iads.h>
#include <iiis.h>
#include <iiisext.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/metabase.h"
#include "platform/win32/com.h"
#include "platform/win32/text.h"
#include "standin/adsi/com_object.h"
#include "standin/adsi/metabase_file.h"

namespace tarnwell::standin::adsi {

using platform::IMetabase;
using platform::IMetabaseEnumerator;
using platform::IMetabaseObject;
using platform::MetabaseError;
using platform::MetabaseValue;
using platform::win32::Bstr;
using platform::win32::ComPtr;
using platform::win32::FromUtf8;
using platform::win32::ToUtf8;
using platform::win32::Variant;

namespace {

constexpr HRESULT kDataNotFound = static_cast<HRESULT>(0x800CC801);  // MD_ERROR_DATA_NOT_FOUND
constexpr HRESULT kBadParameter = static_cast<HRESULT>(0x80005008);  // E_ADS_BAD_PARAMETER
constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002);  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
constexpr LONG kPropertyClear = 1;    // ADS_PROPERTY_CLEAR
constexpr LONG kPropertyUpdate = 2;   // ADS_PROPERTY_UPDATE
constexpr LONG kInheritableOnly = 1;  // IIS_INHERITABLE_ONLY
// IISApplicationPool, which mingw-w64 declares but does not define.
constexpr GUID kIidIisApplicationPool = {0x0B3CB1E1, 0x829A, 0x4C06, {0x8B, 0x09, 0xF5, 0x6D, 0xA1, 0x89, 0x4C, 0x88}};
// IISBaseObject, which every IIS object has; likewise declared only.
constexpr GUID kIidIisBaseObject = {0x4B42E390, 0x0E96, 0x11D1, {0x9C, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0xE7, 0x03}};

[[noreturn]] void Raise(HRESULT hr, const std::string& message) {
  throw MetabaseError(static_cast<std::uint32_t>(hr), message);
}

// What a call that failed reports: its code, and the text late-bound callers get.
struct Outcome {
  HRESULT hr = S_OK;
  std::wstring description;
};

std::wstring Describe(const char* what) noexcept {
  try {
    return FromUtf8(what);
  } catch (...) {
    return {};
  }
}

// Runs a call of the provider's: no exception leaves a COM method.
template <typename Call>
Outcome Run(Call&& call) noexcept {
  try {
    call();
    return {};
  } catch (const MetabaseError& e) {
    return {static_cast<HRESULT>(e.code()), Describe(e.what())};
  } catch (const std::bad_alloc&) {
    return {E_OUTOFMEMORY, {}};
  } catch (const std::exception& e) {
    return {E_FAIL, Describe(e.what())};
  } catch (...) {
    return {E_UNEXPECTED, {}};
  }
}

bool IEquals(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::wstring TextOf(BSTR b) { return b == nullptr ? std::wstring() : std::wstring(b, ::SysStringLen(b)); }

// Hands a value to an out parameter; the caller owns it from then on.
void HandOut(Variant&& value, VARIANT* out) {
  *out = *value.get();
  ::VariantInit(value.get());
}

void HandOut(std::wstring_view text, BSTR* out) {
  *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (*out == nullptr) throw std::bad_alloc();
}

// An argument with any VT_BYREF followed.
Variant Plain(const VARIANT& arg) {
  Variant plain;
  const HRESULT hr = ::VariantCopyInd(plain.get(), const_cast<VARIANT*>(&arg));
  if (FAILED(hr)) Raise(hr, "An argument cannot be read");
  return plain;
}

Variant Converted(const VARIANT& arg, VARTYPE type) {
  Variant plain = Plain(arg);
  if (plain.get()->vt == type) return plain;
  Variant converted;
  if (FAILED(::VariantChangeTypeEx(converted.get(), plain.get(), LOCALE_INVARIANT, 0, type))) {
    Raise(DISP_E_TYPEMISMATCH, "An argument has the wrong type");
  }
  return converted;
}

std::string TextArg(const VARIANT& arg) {
  const Variant text = Converted(arg, VT_BSTR);
  return ToUtf8(TextOf(text.get()->bstrVal));
}

LONG NumberArg(const VARIANT& arg) { return Converted(arg, VT_I4).get()->lVal; }

MetabaseValue ValueArg(const VARIANT& arg, std::string_view what) {
  const Variant plain = Plain(arg);
  return platform::win32::FromVariant(*plain.get(), what);
}

// The class of a key as IIS names it: its KeyType.
std::wstring ClassOf(IMetabaseObject& object) {
  try {
    const MetabaseValue type = object.Get("KeyType");
    if (const auto* text = std::get_if<std::string>(&type); text != nullptr && !text->empty()) return FromUtf8(*text);
  } catch (const MetabaseError&) {
  }
  return L"IIsObject";
}

// Properties that IIS makes reachable by name (pool.AppPoolId) get numbers from this one
// process-wide list, so that a name has the same number on every object.
class PropertyIds {
 public:
  static constexpr DISPID kFirst = 1000;

  static DISPID IdOf(std::wstring_view name) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (IEquals(names_[i], name)) return kFirst + static_cast<DISPID>(i);
    }
    names_.emplace_back(name);
    return kFirst + static_cast<DISPID>(names_.size() - 1);
  }
  // Empty when the number was never given out.
  static std::wstring NameOf(DISPID id) {
    std::lock_guard lock(mutex_);
    if (id < kFirst || static_cast<std::size_t>(id - kFirst) >= names_.size()) return {};
    return names_[static_cast<std::size_t>(id - kFirst)];
  }

 private:
  static inline std::mutex mutex_;
  static inline std::vector<std::wstring> names_;
};

// The members that late binding reaches, as IIS 6's type library names them.
enum MemberId : DISPID {
  kGet = 1,
  kPut,
  kGetEx,
  kPutEx,
  kSetInfo,
  kGetInfo,
  kGetDataPaths,
  kEnumAppsInPool,
  kRecycle,
  kStart,
  kStop,
  kName = 20,
  kClass,
  kAdsPath,
  kParent,
  kSchema,
};

struct Member {
  const wchar_t* name;
  MemberId id;
  UINT args;
  bool property;  // read as a property (DISPATCH_PROPERTYGET) rather than called
  bool poolOnly;
};

constexpr Member kMembers[] = {
    {L"Get", kGet, 1, false, false},
    {L"Put", kPut, 2, false, false},
    {L"GetEx", kGetEx, 1, false, false},
    {L"PutEx", kPutEx, 3, false, false},
    {L"SetInfo", kSetInfo, 0, false, false},
    {L"GetInfo", kGetInfo, 0, false, false},
    {L"GetDataPaths", kGetDataPaths, 2, false, false},
    {L"EnumAppsInPool", kEnumAppsInPool, 0, false, true},
    {L"Recycle", kRecycle, 0, false, true},
    {L"Start", kStart, 0, false, true},
    {L"Stop", kStop, 0, false, true},
    {L"Name", kName, 0, true, false},
    {L"Class", kClass, 0, true, false},
    {L"ADsPath", kAdsPath, 0, true, false},
    {L"Parent", kParent, 0, true, false},
    {L"Schema", kSchema, 0, true, false},
};

const Member* MemberNamed(std::wstring_view name) {
  for (const Member& m : kMembers) {
    if (IEquals(m.name, name)) return &m;
  }
  return nullptr;
}

const Member* MemberWithId(DISPID id) {
  for (const Member& m : kMembers) {
    if (m.id == id) return &m;
  }
  return nullptr;
}

class ChildEnum;

// One metabase key. Changes are held in the store's object until SetInfo writes them to
// the file. ThreadingModel Both: any thread may call, one call at a time per object.
class DirectoryObject final : public ComObject<DirectoryObject, IISApplicationPool, IADsContainer, IISBaseObject> {
 public:
  DirectoryObject(std::shared_ptr<IMetabase> store, std::unique_ptr<IMetabaseObject> object, std::wstring adsPath,
                  std::wstring className)
      : store_(std::move(store)), object_(std::move(object)), adsPath_(std::move(adsPath)),
        class_(std::move(className)) {}

  void* Find(REFIID iid) noexcept {
    if (iid == IID_IDispatch || iid == IID_IADs) return static_cast<IADs*>(static_cast<IISApplicationPool*>(this));
    if (iid == IID_IADsContainer) return static_cast<IADsContainer*>(this);
    if (iid == kIidIisBaseObject) return static_cast<IISBaseObject*>(this);
    if (iid == kIidIisApplicationPool && IsPool()) return static_cast<IISApplicationPool*>(this);
    return nullptr;
  }

  // A new object over a key the store gave, at the ADsPath it is reached by.
  static ComPtr<DirectoryObject> Wrap(std::shared_ptr<IMetabase> store, std::unique_ptr<IMetabaseObject> object,
                                      std::wstring adsPath, std::wstring className = {}) {
    if (className.empty()) className = ClassOf(*object);
    return ComPtr<DirectoryObject>::Adopt(
        Make(std::move(store), std::move(object), std::move(adsPath), std::move(className)));
  }

  IDispatch* Dispatch() { return static_cast<IADs*>(static_cast<IISApplicationPool*>(this)); }

  // The store's walk over the key's children, for an enumerator.
  std::unique_ptr<IMetabaseEnumerator> Children() {
    std::lock_guard lock(mutex_);
    return object_->Enumerate();
  }
  ComPtr<DirectoryObject> Child(std::unique_ptr<IMetabaseObject> child) {
    std::wstring path = adsPath_ + L"/" + FromUtf8(child->Name());
    return Wrap(store_, std::move(child), std::move(path));
  }

  // --- IDispatch ---
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argError) override;

  // --- IADs ---
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* out) override {
    return Answer(out, [&] { return FromUtf8(Locked([&] { return object_->Name(); })); });
  }
  HRESULT STDMETHODCALLTYPE get_Class(BSTR* out) override {
    return Answer(out, [&] { return class_; });
  }
  HRESULT STDMETHODCALLTYPE get_GUID(BSTR* out) override {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_ADsPath(BSTR* out) override {
    return Answer(out, [&] { return adsPath_; });
  }
  HRESULT STDMETHODCALLTYPE get_Parent(BSTR* out) override {
    return Answer(out, [&] { return ParentPath(); });
  }
  HRESULT STDMETHODCALLTYPE get_Schema(BSTR* out) override {
    return Answer(out, [&] { return Machine() + L"/Schema/" + class_; });
  }
  HRESULT STDMETHODCALLTYPE GetInfo() override { return Run([&] { Reload(); }).hr; }
  HRESULT STDMETHODCALLTYPE SetInfo() override { return Run([&] { Save(); }).hr; }
  HRESULT STDMETHODCALLTYPE Get(BSTR name, VARIANT* out) override {
    if (out == nullptr) return E_POINTER;
    ::VariantInit(out);
    return Run([&] { HandOut(platform::win32::ToVariant(Value(ToUtf8(TextOf(name)))), out); }).hr;
  }
  HRESULT STDMETHODCALLTYPE Put(BSTR name, VARIANT value) override {
    return Run([&] { Stage(ToUtf8(TextOf(name)), value); }).hr;
  }
  HRESULT STDMETHODCALLTYPE GetEx(BSTR name, VARIANT* out) override {
    if (out == nullptr) return E_POINTER;
    ::VariantInit(out);
    return Run([&] { HandOut(ValuesOf(ToUtf8(TextOf(name))), out); }).hr;
  }
  HRESULT STDMETHODCALLTYPE PutEx(LONG control, BSTR name, VARIANT value) override {
    return Run([&] { StageEx(control, ToUtf8(TextOf(name)), value); }).hr;
  }
  HRESULT STDMETHODCALLTYPE GetInfoEx(VARIANT, LONG) override { return GetInfo(); }

  // --- IISApplicationPool ---
  HRESULT STDMETHODCALLTYPE Recycle() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumAppsInPool(VARIANT* out) override {
    if (out == nullptr) return E_POINTER;
    ::VariantInit(out);
    return Run([&] { HandOut(platform::win32::ToVariant(Apps()), out); }).hr;
  }
  HRESULT STDMETHODCALLTYPE Start() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Stop() override { return E_NOTIMPL; }

  // --- IISBaseObject ---
  HRESULT STDMETHODCALLTYPE GetDataPaths(BSTR name, LONG attribute, VARIANT* out) override {
    if (out == nullptr) return E_POINTER;
    ::VariantInit(out);
    return Run([&] { HandOut(DataPaths(ToUtf8(TextOf(name)), attribute), out); }).hr;
  }
  HRESULT STDMETHODCALLTYPE GetPropertyAttribObj(BSTR, IDispatch** out) override {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;  // no schema: every value is text
  }

  // --- IADsContainer ---
  HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return Run([&] {
      auto children = Children();
      std::unique_ptr<IMetabaseObject> child;
      LONG n = 0;
      while (children->Next(child)) n += child ? 1 : 0;
      *count = n;
    }).hr;
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** out) override;
  HRESULT STDMETHODCALLTYPE get_Filter(VARIANT* out) override {
    if (out != nullptr) ::VariantInit(out);
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_Filter(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Hints(VARIANT* out) override {
    if (out != nullptr) ::VariantInit(out);
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_Hints(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetObject(BSTR className, BSTR name, IDispatch** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return Run([&] { *out = Found(TextOf(className), TextOf(name)); }).hr;
  }
  HRESULT STDMETHODCALLTYPE Create(BSTR className, BSTR name, IDispatch** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return Run([&] { *out = Created(TextOf(className), TextOf(name)); }).hr;
  }
  HRESULT STDMETHODCALLTYPE Delete(BSTR className, BSTR name) override {
    return Run([&] {
      const std::string cls = ToUtf8(TextOf(className)), rdn = ToUtf8(TextOf(name));
      Locked([&] { object_->Delete(cls, rdn); });
    }).hr;
  }
  HRESULT STDMETHODCALLTYPE CopyHere(BSTR, BSTR, IDispatch** out) override {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE MoveHere(BSTR, BSTR, IDispatch** out) override {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  bool IsPool() const { return IEquals(class_, L"IIsApplicationPool"); }

  template <typename Call>
  std::invoke_result_t<Call&> Locked(Call&& call) {
    std::lock_guard lock(mutex_);
    return call();
  }

  template <typename Text>
  static HRESULT Answer(BSTR* out, Text&& text) noexcept {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return Run([&] { HandOut(text(), out); }).hr;
  }

  // "IIS://localhost" of "IIS://localhost/W3SVC".
  std::wstring Machine() const {
    const auto scheme = adsPath_.find(L"://");
    const auto slash = scheme == std::wstring::npos ? std::wstring::npos : adsPath_.find(L'/', scheme + 3);
    return adsPath_.substr(0, slash);
  }
  std::wstring ParentPath() const {
    const std::wstring machine = Machine();
    if (adsPath_.size() <= machine.size()) return adsPath_.substr(0, adsPath_.find(L':') + 1);  // "IIS:"
    return adsPath_.substr(0, adsPath_.rfind(L'/'));
  }

  MetabaseValue Value(const std::string& name) {
    std::lock_guard lock(mutex_);
    try {
      return object_->Get(name);
    } catch (const MetabaseError& e) {
      // IIS answers a property set nowhere on the path with the metabase's own code.
      if (e.code() == platform::kErrPropertyNotFound) Raise(kDataNotFound, e.what());
      throw;
    }
  }
  Variant ValuesOf(const std::string& name) {
    MetabaseValue value = Value(name);
    if (const auto* text = std::get_if<std::string>(&value)) value = platform::MetabaseList{std::string_view(*text)};
    return platform::win32::ToVariant(value);
  }
  void Stage(const std::string& name, const VARIANT& value) {
    MetabaseValue staged = ValueArg(value, "\"Put\" of " + name);
    Locked([&] { object_->Put(name, staged); });
  }
  void StageEx(LONG control, const std::string& name, const VARIANT& value) {
    if (control == kPropertyClear) return Locked([&] { object_->Clear(name); });
    if (control == kPropertyUpdate) return Stage(name, value);
    Raise(kBadParameter, "PutEx supports ADS_PROPERTY_CLEAR and ADS_PROPERTY_UPDATE only");
  }
  void Save() {
    Locked([&] { object_->SetInfo(); });
  }
  void Reload() {
    std::lock_guard lock(mutex_);
    // A key made by Create has nothing saved to read until SetInfo.
    auto fresh = store_->Bind(ToUtf8(adsPath_));
    object_ = std::move(fresh);
  }
  MetabaseValue Apps() {
    return Locked([&] { return object_->EnumAppsInPool(); });
  }

  // GetDataPaths: this key and the keys below it that hold their own value, in the file's order.
  Variant DataPaths(const std::string& name, LONG flag) {
    if (flag == kInheritableOnly && !IsInherited(name)) {
      Raise(kDataNotFound, "The property " + name + " is not inheritable");
    }
    std::vector<std::string> paths;
    Locked([&] { CollectDataPaths(*object_, ToUtf8(adsPath_), name, paths); });
    if (paths.empty()) Raise(kDataNotFound, "The property " + name + " is set nowhere at or below " + ToUtf8(adsPath_));
    return platform::win32::ToVariant(platform::MetabaseList(std::move(paths)));
  }
  static bool IsInherited(std::string_view name) {
    const std::wstring wide = FromUtf8(name);
    return IEquals(wide, L"AppPoolId") || IEquals(wide, L"ScriptMaps");
  }
  static void CollectDataPaths(IMetabaseObject& key, const std::string& path, const std::string& name,
                               std::vector<std::string>& paths) {
    if (key.HasOwnValue(name)) paths.push_back(path + "/");
    auto children = key.Enumerate();
    std::unique_ptr<IMetabaseObject> child;
    while (children->Next(child)) {
      if (child) CollectDataPaths(*child, path + "/" + child->Name(), name, paths);
    }
  }

  IDispatch* Found(const std::wstring& className, const std::wstring& name) {
    std::unique_ptr<IMetabaseObject> found;
    std::wstring cls = className;
    if (className.empty()) {
      found = store_->Bind(ToUtf8(adsPath_ + L"/" + name));
    } else {
      found = Locked([&] { return object_->GetObject(ToUtf8(className), ToUtf8(name)); });
    }
    if (className.empty()) cls = ClassOf(*found);
    return Wrap(store_, std::move(found), adsPath_ + L"/" + name, cls).release()->Dispatch();
  }
  IDispatch* Created(const std::wstring& className, const std::wstring& name) {
    auto created = Locked([&] { return object_->Create(ToUtf8(className), ToUtf8(name)); });
    return Wrap(store_, std::move(created), adsPath_ + L"/" + name, className).release()->Dispatch();
  }

  HRESULT Call(const Member& member, const DISPPARAMS& params, VARIANT* result);
  HRESULT CallProperty(const std::wstring& name, WORD flags, const DISPPARAMS& params, VARIANT* result);

  std::mutex mutex_;
  const std::shared_ptr<IMetabase> store_;
  std::unique_ptr<IMetabaseObject> object_;  // the store's; guarded by mutex_
  const std::wstring adsPath_;               // as bound, without a closing "/"
  const std::wstring class_;
};

// The children of a key as VT_DISPATCH directory objects, read from the file as it was
// when the enumeration began.
class ChildEnum final : public ComObject<ChildEnum, IEnumVARIANT> {
 public:
  explicit ChildEnum(ComPtr<DirectoryObject> parent) : parent_(std::move(parent)), items_(parent_->Children()) {}

  void* Find(REFIID iid) noexcept { return iid == IID_IEnumVARIANT ? static_cast<IEnumVARIANT*>(this) : nullptr; }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* out, ULONG* fetched) override {
    if (out == nullptr || (fetched == nullptr && count != 1)) return E_POINTER;
    if (fetched != nullptr) *fetched = 0;
    for (ULONG i = 0; i < count; ++i) ::VariantInit(&out[i]);
    ULONG n = 0;
    const Outcome outcome = Run([&] {
      std::lock_guard lock(mutex_);
      for (std::unique_ptr<IMetabaseObject> child; n < count && Advance(child);) {
        out[n].pdispVal = parent_->Child(std::move(child)).release()->Dispatch();
        out[n].vt = VT_DISPATCH;
        ++n;
      }
    });
    if (FAILED(outcome.hr)) {
      for (ULONG i = 0; i < n; ++i) ::VariantClear(&out[i]);
      return outcome.hr;
    }
    if (fetched != nullptr) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    ULONG n = 0;
    const Outcome outcome = Run([&] {
      std::lock_guard lock(mutex_);
      for (std::unique_ptr<IMetabaseObject> child; n < count && Advance(child);) ++n;
    });
    if (FAILED(outcome.hr)) return outcome.hr;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    return Run([&] {
      auto items = parent_->Children();
      std::lock_guard lock(mutex_);
      items_ = std::move(items);
      taken_ = 0;
    }).hr;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return Run([&] {
      auto clone = ComPtr<ChildEnum>::Adopt(Make(parent_));
      std::size_t taken = 0;
      {
        std::lock_guard lock(mutex_);
        taken = taken_;
      }
      for (std::unique_ptr<IMetabaseObject> child; clone->taken_ < taken && clone->Advance(child);) {
      }
      *out = clone.release();
    }).hr;
  }

 private:
  // The next child that is a key; false at the end.
  bool Advance(std::unique_ptr<IMetabaseObject>& child) {
    while (items_->Next(child)) {
      if (!child) continue;
      ++taken_;
      return true;
    }
    return false;
  }

  std::mutex mutex_;
  const ComPtr<DirectoryObject> parent_;
  std::unique_ptr<IMetabaseEnumerator> items_;  // guarded by mutex_
  std::size_t taken_ = 0;
};

HRESULT STDMETHODCALLTYPE DirectoryObject::get__NewEnum(IUnknown** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  return Run([&] {
    AddRef();
    auto self = ComPtr<DirectoryObject>::Adopt(this);
    *out = ComPtr<ChildEnum>::Adopt(ChildEnum::Make(std::move(self))).release();
  }).hr;
}

HRESULT STDMETHODCALLTYPE DirectoryObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
  // Named arguments are not taken: every name after the member's is unknown.
  for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  ids[0] = DISPID_UNKNOWN;
  const Outcome outcome = Run([&] {
    const std::wstring name = names[0] == nullptr ? std::wstring() : std::wstring(names[0]);
    if (const Member* member = MemberNamed(name)) {
      if (!member->poolOnly || IsPool()) ids[0] = member->id;
    } else if (!name.empty() && name.find_first_of(L" /\\<>\"'&=") == std::wstring::npos) {
      ids[0] = PropertyIds::IdOf(name);  // a metabase property read as pool.AppPoolId
    }
  });
  if (FAILED(outcome.hr)) return outcome.hr;
  return ids[0] == DISPID_UNKNOWN || count > 1 ? DISP_E_UNKNOWNNAME : S_OK;
}

HRESULT STDMETHODCALLTYPE DirectoryObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                                  VARIANT* result, EXCEPINFO* exception, UINT* argError) {
  if (argError != nullptr) *argError = 0;
  static const DISPPARAMS none{nullptr, nullptr, 0, 0};
  const DISPPARAMS& args = params == nullptr ? none : *params;
  if (args.cArgs > 0 && args.rgvarg == nullptr) return E_INVALIDARG;
  HRESULT hr = S_OK;
  std::wstring description;
  if (const Member* member = MemberWithId(id)) {
    if (member->poolOnly && !IsPool()) return DISP_E_MEMBERNOTFOUND;
    const WORD allowed = DISPATCH_METHOD | DISPATCH_PROPERTYGET;  // VBScript asks for either in one call
    if ((flags & allowed) == 0) return DISP_E_MEMBERNOTFOUND;
    if (args.cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (args.cArgs != member->args) return DISP_E_BADPARAMCOUNT;
    const Outcome outcome = Run([&] { hr = Call(*member, args, result); });
    if (FAILED(outcome.hr)) hr = outcome.hr, description = outcome.description;
  } else {
    const Outcome outcome = Run([&] {
      const std::wstring name = PropertyIds::NameOf(id);
      hr = name.empty() ? DISP_E_MEMBERNOTFOUND : CallProperty(name, flags, args, result);
    });
    if (FAILED(outcome.hr)) hr = outcome.hr, description = outcome.description;
  }
  // The provider's own failures reach a late-bound caller as an exception carrying the code,
  // as a call through IIS's type library does; the dispatch errors above come as they are.
  if (FAILED(hr) && exception != nullptr && HRESULT_FACILITY(hr) != FACILITY_DISPATCH) {
    *exception = EXCEPINFO{};
    exception->scode = hr;
    exception->bstrSource = ::SysAllocString(L"IIS");
    if (!description.empty()) exception->bstrDescription = ::SysAllocString(description.c_str());
    return DISP_E_EXCEPTION;
  }
  return hr;
}

// Arguments come last first in DISPPARAMS; Arg(0) is the first one.
HRESULT DirectoryObject::Call(const Member& member, const DISPPARAMS& params, VARIANT* result) {
  const auto arg = [&](UINT i) -> const VARIANT& { return params.rgvarg[params.cArgs - 1 - i]; };
  Variant answer;
  switch (member.id) {
    case kGet:
      answer = platform::win32::ToVariant(Value(TextArg(arg(0))));
      break;
    case kPut:
      Stage(TextArg(arg(0)), arg(1));
      break;
    case kGetEx:
      answer = ValuesOf(TextArg(arg(0)));
      break;
    case kPutEx:
      StageEx(NumberArg(arg(0)), TextArg(arg(1)), arg(2));
      break;
    case kSetInfo:
      Save();
      break;
    case kGetInfo:
      Reload();
      break;
    case kGetDataPaths:
      answer = DataPaths(TextArg(arg(0)), NumberArg(arg(1)));
      break;
    case kEnumAppsInPool:
      answer = platform::win32::ToVariant(Apps());
      break;
    case kRecycle:
    case kStart:
    case kStop:
      // Worker processes are the web service's (w3svc), not the metabase's.
      Raise(E_NOTIMPL, "The stand-in provider does not start, stop or recycle pools");
    case kName:
      answer = platform::win32::ToVariant(Locked([&] { return object_->Name(); }));
      break;
    case kClass:
      answer = platform::win32::ToVariant(ToUtf8(class_));
      break;
    case kAdsPath:
      answer = platform::win32::ToVariant(ToUtf8(adsPath_));
      break;
    case kParent:
      answer = platform::win32::ToVariant(ToUtf8(ParentPath()));
      break;
    case kSchema:
      answer = platform::win32::ToVariant(ToUtf8(Machine() + L"/Schema/" + class_));
      break;
  }
  if (result != nullptr) {
    ::VariantInit(result);
    HandOut(std::move(answer), result);
  }
  return S_OK;
}

HRESULT DirectoryObject::CallProperty(const std::wstring& name, WORD flags, const DISPPARAMS& params,
                                      VARIANT* result) {
  if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) {
    if (params.cArgs != 1) return DISP_E_BADPARAMCOUNT;
    if (params.cNamedArgs != 1 || params.rgdispidNamedArgs == nullptr ||
        params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
      return DISP_E_PARAMNOTOPTIONAL;
    }
    Stage(ToUtf8(name), params.rgvarg[0]);
    return S_OK;
  }
  if ((flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) == 0) return DISP_E_MEMBERNOTFOUND;
  if (params.cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params.cArgs != 0) return DISP_E_BADPARAMCOUNT;
  Variant answer = platform::win32::ToVariant(Value(ToUtf8(name)));
  if (result != nullptr) {
    ::VariantInit(result);
    HandOut(std::move(answer), result);
  }
  return S_OK;
}

// What ADsOpenObject makes from the registered class.
class NamespaceObject final : public ComObject<NamespaceObject, IADsOpenDSObject> {
 public:
  void* Find(REFIID iid) noexcept {
    return iid == IID_IDispatch || iid == IID_IADsOpenDSObject ? static_cast<IADsOpenDSObject*>(this) : nullptr;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override {
    for (UINT i = 0; ids != nullptr && i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  // The credentials do not matter: the local metabase is the file's, and the file system
  // decides who may read and write it.
  HRESULT STDMETHODCALLTYPE OpenDSObject(BSTR path, BSTR, BSTR, LONG, IDispatch** out) override {
    return BindDirectoryObject(path, out);
  }
};

}  // namespace

HRESULT BindDirectoryObject(const wchar_t* adsPath, IDispatch** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  return Run([&] {
    std::wstring path = adsPath == nullptr ? std::wstring() : std::wstring(adsPath);
    while (path.size() > 6 && path.back() == L'/') path.pop_back();
    const std::wstring file = MetabaseFile();
    // Told apart from a missing key, which callers take as an answer.
    if (::GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
      Raise(kFileNotFound, "The metabase file " + ToUtf8(file) + " cannot be found");
    }
    auto store = StoreFor(file);
    auto object = store->Bind(ToUtf8(path));
    *out = DirectoryObject::Wrap(std::move(store), std::move(object), std::move(path)).release()->Dispatch();
  }).hr;
}

HRESULT CreateNamespaceObject(REFIID iid, void** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  HRESULT hr = S_OK;
  const Outcome outcome = Run([&] {
    auto object = ComPtr<NamespaceObject>::Adopt(NamespaceObject::Make());
    hr = object->QueryInterface(iid, out);
  });
  return FAILED(outcome.hr) ? outcome.hr : hr;
}

}  // namespace tarnwell::standin::adsi
