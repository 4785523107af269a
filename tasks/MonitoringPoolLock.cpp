#include "tasks/MonitoringPoolLock.h"

#include <cerrno>
#include <string_view>
#include <system_error>

#include "platform/files/utf8_path.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace tarnwell {

namespace {

constexpr std::string_view kWindowTag = "window";
constexpr std::string_view kServiceTag = "service";

std::string_view TagOf(MonitorHolder holder) { return holder == MonitorHolder::Service ? kServiceTag : kWindowTag; }

std::optional<MonitorHolder> HolderFromText(std::string_view text) {
  if (text.starts_with(kServiceTag)) return MonitorHolder::Service;
  if (text.starts_with(kWindowTag)) return MonitorHolder::Window;
  return std::nullopt;  // being written, or written by nobody yet
}

}  // namespace

std::string MonitoredElsewhereText(std::optional<MonitorHolder> other, const std::string& logDir) {
  const std::string where = "its figures are in " + logDir + "trnw-mon-ddmmyy.log";
  if (other == MonitorHolder::Service) {
    return "The Tarnwell service is monitoring on this server; " + where +
           ". The window does not monitor while the service runs.";
  }
  if (other == MonitorHolder::Window) return "Another Tarnwell window is monitoring into this log folder; " + where + ".";
  return "Another Tarnwell is monitoring into this log folder; " + where + ".";
}

#ifdef _WIN32
MonitoringLock::MonitoringLock(const std::string& logDir, MonitorHolder holder) {
  const std::string path = logDir + kMonitoringLockFile;
  const std::wstring wide = platform::PathFromUtf8(path).wstring();
  // Write access shared with readers only: a second writer is refused, and anyone may read
  // who the holder is.
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    if (err != ERROR_SHARING_VIOLATION) throw std::system_error(static_cast<int>(err), std::system_category(), path);
    HANDLE r = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (r != INVALID_HANDLE_VALUE) {
      char text[16] = {};
      DWORD got = 0;
      if (::ReadFile(r, text, sizeof text, &got, nullptr)) other_ = HolderFromText(std::string_view(text, got));
      ::CloseHandle(r);
    }
    return;
  }
  handle_ = h;
  held_ = true;
  const std::string tag = std::string(TagOf(holder)) + " " + std::to_string(::GetCurrentProcessId()) + "\r\n";
  DWORD wrote = 0;
  // The tag only names the holder for a refused Start: the lock holds without it.
  if (::SetEndOfFile(h)) ::WriteFile(h, tag.data(), static_cast<DWORD>(tag.size()), &wrote, nullptr);
}

MonitoringLock::~MonitoringLock() {
  if (handle_ != nullptr) ::CloseHandle(static_cast<HANDLE>(handle_));
}
#else
MonitoringLock::MonitoringLock(const std::string& logDir, MonitorHolder holder) {
  const std::string path = logDir + kMonitoringLockFile;
  platform::FileDescriptor fd;
  do {
    fd = platform::FileDescriptor(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  } while (!fd.IsOpen() && errno == EINTR);
  if (!fd.IsOpen()) throw std::system_error(errno, std::generic_category(), path);
  int rc;
  do {
    rc = ::flock(fd.Get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno != EWOULDBLOCK) throw std::system_error(errno, std::generic_category(), path);
    char text[16] = {};
    const ssize_t got = ::pread(fd.Get(), text, sizeof text, 0);
    if (got > 0) other_ = HolderFromText(std::string_view(text, static_cast<std::size_t>(got)));
    return;
  }
  held_ = true;
  const std::string tag = std::string(TagOf(holder)) + " " + std::to_string(::getpid()) + "\n";
  // The tag only names the holder for a refused Start: the lock holds without it.
  if (::ftruncate(fd.Get(), 0) == 0) platform::WriteAll(fd.Get(), tag);
  fd_ = std::move(fd);
}

MonitoringLock::~MonitoringLock() = default;
#endif

}  // namespace tarnwell
