#pragma once
// Files through the OS descriptor (the C runtime's on Windows), for what must be on disk as
// written: the daily log, the analysis journal and the stand-in metabase's saves. Nothing is
// buffered here. Paths are UTF-8; failures come back as an errno value for the caller's own
// message.
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

namespace tarnwell::platform {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int Get() const noexcept { return fd_; }
  bool IsOpen() const noexcept { return fd_ >= 0; }
  // Closes now: 0, or the errno of the close, where a delayed write error shows.
  int Close() noexcept;
  // Closes, when open, without asking how it went.
  void Reset() noexcept;

 private:
  int fd_ = -1;
};

// Removes a new file when it goes, unless Keep() says it was put in place: a save that
// fails half-way leaves nothing behind.
class NewFileGuard {
 public:
  explicit NewFileGuard(std::filesystem::path path) : path_(std::move(path)) {}
  // A UTF-8 name would be read in the ANSI code page on Windows: PathFromUtf8 first.
  explicit NewFileGuard(const std::string&) = delete;
  ~NewFileGuard();
  NewFileGuard(const NewFileGuard&) = delete;
  NewFileGuard& operator=(const NewFileGuard&) = delete;
  void Keep() noexcept { path_.clear(); }

 private:
  std::filesystem::path path_;
};

// Opens for appending, creating the file when missing. Not open on failure, errno set.
FileDescriptor OpenForAppend(const std::string& path);
// Creates an empty file for writing, replacing whatever file had the name.
FileDescriptor CreateEmpty(const std::string& path);
// Writes every byte, after partial writes and interruptions too: 0, or the errno of the
// failure (EIO when the OS took nothing).
int WriteAll(int fd, std::string_view bytes);
// Flushes the file's data to the disk: 0 or the errno.
int SyncToDisk(int fd);
// Makes a rename into path's directory durable: a POSIX system syncs the directory, NTFS
// logs the rename itself.
void SyncDirectoryOf(const std::string& path);

}  // namespace tarnwell::platform
