#pragma once
// Thirty days of monitoring logs at one line per pool per minute, written into a folder of
// their own once and removed with the object: what the History benchmarks read, on Linux
// and (bench/win32) on Windows.
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "history/MonitoringLogReader.h"
#include "platform/files/utf8_path.h"

namespace tarnwell::bench {

inline constexpr int kMonthDays = 30;
inline constexpr history::Day kMonthStart{2026, 11, 1};
inline constexpr history::Day kMonthEnd{2026, 11, 30};

class MonthOfLogs {
 public:
  explicit MonthOfLogs(int pools) {
#ifdef _WIN32
    const int pid = ::_getpid();
#else
    const int pid = static_cast<int>(::getpid());
#endif
    dir_ = std::filesystem::temp_directory_path() /
           ("tarnwell-history-bench-" + std::to_string(pid) + "-" + std::to_string(pools));
    std::filesystem::create_directories(dir_);
    history::Day day = kMonthStart;
    for (int d = 0; d < kMonthDays; ++d, day = history::NextDay(day)) {
      std::ofstream out(dir_ / history::MonitoringLogName(day), std::ios::binary);
      std::string text = "\r\n";
      char line[160];
      for (int minute = 0; minute < 24 * 60; ++minute) {
        for (int p = 0; p < pools; ++p) {
          const int n = std::snprintf(line, sizeof line,
                                      "%02d-%02d-%02d %02d:%02d:00.%03d\tPool%02d\t3\t%d\t%d\t28\t40\t3\t410\t%d\r\n",
                                      day.day, day.month, day.year % 100, minute / 60, minute % 60, p, p,
                                      60000 + (minute * 7 + p) % 9000, (minute + p) % 100, 2000 + p);
          text.append(line, static_cast<std::size_t>(n));
        }
      }
      out << text;
    }
  }
  ~MonthOfLogs() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  MonthOfLogs(const MonthOfLogs&) = delete;
  MonthOfLogs& operator=(const MonthOfLogs&) = delete;
  // UTF-8, with its trailing separator, as the reader takes it.
  std::string Dir() const { return platform::Utf8FromPath(dir_ / ""); }

 private:
  std::filesystem::path dir_;
};

}  // namespace tarnwell::bench
