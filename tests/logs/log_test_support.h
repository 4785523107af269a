#pragma once
// Helpers of the log tests: a settable clock, a scratch directory, a captured reporter.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "logs/Logs.h"
#include "logs/LogsClock.h"
#include "tests/support/temp_dir.h"

namespace tarnwell::testing {

inline LocalTime At(int year, int month, int day, int hour, int minute, int second = 0,
                    int ms = 0) {
  LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  t.millisecond = ms;
  return t;
}

// A clock the test moves; read from several threads.
class FakeClock final : public ILocalClock {
 public:
  explicit FakeClock(LocalTime t) : now_(t) {}
  LocalTime Now() const override {
    std::lock_guard<std::mutex> guard(m_);
    return now_;
  }
  void Set(LocalTime t) {
    std::lock_guard<std::mutex> guard(m_);
    now_ = t;
  }

 private:
  mutable std::mutex m_;
  LocalTime now_;
};

using testutil::TempDir;

inline std::string ReadAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Lines of a CR LF file, without their ends; a last line without CR LF comes out as is.
inline std::vector<std::string> SplitCrLf(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t pos; (pos = content.find("\r\n", start)) != std::string::npos; start = pos + 2) {
    lines.push_back(content.substr(start, pos - start));
  }
  if (start < content.size()) lines.push_back(content.substr(start));
  return lines;
}

// Installs a reporter that records the messages; the default comes back at destruction.
class CapturedReports {
 public:
  CapturedReports() {
    SetLogFailureReporter([this](const std::string& message) {
      std::lock_guard<std::mutex> guard(m_);
      messages_.push_back(message);
    });
  }
  ~CapturedReports() { SetLogFailureReporter(nullptr); }
  CapturedReports(const CapturedReports&) = delete;
  CapturedReports& operator=(const CapturedReports&) = delete;

  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> guard(m_);
    return messages_;
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> messages_;
};

}  // namespace tarnwell::testing
