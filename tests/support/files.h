#pragma once
// Whole files, read and written as bytes: what the tests compare byte for byte.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tarnwell::testutil {

// The file's bytes; empty when it cannot be read.
inline std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Writes beside the file and renames over it, as another program saving would.
inline void ReplaceFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::path temp = path;
  temp += ".new";
  WriteFile(temp, text);
  std::filesystem::rename(temp, path);
}

}  // namespace tarnwell::testutil
