#include "platform/linux/proc_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/unique_fd.h"

namespace tarnwell::platform::linux_proc {

bool ReadWholeFile(int dirFd, const char* path, std::string& out) {
  out.clear();
  UniqueFd fd(::openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) return false;
  // Most /proc files are small; start with one page and grow for the long ones.
  std::size_t size = 0;
  out.resize(4096);
  for (;;) {
    if (size == out.size()) out.resize(out.size() * 2);
    const ssize_t n = ::read(fd.get(), out.data() + size, out.size() - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      out.clear();
      return false;
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  out.resize(size);
  return true;
}

bool ReadLink(int dirFd, const char* path, std::string& out) {
  out.resize(256);
  for (;;) {
    const ssize_t n = ::readlinkat(dirFd, path, out.data(), out.size());
    if (n < 0) {
      out.clear();
      return false;
    }
    if (static_cast<std::size_t>(n) < out.size()) {
      out.resize(static_cast<std::size_t>(n));
      return true;
    }
    out.resize(out.size() * 2);  // may have been cut: try again with more room
  }
}

}  // namespace tarnwell::platform::linux_proc
