#pragma once
// Owners for the kernel objects and system memory the Windows seams take.
#include "platform/win32/win_api.h"

#include <cstddef>
#include <utility>

namespace tarnwell::platform::win32 {

// A kernel handle closed with CloseHandle. Holds null for "none"; an
// INVALID_HANDLE_VALUE given to it is stored as null (toolhelp uses that for failure).
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) noexcept : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.h_, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != nullptr; }
  HANDLE release() noexcept { return std::exchange(h_, nullptr); }
  void reset(HANDLE h = nullptr) noexcept {
    if (h_ != nullptr) ::CloseHandle(h_);
    h_ = (h == INVALID_HANDLE_VALUE) ? nullptr : h;
  }

 private:
  HANDLE h_ = nullptr;
};

// A block reserved and committed with VirtualAlloc, released with VirtualFree.
class VirtualBlock {
 public:
  VirtualBlock() = default;
  // Reserves and commits size bytes, read-write; empty when the system refuses.
  static VirtualBlock Allocate(std::size_t size) noexcept {
    VirtualBlock b;
    b.p_ = ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    b.size_ = b.p_ != nullptr ? size : 0;
    return b;
  }
  ~VirtualBlock() { reset(); }
  VirtualBlock(VirtualBlock&& other) noexcept
      : p_(std::exchange(other.p_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  VirtualBlock& operator=(VirtualBlock&& other) noexcept {
    if (this != &other) {
      reset();
      p_ = std::exchange(other.p_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  VirtualBlock(const VirtualBlock&) = delete;
  VirtualBlock& operator=(const VirtualBlock&) = delete;

  void* data() const noexcept { return p_; }
  std::size_t size() const noexcept { return size_; }  // bytes
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept {
    if (p_ != nullptr) ::VirtualFree(p_, 0, MEM_RELEASE);
    p_ = nullptr;
    size_ = 0;
  }

 private:
  void* p_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace tarnwell::platform::win32
