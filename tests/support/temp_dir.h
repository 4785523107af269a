#pragma once
// A fresh directory under the system's temporary one, removed with everything in it when
// the test is done. Shared by every test folder.
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tarnwell::testutil {

class TempDir {
 public:
  TempDir() {
    // A fresh name each time: create_directory says whether it was already there.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      auto candidate = std::filesystem::temp_directory_path() /
                       ("tarnwell-test-" + std::to_string(random()) + "-" + std::to_string(random()));
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
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  // The directory ending with a separator, as the daily log takes it.
  std::string Dir() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

}  // namespace tarnwell::testutil
