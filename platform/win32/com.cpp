#include "platform/win32/com.h"

#include <cstdio>
#include <new>
#include <vector>

#include "platform/win32/text.h"

namespace tarnwell::platform::win32 {

Bstr::Bstr(std::string_view utf8) {
  const std::wstring wide = FromUtf8(utf8);
  b_ = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (b_ == nullptr) throw std::bad_alloc();
}

std::string Bstr::Utf8() const {
  if (b_ == nullptr) return {};
  return ToUtf8(std::wstring_view(b_, ::SysStringLen(b_)));
}

std::string HresultText(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  std::string text = code;
  wchar_t* message = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&message), 0, nullptr);
  if (n > 0 && message != nullptr) {
    std::wstring_view view(message, n);
    while (!view.empty() && (view.back() == L'\r' || view.back() == L'\n' || view.back() == L' ')) {
      view.remove_suffix(1);
    }
    if (!view.empty()) text += " " + ToUtf8(view);
  }
  if (message != nullptr) ::LocalFree(message);
  return text;
}

namespace {

[[noreturn]] void RaiseNoText(std::string_view what, VARTYPE vt) {
  throw MetabaseError(kErrFail, std::string(what) + " gave a value that is not text (variant type " +
                                    std::to_string(vt) + ")");
}

// One value as text: BSTR as is, empty and null as "", anything else through the
// system's conversion with invariant formatting.
std::string ScalarText(const VARIANT& value, std::string_view what) {
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return {};
    case VT_BSTR:
      return value.bstrVal == nullptr ? std::string()
                                      : ToUtf8(std::wstring_view(value.bstrVal, ::SysStringLen(value.bstrVal)));
    default: {
      Variant text;
      if (FAILED(::VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_BSTR)) ||
          text.get()->vt != VT_BSTR) {
        RaiseNoText(what, value.vt);
      }
      return ScalarText(*text.get(), what);
    }
  }
}

std::vector<std::string> ArrayTexts(SAFEARRAY* array, VARTYPE elementType, std::string_view what) {
  std::vector<std::string> texts;
  if (array == nullptr) return texts;
  if (::SafeArrayGetDim(array) != 1) {
    throw MetabaseError(kErrFail, std::string(what) + " gave an array of more than one dimension");
  }
  LONG lower = 0, upper = -1;
  if (FAILED(::SafeArrayGetLBound(array, 1, &lower)) || FAILED(::SafeArrayGetUBound(array, 1, &upper))) {
    throw MetabaseError(kErrFail, std::string(what) + " gave an array whose bounds cannot be read");
  }
  if (upper < lower) return texts;
  for (LONG i = lower;; ++i) {
    Variant element;
    HRESULT hr = S_OK;
    if (elementType == VT_VARIANT) {
      hr = ::SafeArrayGetElement(array, &i, element.put());
    } else if (elementType == VT_BSTR) {
      BSTR b = nullptr;
      hr = ::SafeArrayGetElement(array, &i, &b);
      if (SUCCEEDED(hr)) {
        element.get()->vt = VT_BSTR;
        element.get()->bstrVal = b;
      }
    } else {
      RaiseNoText(what, static_cast<VARTYPE>(VT_ARRAY | elementType));
    }
    if (FAILED(hr)) throw MetabaseError(static_cast<std::uint32_t>(hr), std::string(what) + ": " + HresultText(hr));
    texts.push_back(ScalarText(*element.get(), what));
    if (i == upper) break;
  }
  return texts;
}

}  // namespace

Variant ToVariant(const MetabaseValue& value) {
  Variant result;
  if (const auto* text = std::get_if<std::string>(&value)) {
    Bstr b(*text);
    result.get()->vt = VT_BSTR;
    result.get()->bstrVal = b.release();
    return result;
  }
  const auto& texts = std::get<platform::MetabaseList>(value);
  SafeArray array(::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(texts.size())));
  if (array.get() == nullptr) throw std::bad_alloc();
  for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
    Variant element = ToVariant(std::string(texts[static_cast<std::size_t>(i)]));
    const HRESULT hr = ::SafeArrayPutElement(array.get(), &i, element.get());  // copies
    if (FAILED(hr)) throw MetabaseError(static_cast<std::uint32_t>(hr), "Cannot build an array: " + HresultText(hr));
  }
  result.get()->vt = VT_ARRAY | VT_VARIANT;
  result.get()->parray = array.release();
  return result;
}

MetabaseValue FromVariant(const VARIANT& value, std::string_view what) {
  if ((value.vt & VT_ARRAY) != 0 && (value.vt & VT_BYREF) == 0) {
    return ArrayTexts(value.parray, static_cast<VARTYPE>(value.vt & VT_TYPEMASK), what);
  }
  if (value.vt == (VT_BYREF | VT_VARIANT) && value.pvarVal != nullptr) return FromVariant(*value.pvarVal, what);
  return ScalarText(value, what);
}

}  // namespace tarnwell::platform::win32
