// Every pass's figures reach Prometheus through the real exporter: Debian's node exporter
// reads the program's textfile, Debian's Prometheus scrapes it every second, all on
// 127.0.0.1, all started and stopped here.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>

#include "platform/linux/unique_fd.h"
#include "tests/e2e/e2e_support.h"

namespace tarnwell::e2e {
namespace {

constexpr const char* kPrometheus = "/usr/bin/prometheus";
constexpr const char* kNodeExporter = "/usr/bin/prometheus-node-exporter";
constexpr const char* kPromtool = "/usr/bin/promtool";

// A loopback port nobody listens on now.
int FreePort() {
  platform::linux_proc::UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return 0;
  return ntohs(address.sin_port);
}

TEST(PrometheusE2e, EveryPoolReachesPrometheusWithItsProcessId) {
  if (!std::filesystem::exists(kPrometheus) || !std::filesystem::exists(kNodeExporter))
    GTEST_SKIP() << "Debian's prometheus and prometheus-node-exporter are not installed";
  TempDir dir;
  const std::string metabase = dir.File("MetaBase.xml");
  const std::string textfiles = dir.File("textfile");
  std::filesystem::create_directory(textfiles);
  WriteTwoPoolMetabase(metabase, "PromTestPoolA", "PromTestBücher");  // a name that is not ASCII too
  ChildProcess service = StartW3svc(metabase, dir.File("w3svc.log"));
  ASSERT_TRUE(WaitUntil(30s, [&] { return Workers(service.pid()).size() == 2; }));
  ChildProcess driver =
      StartDriver(dir.File("app"), metabase, {"--monitor", "0", "--textfile-dir", textfiles}, dir.File("driver.log"));

  const int exporterPort = FreePort();
  const int prometheusPort = FreePort();
  ASSERT_TRUE(exporterPort > 0 && prometheusPort > 0 && exporterPort != prometheusPort);
  ChildProcess exporter = ChildProcess::Start(
      {kNodeExporter, "--web.listen-address=127.0.0.1:" + std::to_string(exporterPort), "--collector.disable-defaults",
       "--collector.textfile", "--collector.textfile.directory=" + textfiles},
      {}, dir.File("exporter.log"));
  const std::string config = dir.File("prometheus.yml");
  testutil::WriteFile(config, "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                              "scrape_configs:\n  - job_name: tarnwell\n    static_configs:\n"
                              "      - targets: ['127.0.0.1:" + std::to_string(exporterPort) + "']\n");
  ChildProcess prometheus = ChildProcess::Start(
      {kPrometheus, "--config.file=" + config, "--storage.tsdb.path=" + dir.File("tsdb"),
       "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
      {}, dir.File("prometheus.log"));
  ASSERT_TRUE(driver.pid() > 0 && exporter.pid() > 0 && prometheus.pid() > 0);

  // Every running worker (the service restarts one that ends), asked for by its pool's
  // name as the administrator spells it, under its pid.
  std::string answers;
  const bool bothSeen = WaitUntil(90s, [&] {
    answers.clear();
    const auto running = Workers(service.pid());
    return running.size() == 2 && std::all_of(running.begin(), running.end(), [&](const auto& worker) {
             const std::string answer =
                 RunCommand(std::string(kPromtool) + " query instant -o json http://127.0.0.1:" +
                            std::to_string(prometheusPort) + " 'tarnwell_pool_cpu_percent{pool=\"" + worker.first +
                            "\"}'").output;
             answers += answer;
             return answer.find("\"pid\":\"" + std::to_string(worker.second) + "\"") != std::string::npos &&
                    answer.find("\"pool\":\"" + worker.first + "\"") != std::string::npos;
           });
  });
  std::cout << "Prometheus answered: " << answers << std::endl;
  EXPECT_TRUE(bothSeen) << "last answers: " << answers;
  const auto check = RunCommand(std::string(kPromtool) + " check metrics < '" + textfiles + "/tarnwell.prom' 2>&1");
  EXPECT_EQ(check.status, 0) << check.output;

  driver.Send("close");
  EXPECT_TRUE(driver.SignalAndWait(0, 60s).has_value());
}

}  // namespace
}  // namespace tarnwell::e2e
