#pragma once
// The latest pass's exposition served over HTTP, through the system's HTTP server (the
// platform's HttpServerFactory): the URL an administrator gives, what each request gets,
// and the start of serving with its line in the daily log. Portable: the fake server of
// the tests calls the same answer the Windows program's http.sys thread does.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/http_server.h"

namespace tarnwell {

class TextfileExport;

// Where the latest pass is served: http://HOST:PORT/PATH/ as the HTTP Server API takes a
// URL prefix. HOST is "+" (every name), "*", a name or an address ("[::1]" for IPv6).
struct MetricsUrl {
  std::string host;
  std::uint16_t port = 0;
  std::string path = "/metrics/";  // starts and ends with '/'
  std::string Prefix() const;
  bool operator==(const MetricsUrl&) const = default;
};

// How a bad URL is named in the messages.
inline constexpr const char* kMetricsUrlForm = "a URL prefix such as http://+:9185/metrics/ (port 1 to 65535)";
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4";

// "http://HOST:PORT/PATH/" (the final '/' may be left off), "http://HOST:PORT" and the
// older settings' "HOST:PORT" (both served at /metrics/, Prometheus's default path);
// nothing for any other text.
std::optional<MetricsUrl> ParseMetricsUrl(std::string_view text);

// Listener thread: the answer to one request for servedPath, given the latest pass's
// exposition (none before the first pass has ended).
platform::HttpResponse AnswerMetricsRequest(const platform::HttpRequest& request, std::string_view servedPath,
                                            const std::optional<std::string>& latest);

// Starts serving exposition's latest pass at url, saying so in one line, or why not (and
// then nothing is served: monitoring goes on). serve empty: this program has no server.
// exposition must outlive the server returned.
std::unique_ptr<platform::IHttpServer> ServeLatestPass(const platform::HttpServerFactory& serve, const MetricsUrl& url,
                                                       const TextfileExport& exposition,
                                                       const std::function<void(const std::string&)>& say);

}  // namespace tarnwell
