#ifndef _WIN32
#include "metabase/metabase_fs.h"

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
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>
#include <utility>

#include "platform/files/os_file.h"
#include "platform/files/utf8_path.h"
#include "platform/metabase.h"

namespace tarnwell::standin::mbfs {

using platform::MetabaseError;

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

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
  platform::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
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
  platform::FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (fd.Get() < 0) throw WriteError(path, "create a temporary file", errno);
  platform::NewFileGuard temp(platform::PathFromUtf8(pattern));

  struct stat old{};
  const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  if (::fchmod(fd.Get(), mode) != 0) throw WriteError(path, "set its mode", errno);

  if (const int err = platform::WriteAll(fd.Get(), text); err != 0) throw WriteError(path, "write", err);
  if (const int err = platform::SyncToDisk(fd.Get()); err != 0) throw WriteError(path, "fsync", err);
  struct stat st{};
  if (::fstat(fd.Get(), &st) != 0) throw WriteError(path, "fstat", errno);
  if (const int err = fd.Close(); err != 0) throw WriteError(path, "close", err);
  if (::rename(pattern.c_str(), path.c_str()) != 0) throw WriteError(path, "rename", errno);
  temp.Keep();
  // The rename may touch the inode's change time; what the path shows now is what we wrote
  // (every cooperating writer waits for our lock).
  ::stat(path.c_str(), &st);

  // The rename itself must reach the disk too.
  platform::SyncDirectoryOf(path);
  return IdentityFromStat(st);
}

// flock: released when the descriptor closes.
struct FileLock::Impl {
  explicit Impl(int f) : fd(f) {}
  platform::FileDescriptor fd;
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

namespace {

// One inotify instance for the whole process. Closing an instance that had watches waits
// for the kernel to retire them (milliseconds), so stores that come and go share this one.
// Each watched directory is one watch, shared by every FileWatch on a file in it. Any
// thread may call; mutex_ guards everything.
class InotifyHub {
 public:
  // What one FileWatch learns from the events.
  struct Subscriber {
    std::string name;  // of the file in its directory
    int wd = -1;
    bool changed = false;
    bool lost = false;  // the directory went away or moved
  };

  static std::shared_ptr<InotifyHub> Shared() {
    static const auto hub = std::make_shared<InotifyHub>();
    return hub;
  }

  InotifyHub() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

  // False when the directory cannot be watched.
  bool Add(Subscriber& sub, const std::string& dir) {
    constexpr std::uint32_t kMask = IN_ONLYDIR | IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
    std::lock_guard lock(mutex_);
    if (fd_.Get() < 0) return false;
    // Events already queued concern the other watchers.
    DrainLocked();
    const int wd = ::inotify_add_watch(fd_.Get(), dir.c_str(), kMask);
    if (wd < 0) return false;
    sub.wd = wd;
    subs_.push_back(&sub);
    return true;
  }

  void Remove(Subscriber& sub) noexcept {
    std::lock_guard lock(mutex_);
    subs_.erase(std::remove(subs_.begin(), subs_.end(), &sub), subs_.end());
    const bool shared = std::any_of(subs_.begin(), subs_.end(), [&](const Subscriber* s) { return s->wd == sub.wd; });
    // A watch the kernel dropped already makes this fail harmlessly (EINVAL).
    if (!shared) ::inotify_rm_watch(fd_.Get(), sub.wd);
  }

  struct PollResult {
    bool changed;  // the file may have changed since the subscriber last asked
    bool lost;     // events no longer come
  };
  PollResult Poll(Subscriber& sub) {
    std::lock_guard lock(mutex_);
    DrainLocked();
    const PollResult result{sub.changed || sub.lost, sub.lost};
    sub.changed = false;
    return result;
  }

 private:
  void DrainLocked() {
    alignas(inotify_event) char buf[8192];
    for (;;) {
      const ssize_t n = ::read(fd_.Get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // EAGAIN: nothing more. Anything else: events may be missing.
        if (!(n < 0 && errno == EAGAIN)) MarkAll(true);
        return;
      }
      for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(n);) {
        inotify_event ev;
        std::memcpy(&ev, buf + at, sizeof ev);
        const std::string_view name(buf + at + sizeof ev, ::strnlen(buf + at + sizeof ev, ev.len));
        if (ev.mask & IN_Q_OVERFLOW) MarkAll(false);
        for (Subscriber* sub : subs_) {
          if (sub->wd != ev.wd) continue;
          if (ev.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) sub->lost = true;
          if (name == sub->name) sub->changed = true;
        }
        at += sizeof ev + ev.len;
      }
    }
  }

  void MarkAll(bool lost) {
    for (Subscriber* sub : subs_) (lost ? sub->lost : sub->changed) = true;
  }

  std::mutex mutex_;
  platform::FileDescriptor fd_;
  std::vector<Subscriber*> subs_;  // owned by their FileWatch, which removes them
};

}  // namespace

// inotify events on the file's directory, through the shared instance.
struct FileWatch::Impl {
  std::shared_ptr<InotifyHub> hub = InotifyHub::Shared();  // outlives every watch
  InotifyHub::Subscriber sub;
  bool added = false;

  ~Impl() {
    if (added) hub->Remove(sub);
  }
};

FileWatch::FileWatch(const std::string& path) {
  const std::filesystem::path file(path);
  // Built in one go: GCC 12 at -O3 takes an assignment of "." here for an overlapping
  // copy (-Wrestrict, a known false positive of that compiler).
  const std::filesystem::path parent = file.parent_path();
  const std::string dir = parent.empty() ? std::string(".") : parent.string();
  impl_ = std::make_unique<Impl>();
  impl_->sub.name = file.filename().string();
  impl_->added = impl_->hub->Add(impl_->sub, dir);
  if (!impl_->added) Disable();
}

FileWatch::~FileWatch() = default;

void FileWatch::Disable() { impl_.reset(); }

bool FileWatch::Active() const { return impl_ != nullptr; }

bool FileWatch::MaybeChanged() {
  if (!impl_) return true;
  const auto result = impl_->hub->Poll(impl_->sub);
  if (result.lost) Disable();  // the directory went away or moved: look at the path every time
  return result.changed;
}

}  // namespace tarnwell::standin::mbfs
#endif  // !_WIN32
