#include "textfile/exposition.h"

#include <cstdio>
#include <type_traits>

namespace tarnwell::textfile {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when there is none.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = byte(i);
  if (b < 0x80) return 1;
  std::size_t n = 0;
  unsigned int min = 0;
  if ((b & 0xE0) == 0xC0) {
    n = 2;
    min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    n = 3;
    min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    n = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  unsigned int code = b & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return n;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

class Writer {
 public:
  void Family(const char* name, const char* type, const char* help) {
    out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  template <typename Value>
  void Sample(const char* name, const std::vector<std::pair<const char*, std::string>>& labels, Value value) {
    out_.append(name);
    if (!labels.empty()) {
      out_.push_back('{');
      for (std::size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) out_.push_back(',');
        out_.append(labels[i].first).append("=\"").append(EscapeLabelValue(labels[i].second)).append("\"");
      }
      out_.push_back('}');
    }
    out_.push_back(' ');
    if constexpr (std::is_floating_point_v<Value>) {
      out_.append(Number(value));
    } else {
      out_.append(std::to_string(value));
    }
    out_.push_back('\n');
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

struct PoolMetric {
  const char* name;
  const char* help;
  std::int64_t (*value)(const PoolFigures&);
  bool cpu = false;  // a figure that may be unmeasured (-1): such a pool has no sample
};

const PoolMetric kPoolMetrics[] = {
    {"tarnwell_pool_working_set_bytes", "Working set of the pool's worker process, in bytes.",
     [](const PoolFigures& p) { return p.workingSetBytes; }},
    {"tarnwell_pool_cpu_percent", "Processor use of the pool's worker process over half a second, in percent of one processor.",
     [](const PoolFigures& p) { return static_cast<std::int64_t>(p.cpu); }, true},
    {"tarnwell_pool_threads", "Threads of the pool's worker process.",
     [](const PoolFigures& p) { return static_cast<std::int64_t>(p.threads); }},
    {"tarnwell_pool_handles", "Handles (descriptors) held by the pool's worker process.",
     [](const PoolFigures& p) { return static_cast<std::int64_t>(p.handles); }},
    {"tarnwell_pool_open_files", "Files on local disks held open by the pool's worker process.",
     [](const PoolFigures& p) { return static_cast<std::int64_t>(p.openFiles); }},
    {"tarnwell_pool_tcp_endpoints", "TCP endpoints of the pool's worker process.",
     [](const PoolFigures& p) { return static_cast<std::int64_t>(p.tcpEndpoints); }},
};

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size();) {
    const char c = value[i];
    if (c == '\\') {
      out.append("\\\\");
    } else if (c == '"') {
      out.append("\\\"");
    } else if (c == '\n') {
      out.append("\\n");
    } else {
      const std::size_t n = Utf8Length(value, i);
      if (n == 0) {
        out.append("\xEF\xBF\xBD");
        ++i;
        continue;
      }
      out.append(value.substr(i, n));
      i += n;
      continue;
    }
    ++i;
  }
  return out;
}

std::string FormatExposition(const PassFigures& pass) {
  Writer w;
  for (const PoolMetric& metric : kPoolMetrics) {
    w.Family(metric.name, "gauge", metric.help);
    for (const PoolFigures& pool : pass.pools) {
      if (pool.pid == 0) continue;
      if (metric.cpu && pool.cpu < 0) continue;
      w.Sample(metric.name, {{"pool", pool.name}, {"pid", std::to_string(pool.pid)}}, metric.value(pool));
    }
  }
  w.Family("tarnwell_pool_applications", "gauge", "Applications in the pool.");
  for (const PoolFigures& pool : pass.pools) w.Sample("tarnwell_pool_applications", {{"pool", pool.name}}, pool.apps);
  w.Family("tarnwell_pass_duration_seconds", "gauge", "How long the last monitoring pass took.");
  w.Sample("tarnwell_pass_duration_seconds", {}, pass.durationSeconds);
  w.Family("tarnwell_pass_timestamp_seconds", "gauge", "When the last monitoring pass ended, in Unix time.");
  w.Sample("tarnwell_pass_timestamp_seconds", {}, pass.timestampSeconds);
  w.Family("tarnwell_pools_selected", "gauge", "Pools ticked for monitoring.");
  w.Sample("tarnwell_pools_selected", {}, pass.poolsSelected);
  w.Family("tarnwell_overload_reports_total", "counter",
           "OVERLOAD reports of the analyser since the program started, by analysed pool and application.");
  for (const auto& [key, count] : pass.overloads)
    w.Sample("tarnwell_overload_reports_total", {{"pool", key.first}, {"app_path", key.second}}, count);
  return w.Take();
}

}  // namespace tarnwell::textfile
