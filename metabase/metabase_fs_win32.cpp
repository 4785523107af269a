#ifdef _WIN32
#include "metabase/metabase_fs.h"

#include <windows.h>
#undef GetObject  // <wingdi.h> would rename the metabase seam's member

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <limits>

#include "platform/files/os_file.h"
#include "platform/files/utf8_path.h"
#include "platform/metabase.h"

namespace tarnwell::standin::mbfs {

using platform::MetabaseError;

namespace {

// FILETIME ticks (100 ns) from 1601 to 1970.
constexpr std::int64_t kEpochTicks = 116444736000000000LL;
constexpr std::int64_t kTicksPerSecond = 10000000LL;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) {
      Reset();
      h_ = o.h_;
      o.h_ = INVALID_HANDLE_VALUE;
    }
    return *this;
  }
  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  // Closes now, reporting the close's own failure.
  bool Close() {
    const bool ok = !Valid() || ::CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }
  void Reset() {
    if (Valid()) ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_;
};

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
  std::string out(static_cast<std::size_t>(std::max(n, 0)), '\0');
  if (n > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  }
  return out;
}

// The system's words for an error code, without the trailing line break.
std::string ErrorText(DWORD err) {
  wchar_t* buf = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0,
      reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::wstring text = n > 0 && buf ? std::wstring(buf, n) : std::wstring();
  if (buf) ::LocalFree(buf);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                           text.back() == L'.')) {
    text.pop_back();
  }
  if (text.empty()) return "error " + std::to_string(err);
  return Narrow(text);
}

FileIdentity IdentityFromInfo(const BY_HANDLE_FILE_INFORMATION& info) {
  FileIdentity id;
  id.volume = info.dwVolumeSerialNumber;
  id.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  const std::int64_t ticks = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime);
  id.mtimeSec = (ticks - kEpochTicks) / kTicksPerSecond;
  id.mtimeNsec = ((ticks - kEpochTicks) % kTicksPerSecond) * 100;
  return id;
}

bool IdentityOfHandle(HANDLE h, FileIdentity& id) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return false;
  id = IdentityFromInfo(info);
  return true;
}

MetabaseError WriteError(const std::string& path, const std::string& what, DWORD err) {
  return MetabaseError(platform::kErrFail,
                       "Cannot save the metabase file " + path + " (" + what + "): " + ErrorText(err));
}

// A suffix no other save is using: not secret, only distinct (CREATE_NEW catches a clash).
std::wstring TempSuffix() {
  static std::atomic<std::uint32_t> counter{0};
  LARGE_INTEGER pc{};
  ::QueryPerformanceCounter(&pc);
  const std::uint64_t mix = (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 40) ^
                            static_cast<std::uint64_t>(pc.QuadPart) ^
                            (static_cast<std::uint64_t>(counter.fetch_add(1)) << 20);
  static constexpr wchar_t kDigits[] = L"0123456789abcdefghijklmnopqrstuvwxyz";
  std::wstring out = L".";
  std::uint64_t v = mix;
  for (int i = 0; i < 6; ++i) {
    out += kDigits[v % 36];
    v /= 36;
  }
  return out;
}

// Another program (a virus scanner, an indexer) may hold the file open for a moment.
bool Transient(DWORD err) { return err == ERROR_SHARING_VIOLATION || err == ERROR_ACCESS_DENIED || err == ERROR_LOCK_VIOLATION; }

}  // namespace

