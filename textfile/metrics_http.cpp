#include "textfile/metrics_http.h"

#include <algorithm>
#include <utility>

#include "textfile/textfile_export.h"

namespace tarnwell {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) { return Lower(x) == Lower(y); });
}

// "host:port", "[v6]:port"; nothing for any other text.
std::optional<MetricsUrl> ParseHostPort(std::string_view text) {
  std::string_view host;
  std::string_view port;
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
    host = text.substr(0, close + 1);
    port = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  const bool bracketed = host.starts_with('[');
  const bool hostOk = !host.empty() && std::none_of(host.begin(), host.end(), [bracketed](char c) {
    return c == ' ' || c == '\t' || c == '/' || c == '?' || c == '#' || (!bracketed && c == ':');
  });
  if (!hostOk || port.empty() || port.size() > 5) return std::nullopt;
  std::uint32_t number = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (number == 0 || number > 65535) return std::nullopt;
  MetricsUrl url;
  url.host = std::string(host);
  url.port = static_cast<std::uint16_t>(number);
  return url;
}

// A path compared as http.sys routes it: any case, with or without its final '/'.
std::string_view WithoutFinalSlash(std::string_view path) {
  if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

platform::HttpResponse Text(int status, const char* reason, std::string body) {
  platform::HttpResponse response;
  response.status = status;
  response.reason = reason;
  response.contentType = "text/plain; charset=utf-8";
  response.body = std::move(body);
  return response;
}

}  // namespace

std::string MetricsUrl::Prefix() const { return "http://" + host + ":" + std::to_string(port) + path; }

std::optional<MetricsUrl> ParseMetricsUrl(std::string_view text) {
  constexpr std::string_view kScheme = "http://";
  if (text.size() < kScheme.size() || !SameText(text.substr(0, kScheme.size()), kScheme)) {
    return text.find('/') == std::string_view::npos ? ParseHostPort(text) : std::nullopt;
  }
  text.remove_prefix(kScheme.size());
  const std::size_t slash = text.find('/');
  std::optional<MetricsUrl> url = ParseHostPort(text.substr(0, slash));
  if (!url || slash == std::string_view::npos) return url;
  const std::string_view path = text.substr(slash);
  // http.sys takes no query, fragment or blank in a prefix.
  if (path.find_first_of("?# \t") != std::string_view::npos || path.find("//") != std::string_view::npos) {
    return std::nullopt;
  }
  url->path = std::string(path);
  if (!url->path.ends_with('/')) url->path += '/';
  return url;
}

platform::HttpResponse AnswerMetricsRequest(const platform::HttpRequest& request, std::string_view servedPath,
                                            const std::optional<std::string>& latest) {
  if (!SameText(WithoutFinalSlash(request.path), WithoutFinalSlash(servedPath))) {
    return Text(404, "Not Found", "Tarnwell serves its latest pass at " + std::string(servedPath) + "\n");
  }
  if (request.method != "GET") {
    platform::HttpResponse response = Text(405, "Method Not Allowed", "Only GET is answered here\n");
    response.allow = "GET";
    return response;
  }
  // 503 rather than an empty page: a scrape that succeeds with no series would read as
  // "no pool runs", while up = 0 says what is true, that nothing has been measured yet.
  if (!latest) return Text(503, "Service Unavailable", "No monitoring pass has ended yet\n");
  platform::HttpResponse response;
  response.reason = "OK";
  response.contentType = kMetricsContentType;
  response.body = *latest;
  return response;
}

std::unique_ptr<platform::IHttpServer> ServeLatestPass(const platform::HttpServerFactory& serve, const MetricsUrl& url,
                                                       const TextfileExport& exposition,
                                                       const std::function<void(const std::string&)>& say) {
  const std::string prefix = url.Prefix();
  const auto fail = [&](const std::string& why) {
    say("Metrics cannot be served at [" + prefix + "]: " + why + ". Monitoring goes on.");
    return nullptr;
  };
  if (!serve) return fail("this program has no HTTP server of the system's to serve them with");
  try {
    std::unique_ptr<platform::IHttpServer> server =
        serve(prefix, [&exposition, path = url.path](const platform::HttpRequest& request) {
          return AnswerMetricsRequest(request, path, exposition.Latest());
        });
    say("Metrics served at [" + prefix + "]");
    return server;
  } catch (const platform::HttpServeError& e) {
    return fail(e.what());
  }
}

}  // namespace tarnwell
