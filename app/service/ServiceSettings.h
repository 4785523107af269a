#pragma once
// The service's settings file, tarnwell-service.ini beside the executable: UTF-8 lines of
// "key = value", "#" comments. Read once at the service's start; a bad setting stops it.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "textfile/metrics_http.h"

namespace tarnwell {

inline constexpr const char* kServiceSettingsFile = "tarnwell-service.ini";

struct ServiceSettings {
  std::string pools;                  // a filter expression as the Task tab's; empty: every pool
  std::string intervalMinutes = "3";  // whole minutes, 0 for back to back, as the window's box
  std::string textfileDir;            // where tarnwell.prom goes; empty: not written
  std::optional<MetricsUrl> http;     // where the latest pass is served; none: not served
  std::string metabase;               // a MetaBase.xml to read instead of the local IIS
  bool operator==(const ServiceSettings&) const = default;
};

struct SettingsOutcome {
  std::optional<ServiceSettings> settings;
  std::string error;  // one line naming the line and the fault, when settings is empty
};

SettingsOutcome ParseServiceSettings(std::string_view text);
// The file read and parsed; an unreadable file is an error too. Errors name the file.
SettingsOutcome ReadServiceSettings(const std::string& path);
// What the daily log says of the settings at the start, one line per setting.
std::vector<std::string> DescribeServiceSettings(const ServiceSettings& settings);
// A commented file of the defaults, for an install that finds none.
std::string DefaultServiceSettingsText();

}  // namespace tarnwell
