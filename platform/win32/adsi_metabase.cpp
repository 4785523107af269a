#include "platform/win32/adsi_metabase.h"

#include <iads.h>
#include <adshlp.h>

#include <initializer_list>
#include <vector>

#include "platform/win32/com.h"
#include "platform/win32/text.h"

namespace tarnwell::platform::win32 {

namespace {

constexpr LONG kAdsPropertyClear = 1;  // ADS_PROPERTY_CLEAR
constexpr LONG kIisAnyProperty = 0;    // GetDataPaths: inheritable or not
constexpr HRESULT kMdErrorDataNotFound = static_cast<HRESULT>(0x800CC801);

// The part of an ADSI or metabase path that names the key, for comparing paths: no
// "IIS://machine" or "/LM" in front, ASCII lower case, no closing "/".
std::string KeyPart(std::string_view path) {
  std::string lower(path);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::string_view key = lower;
  if (key.starts_with("iis://")) {
    const auto slash = key.find('/', 6);
    key = slash == std::string_view::npos ? std::string_view() : key.substr(slash);
  } else if (key.starts_with("/lm")) {
    key.remove_prefix(3);
  }
  while (key.ends_with('/')) key.remove_suffix(1);
  return std::string(key);
}

[[noreturn]] void Raise(HRESULT hr, const std::string& what) {
  throw MetabaseError(static_cast<std::uint32_t>(hr), what + " failed: " + HresultText(hr));
}

// A member called late-bound by name, arguments in their natural order; the method's
// result. A failure raises with the provider's own code when it reports one.
Variant InvokeByName(IDispatch* object, const wchar_t* member, std::initializer_list<const VARIANT*> args,
                     const std::string& what) {
  if (object == nullptr) Raise(E_POINTER, what);
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(member)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) Raise(hr, what);

  // DISPPARAMS lists the arguments last first. The copies are shallow: Invoke does not
  // take ownership of its arguments.
  std::vector<VARIANTARG> reversed;
  reversed.reserve(args.size());
  for (auto it = args.end(); it != args.begin();) reversed.push_back(**--it);
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};

  Variant result;
  EXCEPINFO info{};
  UINT argError = 0;
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.put(), &info, &argError);
  if (hr == DISP_E_EXCEPTION) {
    if (info.pfnDeferredFillIn != nullptr) info.pfnDeferredFillIn(&info);
    const Bstr source = Bstr::Adopt(info.bstrSource);
    const Bstr description = Bstr::Adopt(info.bstrDescription);
    const Bstr helpFile = Bstr::Adopt(info.bstrHelpFile);
    const HRESULT code = FAILED(info.scode) ? info.scode : hr;
    std::string message = what + " failed: " + HresultText(code);
    if (const std::string text = description.Utf8(); !text.empty()) message += " (" + text + ")";
    throw MetabaseError(static_cast<std::uint32_t>(code), message);
  }
  if (FAILED(hr)) Raise(hr, what);
  return result;
}

class AdsiObject;

class AdsiEnumerator final : public IMetabaseEnumerator {
 public:
  // direct: the enumerator came from get__NewEnum, not ADsBuildEnumerator.
  AdsiEnumerator(ComPtr<IEnumVARIANT> items, std::string parent, bool direct)
      : items_(std::move(items)), parent_(std::move(parent)), direct_(direct) {}
  bool Next(std::unique_ptr<IMetabaseObject>& child) override;

 private:
  ComPtr<IEnumVARIANT> items_;
  std::string parent_;
  bool direct_;
};

// What ADsBuildEnumerator does on Windows: the container's own enumerator, asked for
// IEnumVARIANT. Wine's activeds has ADsBuildEnumerator and ADsEnumerateNext only as stubs
// that answer E_NOTIMPL.
HRESULT BuildEnumeratorDirectly(IADsContainer* container, IEnumVARIANT** items) {
  IUnknown* unknown = nullptr;
  HRESULT hr = container->get__NewEnum(&unknown);
  if (FAILED(hr)) return hr;
  if (unknown == nullptr) return E_POINTER;
  hr = unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(items));
  unknown->Release();
  return hr;
}

