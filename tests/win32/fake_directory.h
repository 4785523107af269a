#pragma once
// A directory object of the IIS provider's shape, for the ADSI seam's tests: IADs with
// late-bound "Get", "Put", "PutEx", "SetInfo", "EnumAppsInPool" and "GetDataPaths", and
// IADsContainer with
// GetObject, Create, Delete and enumeration. The test owns every node; COM references
// are only counted, so a test can check that the seam gives back every one it takes.
#include "platform/win32/win_api.h"
#include <ole2.h>
#include <iads.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/metabase.h"
#include "platform/win32/adsi_metabase.h"
#include "platform/win32/com.h"
#include "platform/win32/text.h"

namespace tarnwell::tests {

class FakeDirectory;

inline constexpr HRESULT kPathNotFound = static_cast<HRESULT>(platform::kErrPathNotFound);

// COM references only counted: the test owns the object.
template <typename... Interfaces>
class Counted : public Interfaces... {
 public:
  long refs = 0;
  ULONG WINAPI AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG WINAPI Release() override { return static_cast<ULONG>(--refs); }
};

class FakeNode final : public Counted<IADs, IADsContainer> {
 public:
  FakeNode(FakeDirectory& owner, std::wstring name, bool isPool, bool isDirectoryObject = true)
      : owner_(owner), name_(std::move(name)), isPool_(isPool), isDirectoryObject_(isDirectoryObject) {}

  std::map<std::wstring, platform::MetabaseValue> properties;  // saved
  std::map<std::wstring, platform::MetabaseValue> staged;      // Put, not yet SetInfo
  std::vector<std::wstring> cleared;                           // PutEx clear, not yet SetInfo
  // What GetDataPaths gives: this key's ADsPath as IIS spells it when it holds the property,
  // then the keys below it that hold it.
  std::wstring adsPath;
  std::vector<std::string> pathsBelow;
  std::vector<std::string> apps;
  std::vector<FakeNode*> children;
  std::vector<std::wstring> calls;  // late-bound members called, in order

  IDispatch* AsDispatch() { return static_cast<IADs*>(this); }

