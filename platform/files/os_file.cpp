#include "platform/files/os_file.h"

#include <cerrno>
#include <filesystem>

#include "platform/files/utf8_path.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tarnwell::platform {

namespace {

#ifdef _WIN32
// The CRT's wide open, so that a UTF-8 name reaches the file system intact.
int OpenFlags(const std::string& path, int flags) {
  return _wopen(PathFromUtf8(path).c_str(), flags | _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                _S_IREAD | _S_IWRITE);
}
constexpr int kAppend = _O_APPEND;
constexpr int kTruncate = _O_TRUNC;
#else
int OpenFlags(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}
constexpr int kAppend = O_APPEND;
constexpr int kTruncate = O_TRUNC;
#endif

long WriteSome(int fd, const char* data, std::size_t size) {
#ifdef _WIN32
  const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
  return _write(fd, data, chunk);
#else
  return static_cast<long>(::write(fd, data, size));
#endif
}

int CloseFd(int fd) {
#ifdef _WIN32
  return _close(fd);
#else
  return ::close(fd);
#endif
}

}  // namespace

int FileDescriptor::Close() noexcept {
  const int fd = std::exchange(fd_, -1);
  if (fd < 0) return 0;
  return CloseFd(fd) == 0 ? 0 : errno;
}

void FileDescriptor::Reset() noexcept {
  if (fd_ >= 0) CloseFd(std::exchange(fd_, -1));
}

NewFileGuard::~NewFileGuard() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

FileDescriptor OpenForAppend(const std::string& path) { return FileDescriptor(OpenFlags(path, kAppend)); }

FileDescriptor CreateEmpty(const std::string& path) { return FileDescriptor(OpenFlags(path, kTruncate)); }

int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const long n = WriteSome(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

int SyncToDisk(int fd) {
#ifdef _WIN32
  return _commit(fd) == 0 ? 0 : errno;
#else
  return ::fsync(fd) == 0 ? 0 : errno;
#endif
}

void SyncDirectoryOf([[maybe_unused]] const std::string& path) {
#ifndef _WIN32
  const std::filesystem::path parent = PathFromUtf8(path).parent_path();
  const char* const dir = parent.empty() ? "." : parent.c_str();
  FileDescriptor directory(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.IsOpen()) ::fsync(directory.Get());
#endif
}

}  // namespace tarnwell::platform
