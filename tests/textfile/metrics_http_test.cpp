// What the HTTP listener answers: the latest pass at the served path as http.sys routes it
// (any case, with or without its final '/'), nothing measured yet before the first pass,
// and 404 for any other path under the prefix.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "textfile/metrics_http.h"

namespace tarnwell {
namespace {

TEST(MetricsHttpAnswer, EachRequestGetsItsStatusTypeAndBody) {
  const std::string page = "# HELP tarnwell_pools_selected x\ntarnwell_pools_selected 1\n";
  struct Case {
    const char* method;
    const char* path;
    std::optional<std::string> latest;
    int status;
    const char* contentType;
    std::string body;  // its start
  };
  const std::vector<Case> cases = {
      {"GET", "/metrics/", page, 200, "text/plain; version=0.0.4", page},
      {"GET", "/metrics", page, 200, "text/plain; version=0.0.4", page},
      {"GET", "/METRICS/", page, 200, "text/plain; version=0.0.4", page},
      {"GET", "/metrics/", std::nullopt, 503, "text/plain; charset=utf-8", "No monitoring pass has ended yet"},
      {"GET", "/metrics/other", page, 404, "text/plain; charset=utf-8", "Tarnwell serves its latest pass at /metrics/"},
      {"GET", "/metricsx", page, 404, "text/plain; charset=utf-8", "Tarnwell serves"},
      {"GET", "/", page, 404, "text/plain; charset=utf-8", "Tarnwell serves"},
      {"POST", "/metrics/", page, 405, "text/plain; charset=utf-8", "Only GET"},
      {"POST", "/other", page, 404, "text/plain; charset=utf-8", "Tarnwell serves"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    const platform::HttpResponse got = AnswerMetricsRequest({c.method, c.path}, "/metrics/", c.latest);
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.contentType, c.contentType);
    EXPECT_TRUE(got.body.starts_with(c.body)) << got.body;
    EXPECT_EQ(got.allow, c.status == 405 ? "GET" : "");
  }
  // A prefix of its own root serves there only.
  EXPECT_EQ(AnswerMetricsRequest({"GET", "/"}, "/", page).status, 200);
  EXPECT_EQ(AnswerMetricsRequest({"GET", "/metrics"}, "/", page).status, 404);
}

}  // namespace
}  // namespace tarnwell
