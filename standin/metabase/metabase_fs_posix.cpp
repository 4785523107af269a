#ifndef _WIN32
#include "standin/metabase/metabase_fs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/metabase.h"

namespace tarnwell::standin::mbfs {

using platform::MetabaseError;

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int Get() const { return fd_; }
  // Closes now, reporting the close's own error (a delayed write error shows here).
  int Close() {
    const int rc = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return rc;
  }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

FileIdentity IdentityFromStat(const struct stat& st) {
  FileIdentity id;
  id.volume = static_cast<std::uint64_t>(st.st_dev);
  id.index = static_cast<std::uint64_t>(st.st_ino);
  id.size = static_cast<std::int64_t>(st.st_size);
  id.mtimeSec = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  id.mtimeNsec = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
  id.ctimeSec = static_cast<std::int64_t>(st.st_ctim.tv_sec);
  id.ctimeNsec = static_cast<std::int64_t>(st.st_ctim.tv_nsec);
  return id;
}

// Removes a temporary file unless it was renamed into place.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

MetabaseError WriteError(const std::string& path, const std::string& what, int err) {
  return MetabaseError(platform::kErrFail,
                       "Cannot save the metabase file " + path + " (" + what + "): " + ErrnoText(err));
}

}  // namespace

bool IdentityOf(const std::string& path, FileIdentity& id, std::string& why) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    why = ErrnoText(errno);
    return false;
  }
  id = IdentityFromStat(st);
  return true;
}

bool ReadWhole(const std::string& path, std::string& text, FileIdentity& id, std::string& why) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st{};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) {
    why = ErrnoText(errno);
    return false;
  }
  text.resize(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)) + 1);
  std::size_t got = 0;
  for (;;) {
    if (got == text.size()) text.resize(text.size() * 2);
    const ssize_t n = ::read(fd.Get(), text.data() + got, text.size() - got);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      why = ErrnoText(errno);
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  id = IdentityFromStat(st);
  return true;
}

// Time stamps come in granules (a clock tick, up to seconds on some file systems).
bool RecentlyWritten(const FileIdentity& id) {
  constexpr time_t kGranuleSeconds = 2;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return std::max(id.mtimeSec, id.ctimeSec) + kGranuleSeconds >= now.tv_sec;
}

bool IsSymbolicLink(const std::string& path) {
  struct stat link{};
  return ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
}

FileIdentity WriteReplacing(const std::string& path, const std::string& text) {
  std::string pattern = path + ".XXXXXX";
  UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (fd.Get() < 0) throw WriteError(path, "create a temporary file", errno);
  TempFile temp(pattern);

  struct stat old{};
  const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  if (::fchmod(fd.Get(), mode) != 0) throw WriteError(path, "set its mode", errno);

  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.Get(), text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw WriteError(path, "write", errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd.Get()) != 0) throw WriteError(path, "fsync", errno);
  struct stat st{};
  if (::fstat(fd.Get(), &st) != 0) throw WriteError(path, "fstat", errno);
  if (fd.Close() != 0) throw WriteError(path, "close", errno);
  if (::rename(pattern.c_str(), path.c_str()) != 0) throw WriteError(path, "rename", errno);
  temp.Release();
  // The rename may touch the inode's change time; what the path shows now is what we wrote
  // (every cooperating writer waits for our lock).
  ::stat(path.c_str(), &st);

  // The rename itself must reach the disk too.
  std::string dir = std::filesystem::path(path).parent_path().string();
  if (dir.empty()) dir = ".";
  UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.Get() >= 0) ::fsync(dirFd.Get());
  return IdentityFromStat(st);
}

// flock: released when the descriptor closes.
struct FileLock::Impl {
  explicit Impl(int f) : fd(f) {}
  UniqueFd fd;
};

FileLock::FileLock(const std::string& path)
    : impl_(std::make_unique<Impl>(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666))) {
  if (impl_->fd.Get() < 0) {
    throw MetabaseError(platform::kErrFail, "Cannot open the lock file " + path + ": " + ErrnoText(errno));
  }
  while (::flock(impl_->fd.Get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      throw MetabaseError(platform::kErrFail, "Cannot lock " + path + ": " + ErrnoText(errno));
    }
  }
}

FileLock::~FileLock() = default;

struct ReadLock::Impl {};
ReadLock::ReadLock(const std::string&) {}
ReadLock::~ReadLock() = default;

// inotify events on the file's directory.
struct FileWatch::Impl {
  Impl(std::string n, int f) : name(std::move(n)), fd(f) {}
  std::string name;  // of the file in its directory
  UniqueFd fd;
};

FileWatch::FileWatch(const std::string& path) {
  const std::filesystem::path file(path);
  std::string dir = file.parent_path().string();
  if (dir.empty()) dir = ".";
  impl_ = std::make_unique<Impl>(file.filename().string(), ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  constexpr std::uint32_t kMask = IN_ONLYDIR | IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE |
                                  IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
  if (impl_->fd.Get() < 0 || ::inotify_add_watch(impl_->fd.Get(), dir.c_str(), kMask) < 0) Disable();
}

FileWatch::~FileWatch() = default;

void FileWatch::Disable() { impl_.reset(); }

bool FileWatch::Active() const { return impl_ != nullptr; }

bool FileWatch::MaybeChanged() {
  if (!impl_) return true;
  bool changed = false;
  bool lost = false;
  alignas(inotify_event) char buf[8192];
  for (;;) {
    const ssize_t n = ::read(impl_->fd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      lost = true;
      break;
    }
    for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(n);) {
      inotify_event ev;
      std::memcpy(&ev, buf + at, sizeof ev);
      const char* name = buf + at + sizeof ev;
      if (ev.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) lost = true;
      if (ev.mask & IN_Q_OVERFLOW) changed = true;
      if (ev.len > 0 && std::strncmp(name, impl_->name.c_str(), ev.len) == 0) changed = true;
      at += sizeof ev + ev.len;
    }
  }
  if (lost) Disable();  // the directory went away or moved: look at the path every time
  return changed || lost;
}

}  // namespace tarnwell::standin::mbfs
#endif  // !_WIN32
