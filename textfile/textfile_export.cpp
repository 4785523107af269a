#include "textfile/textfile_export.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>
#include <thread>

#include "iis/iis.h"
#include "logs/Logs.h"
#include "platform/files/os_file.h"
#include "platform/files/utf8_path.h"
#include "textfile/exposition.h"

#ifdef _WIN32
#include <process.h>
#define tarnwell_getpid _getpid
#else
#include <unistd.h>
#define tarnwell_getpid getpid
#endif

namespace tarnwell {

namespace {

constexpr const char* kFileName = "tarnwell.prom";
// How long a replace keeps trying while a reader holds the file. A reader that opens it
// again at once leaves only short gaps: a 10 ms sleep mostly woke inside its next hold
// (under wine, up to a hundred tries in a row), so the pauses are a yield or 1 ms.
constexpr std::chrono::seconds kRenameBudget{2};

std::int32_t CountSelected(const std::string& selected) {
  std::int32_t count = 0;
  for (const char c : selected) count += c == '\t';
  return count;
}

void Say(TLog* log, const std::string& line) {
  if (log == nullptr) return;
  try {
    log->Write(line);
  } catch (const std::exception&) {
    // The daily log has its own failure report; the pass goes on.
  }
}

}  // namespace

TextfileExport::TextfileExport(std::string dir)
    : dir_(std::move(dir)),
      file_(platform::PathFromUtf8(dir_) / kFileName),
      // Not *.prom: the collectors never read the file before it is whole and renamed.
      tempFile_(platform::PathFromUtf8(dir_) /
                std::string(".").append(kFileName).append(".").append(std::to_string(tarnwell_getpid())).append(".tmp")),
      path_(dir_.empty() ? std::string() : platform::Utf8FromPath(file_)),
      tempPath_(platform::Utf8FromPath(tempFile_)) {}

std::string TextfileExport::Replace(const std::string& text) {
  platform::NewFileGuard guard(tempFile_);
  platform::FileDescriptor file = platform::CreateEmpty(tempPath_);
  if (!file.IsOpen()) return std::strerror(errno);
  if (const int e = platform::WriteAll(file.Get(), text); e != 0) return std::strerror(e);
  if (const int e = file.Close(); e != 0) return std::strerror(e);
  // On Windows a reader that has the file open (the exporter, mid-scrape) keeps it from
  // being replaced for a moment: try again a few times before calling it a failure.
  std::error_code ec;
  const auto deadline = std::chrono::steady_clock::now() + kRenameBudget;
  for (int attempt = 0;; ++attempt) {
    std::filesystem::rename(tempFile_, file_, ec);
    if (!ec || ec != std::errc::permission_denied) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    if (attempt % 2 == 0) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (ec) return ec.message();
  guard.Keep();
  return {};
}

void TextfileExport::CountOverload(const std::string& pool, const std::string& appPath) {
  std::lock_guard lock(overloadsMutex_);
  ++overloads_[{pool, appPath}];
}

std::optional<std::string> TextfileExport::Latest() const {
  std::lock_guard lock(latestMutex_);
  return latest_;
}

void TextfileExport::WritePass(const TIISObject& registry, double durationSeconds, double unixSeconds, TLog* log) {
  textfile::PassFigures pass;
  pass.durationSeconds = durationSeconds;
  pass.timestampSeconds = unixSeconds;
  pass.poolsSelected = CountSelected(registry.SelectedPools);
  for (std::int32_t i = 0; i < registry.PoolCount; ++i) {
    const TPoolRec& rec = registry.Pools[static_cast<std::size_t>(i)];
    if (rec.Name.empty()) continue;
    pass.pools.push_back({.name = rec.Name,
                          .apps = rec.AppCount,
                          .pid = rec.Pid,
                          .workingSetBytes = static_cast<std::int64_t>(rec.RamKB) * 1024,
                          .cpu = rec.Cpu,
                          .threads = rec.Threads,
                          .handles = rec.Handles,
                          .openFiles = rec.OpenFiles,
                          .tcpEndpoints = rec.OpenTcp});
  }
  {
    std::lock_guard lock(overloadsMutex_);
    pass.overloads = overloads_;
  }
  std::string text = textfile::FormatExposition(pass);
  const std::string error = dir_.empty() ? std::string() : Replace(text);
  {
    std::lock_guard lock(latestMutex_);
    latest_ = std::move(text);
  }
  if (!error.empty() && !failing_) {
    Say(log, "Metrics textfile [" + path_ + "] cannot be written: " + error);
  } else if (error.empty() && failing_) {
    Say(log, "Metrics textfile [" + path_ + "] is written again");
  }
  failing_ = !error.empty();
}

}  // namespace tarnwell
