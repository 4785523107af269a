#pragma once
// Helpers of the MetaBase.xml store tests: whole-file reads and writes, and a line diff
// that shows exactly which lines a change touched.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace tarnwell::testutil {

inline std::string Lower(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Writes beside the file and renames over it, as another program saving would.
inline void ReplaceFile(const std::string& path, const std::string& text) {
  WriteFile(path + ".other", text);
  std::filesystem::rename(path + ".other", path);
}

// The source tree's demo metabase.
inline std::string DemoMetabasePath() {
  return (std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "demo" / "MetaBase.xml")
      .string();
}

struct LineDiff {
  std::vector<std::string> removed;  // lines of the old text that are gone
  std::vector<std::string> added;    // lines of the new text that are new
};

// Lines split at "\n" (a "\r" stays on its line); the common leading and trailing lines cut.
inline LineDiff DiffLines(const std::string& before, const std::string& after) {
  const auto split = [](const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at <= text.size()) {
      const auto lf = text.find('\n', at);
      if (lf == std::string::npos) {
        lines.push_back(text.substr(at));
        break;
      }
      lines.push_back(text.substr(at, lf - at));
      at = lf + 1;
    }
    return lines;
  };
  const auto a = split(before);
  const auto b = split(after);
  std::size_t head = 0;
  while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
  std::size_t tail = 0;
  while (tail < a.size() - head && tail < b.size() - head && a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) ++tail;
  LineDiff diff;
  diff.removed.assign(a.begin() + static_cast<std::ptrdiff_t>(head), a.end() - static_cast<std::ptrdiff_t>(tail));
  diff.added.assign(b.begin() + static_cast<std::ptrdiff_t>(head), b.end() - static_cast<std::ptrdiff_t>(tail));
  return diff;
}

}  // namespace tarnwell::testutil
