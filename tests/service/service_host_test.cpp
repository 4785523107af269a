// The service's monitoring on the fake seams: a start reads the settings and monitors the
// pools the filter takes; a stop lets the pass in progress write its lines; a start that
// cannot monitor, and a monitor that stops on an error, end the run with one line and a code.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/service/ServiceHost.h"
#include "tasks/MonitoringPool.h"
#include "tasks/MonitoringPoolLock.h"
#include "tests/fakes/fake_metabase.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/support/fake_http_server.h"
#include "tests/support/files.h"
#include "tests/support/gated_metabase.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_clock.h"

namespace tarnwell {
namespace {

using namespace std::chrono_literals;
using testutil::At;

constexpr auto kPatience = 30s;  // only a hang waits this long

// The host owns its metabase; the test keeps the real one.
class BorrowedMetabase final : public platform::IMetabase {
 public:
  explicit BorrowedMetabase(platform::IMetabase& inner) : inner_(inner) {}
  std::unique_ptr<platform::IMetabaseObject> Bind(std::string_view path) override { return inner_.Bind(path); }

 private:
  platform::IMetabase& inner_;
};

class ServiceHostTest : public ::testing::Test {
 protected:
  testutil::TempDir exe_{testutil::kNonAsciiName};
  testutil::TempDir prom_;
  testutil::TestClock clock_{At(2026, 12, 6, 10, 0)};
  fakes::FakeMetabase metabase_;
  fakes::FakeProcessSystem processes_;
  testutil::GatedMetabase gate_{metabase_};
  std::string askedStore_ = "(not asked)";
  bool openerFails_ = false;
  testutil::FakeHttpServers http_;
  std::unique_ptr<ServiceHost> host_;

  std::mutex mutex_;
  std::condition_variable waiting_;

  void SetUp() override {
    for (const char* pool : {"DefaultAppPool", "Idle", "Other"}) metabase_.AddPool(pool);
    metabase_.AddApp("/LM/W3SVC/1/ROOT", "DefaultAppPool");
    metabase_.AddApp("/LM/W3SVC/1/ROOT/idle", "Idle");
    metabase_.AddApp("/LM/W3SVC/1/ROOT/other", "Other");
    processes_.AddWorker(2044, "DefaultAppPool", 7, 12345 * 1024, 25);
    processes_.AddWorker(2300, "Other", 50, 4096 * 1024, 3);
    gate_.onWaiting = [this] { waiting_.notify_all(); };
    MakeHost();
  }
  void MakeHost() {
    host_ = std::make_unique<ServiceHost>(
        exe_.Dir(),
        [this](const std::string& store) -> std::unique_ptr<platform::IMetabase> {
          askedStore_ = store;
          if (openerFails_) throw std::runtime_error("no such file");
          return std::make_unique<BorrowedMetabase>(gate_);
        },
        processes_, clock_, http_.Factory());
  }
  void TearDown() override {
    gate_.Open();
    host_.reset();
  }

