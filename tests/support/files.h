#pragma once
// Whole files, read and written as bytes: what the tests compare byte for byte.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tarnwell::testutil {

// A UTF-8 name, as the program keeps names, as a path: on Windows a narrow string would be
// read in the ANSI code page.
inline std::filesystem::path Utf8Path(const std::string& utf8) { return std::u8string(utf8.begin(), utf8.end()); }

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
