#pragma once
// Every monitoring pass's exposition: kept in memory as the latest pass (what the HTTP
// listener serves) and, with a folder, written to DIR/tarnwell.prom for the exporters'
// textfile collectors, replacing the file whole so that a scrape never sees half of it.
// Writing never disturbs monitoring: a folder that cannot be written to is said once in
// the daily log when it starts failing and once when it works again.
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace tarnwell {

class TIISObject;
class TLog;

class TextfileExport {
 public:
  // dir empty: no file, the latest pass in memory only.
  explicit TextfileExport(std::string dir);

  // The file the exporters read (none when dir is empty).
  const std::string& FilePath() const { return path_; }
  // Any thread: the latest pass's exposition; none before the first pass has ended.
  std::optional<std::string> Latest() const;

  // Monitoring thread, after a pass, with the registry still held: the pass's figures.
  // log: the daily log for the failure lines; may be null.
  void WritePass(const TIISObject& registry, double durationSeconds, double unixSeconds, TLog* log);
  // Analyser thread: one more OVERLOAD report of app in the analysed pool.
  void CountOverload(const std::string& pool, const std::string& appPath);

  // Replaces the file with text: empty on success, else why it failed.
  std::string Replace(const std::string& text);

 private:
  std::string dir_;
  std::filesystem::path file_;      // what reaches the system
  std::filesystem::path tempFile_;
  std::string path_;                // the same, UTF-8, for the log
  std::string tempPath_;
  std::mutex overloadsMutex_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> overloads_;
  bool failing_ = false;  // monitoring thread only
  mutable std::mutex latestMutex_;
  std::optional<std::string> latest_;
};

}  // namespace tarnwell
