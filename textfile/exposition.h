#pragma once
// The Prometheus text exposition of one monitoring pass, as the node exporter's and
// windows_exporter's textfile collectors read it. Pure formatting: no files, no clocks.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwell::textfile {

struct PoolFigures {
  std::string name;
  std::int32_t apps = 0;
  std::int32_t pid = 0;  // 0: no worker this pass; only its application count is written
  std::int64_t workingSetBytes = 0;
  std::int32_t cpu = 0;  // percent of one processor; -1: not measured, not written
  std::int32_t threads = 0;
  std::int32_t handles = 0;
  std::int32_t openFiles = 0;
  std::int32_t tcpEndpoints = 0;
};

struct PassFigures {
  std::vector<PoolFigures> pools;
  double durationSeconds = 0;
  double timestampSeconds = 0;  // Unix time of the pass's end
  std::int32_t poolsSelected = 0;
  // (analysed pool, application path) -> OVERLOAD reports since the program started.
  std::map<std::pair<std::string, std::string>, std::uint64_t> overloads;
};

// A label value as the format wants it: backslash, double quote and line feed escaped;
// bytes that are not UTF-8 become U+FFFD, since the collectors refuse such a file whole.
std::string EscapeLabelValue(std::string_view value);

// The whole file: every metric with its HELP and TYPE lines, ending with a line feed.
std::string FormatExposition(const PassFigures& pass);

}  // namespace tarnwell::textfile
