#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <utility>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "iis/iis.h"
#include "logs/Logs.h"
#include "tests/fakes/null_seams.h"
#include "tests/logs/log_test_support.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "textfile/exposition.h"
#include "textfile/textfile_export.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace tarnwell {
namespace {

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The names in a folder, UTF-8.
std::vector<std::string> Names(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(platform::Utf8FromPath(entry.path().filename()));
  return names;
}

// Pool names of every kind that needs care: a quote, backslashes (one before a letter that
// is no escape), a line feed, other scripts, and bytes that are not UTF-8.
textfile::PassFigures OddNames() {
  return {.pools = {{.name = "Say \"hi\" C:\\Pools\\now\nthen", .apps = 2, .pid = 4242, .workingSetBytes = 12582912,
                     .cpu = 37, .threads = 25, .handles = 400, .openFiles = 40, .tcpEndpoints = 3},
                    {.name = "Küche 店", .apps = 1, .pid = 77, .cpu = -1},  // not measured: no CPU sample
                    {.name = "Idle", .apps = 5},                             // no worker
                    {.name = std::string("Bad\xC3(\xFF", 6), .apps = 1}},
          .durationSeconds = 0.5, .timestampSeconds = 1796727600.25, .poolsSelected = 3,
          .overloads = {{{"ShopPool", "/LM/W3SVC/2/ROOT/cart/"}, 4}}};
}

TEST(Exposition, LabelValuesAreEscapedAndEveryFamilyIsDescribed) {
  std::vector<std::string> lines;
  std::istringstream text(textfile::FormatExposition(OddNames()));
  for (std::string line; std::getline(text, line);) lines.push_back(line);

  const std::string shop = R"({pool="Say \"hi\" C:\\Pools\\now\nthen",pid="4242"} )";
  for (const auto& [family, value] : std::vector<std::pair<std::string, std::string>>{
           {"working_set_bytes", "12582912"}, {"cpu_percent", "37"}, {"threads", "25"}, {"handles", "400"},
           {"open_files", "40"}, {"tcp_endpoints", "3"}})
    EXPECT_TRUE(Has(lines, "tarnwell_pool_" + family + shop + value)) << family;
  EXPECT_TRUE(Has(lines, R"(tarnwell_pool_threads{pool="Küche 店",pid="77"} 0)"));
  EXPECT_TRUE(Has(lines, R"(tarnwell_pool_applications{pool="Idle"} 5)"));
  EXPECT_TRUE(Has(lines, "tarnwell_pool_applications{pool=\"Bad\xEF\xBF\xBD(\xEF\xBF\xBD\"} 1"));
  EXPECT_TRUE(Has(lines, "tarnwell_pass_duration_seconds 0.5"));
  EXPECT_TRUE(Has(lines, "tarnwell_pass_timestamp_seconds 1796727600.25"));
  EXPECT_TRUE(Has(lines, "tarnwell_pools_selected 3"));
  EXPECT_TRUE(Has(lines, R"(tarnwell_overload_reports_total{pool="ShopPool",app_path="/LM/W3SVC/2/ROOT/cart/"} 4)"));
  // No CPU sample for the unmeasured pool, no pid for the idle one; every sample's family
  // has its HELP and TYPE lines before it.
  std::set<std::string> described;
  for (const auto& line : lines) {
    EXPECT_EQ(line.find("pool=\"Küche 店\",pid=\"77\"} -1"), std::string::npos) << line;
    EXPECT_EQ(line.find("Idle\",pid"), std::string::npos) << line;
    if (line.rfind("# TYPE ", 0) == 0) described.insert(line.substr(7, line.find(' ', 7) - 7));
    if (line.empty() || line[0] == '#') continue;
    const std::string family = line.substr(0, line.find_first_of("{ "));
    EXPECT_TRUE(described.count(family)) << line;
  }
  EXPECT_TRUE(Has(lines, "# TYPE tarnwell_overload_reports_total counter"));
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("# HELP ", 0) == 0; }),
            11);
}

