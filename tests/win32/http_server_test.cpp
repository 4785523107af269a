// The HTTP Server API binding under wine's http.sys: a registered prefix answers a GET with
// the handler's status, headers and body over a real socket; a prefix already taken is
// refused with its reason; destroying the server ends its thread while it waits.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/win32/http_server_win32.h"
#include "tests/win32/http_get.h"

namespace tarnwell {
namespace {

using platform::HttpRequest;
using platform::HttpResponse;

TEST(HttpSysServer, AnswersWithTheHandlersPageAndRefusesATakenPrefix) {
  const unsigned short port = wintest::FreeLoopbackPort();
  ASSERT_NE(port, 0);
  const std::string prefix = "http://127.0.0.1:" + std::to_string(port) + "/metrics/";
  auto server = platform::win32::ServeHttp(prefix, [](const HttpRequest& request) {
    HttpResponse response;
    response.status = request.path == "/metrics/" ? 200 : 404;
    response.reason = response.status == 200 ? "OK" : "Not Found";
    response.contentType = "text/plain; version=0.0.4";
    response.body = request.method + " " + request.path + "\n";
    return response;
  });
  const wintest::HttpReply page = wintest::HttpGet(port, "/metrics/?debug=1");
  EXPECT_EQ(page.status, 200) << page.error << page.headers;
  EXPECT_NE(page.headers.find("\r\nContent-Type: text/plain; version=0.0.4\r\n"), std::string::npos) << page.headers;
  EXPECT_EQ(page.body, "GET /metrics/\n") << "the path without its query";
  const wintest::HttpReply other = wintest::HttpGet(port, "/metrics/other");
  EXPECT_EQ(other.status, 404) << other.error << other.headers;
  EXPECT_EQ(other.body, "GET /metrics/other\n");

  // Last: wine's http.sys closes every listening socket when a queue closes.
  try {
    platform::win32::ServeHttp(prefix, [](const HttpRequest&) { return HttpResponse{}; });
    ADD_FAILURE() << "a second registration of " << prefix << " was taken";
  } catch (const platform::HttpServeError& e) {
    EXPECT_STREQ(e.what(), "the URL is registered already, by another program or another Tarnwell");
  }
  server.reset();  // while its thread waits for a request: must not hang
}

}  // namespace
}  // namespace tarnwell
