#include "platform/linux/proc_parsers.h"

#include <charconv>

namespace tarnwell::platform::linux_proc {

namespace {

template <typename T>
bool ParseUnsigned(std::string_view text, T& value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Splits at runs of blanks; calls f(index, token) until f returns false.
template <typename F>
void ForEachToken(std::string_view text, F f) {
  std::size_t index = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\n')) ++pos;
    if (pos >= text.size()) break;
    std::size_t end = pos;
    while (end < text.size() && text[end] != ' ' && text[end] != '\n') ++end;
    if (!f(index++, text.substr(pos, end - pos))) return;
    pos = end;
  }
}

}  // namespace

std::optional<StatFields> ParseStat(std::string_view text) {
  const auto open = text.find('(');
  const auto close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return std::nullopt;

  StatFields fields;
  fields.comm = text.substr(open + 1, close - open - 1);
  // Tokens after the comm start at field (3).
  constexpr std::size_t kFirst = 3;
  constexpr std::size_t kNumThreads = 20 - kFirst;
  constexpr std::size_t kStartTime = 22 - kFirst;
  bool haveThreads = false;
  bool haveStart = false;
  bool ok = true;
  ForEachToken(text.substr(close + 1), [&](std::size_t index, std::string_view token) {
    if (index == 0) {
      fields.state = token.size() == 1 ? token[0] : '?';
    } else if (index == kNumThreads) {
      haveThreads = ParseUnsigned(token, fields.numThreads);
      ok = ok && haveThreads;
    } else if (index == kStartTime) {
      haveStart = ParseUnsigned(token, fields.startTime);
      ok = ok && haveStart;
      return false;
    }
    return ok;
  });
  if (!ok || !haveThreads || !haveStart) return std::nullopt;
  return fields;
}

std::string JoinCommandLine(std::string_view raw) {
  while (!raw.empty() && raw.back() == '\0') raw.remove_suffix(1);
  std::string line(raw);
  for (char& c : line)
    if (c == '\0') c = ' ';
  return line;
}

std::optional<std::int64_t> ParseStatmResident(std::string_view text) {
  std::optional<std::int64_t> resident;
  ForEachToken(text, [&](std::size_t index, std::string_view token) {
    if (index == 1) {
      std::uint64_t pages = 0;
      if (ParseUnsigned(token, pages) && pages <= static_cast<std::uint64_t>(INT64_MAX))
        resident = static_cast<std::int64_t>(pages);
      return false;
    }
    return true;
  });
  return resident;
}

void ParseTcpInodes(std::string_view text, std::vector<std::uint64_t>& inodes) {
  // A hand loop rather than ForEachToken per line: a busy server's table runs to many
  // thousands of lines, and only the tenth column matters.
  constexpr int kInodeColumn = 9;  // sl local rem st tx:rx tr:tm retrnsmt uid timeout inode
  const char* p = text.data();
  const char* const end = p + text.size();
  // Skip the header line.
  while (p < end && *p != '\n') ++p;
  while (p < end) {
    ++p;  // past '\n'
    int column = -1;
    bool inToken = false;
    std::uint64_t value = 0;
    bool digits = false;
    for (; p < end && *p != '\n'; ++p) {
      const bool blank = *p == ' ';
      if (!blank && !inToken) {
        ++column;
        inToken = true;
      } else if (blank) {
        inToken = false;
      }
      if (column == kInodeColumn && inToken) {
        if (*p >= '0' && *p <= '9') {
          value = value * 10 + static_cast<std::uint64_t>(*p - '0');
          digits = true;
        } else {
          digits = false;
          column = kInodeColumn + 1;  // not a number: ignore the line
        }
      } else if (column > kInodeColumn) {
        // Rest of the line does not matter.
        while (p < end && *p != '\n') ++p;
        break;
      }
    }
    if (digits) inodes.push_back(value);
  }
}

std::optional<std::int64_t> ParseSockstatInuse(std::string_view text, std::string_view protocol) {
  while (!text.empty()) {
    const auto eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (line.size() <= protocol.size() || line.substr(0, protocol.size()) != protocol || line[protocol.size()] != ':')
      continue;
    std::optional<std::int64_t> inuse;
    bool next = false;
    ForEachToken(line.substr(protocol.size() + 1), [&](std::size_t, std::string_view token) {
      if (next) {
        std::uint64_t value = 0;
        if (ParseUnsigned(token, value) && value <= static_cast<std::uint64_t>(INT64_MAX))
          inuse = static_cast<std::int64_t>(value);
        return false;
      }
      next = token == "inuse";
      return true;
    });
    return inuse;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> ParsePid(std::string_view name) {
  std::uint32_t pid = 0;
  if (!ParseUnsigned(name, pid) || pid == 0) return std::nullopt;
  return pid;
}

std::string_view BaseName(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string ExeNameFrom(std::string_view comm, std::string_view exeLink, std::string_view argv0) {
  if (comm.size() < kCommMax) return std::string(comm);
  constexpr std::string_view kDeleted = " (deleted)";
  if (exeLink.size() > kDeleted.size() && exeLink.substr(exeLink.size() - kDeleted.size()) == kDeleted)
    exeLink.remove_suffix(kDeleted.size());
  for (std::string_view candidate : {BaseName(exeLink), BaseName(argv0)}) {
    if (candidate.size() > comm.size() && candidate.substr(0, comm.size()) == comm) return std::string(candidate);
  }
  return std::string(comm);
}

}  // namespace tarnwell::platform::linux_proc