// The same names through Prometheus's own parser. promtool exits 1 on a parse error and 3
// on lint advice alone; the end-to-end test holds the real file to no advice at all.
TEST(Exposition, OddPoolNamesPassPrometheussOwnParser) {
#ifdef _WIN32
  GTEST_SKIP() << "promtool comes from Debian's prometheus package";
#else
  constexpr const char* kPromtool = "/usr/bin/promtool";
  if (!std::filesystem::exists(kPromtool))
    GTEST_SKIP() << kPromtool << " is not installed (Debian's prometheus package; the test command installs it)";
  testutil::TempDir dir;
  const std::string exposition = dir.File("odd.prom");
  const std::string said = dir.File("promtool.txt");
  testutil::WriteFile(exposition, textfile::FormatExposition(OddNames()));
  const int status =
      std::system((std::string(kPromtool) + " check metrics <'" + exposition + "' >'" + said + "' 2>&1").c_str());
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_TRUE(WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 3)
      << "promtool exited with " << WEXITSTATUS(status) << ": " << testutil::ReadAll(said);
#endif
}

TEST(TextfileExport, AReaderAtAnyMomentSeesAWholeFile) {
#ifdef _WIN32
  // Windows keeps a file that a reader holds from being replaced; a reader that comes back
  // every half millisecond keeps the writer out here (under wine for good), where a real
  // scrape is brief and the writer tries again for half a second.
  GTEST_SKIP() << "a reader in a tight loop holds the file against replacement on Windows";
#endif
  testutil::TempDir dir;
  TextfileExport out(dir.Dir());
  // Texts of different lengths, each ending in a line that names it.
  std::vector<std::string> texts;
  for (int i = 0; i < 4; ++i) texts.push_back(std::string(1000 * (i + 1) * (i + 1), 'x') + "\n# end " + std::to_string(i) + "\n");
  ASSERT_EQ(out.Replace(texts[0]), "");
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<int> reads{0};
  std::set<std::string> contents;  // reader thread until joined
  std::thread reader([&] {
    while (!done) {
      std::ifstream in(platform::PathFromUtf8(out.FilePath()), std::ios::binary);
      if (!in.is_open()) continue;  // Windows, in the instant of the replace: no look, not half a file
      std::ostringstream seen;
      seen << in.rdbuf();
      if (std::find(texts.begin(), texts.end(), seen.str()) == texts.end()) ++torn;
      contents.insert(seen.str());
      ++reads;
      in.close();
      // A scraper comes back now and then; one that never lets go would keep a Windows
      // writer out for good, which no exporter does.
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  std::string failed;
  // The writer goes on until the reader has had its looks, however late the reader starts.
  for (std::size_t i = 0; (i < 500 || reads < 100) && failed.empty(); ++i) failed = out.Replace(texts[i % texts.size()]);
  done = true;
  reader.join();
  EXPECT_EQ(failed, "");  // on Windows too, where an open reader holds the file for a moment
  EXPECT_EQ(torn, 0);
  EXPECT_GE(contents.size(), 2u) << "the reader saw the file change";
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"tarnwell.prom"});  // no temporary file left
}

// Every figure of the records under its own metric, and the ticked pools counted, not
// all of them; a folder that cannot be written is said once, and again when it works. The
// folder's name is outside ASCII, and the file lands in it under its own name.
TEST(TextfileExport, WritesEveryRecordFigureAndSaysOnceWhenTheFolderCannotBeWritten) {
  testutil::TempDir dir{testutil::kNonAsciiName};
  testutil::TestClock clock{testutil::At(2026, 12, 8, 9, 0)};
  TLog log{dir.Dir(), "", clock};
  fakes::NullMetabase metabase;
  fakes::NullProcessSystem processes;
  const auto registry = std::make_unique<TIISObject>(metabase, processes);
  // Not there yet; named beyond ASCII, as the program keeps names: UTF-8.
  const std::string folder = dir.File("exporter K\xC3\xBC" "che");
  TextfileExport out(folder);
  // No two figures alike, so that one written under another's metric shows.
  registry->PoolCount = 4;
  registry->Pools[0] = {.Name = "ShopPool", .AppCount = 2, .RamKB = 12288, .Cpu = 37, .Threads = 25, .OpenFiles = 40,
                        .OpenTcp = 3, .Handles = 400, .Pid = 4242, .Apps = {}};
  registry->Pools[1] = {.Name = "Blog", .AppCount = 1, .RamKB = 5000, .Cpu = -1, .Threads = 9, .OpenFiles = 6,
                        .OpenTcp = 8, .Handles = 120, .Pid = 77, .Apps = {}};
  // Record 2 holds no pool.
  registry->Pools[3] = {.Name = "Idle", .AppCount = 5, .Apps = {}};
  registry->SelectedPools = "ShopPool\tBlog\t";
  out.CountOverload("ShopPool", "/LM/W3SVC/1/ROOT/cart/");
  out.CountOverload("ShopPool", "/LM/W3SVC/1/ROOT/cart/");
  out.WritePass(*registry, 0.5, 1.0, &log);
  out.WritePass(*registry, 0.5, 2.0, &log);
  std::filesystem::create_directory(platform::PathFromUtf8(folder));
  out.WritePass(*registry, 0.5, 3.0, &log);
  out.WritePass(*registry, 0.25, 4.0, &log);
  const auto lines = testing::SplitCrLf(testutil::ReadAll(log.FileNameFor(clock.Now())));
  ASSERT_EQ(lines.size(), 3u);  // the opening's empty line, then one line each
  EXPECT_NE(lines[1].find("\tMetrics textfile [" + out.FilePath() + "] cannot be written: "), std::string::npos);
  EXPECT_NE(lines[2].find("\tMetrics textfile [" + out.FilePath() + "] is written again"), std::string::npos);
  EXPECT_TRUE(out.FilePath().starts_with(folder)) << out.FilePath();  // UTF-8, as the log line shows it
  EXPECT_EQ(Names(platform::PathFromUtf8(folder)), std::vector<std::string>{"tarnwell.prom"});

  std::vector<std::string> samples;
  std::istringstream text(testutil::ReadAll(out.FilePath()));
  for (std::string line; std::getline(text, line);)
    if (!line.starts_with("#")) samples.push_back(line);
  EXPECT_EQ(samples, (std::vector<std::string>{
                         R"(tarnwell_pool_working_set_bytes{pool="ShopPool",pid="4242"} 12582912)",
                         R"(tarnwell_pool_working_set_bytes{pool="Blog",pid="77"} 5120000)",
                         R"(tarnwell_pool_cpu_percent{pool="ShopPool",pid="4242"} 37)",
                         R"(tarnwell_pool_threads{pool="ShopPool",pid="4242"} 25)",
                         R"(tarnwell_pool_threads{pool="Blog",pid="77"} 9)",
                         R"(tarnwell_pool_handles{pool="ShopPool",pid="4242"} 400)",
                         R"(tarnwell_pool_handles{pool="Blog",pid="77"} 120)",
                         R"(tarnwell_pool_open_files{pool="ShopPool",pid="4242"} 40)",
                         R"(tarnwell_pool_open_files{pool="Blog",pid="77"} 6)",
                         R"(tarnwell_pool_tcp_endpoints{pool="ShopPool",pid="4242"} 3)",
                         R"(tarnwell_pool_tcp_endpoints{pool="Blog",pid="77"} 8)",
                         R"(tarnwell_pool_applications{pool="ShopPool"} 2)",
                         R"(tarnwell_pool_applications{pool="Blog"} 1)",
                         R"(tarnwell_pool_applications{pool="Idle"} 5)",
                         "tarnwell_pass_duration_seconds 0.25",
                         "tarnwell_pass_timestamp_seconds 4",
                         "tarnwell_pools_selected 2",
                         R"(tarnwell_overload_reports_total{pool="ShopPool",app_path="/LM/W3SVC/1/ROOT/cart/"} 2)",
                     }));
}

}  // namespace
}  // namespace tarnwell