bool IdentityOf(const std::string& path, FileIdentity& id, std::string& why) {
  UniqueHandle h(::CreateFileW(platform::PathFromUtf8(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.Valid() || !IdentityOfHandle(h.Get(), id)) {
    why = ErrorText(::GetLastError());
    return false;
  }
  return true;
}

bool ReadWhole(const std::string& path, std::string& text, FileIdentity& id, std::string& why) {
  UniqueHandle h(::CreateFileW(platform::PathFromUtf8(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!h.Valid() || !IdentityOfHandle(h.Get(), id)) {
    why = ErrorText(::GetLastError());
    return false;
  }
  text.resize(static_cast<std::size_t>(std::max<std::int64_t>(id.size, 0)) + 1);
  std::size_t got = 0;
  for (;;) {
    if (got == text.size()) text.resize(text.size() * 2);
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(text.size() - got, 1u << 30));
    DWORD n = 0;
    if (!::ReadFile(h.Get(), text.data() + got, ask, &n, nullptr)) {
      why = ErrorText(::GetLastError());
      return false;
    }
    if (n == 0) break;
    got += n;
  }
  text.resize(got);
  return true;
}

bool RecentlyWritten(const FileIdentity& id) {
  constexpr std::int64_t kGranuleSeconds = 2;
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const std::int64_t ticks =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  return std::max(id.mtimeSec, id.ctimeSec) + kGranuleSeconds >= (ticks - kEpochTicks) / kTicksPerSecond;
}

bool IsSymbolicLink(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_symlink(std::filesystem::symlink_status(platform::PathFromUtf8(path), ec));
}

FileIdentity WriteReplacing(const std::string& path, const std::string& text) {
  const std::wstring target = platform::PathFromUtf8(path).native();
  std::wstring tempPath;
  UniqueHandle h;
  for (int attempt = 0; attempt < 100 && !h.Valid(); ++attempt) {
    tempPath = target + TempSuffix();
    h = UniqueHandle(::CreateFileW(tempPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.Valid() && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (!h.Valid()) throw WriteError(path, "create a temporary file", ::GetLastError());
  platform::NewFileGuard temp(tempPath);

  std::size_t done = 0;
  while (done < text.size()) {
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 30));
    DWORD n = 0;
    if (!::WriteFile(h.Get(), text.data() + done, ask, &n, nullptr)) throw WriteError(path, "write", ::GetLastError());
    done += n;
  }
  if (!::FlushFileBuffers(h.Get())) throw WriteError(path, "flush", ::GetLastError());
  FileIdentity id;
  if (!IdentityOfHandle(h.Get(), id)) throw WriteError(path, "file information", ::GetLastError());
  if (!h.Close()) throw WriteError(path, "close", ::GetLastError());

  // Keep the old file's attributes (read-only stays read-only, and then the move fails).
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    ::SetFileAttributesW(tempPath.c_str(), attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                         FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED));
  }
  // The write-through move is on disk, directory entry included, when it returns.
  DWORD err = ERROR_SUCCESS;
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (::MoveFileExW(tempPath.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      err = ERROR_SUCCESS;
      break;
    }
    err = ::GetLastError();
    if (!Transient(err) || (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))) break;
    ::Sleep(50);
  }
  if (err != ERROR_SUCCESS) throw WriteError(path, "replace", err);
  temp.Keep();
  // What the path shows now is what we wrote (every cooperating writer waits for our lock).
  std::string why;
  IdentityOf(path, id, why);
  return id;
}

// LockFileEx on the first byte: released when the handle closes.
struct FileLock::Impl {
  UniqueHandle h;
};

FileLock::FileLock(const std::string& path) : impl_(std::make_unique<Impl>()) {
  impl_->h = UniqueHandle(::CreateFileW(platform::PathFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                        kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!impl_->h.Valid()) {
    throw MetabaseError(platform::kErrFail, "Cannot open the lock file " + path + ": " + ErrorText(::GetLastError()));
  }
  OVERLAPPED at{};
  if (!::LockFileEx(impl_->h.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
    throw MetabaseError(platform::kErrFail, "Cannot lock " + path + ": " + ErrorText(::GetLastError()));
  }
}

FileLock::~FileLock() = default;

struct ReadLock::Impl {
  UniqueHandle h;
};

ReadLock::ReadLock(const std::string& lockPath) : impl_(std::make_unique<Impl>()) {
  impl_->h = UniqueHandle(::CreateFileW(platform::PathFromUtf8(lockPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                                        kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  OVERLAPPED at{};
  if (impl_->h.Valid() && !::LockFileEx(impl_->h.Get(), 0, 0, 1, 0, &at)) impl_->h.Reset();
}

ReadLock::~ReadLock() = default;

// No change events here: every bind asks the file, and a file written within the time
// stamp granule is read again.
struct FileWatch::Impl {};

FileWatch::FileWatch(const std::string&) {}
FileWatch::~FileWatch() = default;
void FileWatch::Disable() {}
bool FileWatch::Active() const { return true; }
bool FileWatch::MaybeChanged() { return true; }

}  // namespace tarnwell::standin::mbfs
#endif  // _WIN32