class AdsiObject final : public IMetabaseObject {
 public:
  AdsiObject(ComPtr<IDispatch> object, std::string path) : object_(std::move(object)), path_(std::move(path)) {}

  std::string Name() const override {
    ComPtr<IADs> ads;
    HRESULT hr = object_.As(IID_IADs, ads);
    if (FAILED(hr)) Raise(hr, "Name of [" + path_ + "]");
    Bstr name;
    hr = ads->get_Name(name.put());
    if (FAILED(hr)) Raise(hr, "Name of [" + path_ + "]");
    return name.Utf8();
  }

  MetabaseValue Get(std::string_view property) override {
    const std::string what = "\"Get\" of [" + std::string(property) + "] on [" + path_ + "]";
    const Variant name = ToVariant(std::string(property));
    const Variant value = InvokeByName(object_.get(), L"Get", {name.get()}, what);
    return FromVariant(*value.get(), what);
  }

  void Put(std::string_view property, const MetabaseValue& value) override {
    const Variant name = ToVariant(std::string(property));
    const Variant argument = ToVariant(value);
    InvokeByName(object_.get(), L"Put", {name.get(), argument.get()},
                 "\"Put\" of [" + std::string(property) + "] on [" + path_ + "]");
  }

  void Clear(std::string_view property) override {
    Variant control;
    control.get()->vt = VT_I4;
    control.get()->lVal = kAdsPropertyClear;
    const Variant name = ToVariant(std::string(property));
    const Variant nothing;
    InvokeByName(object_.get(), L"PutEx", {control.get(), name.get(), nothing.get()},
                 "\"PutEx\" clearing [" + std::string(property) + "] on [" + path_ + "]");
  }

  bool HasOwnValue(std::string_view property) override {
    const std::string what = "\"GetDataPaths\" of [" + std::string(property) + "] on [" + path_ + "]";
    Variant flag;
    flag.get()->vt = VT_I4;
    flag.get()->lVal = kIisAnyProperty;
    const Variant name = ToVariant(std::string(property));
    Variant paths;
    try {
      paths = InvokeByName(object_.get(), L"GetDataPaths", {name.get(), flag.get()}, what);
    } catch (const MetabaseError& e) {
      // Set nowhere at or below the key.
      if (e.code() == static_cast<std::uint32_t>(kMdErrorDataNotFound)) return false;
      throw;
    }
    // The key and the keys below it that set the property: the key's own path among them.
    const MetabaseValue found = FromVariant(*paths.get(), what);
    const std::string own = KeyPart(path_);
    if (const auto* one = std::get_if<std::string>(&found)) return KeyPart(*one) == own;
    for (std::string_view path : std::get<MetabaseList>(found)) {
      if (KeyPart(path) == own) return true;
    }
    return false;
  }

  void SetInfo() override { InvokeByName(object_.get(), L"SetInfo", {}, "\"SetInfo\" on [" + path_ + "]"); }

  MetabaseValue EnumAppsInPool() override {
    const std::string what = "\"EnumAppsInPool\" on [" + path_ + "]";
    // Only a pool has the interface; its method is called late-bound through it.
    ComPtr<IDispatch> pool;
    const HRESULT hr = object_.As(kIidIisApplicationPool, pool);
    if (FAILED(hr)) Raise(hr, what);
    const Variant apps = InvokeByName(pool.get(), L"EnumAppsInPool", {}, what);
    return FromVariant(*apps.get(), what);
  }

  std::unique_ptr<IMetabaseObject> Create(std::string_view className, std::string_view name) override {
    const std::string what = "\"Create\" of [" + std::string(name) + "] in [" + path_ + "]";
    ComPtr<IADsContainer> container = Container(what);
    const Bstr cls(className), rdn(name);
    ComPtr<IDispatch> created;
    const HRESULT hr = container->Create(cls.get(), rdn.get(), created.put());
    if (FAILED(hr)) Raise(hr, what);
    return std::make_unique<AdsiObject>(std::move(created), ChildPath(name));
  }

