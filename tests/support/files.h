#pragma once
// Whole files, read and written as bytes: what the tests compare byte for byte. A name
// given as a std::string is UTF-8, as the program's are.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/files/utf8_path.h"

namespace tarnwell::testutil {

// The file's bytes; empty when it cannot be read.
inline std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}
inline std::string ReadAll(const std::string& path) { return ReadAll(platform::PathFromUtf8(path)); }

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}
inline void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(platform::PathFromUtf8(path), text);
}

// Writes beside the file and renames over it, as another program saving would.
inline void ReplaceFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::path temp = path;
  temp += ".new";
  WriteFile(temp, text);
  std::filesystem::rename(temp, path);
}
inline void ReplaceFile(const std::string& path, const std::string& text) {
  ReplaceFile(platform::PathFromUtf8(path), text);
}

}  // namespace tarnwell::testutil