  // IUnknown
  HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || (iid == IID_IADs && isDirectoryObject_) ||
        (iid == platform::win32::kIidIisApplicationPool && isPool_)) {
      *out = static_cast<IADs*>(this);
    } else if (iid == IID_IADsContainer && isDirectoryObject_) {
      *out = static_cast<IADsContainer*>(this);
    } else {
      return E_NOINTERFACE;
    }
    ++refs;
    return S_OK;
  }

  // IDispatch: late binding by name only.
  HRESULT WINAPI GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
  HRESULT WINAPI GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT WINAPI GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static const wchar_t* const members[] = {L"Get", L"Put", L"SetInfo", L"EnumAppsInPool", L"PutEx", L"GetDataPaths"};
    if (count != 1) return E_INVALIDARG;
    ids[0] = DISPID_UNKNOWN;
    for (DISPID i = 0; i < 6; ++i) {
      if (_wcsicmp(names[0], members[i]) == 0) ids[0] = i + 1;
    }
    return ids[0] == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
  }
  HRESULT WINAPI Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* info,
                        UINT*) override;

  // IADs
  HRESULT WINAPI get_Name(BSTR* out) override { return *out = ::SysAllocString(name_.c_str()), S_OK; }
  HRESULT WINAPI get_Class(BSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_GUID(BSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_ADsPath(BSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_Parent(BSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_Schema(BSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI GetInfo() override { return E_NOTIMPL; }
  HRESULT WINAPI SetInfo() override { return E_NOTIMPL; }  // the seam calls it late-bound
  HRESULT WINAPI Get(BSTR, VARIANT*) override { return E_NOTIMPL; }
  HRESULT WINAPI Put(BSTR, VARIANT) override { return E_NOTIMPL; }
  HRESULT WINAPI GetEx(BSTR, VARIANT*) override { return E_NOTIMPL; }
  HRESULT WINAPI PutEx(LONG, BSTR, VARIANT) override { return E_NOTIMPL; }
  HRESULT WINAPI GetInfoEx(VARIANT, LONG) override { return E_NOTIMPL; }

  // IADsContainer
  HRESULT WINAPI get_Count(LONG* n) override { return *n = static_cast<LONG>(children.size()), S_OK; }
  HRESULT WINAPI get__NewEnum(IUnknown** out) override;
  HRESULT WINAPI get_Filter(VARIANT*) override { return E_NOTIMPL; }
  HRESULT WINAPI put_Filter(VARIANT) override { return E_NOTIMPL; }
  HRESULT WINAPI get_Hints(VARIANT*) override { return E_NOTIMPL; }
  HRESULT WINAPI put_Hints(VARIANT) override { return E_NOTIMPL; }
  HRESULT WINAPI GetObject(BSTR, BSTR name, IDispatch** out) override {
    *out = nullptr;
    const auto child = FindChild(name);
    if (child == children.end()) return kPathNotFound;
    *out = (*child)->AsDispatch();
    (*out)->AddRef();
    return S_OK;
  }
  HRESULT WINAPI Create(BSTR className, BSTR name, IDispatch** out) override;
  HRESULT WINAPI Delete(BSTR, BSTR name) override {
    const auto child = FindChild(name);
    if (child == children.end()) return kPathNotFound;
    children.erase(child);
    return S_OK;
  }
  HRESULT WINAPI CopyHere(BSTR, BSTR, IDispatch**) override { return E_NOTIMPL; }
  HRESULT WINAPI MoveHere(BSTR, BSTR, IDispatch**) override { return E_NOTIMPL; }

  std::vector<FakeNode*>::iterator FindChild(const wchar_t* name) {
    return std::find_if(children.begin(), children.end(),
                        [&](FakeNode* child) { return _wcsicmp(child->name_.c_str(), name) == 0; });
  }

 private:
  FakeDirectory& owner_;
  std::wstring name_;
  bool isPool_;
  bool isDirectoryObject_;
};

// The enumerator get__NewEnum hands out: the children as VT_DISPATCH, plus one item that
// is no object at all.
class FakeEnum final : public Counted<IEnumVARIANT> {
 public:
  explicit FakeEnum(std::vector<FakeNode*> items) : items_(std::move(items)) {}

  HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IEnumVARIANT) return E_NOINTERFACE;
    *out = static_cast<IEnumVARIANT*>(this);
    ++refs;
    return S_OK;
  }
  HRESULT WINAPI Next(ULONG count, VARIANT* out, ULONG* fetched) override {
    ULONG n = 0;
    for (; n < count && next_ <= items_.size(); ++n, ++next_) {
      ::VariantInit(&out[n]);
      if (next_ == items_.size()) {  // the last item is a plain text
        out[n].vt = VT_BSTR;
        out[n].bstrVal = ::SysAllocString(L"not an object");
      } else {
        out[n].vt = VT_DISPATCH;
        out[n].pdispVal = items_[next_]->AsDispatch();
        out[n].pdispVal->AddRef();
      }
    }
    if (fetched != nullptr) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT WINAPI Skip(ULONG) override { return E_NOTIMPL; }
  HRESULT WINAPI Reset() override { return next_ = 0, S_OK; }
  HRESULT WINAPI Clone(IEnumVARIANT**) override { return E_NOTIMPL; }

 private:
  std::vector<FakeNode*> items_;
  std::size_t next_ = 0;
};

// Owns every node and enumerator of one test.
class FakeDirectory {
 public:
  FakeNode& Add(std::wstring name, bool isPool = false, bool isDirectoryObject = true) {
    nodes_.push_back(std::make_unique<FakeNode>(*this, std::move(name), isPool, isDirectoryObject));
    return *nodes_.back();
  }
  FakeEnum& AddEnum(std::vector<FakeNode*> items) {
    enums_.push_back(std::make_unique<FakeEnum>(std::move(items)));
    return *enums_.back();
  }
  // References still held by anyone; 0 once the seam has let go of everything.
  long OutstandingReferences() const {
    long n = 0;
    for (const auto& node : nodes_) n += node->refs;
    for (const auto& e : enums_) n += e->refs;
    return n;
  }

 private:
  std::vector<std::unique_ptr<FakeNode>> nodes_;
  std::vector<std::unique_ptr<FakeEnum>> enums_;
};

inline HRESULT FakeNode::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                EXCEPINFO* info, UINT*) {
  if ((flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
  auto text = [&](UINT i) {
    const VARIANT& v = params->rgvarg[i];
    return v.vt == VT_BSTR ? std::wstring(v.bstrVal, ::SysStringLen(v.bstrVal)) : std::wstring();
  };
  auto number = [&](UINT i) { return std::to_wstring(params->rgvarg[i].vt == VT_I4 ? params->rgvarg[i].lVal : -1); };
  auto fail = [&](std::uint32_t code, const wchar_t* description = nullptr) {
    *info = EXCEPINFO{};
    info->scode = static_cast<SCODE>(code);
    if (description != nullptr) info->bstrDescription = ::SysAllocString(description);
    return DISP_E_EXCEPTION;
  };
  auto answer = [&](const auto& value) { return ::VariantCopy(result, platform::win32::ToVariant(value).get()); };
  static constexpr UINT kArgs[] = {1, 2, 0, 0, 3, 2};  // Get, Put, SetInfo, EnumAppsInPool, PutEx, GetDataPaths
  if (id < 1 || id > 6) return DISP_E_MEMBERNOTFOUND;
  if (id != 4 && params->cArgs != kArgs[id - 1]) return DISP_E_BADPARAMCOUNT;
  switch (id) {
    case 1: {  // Get(name)
      calls.push_back(L"Get " + text(0));
      const auto found = properties.find(text(0));
      if (found == properties.end()) {
        return fail(platform::kErrPropertyNotFound, L"The directory property cannot be found in the cache.");
      }
      return answer(found->second);
    }
    case 2:  // Put(name, value): the arguments arrive last first
      calls.push_back(L"Put " + text(1));
      staged[text(1)] = platform::win32::FromVariant(params->rgvarg[0], "fake Put");
      return S_OK;
    case 3:  // SetInfo
      calls.push_back(L"SetInfo");
      for (auto& [k, v] : staged) properties[k] = v;
      for (const auto& k : cleared) properties.erase(k);
      staged.clear();
      cleared.clear();
      return S_OK;
    case 5:  // PutEx(control, name, value)
      calls.push_back(L"PutEx " + number(2) + L" " + text(1) + L" vt" + std::to_wstring(params->rgvarg[0].vt));
      if (number(2) != L"1") return E_NOTIMPL;  // ADS_PROPERTY_CLEAR only
      staged.erase(text(1));
      cleared.push_back(text(1));
      return S_OK;
    case 6: {  // GetDataPaths(name, flag)
      calls.push_back(L"GetDataPaths " + text(1) + L" " + number(0));
      std::vector<std::string> paths;
      if (properties.count(text(1)) != 0) paths.push_back(platform::win32::ToUtf8(adsPath));
      paths.insert(paths.end(), pathsBelow.begin(), pathsBelow.end());
      return paths.empty() ? fail(0x800CC801) : answer(paths);  // MD_ERROR_DATA_NOT_FOUND
    }
    default:  // EnumAppsInPool
      calls.push_back(L"EnumAppsInPool");
      return answer(apps);
  }
}

inline HRESULT FakeNode::get__NewEnum(IUnknown** out) {
  FakeEnum& e = owner_.AddEnum(children);
  *out = &e;
  e.AddRef();
  return S_OK;
}

inline HRESULT FakeNode::Create(BSTR, BSTR name, IDispatch** out) {
  if (FindChild(name) != children.end()) return static_cast<HRESULT>(platform::kErrAlreadyExists);
  children.push_back(&owner_.Add(name, true));
  *out = children.back()->AsDispatch();
  (*out)->AddRef();
  return S_OK;
}

}  // namespace tarnwell::tests