  void Delete(std::string_view className, std::string_view name) override {
    const std::string what = "\"Delete\" of [" + std::string(name) + "] in [" + path_ + "]";
    ComPtr<IADsContainer> container = Container(what);
    const Bstr cls(className), rdn(name);
    const HRESULT hr = container->Delete(cls.get(), rdn.get());
    if (FAILED(hr)) Raise(hr, what);
  }

  std::unique_ptr<IMetabaseObject> GetObject(std::string_view className, std::string_view name) override {
    const std::string what = "GetObject of [" + std::string(name) + "] in [" + path_ + "]";
    ComPtr<IADsContainer> container = Container(what);
    const Bstr cls(className), rdn(name);
    ComPtr<IDispatch> found;
    const HRESULT hr = container->GetObject(cls.get(), rdn.get(), found.put());
    if (FAILED(hr)) Raise(hr, what);
    if (!found) Raise(E_POINTER, what);
    return std::make_unique<AdsiObject>(std::move(found), ChildPath(name));
  }

  std::unique_ptr<IMetabaseEnumerator> Enumerate() override {
    const std::string what = "Enumeration of [" + path_ + "]";
    ComPtr<IADsContainer> container = Container(what);
    IEnumVARIANT* items = nullptr;
    HRESULT hr = ::ADsBuildEnumerator(container.get(), &items);
    const bool direct = hr == E_NOTIMPL;
    if (direct) hr = BuildEnumeratorDirectly(container.get(), &items);
    if (FAILED(hr)) Raise(hr, what);
    if (items == nullptr) Raise(E_POINTER, what);
    return std::make_unique<AdsiEnumerator>(ComPtr<IEnumVARIANT>::Adopt(items), path_, direct);
  }

 private:
  ComPtr<IADsContainer> Container(const std::string& what) const {
    ComPtr<IADsContainer> container;
    const HRESULT hr = object_.As(IID_IADsContainer, container);
    if (FAILED(hr)) Raise(hr, what);
    return container;
  }
  std::string ChildPath(std::string_view name) const { return path_ + "/" + std::string(name); }

  ComPtr<IDispatch> object_;
  std::string path_;
};

bool AdsiEnumerator::Next(std::unique_ptr<IMetabaseObject>& child) {
  child.reset();
  Variant item;
  ULONG fetched = 0;
  const HRESULT hr =
      direct_ ? items_->Next(1, item.put(), &fetched) : ::ADsEnumerateNext(items_.get(), 1, item.put(), &fetched);
  if (FAILED(hr)) Raise(hr, "Enumeration of [" + parent_ + "]");
  if (fetched == 0) return false;
  if (item.get()->vt != VT_DISPATCH || item.get()->pdispVal == nullptr) return true;
  // Only directory objects become children; anything else is skipped by the caller.
  ComPtr<IADs> ads;
  IDispatch* object = item.get()->pdispVal;
  if (FAILED(object->QueryInterface(IID_IADs, ads.put_void()))) return true;
  Bstr name;
  std::string path = parent_ + "/";
  if (SUCCEEDED(ads->get_Name(name.put()))) path += name.Utf8();
  object->AddRef();
  child = std::make_unique<AdsiObject>(ComPtr<IDispatch>::Adopt(object), std::move(path));
  return true;
}

class AdsiMetabase final : public IMetabase {
 public:
  std::unique_ptr<IMetabaseObject> Bind(std::string_view adsPath) override {
    const std::string path(adsPath);
    const std::wstring wide = FromUtf8(adsPath);
    ComPtr<IDispatch> object;
    const HRESULT hr = ::ADsGetObject(wide.c_str(), IID_IDispatch, object.put_void());
    if (FAILED(hr)) Raise(hr, "Binding [" + path + "]");
    if (!object) Raise(E_POINTER, "Binding [" + path + "]");
    return std::make_unique<AdsiObject>(std::move(object), path);
  }
};

}  // namespace

std::unique_ptr<IMetabase> OpenAdsiMetabase() { return std::make_unique<AdsiMetabase>(); }

std::unique_ptr<IMetabaseObject> WrapAdsiObject(IDispatch* object, std::string path) {
  if (object != nullptr) object->AddRef();
  return std::make_unique<AdsiObject>(ComPtr<IDispatch>::Adopt(object), std::move(path));
}

}  // namespace tarnwell::platform::win32