  std::string LogDir() const { return exe_.Dir() + "log" + static_cast<char>(std::filesystem::path::preferred_separator); }
  std::string Settings(const std::string& text) {
    const std::string path = exe_.File(kServiceSettingsFile);
    testutil::WriteFile(path, text);
    return path;
  }
  std::vector<std::string> Lines(const std::string& file) const {
    std::vector<std::string> out;
    const std::string text = testutil::ReadAll(LogDir() + file);
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = text.find("\r\n", at);
      if (end != at) out.push_back(text.substr(at, end - at));  // each line starts with a CRLF
      at = end == std::string::npos ? text.size() : end + 2;
    }
    return out;
  }
  // The daily log's messages, each without its two stamps.
  std::vector<std::string> Daily() const {
    std::vector<std::string> out;
    for (const std::string& line : Lines("trnw061226.log")) out.push_back(line.substr(line.find('\t') + 1 + 22));
    return out;
  }
  int DailyCount(const std::string& message) const { return static_cast<int>(std::ranges::count(Daily(), message)); }
  // The monitoring log's data lines without their stamps.
  std::vector<std::string> Data() const {
    std::vector<std::string> out;
    for (const std::string& line : Lines("trnw-mon-061226.log")) {
      if (!line.starts_with('#')) out.push_back(line.substr(line.find('\t') + 1));
    }
    return out;
  }
  bool LockFree() const { return MonitoringLock(LogDir(), MonitorHolder::Window).Held(); }
};

TEST_F(ServiceHostTest, StopDuringAPassLetsItWriteItsLinesAndEndsTheRun) {
  gate_.Shut();
  const auto start = host_->Start(Settings("pools = ^default|^idle\ninterval = 1\ntextfile-dir = " + prom_.Dir() +
                                           "\nhttp-address = +:9182\nmetabase = /srv/MetaBase.xml\n"));
  ASSERT_EQ(start.exit, ServiceHost::Exit::Ok) << start.message;
  EXPECT_EQ(askedStore_, "/srv/MetaBase.xml");
  {
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(waiting_.wait_for(lock, kPatience, [this] { return gate_.Waiting() > 0; })) << "no pass began";
  }
  EXPECT_FALSE(LockFree()) << "the service holds the log folder while it monitors";
  host_->RequestStop();  // while the pass waits at the metabase
  gate_.Open();
  ASSERT_TRUE(host_->WaitForEnd(kPatience));
  EXPECT_EQ(host_->Ended().exit, ServiceHost::Exit::Ok);

  // The pass ran whole: Idle has no worker, Other is not taken by the filter.
  EXPECT_EQ(Data(), std::vector<std::string>{"DefaultAppPool\t1\t12345\t7\t25\t0\t0\t0\t2044"});
  EXPECT_EQ(Lines("trnw-mon-061226.log").front(), kMonitoringHeader);
  EXPECT_TRUE(testutil::ReadAll(prom_.Dir() + "tarnwell.prom").find("tarnwell_pools_selected 2") != std::string::npos);
  for (const char* line : {"Service start.", "Settings: pools matching [^default|^idle]", "Settings: interval 1 min",
                           "Settings: HTTP address [http://+:9182/metrics/]",
                           "Metrics served at [http://+:9182/metrics/]",
                           "Start monitoring",
                           "Monitoring interval (min) : 1", "Monitoring pools : 2", "Stop monitoring pool"}) {
    EXPECT_EQ(DailyCount(line), 1) << line;
  }
  host_.reset();
  EXPECT_EQ(Daily().back(), "Service stop.");
  EXPECT_TRUE(LockFree());
}

TEST_F(ServiceHostTest, TheHttpAddressServesTheLatestPassFromTheStartToTheStop) {
  // No textfile folder: the page is kept in memory all the same.
  const std::string url = "http://+:9182/metrics/";
  gate_.Shut();
  ASSERT_EQ(host_->Start(Settings("interval = 0\nhttp-address = +:9182\n")).exit, ServiceHost::Exit::Ok);
  EXPECT_EQ(DailyCount("Metrics served at [" + url + "]"), 1);
  EXPECT_EQ(http_.Ask(url, "/metrics/")->status, 503) << "no pass has ended yet";
  gate_.Open();
  ASSERT_TRUE(host_->WaitForPasses(2, kPatience));
  const auto page = http_.Ask(url, "/metrics/");
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->contentType, "text/plain; version=0.0.4");
  EXPECT_NE(page->body.find("tarnwell_pool_cpu_percent{pool=\"DefaultAppPool\",pid=\"2044\"} 7\n"), std::string::npos)
      << page->body;
  EXPECT_EQ(http_.Ask(url, "/metrics/other")->status, 404);
  host_.reset();
  EXPECT_FALSE(http_.Serves(url)) << "the stop gives the URL back";
}

TEST_F(ServiceHostTest, AUrlTakenByAnotherProgramIsOneLineAndMonitoringGoesOn) {
  http_.Take("http://127.0.0.1:9185/metrics/");
  ASSERT_EQ(host_->Start(Settings("interval = 0\nhttp-address = http://127.0.0.1:9185/metrics/\n")).exit,
            ServiceHost::Exit::Ok);
  ASSERT_TRUE(host_->WaitForPasses(2, kPatience));
  EXPECT_EQ(DailyCount("Metrics cannot be served at [http://127.0.0.1:9185/metrics/]: the URL is registered already, "
                       "by another program or another Tarnwell. Monitoring goes on."),
            1);
  EXPECT_FALSE(host_->WaitForEnd(0ms)) << "the service goes on monitoring";
}

