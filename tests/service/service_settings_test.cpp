// The service's settings file: what each line gives, and the one line that names a bad one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/service/ServiceSettings.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace tarnwell {
namespace {

ServiceSettings Defaults() { return {}; }

TEST(ServiceSettingsParse, GoodFilesGiveTheirSettings) {
  // Each case's settings are the defaults as its change leaves them. (Strings are moved in:
  // GCC 12 at -O3 warns falsely on a literal assigned to a string.)
  using Change = void (*)(ServiceSettings&);
  struct Case {
    const char* name;
    const char* text;
    Change change;
  };
  const Case cases[] = {
      {"empty file: every pool, 3 minutes", "", [](ServiceSettings&) {}},
      {"comments and blank lines", "# a comment\r\n\r\n   \t\n  # indented\n", [](ServiceSettings&) {}},
      {"every key, CRLF, blanks around",
       "pools = ^shop\r\ninterval=0\r\n  textfile-dir =  C:\\Program Files\\exporter  \r\n"
       "http-address = +:9182\r\nmetabase = \"C:\\tarnwell\\MetaBase.xml\"\r\n",
       [](ServiceSettings& s) {
         s.pools = std::string("^shop");
         s.intervalMinutes = std::string("0");
         s.textfileDir = std::string("C:\\Program Files\\exporter");
         s.http = MetricsUrl{"+", 9182, "/metrics/"};
         s.metabase = std::string("C:\\tarnwell\\MetaBase.xml");
       }},
      {"keys in any case, a byte-order mark first, no final newline", "\xEF\xBB\xBFPools = Pool$\nINTERVAL = 15",
       [](ServiceSettings& s) {
         s.pools = std::string("Pool$");
         s.intervalMinutes = std::string("15");
       }},
      {"empty values leave the defaults", "pools =\ninterval = 3\ntextfile-dir =\nhttp-address =\n", [](ServiceSettings&) {}},
      {"HOST:PORT, IPv6", "http-address = [::1]:80\n", [](ServiceSettings& s) { s.http = MetricsUrl{"[::1]", 80}; }},
      {"HOST:PORT, a host name and the last port", "http-address = web01.example:65535\n",
       [](ServiceSettings& s) { s.http = MetricsUrl{"web01.example", 65535}; }},
      {"a URL prefix as the window's --listen", "http-address = http://+:9185/metrics/\n",
       [](ServiceSettings& s) { s.http = MetricsUrl{"+", 9185, "/metrics/"}; }},
      {"a URL's scheme in any case, its path without the final slash", "http-address = HTTP://127.0.0.1:9185/tarnwell/prom\n",
       [](ServiceSettings& s) { s.http = MetricsUrl{"127.0.0.1", 9185, "/tarnwell/prom/"}; }},
      {"a URL without a path: Prometheus's", "http-address = http://[::1]:9185\n",
       [](ServiceSettings& s) { s.http = MetricsUrl{"[::1]", 9185, "/metrics/"}; }},
      {"a URL at the root", "http-address = http://*:80/\n", [](ServiceSettings& s) { s.http = MetricsUrl{"*", 80, "/"}; }},
      {"UTF-8 in a value", "pools = Pr\xC3\xBC" "fung\n", [](ServiceSettings& s) { s.pools = std::string("Pr\xC3\xBC" "fung"); }},
  };
  for (const Case& c : cases) {
    ServiceSettings expected;
    c.change(expected);
    const SettingsOutcome got = ParseServiceSettings(c.text);
    ASSERT_TRUE(got.settings) << c.name << ": " << got.error;
    EXPECT_EQ(*got.settings, expected) << c.name;
  }
}

TEST(ServiceSettingsParse, ABadLineIsNamedWithItsNumber) {
  struct Case {
    std::string text;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"pools = x\nport = 80\n", "line 2: unknown setting [port]"},
      {"\n\njust words\n", "line 3: [just words] is not \"key = value\""},
      {"interval = 2.5\n", "line 1: interval [2.5] is not a number of minutes (0 to 999)"},
      {"interval = -1\n", "line 1: interval [-1] is not a number of minutes"},
      {"interval = 1000\n", "line 1: interval [1000] is not a number of minutes"},
      {"interval =\n", "line 1: interval [] is not a number of minutes"},
      {"pools = ([a-z\n", "line 1: the pools filter [([a-z] does not compile: "},
      {"interval = 1\n# again\ninterval = 2\n", "line 3: [interval] is set again (first on line 1)"},
      {"http-address = 9182\n", "line 1: http-address [9182] is not a URL prefix such as http://+:9185/metrics/"},
      {"http-address = +:0\n", "line 1: http-address [+:0] is not a URL prefix"},
      {"http-address = +:65536\n", "line 1: http-address [+:65536] is not a URL prefix"},
      {"http-address = [::1]80\n", "line 1: http-address [[::1]80] is not a URL prefix"},
      {"http-address = https://+:443/metrics/\n", "line 1: http-address [https://+:443/metrics/] is not a URL prefix"},
      {"http-address = http://+/metrics/\n", "line 1: http-address [http://+/metrics/] is not a URL prefix"},
      {"http-address = http://+:9185/metrics/?x=1\n", "line 1: http-address [http://+:9185/metrics/?x=1] is not"},
      {"http-address = +:9185/metrics/\n", "line 1: http-address [+:9185/metrics/] is not a URL prefix"},
  };
  for (const Case& c : cases) {
    const SettingsOutcome got = ParseServiceSettings(c.text);
    EXPECT_FALSE(got.settings) << c.text;
    EXPECT_TRUE(got.error.starts_with(c.error)) << c.text << " gave: " << got.error;
  }
}

TEST(ServiceSettingsRead, TheFileIsReadAndAMissingOneIsNamed) {
  testutil::TempDir dir(testutil::kNonAsciiName);
  const std::string path = dir.File(kServiceSettingsFile);
  EXPECT_EQ(ReadServiceSettings(path).error, "The settings file " + path + " cannot be read");
  testutil::WriteFile(path, "interval = 7\nbogus = 1\n");
  EXPECT_EQ(ReadServiceSettings(path).error,
            "The settings file " + path + ", line 2: unknown setting [bogus]; the settings are pools, interval, "
            "textfile-dir, http-address and metabase");
  // What an install writes when it finds none is a good file of the defaults.
  testutil::WriteFile(path, DefaultServiceSettingsText());
  const SettingsOutcome defaults = ReadServiceSettings(path);
  ASSERT_TRUE(defaults.settings) << defaults.error;
  EXPECT_EQ(*defaults.settings, Defaults());
}

TEST(ServiceSettingsDescribe, EachSettingIsOneLineOfTheDailyLog) {
  EXPECT_EQ(DescribeServiceSettings(Defaults()),
            (std::vector<std::string>{"Settings: pools all", "Settings: interval 3 min", "Settings: textfile folder none",
                                      "Settings: HTTP address none"}));
  const ServiceSettings s{.pools = "^shop", .intervalMinutes = "0", .textfileDir = "/srv/prom",
                          .http = MetricsUrl{"+", 9182}, .metabase = "/srv/MetaBase.xml"};
  EXPECT_EQ(DescribeServiceSettings(s),
            (std::vector<std::string>{"Settings: pools matching [^shop]", "Settings: interval 0 min (back to back)",
                                      "Settings: textfile folder [/srv/prom]",
                                      "Settings: HTTP address [http://+:9182/metrics/]",
                                      "Settings: metabase file [/srv/MetaBase.xml]"}));
}

}  // namespace
}  // namespace tarnwell
