#include "logs/LogsFile.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/files/os_file.h"

namespace tarnwell {

namespace {

std::system_error ErrnoError(int err, const std::string& what) {
  return std::system_error(err, std::generic_category(), what);
}

}  // namespace

AppendFile AppendFile::Open(const std::string& path) {
  platform::FileDescriptor fd = platform::OpenForAppend(path);
  if (!fd.IsOpen()) throw ErrnoError(errno, path);
  return AppendFile(std::move(fd), path);
}

void AppendFile::Write(std::string_view bytes) {
  if (!fd_.IsOpen()) throw ErrnoError(EBADF, path_);
  if (const int err = platform::WriteAll(fd_.Get(), bytes); err != 0) throw ErrnoError(err, path_);
}

// Nothing is buffered here, so a failing close loses nothing of ours.
void AppendFile::Close() noexcept { fd_.Reset(); }

}  // namespace tarnwell
