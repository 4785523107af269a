// Every pass's figures reach Prometheus through the real exporter: Debian's node exporter
// reads the program's textfile, Debian's Prometheus scrapes it every second, all on
// 127.0.0.1, all started and stopped here.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "iis/iis_workers.h"
#include "platform/linux/process_system_linux.h"
#include "platform/linux/unique_fd.h"
#include "tests/e2e/e2e_support.h"

namespace tarnwell::e2e {
namespace {

using namespace std::chrono_literals;
using platform::linux_proc::UniqueFd;

constexpr const char* kPrometheus = "/usr/bin/prometheus";
constexpr const char* kNodeExporter = "/usr/bin/prometheus-node-exporter";
constexpr const char* kPromtool = "/usr/bin/promtool";

// A loopback port nobody listens on now.
int FreePort() {
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return 0;
  return ntohs(address.sin_port);
}

// The body of an HTTP GET on 127.0.0.1; empty when nothing answers.
std::string HttpGet(int port, const std::string& path) {
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return {};
  std::string response;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(s.get(), buffer, sizeof buffer, 0)) > 0;) response.append(buffer, static_cast<std::size_t>(n));
  const auto body = response.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : response.substr(body + 4);
}

TEST(PrometheusE2e, EveryPoolReachesPrometheusWithItsProcessId) {
  if (!std::filesystem::exists(kPrometheus) || !std::filesystem::exists(kNodeExporter))
    GTEST_SKIP() << "Debian's prometheus and prometheus-node-exporter are not installed";
  testutil::TempDir dir;
  const std::string metabase = dir.File("MetaBase.xml");
  const std::string textfiles = dir.File("textfile");
  std::filesystem::create_directory(textfiles);
  ASSERT_TRUE(WriteTwoPoolMetabase(metabase, "PromTestPoolA", "PromTestPoolB"));

  ChildProcess service = ChildProcess::Start({TARNWELL_W3SVC_EXE, "--metabase", metabase, "--worker", TARNWELL_W3WP_EXE},
                                             {}, dir.File("w3svc.log"));
  ASSERT_GT(service.pid(), 0);
  ASSERT_TRUE(WaitUntil(30s, [&] { return WorkersOf(service.pid()).size() == 2; }));
  auto system = platform::linux_proc::OpenProcSystem();
  // Pool -> pid of the workers running now (the service restarts one that ends).
  const auto workers = [&] {
    std::map<std::string, pid_t> byPool;
    for (pid_t pid : WorkersOf(service.pid()))
      byPool[ExtractPoolName(system->CommandLine(static_cast<std::uint32_t>(pid)))] = pid;
    return byPool;
  };

  ChildProcess driver = ChildProcess::Start(
      {TARNWELL_E2E_DRIVER, "--dir", dir.File("app"), "--monitor", "0", "--textfile-dir", textfiles},
      {"IIS_METABASE=" + metabase}, dir.File("driver.log"));
  ASSERT_GT(driver.pid(), 0);

  const int exporterPort = FreePort();
  const int prometheusPort = FreePort();
  ASSERT_TRUE(exporterPort > 0 && prometheusPort > 0 && exporterPort != prometheusPort);
  ChildProcess exporter = ChildProcess::Start(
      {kNodeExporter, "--web.listen-address=127.0.0.1:" + std::to_string(exporterPort), "--collector.disable-defaults",
       "--collector.textfile", "--collector.textfile.directory=" + textfiles},
      {}, dir.File("exporter.log"));
  ASSERT_GT(exporter.pid(), 0);
  const std::string config = dir.File("prometheus.yml");
  std::ofstream(config) << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                        << "scrape_configs:\n  - job_name: tarnwell\n    static_configs:\n"
                        << "      - targets: ['127.0.0.1:" << exporterPort << "']\n";
  ChildProcess prometheus = ChildProcess::Start(
      {kPrometheus, "--config.file=" + config, "--storage.tsdb.path=" + dir.File("tsdb"),
       "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
      {}, dir.File("prometheus.log"));
  ASSERT_GT(prometheus.pid(), 0);

  std::string answer;
  const bool bothSeen = WaitUntil(90s, [&] {
    answer = HttpGet(prometheusPort, "/api/v1/query?query=tarnwell_pool_cpu_percent");
    const auto running = workers();
    if (running.size() != 2) return false;
    for (const auto& [pool, pid] : running) {
      if (answer.find("\"pid\":\"" + std::to_string(pid) + "\"") == std::string::npos ||
          answer.find("\"pool\":\"" + pool + "\"") == std::string::npos)
        return false;
    }
    return true;
  });
  std::cout << "Prometheus answered: " << answer << std::endl;
  EXPECT_TRUE(bothSeen) << "last answer: " << answer;

  const std::string check = std::string(kPromtool) + " check metrics < '" + textfiles + "/tarnwell.prom' 2>&1";
  EXPECT_EQ(std::system(check.c_str()), 0) << check;

  driver.Send("close");
  EXPECT_TRUE(driver.SignalAndWait(0, 60s).has_value());
}

}  // namespace
}  // namespace tarnwell::e2e
