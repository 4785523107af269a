#include "standin/w3svc/load_profile.h"

#include <algorithm>

namespace tarnwell::standin {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Splits off the last word of s; s keeps what stands before it, trimmed.
std::string_view PopLastWord(std::string_view& s) {
  s = Trim(s);
  std::size_t start = s.size();
  while (start > 0 && !IsBlank(s[start - 1])) --start;
  const auto word = s.substr(start);
  s = Trim(s.substr(0, start));
  return word;
}

}  // namespace

std::string NormalisedAppPath(std::string_view path) {
  std::string key(Trim(path));
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (key.empty() || key.back() != '/') key += '/';
  return key;
}

LoadProfile ParseLoadProfile(std::string_view text) {
  LoadProfile profile;
  int number = 0;
  while (!text.empty()) {
    ++number;
    const auto eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;

    std::string_view rest = line;
    std::string_view figures[4];
    for (int i = 3; i >= 0; --i) figures[i] = PopLastWord(rest);
    const std::string control = "load " + std::string(figures[0]) + " " + std::string(figures[1]) + " " +
                                std::string(figures[2]) + " " + std::string(figures[3]);
    const ControlLine parsed = ParseControlLine(control);
    if (rest.empty() || rest.front() != '/' || !parsed.load) {
      profile.errors.push_back("line " + std::to_string(number) + ": expected: PATH CPU MB FILES TCP" +
                               (parsed.error.empty() || rest.empty() ? "" : " (" + parsed.error + ")"));
      continue;
    }
    // A path given twice: the later line wins, as when a file is edited by appending.
    profile.apps[NormalisedAppPath(rest)] = *parsed.load;
  }
  return profile;
}

WorkerLoad PoolLoad(const LoadProfile& profile, const std::vector<std::string>& appPaths) {
  WorkerLoad sum;
  for (const auto& path : appPaths) {
    const auto it = profile.apps.find(NormalisedAppPath(path));
    if (it == profile.apps.end()) continue;
    sum.cpuPercent = std::min(sum.cpuPercent + it->second.cpuPercent, kMaxCpuPercent);
    sum.memoryMB = std::min(sum.memoryMB + it->second.memoryMB, kMaxMemoryMB);
    sum.files = std::min(sum.files + it->second.files, kMaxHandles);
    sum.tcp = std::min(sum.tcp + it->second.tcp, kMaxHandles);
  }
  return sum;
}

}  // namespace tarnwell::standin
