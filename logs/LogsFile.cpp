#include "logs/LogsFile.h"

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tarnwell {

namespace {

std::system_error ErrnoError(int err, const std::string& what) {
  return std::system_error(err, std::generic_category(), what);
}

#ifdef _WIN32
int OsOpen(const std::string& path) {
  // The CRT's wide open, so that a UTF-8 directory name reaches the file system intact.
  const std::filesystem::path p(std::u8string(path.begin(), path.end()));
  return _wopen(p.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT,
                _S_IREAD | _S_IWRITE);
}
long OsWrite(int fd, const char* data, std::size_t size) {
  const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
  return _write(fd, data, chunk);
}
void OsClose(int fd) { _close(fd); }
#else
int OsOpen(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}
long OsWrite(int fd, const char* data, std::size_t size) {
  return static_cast<long>(::write(fd, data, size));
}
void OsClose(int fd) { ::close(fd); }
#endif

}  // namespace

AppendFile::AppendFile(AppendFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

AppendFile AppendFile::Open(const std::string& path) {
  const int fd = OsOpen(path);
  if (fd < 0) throw ErrnoError(errno, path);
  return AppendFile(fd, path);
}

void AppendFile::Write(std::string_view bytes) {
  if (fd_ < 0) throw ErrnoError(EBADF, path_);
  while (!bytes.empty()) {
    const long n = OsWrite(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ErrnoError(errno, path_);
    }
    if (n == 0) throw ErrnoError(EIO, path_);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void AppendFile::Close() noexcept {
  if (fd_ >= 0) {
    OsClose(fd_);  // nothing buffered here, so a failing close loses nothing of ours
    fd_ = -1;
  }
}

}  // namespace tarnwell
