#pragma once
// Owners for COM interface pointers, BSTR, VARIANT and SAFEARRAY, and the conversions
// between automation values and the metabase seam's values.
#include "platform/win32/win_api.h"
#include <oleauto.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/metabase.h"

namespace tarnwell::platform::win32 {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes over a reference the caller already holds.
  static ComPtr Adopt(T* p) noexcept {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  ~ComPtr() { reset(); }
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ComPtr(const ComPtr& other) noexcept : p_(other.p_) {
    if (p_ != nullptr) p_->AddRef();
  }
  ComPtr& operator=(const ComPtr& other) noexcept {
    if (this != &other) {
      if (other.p_ != nullptr) other.p_->AddRef();
      reset();
      p_ = other.p_;
    }
    return *this;
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // For out parameters: releases what is held first.
  T** put() noexcept {
    reset();
    return &p_;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
  // Hands the reference to the caller.
  T* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept {
    if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
  }
  // QueryInterface for another interface; an empty pointer and the failure code when
  // the object does not have it.
  template <typename U>
  HRESULT As(REFIID iid, ComPtr<U>& out) const noexcept {
    if (p_ == nullptr) return E_POINTER;
    return p_->QueryInterface(iid, out.put_void());
  }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  Bstr() = default;
  // Raises std::bad_alloc when the system cannot allocate the string.
  explicit Bstr(std::string_view utf8);
  static Bstr Adopt(BSTR b) noexcept {
    Bstr s;
    s.b_ = b;
    return s;
  }
  ~Bstr() { reset(); }
  Bstr(Bstr&& other) noexcept : b_(std::exchange(other.b_, nullptr)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    if (this != &other) {
      reset();
      b_ = std::exchange(other.b_, nullptr);
    }
    return *this;
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  BSTR get() const noexcept { return b_; }
  BSTR* put() noexcept {
    reset();
    return &b_;
  }
  BSTR release() noexcept { return std::exchange(b_, nullptr); }
  void reset() noexcept {
    if (b_ != nullptr) ::SysFreeString(std::exchange(b_, nullptr));
  }
  std::string Utf8() const;

 private:
  BSTR b_ = nullptr;
};

class Variant {
 public:
  Variant() noexcept { ::VariantInit(&v_); }
  ~Variant() { ::VariantClear(&v_); }
  Variant(Variant&& other) noexcept : v_(other.v_) { ::VariantInit(&other.v_); }
  Variant& operator=(Variant&& other) noexcept {
    if (this != &other) {
      ::VariantClear(&v_);
      v_ = other.v_;
      ::VariantInit(&other.v_);
    }
    return *this;
  }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  VARIANT* get() noexcept { return &v_; }
  const VARIANT* get() const noexcept { return &v_; }
  // For out parameters: clears what is held first.
  VARIANT* put() noexcept {
    ::VariantClear(&v_);
    return &v_;
  }

 private:
  VARIANT v_;
};

class SafeArray {
 public:
  explicit SafeArray(SAFEARRAY* a = nullptr) noexcept : a_(a) {}
  ~SafeArray() {
    if (a_ != nullptr) ::SafeArrayDestroy(a_);
  }
  SafeArray(const SafeArray&) = delete;
  SafeArray& operator=(const SafeArray&) = delete;
  SAFEARRAY* get() const noexcept { return a_; }
  SAFEARRAY* release() noexcept { return std::exchange(a_, nullptr); }

 private:
  SAFEARRAY* a_;
};

// "0x80070003 The system cannot find the path specified." (the system's text when it has one).
std::string HresultText(HRESULT hr);

// A text as a VT_BSTR; an array as a one-dimensional SAFEARRAY of VARIANT holding BSTRs.
Variant ToVariant(const MetabaseValue& value);
// A VT_BSTR (or any value that converts to text) as one text; a one-dimensional array as
// its elements' texts, in index order; empty and null as an empty text. Raises
// MetabaseError (kErrFail) for a value that has no text form; what names the value.
MetabaseValue FromVariant(const VARIANT& value, std::string_view what);

}  // namespace tarnwell::platform::win32