TEST_F(ServiceHostTest, BackToBackPassesEachWriteALinePerPoolUntilStopped) {
  ASSERT_EQ(host_->Start(Settings("interval = 0\n")).exit, ServiceHost::Exit::Ok);
  ASSERT_TRUE(host_->WaitForPasses(3, kPatience));
  host_->RequestStop();
  ASSERT_TRUE(host_->WaitForEnd(kPatience));
  const int passes = DailyCount("Monitoring pools : 3");  // every pool: no filter
  EXPECT_GE(passes, 3);
  const std::vector<std::string> data = Data();
  EXPECT_EQ(std::ranges::count_if(data, [](const std::string& l) { return l.starts_with("DefaultAppPool\t"); }), passes);
  EXPECT_EQ(std::ranges::count_if(data, [](const std::string& l) { return l.starts_with("Other\t"); }), passes);
  EXPECT_EQ(data.size(), static_cast<std::size_t>(2 * passes));
}

TEST_F(ServiceHostTest, AStartThatCannotMonitorSaysWhyAndMonitorsNothing) {
  struct Case {
    const char* name;
    const char* settings;  // null: no file
    bool windowMonitors;
    bool openerFails;
    ServiceHost::Exit exit;
    std::string message;  // its start
  };
  const std::vector<Case> cases = {
      {"no settings file", nullptr, false, false, ServiceHost::Exit::BadSettings, "The settings file "},
      {"a bad interval", "interval = soon\n", false, false, ServiceHost::Exit::BadSettings, "The settings file "},
      {"a metabase that cannot be opened", "", false, true, ServiceHost::Exit::BadSettings,
       "Cannot open the metabase: no such file. The service stops."},
      {"the window monitors", "", true, false, ServiceHost::Exit::Busy, "A Tarnwell window is monitoring into "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host_.reset();
    std::filesystem::remove_all(exe_.Path());
    std::filesystem::create_directories(exe_.Path() / "log");
    openerFails_ = c.openerFails;
    std::optional<MonitoringLock> window;
    if (c.windowMonitors) window.emplace(LogDir(), MonitorHolder::Window);
    MakeHost();
    const std::string file = c.settings ? Settings(c.settings) : exe_.File(kServiceSettingsFile);
    const ServiceHost::Outcome got = host_->Start(file);
    EXPECT_EQ(got.exit, c.exit);
    EXPECT_TRUE(got.message.starts_with(c.message)) << got.message;
    EXPECT_TRUE(got.message.ends_with(". The service stops.")) << got.message;
    if (c.windowMonitors) {
      EXPECT_EQ(got.message, c.message + host_->LogDirectory() + ". The service stops.");
    }
    EXPECT_TRUE(host_->WaitForEnd(0ms)) << "nothing runs";
    EXPECT_EQ(DailyCount(got.message), 1);
    EXPECT_EQ(DailyCount("Start monitoring"), 0);
    EXPECT_FALSE(std::filesystem::exists(platform::PathFromUtf8(LogDir() + "trnw-mon-061226.log")));
    window.reset();
    EXPECT_TRUE(LockFree());
  }
}

TEST_F(ServiceHostTest, AMonitorStoppingOnAnErrorEndsTheRunSayingWhy) {
  metabase_.SetEnumAppsResult("DefaultAppPool", std::string("not a list"));
  ASSERT_EQ(host_->Start(Settings("")).exit, ServiceHost::Exit::Ok);
  ASSERT_TRUE(host_->WaitForEnd(kPatience)) << "the service must not stay up doing nothing";
  const ServiceHost::Outcome ended = host_->Ended();
  EXPECT_EQ(ended.exit, ServiceHost::Exit::Failed);
  EXPECT_EQ(ended.message,
            "Monitoring stopped on an error: EnumAppsInPool of pool [DefaultAppPool] did not give a list. The service stops.");
  EXPECT_EQ(DailyCount(ended.message), 1);
  host_.reset();
  EXPECT_TRUE(LockFree());
}

}  // namespace
}  // namespace tarnwell
