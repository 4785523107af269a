#pragma once
// A file opened for appending through the OS descriptor: every Write goes to the OS at
// once (no stream buffer), so a line is in the file when Write returns and a killed
// process loses none. Not thread-safe; TLog calls it under its lock.
#include <string>
#include <string_view>
#include <utility>

#include "platform/files/os_file.h"

namespace tarnwell {

class AppendFile {
 public:
  AppendFile() = default;

  // Opens the file at its end, creating it when missing. path is UTF-8.
  // Raises std::system_error whose message names the file.
  static AppendFile Open(const std::string& path);

  bool IsOpen() const { return fd_.IsOpen(); }
  // Appends the bytes in one OS call (more only after a partial write).
  // Raises std::system_error.
  void Write(std::string_view bytes);
  void Close() noexcept;

 private:
  AppendFile(platform::FileDescriptor fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  platform::FileDescriptor fd_;
  std::string path_;
};

}  // namespace tarnwell
