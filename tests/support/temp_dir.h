#pragma once
// A fresh directory under the system's temporary one, removed with everything in it when
// the test is done. Shared by every test folder. Its names are UTF-8, as the program's are.
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/files/utf8_path.h"

namespace tarnwell::testutil {

// A folder name outside ASCII (and so, on Windows, outside what a narrow path carries
// whole), with a space in it too.
inline constexpr std::string_view kNonAsciiName = "Pr\xC3\xBC" "fung T\xC3\xA4rnwell";  // Prüfung Tärnwell

class TempDir {
 public:
  // name (UTF-8): a name the directory ends in, such as kNonAsciiName; none by default.
  explicit TempDir(std::string_view name = {}) {
    // A fresh name each time: create_directory says whether it was already there.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      std::string leaf = "tarnwell-test-" + std::to_string(random()) + "-" + std::to_string(random());
      if (!name.empty()) leaf.append(" ").append(name);
      auto candidate = std::filesystem::temp_directory_path() / platform::PathFromUtf8(leaf);
      if (std::filesystem::create_directory(candidate)) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("cannot make a temporary directory");
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::string File(const std::string& name) const { return platform::Utf8FromPath(path_ / platform::PathFromUtf8(name)); }
  // The directory ending with a separator, as the daily log takes it.
  std::string Dir() const { return platform::Utf8FromPath(path_) + "/"; }

 private:
  std::filesystem::path path_;
};

}  // namespace tarnwell::testutil
