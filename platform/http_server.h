#pragma once
// The system's own HTTP server, as the program uses it: a URL prefix registered with it,
// and each request under that prefix answered by a handler, on a thread of the server's
// own. Windows has the HTTP Server API (http.sys, platform/win32); the Linux program has
// none and serves nothing. Tests use a fake that calls the handler directly.
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace tarnwell::platform {

struct HttpRequest {
  std::string method;  // "GET", as sent
  std::string path;    // the absolute path without the query, percent-escapes as sent
};

struct HttpResponse {
  int status = 200;
  std::string reason;       // "OK"
  std::string contentType;  // empty: none sent
  std::string allow;        // the Allow header of a 405; empty: none sent
  std::string body;
};

// Called on the server's thread, one request at a time; must not raise.
using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

// Serving until destroyed; the destructor stops the server's thread and waits for it.
class IHttpServer {
 public:
  virtual ~IHttpServer() = default;
};

// Why a URL prefix cannot be served, in one line: taken by another program, no right to
// it, or no HTTP Server API on this system.
class HttpServeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Registers urlPrefix ("http://+:9185/metrics/") and answers its requests with handler
// until the server is destroyed. Raises HttpServeError.
using HttpServerFactory =
    std::function<std::unique_ptr<IHttpServer>(const std::string& urlPrefix, HttpHandler handler)>;

}  // namespace tarnwell::platform
