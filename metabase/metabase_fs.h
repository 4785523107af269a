#pragma once
// The store's file layer: the lock file, the atomic replace, whole-file reads and what tells
// one version of the file from the next. POSIX in metabase_fs_posix.cpp, Win32 in
// metabase_fs_win32.cpp; each builds only on its own system.
#include <cstdint>
#include <memory>
#include <string>

namespace tarnwell::standin::mbfs {

// What tells one version of the file from the next. Every save puts a new file in place,
// so the file index alone changes on each save; the times and size catch edits in place.
struct FileIdentity {
  std::uint64_t volume = 0;  // st_dev; the volume serial number on Windows
  std::uint64_t index = 0;   // st_ino; the file index on Windows
  std::int64_t size = 0;     // bytes
  std::int64_t mtimeSec = 0;  // last write, seconds since 1970
  std::int64_t mtimeNsec = 0;
  std::int64_t ctimeSec = 0;  // inode change (POSIX only; 0 on Windows)
  std::int64_t ctimeNsec = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The file the path names now (links followed). False, with the system's reason in why,
// when it cannot be asked.
bool IdentityOf(const std::string& path, FileIdentity& id, std::string& why);

// The whole file, and the version of it that was read.
bool ReadWhole(const std::string& path, std::string& text, FileIdentity& id, std::string& why);

// Written so lately that a rewrite in place may not have moved the time stamps yet.
bool RecentlyWritten(const FileIdentity& id);

bool IsSymbolicLink(const std::string& path);

// Writes text to a new file beside path, has it on disk, and puts it in place of path in
// one step, so that a reader sees the old file or the new one whole, and a crash leaves one
// of them. Raises MetabaseError. Returns the identity the path shows afterwards.
FileIdentity WriteReplacing(const std::string& path, const std::string& text);

// An exclusive lock on the file at path (made when missing), held until destruction by
// every writer of the metabase, in this and other programs. Blocks until granted.
class FileLock {
 public:
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Keeps cooperating writers from replacing the file while it is asked or read (a shared
// LockFileEx on the lock file: Windows cannot replace a file that is open). Best effort:
// without the lock file it reads unlocked. Nothing on POSIX, where a rename replaces an
// open file.
class ReadLock {
 public:
  explicit ReadLock(const std::string& lockPath);
  ~ReadLock();
  ReadLock(const ReadLock&) = delete;
  ReadLock& operator=(const ReadLock&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Says whether the file may have changed since it was last asked. Where the system gives
// change events (inotify), an unchanged file costs one non-blocking read per bind instead
// of a path lookup; without them it always says it may have. Caller serialises.
class FileWatch {
 public:
  explicit FileWatch(const std::string& path);
  ~FileWatch();
  FileWatch(const FileWatch&) = delete;
  FileWatch& operator=(const FileWatch&) = delete;

  // The directory entry is a symbolic link: changes behind it make no event here.
  void Disable();
  // Whether a "may have changed" is news worth distrusting recent time stamps for.
  bool Active() const;
  bool MaybeChanged();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;  // POSIX: null when there is no watch
};

}  // namespace tarnwell::standin::mbfs
