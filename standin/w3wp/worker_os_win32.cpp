#ifdef _WIN32
#include "standin/w3wp/worker_os.h"

#include <winsock2.h>

#include "platform/win32/win_api.h"
#include <shellapi.h>

#include <algorithm>
#include <atomic>

#include "platform/win32/com.h"
#include "platform/win32/text.h"
#include "platform/win32/win_handles.h"

namespace tarnwell::standin::worker_os {

using platform::win32::FromUtf8;
using platform::win32::ToUtf8;
using platform::win32::UniqueHandle;
using platform::win32::VirtualBlock;

namespace {

std::string ErrorText(DWORD error) { return platform::win32::HresultText(HRESULT_FROM_WIN32(error)); }

class HeldHandle final : public HeldResource {
 public:
  explicit HeldHandle(UniqueHandle h) : h_(std::move(h)) {}

 private:
  UniqueHandle h_;
};

class HeldBlock final : public HeldResource {
 public:
  explicit HeldBlock(VirtualBlock block) : block_(std::move(block)) {}

 private:
  VirtualBlock block_;
};

// Winsock for the life of the process, started by the first listener.
class Winsock {
 public:
  Winsock() {
    WSADATA data{};
    error_ = ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~Winsock() {
    if (error_ == 0) ::WSACleanup();
  }
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;
  int Error() const { return error_; }

 private:
  int error_;
};

class HeldSocket final : public HeldResource {
 public:
  explicit HeldSocket(SOCKET s) : s_(s) {}
  ~HeldSocket() override { ::closesocket(s_); }
  HeldSocket(const HeldSocket&) = delete;
  HeldSocket& operator=(const HeldSocket&) = delete;

 private:
  SOCKET s_;
};

}  // namespace

std::int64_t ThreadCpuNs() {
  // Counted in clock ticks (10 to 16 ms), so a small share burns up to a tick more a period.
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  const auto ticks = [](const FILETIME& t) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) * 100;
}

std::int64_t PhysicalMemoryMB() {
  // What this process can address counts too: a 32-bit worker has 2 GB whatever the machine.
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!::GlobalMemoryStatusEx(&status)) return 0;
  return static_cast<std::int64_t>(std::min(status.ullTotalPhys, status.ullTotalVirtual) >> 20);
}

std::unique_ptr<HeldResource> HoldMemory(std::size_t bytes, std::string& why) {
  VirtualBlock block = VirtualBlock::Allocate(bytes);
  if (!block) {
    why = ErrorText(::GetLastError());
    return nullptr;
  }
  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  auto* base = static_cast<volatile char*>(block.data());
  for (std::size_t off = 0; off < bytes; off += system.dwPageSize) base[off] = 1;
  return std::make_unique<HeldBlock>(std::move(block));
}

std::unique_ptr<HeldResource> HoldFile(const std::string& directory, std::string& why) {
  static std::atomic<unsigned> counter{0};
  const std::wstring prefix = FromUtf8(directory) + L"\\w3wp-" + std::to_wstring(::GetCurrentProcessId()) + L"-";
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    const std::wstring path = prefix + std::to_wstring(counter++) + L".tmp";
    // Deleted by the system when its handle closes, also when the worker is ended.
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (file) return std::make_unique<HeldHandle>(std::move(file));
    error = ::GetLastError();
  }
  why = ErrorText(error);
  return nullptr;
}

std::unique_ptr<HeldResource> HoldListener(std::string& why) {
  static const Winsock winsock;
  if (winsock.Error() != 0) {
    why = "Winsock: " + ErrorText(static_cast<DWORD>(winsock.Error()));
    return nullptr;
  }
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    why = ErrorText(static_cast<DWORD>(::WSAGetLastError()));
    return nullptr;
  }
  auto held = std::make_unique<HeldSocket>(s);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 16) != 0) {
    why = ErrorText(static_cast<DWORD>(::WSAGetLastError()));
    return nullptr;
  }
  return held;
}

std::string FileDirectory(std::string& note) {
  std::wstring temp(MAX_PATH + 1, L'\0');
  const DWORD n = ::GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
  temp.resize(n < temp.size() ? n : 0);
  while (!temp.empty() && (temp.back() == L'\\' || temp.back() == L'/')) temp.pop_back();
  if (!temp.empty()) return ToUtf8(temp);
  note = "no temporary folder; using the current one";
  return ".";
}

// The service's job object ends the worker with it.
bool DieWithStarter() { return true; }

std::size_t ReadInput(char* buffer, std::size_t size) {
  DWORD n = 0;
  if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, static_cast<DWORD>(size), &n, nullptr)) return 0;
  return n;
}

void WriteOutput(std::string_view text) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  while (!text.empty()) {
    DWORD n = 0;
    if (!::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) || n == 0) return;
    text.remove_prefix(n);
  }
}

void WaitToBeEnded() {
  for (;;) ::Sleep(INFINITE);
}

}  // namespace tarnwell::standin::worker_os
#endif
