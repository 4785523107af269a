#include "app/service/ServiceSettings.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "iis/iis.h"
#include "iis/iis_filter.h"
#include "platform/files/utf8_path.h"
#include "tasks/MonitoringPool.h"

namespace tarnwell {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";  // Notepad starts a UTF-8 file with one
constexpr std::string_view kKeys[] = {"pools", "interval", "textfile-dir", "http-address", "metabase"};

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// "[text]", built by appending: GCC 12 at -O3 warns falsely on a literal plus a string.
std::string Bracketed(std::string_view text) {
  std::string out = "[";
  out.append(text).append("]");
  return out;
}

}  // namespace

SettingsOutcome ParseServiceSettings(std::string_view text) {
  if (text.starts_with(kBom)) text.remove_prefix(kBom.size());
  ServiceSettings settings;
  std::map<std::string, int> seenOn;  // key -> its line
  const auto fail = [](int line, const std::string& what) {
    return SettingsOutcome{std::nullopt, "line " + std::to_string(line) + ": " + what};
  };
  int lineNo = 0;
  while (!text.empty() || lineNo == 0) {
    ++lineNo;
    const std::size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return fail(lineNo, Bracketed(line) + " is not \"key = value\"");
    const std::string key = LowerAscii(Trim(line.substr(0, equals)));
    std::string_view value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys)) {
      return fail(lineNo, "unknown setting " + Bracketed(key) + "; the settings are pools, interval, textfile-dir, "
                          "http-address and metabase");
    }
    if (const auto [at, fresh] = seenOn.emplace(key, lineNo); !fresh) {
      return fail(lineNo, Bracketed(key) + " is set again (first on line " + std::to_string(at->second) + ")");
    }
    const std::string v(value);
    if (key == "pools") {
      if (!v.empty()) {
        try {
          PoolFilter filter;
          filter.SetExpression(v);
        } catch (const RegexError& e) {
          return fail(lineNo, "the pools filter " + Bracketed(v) + " does not compile: " + e.what());
        }
      }
      settings.pools = v;
    } else if (key == "interval") {
      if (!IntervalSeconds(v)) return fail(lineNo, "interval " + Bracketed(v) + " is not a number of minutes (0 to 999)");
      settings.intervalMinutes = v;
    } else if (key == "textfile-dir") {
      settings.textfileDir = v;
    } else if (key == "http-address") {
      if (!v.empty()) {
        settings.http = ParseMetricsUrl(v);
        if (!settings.http) return fail(lineNo, "http-address " + Bracketed(v) + " is not " + kMetricsUrlForm);
      }
    } else {
      settings.metabase = v;
    }
  }
  return {settings, {}};
}

SettingsOutcome ReadServiceSettings(const std::string& path) {
  std::ifstream in(platform::PathFromUtf8(path), std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) return {std::nullopt, "The settings file " + path + " cannot be read"};
  SettingsOutcome outcome = ParseServiceSettings(text.str());
  if (!outcome.settings) outcome.error = "The settings file " + path + ", " + outcome.error;
  return outcome;
}

std::vector<std::string> DescribeServiceSettings(const ServiceSettings& s) {
  std::vector<std::string> lines;
  lines.push_back("Settings: pools " + (s.pools.empty() ? std::string("all") : "matching [" + s.pools + "]"));
  lines.push_back("Settings: interval " + s.intervalMinutes + " min" + (s.intervalMinutes == "0" ? " (back to back)" : ""));
  lines.push_back("Settings: textfile folder " + (s.textfileDir.empty() ? std::string("none") : "[" + s.textfileDir + "]"));
  lines.push_back("Settings: HTTP address " + (s.http ? Bracketed(s.http->Prefix()) : std::string("none")));
  if (!s.metabase.empty()) lines.push_back("Settings: metabase file [" + s.metabase + "]");
  return lines;
}

std::string DefaultServiceSettingsText() {
  return "# Tarnwell service settings: key = value, UTF-8; read when the service starts.\r\n"
         "# pools: a filter expression as in the Task tab (Perl-style, any case, matches anywhere);\r\n"
         "#        empty: every pool.\r\n"
         "pools =\r\n"
         "# interval: minutes between passes, 0 to 999; 0: back to back.\r\n"
         "interval = 3\r\n"
         "# textfile-dir: a folder for tarnwell.prom (a Prometheus textfile collector's); empty: none.\r\n"
         "textfile-dir =\r\n"
         "# http-address: the URL prefix to serve the latest pass at, through the system's HTTP\r\n"
         "#        server (http.sys), e.g. http://+:9185/metrics/ (every name of this server) or\r\n"
         "#        http://127.0.0.1:9185/metrics/; HOST:PORT is read as http://HOST:PORT/metrics/.\r\n"
         "#        Empty: not served.\r\n"
         "http-address =\r\n";
}

}  // namespace tarnwell
