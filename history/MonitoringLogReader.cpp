#include "history/MonitoringLogReader.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/files/utf8_path.h"

namespace tarnwell::history {

namespace {

constexpr std::size_t kStampLength = 21;  // dd-mm-yy hh:nn:ss.zzz
constexpr std::size_t kFields = 10;       // stamp, name, apps, ram, cpu, threads, files, tcp, handles, pid
constexpr std::int64_t kMsPerDay = 86'400'000;

// The day's number since 2000-01-01; none for a date the calendar does not have.
std::optional<std::int64_t> DayNumber(int year, int month, int day) {
  using namespace std::chrono;
  const year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                            std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return std::nullopt;
  return (sys_days(date) - sys_days(2000y / January / 1)).count();
}

bool Digits(std::string_view s, std::size_t at, std::size_t n, int& out) {
  out = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

template <typename T>
bool Whole(std::string_view field, T& out) {
  if (field.empty()) return false;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), out);
  return error == std::errc() && end == field.data() + field.size();
}

using PoolMap = std::map<std::string, std::vector<Sample>, std::less<>>;

struct FileResult {
  PoolMap pools;
  std::int64_t lines = 0;
  std::int64_t skipped = 0;
  bool read = false;
};

std::string ReadWhole(const std::filesystem::path& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  ok = static_cast<bool>(in);
  if (!ok) return {};
  in.seekg(0, std::ios::end);
  const auto size = in.tellg();
  in.seekg(0, std::ios::beg);
  std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

void ReadFile(const std::filesystem::path& path, FileResult& result, const std::stop_token& stop) {
  bool ok = false;
  const std::string text = ReadWhole(path, ok);
  if (!ok) return;
  result.read = true;
  std::size_t at = 0;
  std::int64_t sinceCheck = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      ++result.skipped;  // no line end: cut off by a crash, whatever it holds
      break;
    }
    std::string_view line(text.data() + at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view pool;
    const auto sample = ParseLine(line, pool);
    if (!sample) {
      ++result.skipped;
      continue;
    }
    auto it = result.pools.find(pool);
    if (it == result.pools.end()) it = result.pools.emplace(std::string(pool), std::vector<Sample>{}).first;
    it->second.push_back(*sample);
    ++result.lines;
    if (++sinceCheck == 65536) {
      sinceCheck = 0;
      if (stop.stop_requested()) return;
    }
  }
}

}  // namespace

std::optional<std::int64_t> ParseStamp(std::string_view s) {
  if (s.size() != kStampLength || s[8] != ' ') return std::nullopt;
  int dd, mm, yy, hh, nn, ss, zzz;
  if (!Digits(s, 0, 2, dd) || !Digits(s, 3, 2, mm) || !Digits(s, 6, 2, yy) || !Digits(s, 9, 2, hh) ||
      !Digits(s, 12, 2, nn) || !Digits(s, 15, 2, ss) || !Digits(s, 18, 3, zzz))
    return std::nullopt;
  for (const std::size_t sep : {2u, 5u, 11u, 14u, 17u}) {
    if (s[sep] >= '0' && s[sep] <= '9') return std::nullopt;
  }
  if (hh > 23 || nn > 59 || ss > 59) return std::nullopt;
  const auto day = DayNumber(2000 + yy, mm, dd);
  if (!day) return std::nullopt;
  return *day * kMsPerDay + ((hh * 60 + nn) * 60 + ss) * std::int64_t{1000} + zzz;
}

std::optional<Sample> ParseLine(std::string_view line, std::string_view& pool) {
  std::string_view fields[kFields];
  std::size_t count = 0;
  std::size_t at = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', at);
    if (count == kFields) return std::nullopt;  // more fields than a pool line has
    fields[count++] = line.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at);
    if (tab == std::string_view::npos) break;
    at = tab + 1;
  }
  if (count != kFields || fields[1].empty()) return std::nullopt;
  Sample sample;
  const auto time = ParseStamp(fields[0]);
  if (!time) return std::nullopt;
  sample.timeMs = *time;
  if (!Whole(fields[2], sample.apps) || !Whole(fields[3], sample.ramKB) || !Whole(fields[4], sample.cpu) ||
      !Whole(fields[5], sample.threads) || !Whole(fields[6], sample.openFiles) || !Whole(fields[7], sample.openTcp) ||
      !Whole(fields[8], sample.handles) || !Whole(fields[9], sample.pid))
    return std::nullopt;
  pool = fields[1];
  return sample;
}

std::string MonitoringLogName(const Day& day) {
  char name[32];
  std::snprintf(name, sizeof name, "trnw-mon-%02d%02d%02d.log", day.day % 100, day.month % 100, day.year % 100);
  return name;
}

Day AddDays(const Day& day, int n) {
  using namespace std::chrono;
  const year_month_day date{std::chrono::year(day.year), std::chrono::month(static_cast<unsigned>(day.month)),
                            std::chrono::day(static_cast<unsigned>(day.day))};
  const year_month_day moved{sys_days(date) + days(n)};
  return {static_cast<int>(moved.year()), static_cast<int>(static_cast<unsigned>(moved.month())),
          static_cast<int>(static_cast<unsigned>(moved.day()))};
}

Day NextDay(const Day& day) { return AddDays(day, 1); }

std::int64_t DayStartMs(const Day& day) { return DayNumber(day.year, day.month, day.day).value_or(0) * kMsPerDay; }

std::vector<Day> DaysWithLogs(const std::string& dir, const Day& from, const Day& to) {
  std::vector<Day> found;
  std::error_code ec;
  for (Day d = from; d <= to; d = NextDay(d)) {
    if (std::filesystem::is_regular_file(platform::PathFromUtf8(dir) / MonitoringLogName(d), ec)) found.push_back(d);
  }
  return found;
}

History LoadHistory(const std::string& dir, const Day& from, const Day& to, std::stop_token stop, unsigned threads) {
  History history;
  std::vector<Day> range;
  for (Day d = from; d <= to; d = NextDay(d)) range.push_back(d);
  std::vector<FileResult> results(range.size());
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads = std::min<unsigned>(threads, static_cast<unsigned>(std::max<std::size_t>(range.size(), 1)));
  {
    std::vector<std::jthread> workers;
    for (unsigned t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        for (std::size_t i = t; i < range.size() && !stop.stop_requested(); i += threads)
          ReadFile(platform::PathFromUtf8(dir) / MonitoringLogName(range[i]), results[i], stop);
      });
    }
  }
  if (stop.stop_requested()) {
    history.cancelled = true;
    return history;
  }
  // Days in order: each pool's samples come out in time order unless a clock went back.
  for (FileResult& result : results) {
    if (!result.read) {
      ++history.missingDays;
      continue;
    }
    ++history.files;
    history.lines += result.lines;
    history.skipped += result.skipped;
    for (auto& [pool, samples] : result.pools) {
      std::vector<Sample>& all = history.pools[pool];
      if (all.empty()) {
        all = std::move(samples);
      } else {
        all.insert(all.end(), samples.begin(), samples.end());
      }
    }
  }
  for (auto& [pool, samples] : history.pools) {
    const auto earlier = [](const Sample& a, const Sample& b) { return a.timeMs < b.timeMs; };
    if (!std::is_sorted(samples.begin(), samples.end(), earlier)) std::stable_sort(samples.begin(), samples.end(), earlier);
  }
  return history;
}

}  // namespace tarnwell::history
