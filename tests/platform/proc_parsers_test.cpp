#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/proc_parsers.h"

namespace tarnwell::platform::linux_proc {
namespace {

using namespace std::string_literals;

// Real lines, as the kernel writes them.
constexpr std::string_view kStatCat =
    "8418 (cat) R 8414 8414 3619 0 -1 4194304 100 0 0 0 0 0 0 0 20 0 1 0 545132 3133440 362 "
    "18446744073709551615 94452838703104 94452838722985 140736525806688 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";
constexpr std::string_view kStatW3wp =
    "2044 (w3wp.exe) S 1 2044 2044 0 -1 4194560 812 0 0 0 25 3 0 0 20 0 23 0 99120 51380224 3072 "
    "18446744073709551615 1 1 0 0 0 0 0 4096 0 0 0 0 17 1 0 0 0 0 0\n";

TEST(ParseStat, ReadsThreadsStartTimeAndCommWhichEndsAtTheLastParenthesis) {
  struct Case {
    std::string_view text;
    const char* comm;
    char state;
    unsigned threads;
    unsigned long start;
  };
  for (const Case& c : {Case{kStatCat, "cat", 'R', 1, 545132}, Case{kStatW3wp, "w3wp.exe", 'S', 23, 99120},
                        // A command name may hold blanks, parentheses and digits that look like fields.
                        Case{"77 (a) b (c) 1 2) S 1 77 77 0 -1 0 0 0 0 0 0 0 0 0 20 0 4 0 1234 0 0\n",
                             "a) b (c) 1 2", 'S', 4, 1234},
                        Case{"5 () S 1 5 5 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 9 0 0\n", "", 'S', 1, 9}}) {
    const auto f = ParseStat(c.text);
    ASSERT_TRUE(f) << c.text;
    EXPECT_EQ(f->comm, c.comm);
    EXPECT_EQ(f->state, c.state);
    EXPECT_EQ(f->numThreads, c.threads);
    EXPECT_EQ(f->startTime, c.start);
  }
}

TEST(ParseStat, RejectsTruncatedOrGarbledText) {
  for (const char* bad : {"", "8418 cat R 8414",
                          "8418 (cat) R 8414 8414 3619 0 -1 4194304 100 0 0 0 0 0 0 0 20 0 1 0",  // no (22)
                          "8418 (cat) R 8414 8414 3619 0 -1 4194304 100 0 0 0 0 0 0 0 20 0 x 0 5 0"})
    EXPECT_FALSE(ParseStat(bad)) << bad;
}

TEST(JoinCommandLine, JoinsArgumentsWithSingleBlanks) {
  const std::string raw = "/opt/w3wp.exe\0-a\0\\\\.\\pipe\\iisipm42\0-ap\0\"Shop Pool\"\0"s;
  EXPECT_EQ(JoinCommandLine(raw), R"(/opt/w3wp.exe -a \\.\pipe\iisipm42 -ap "Shop Pool")");
  EXPECT_EQ(JoinCommandLine("a\0\0b\0"s), "a  b");  // an empty argument in the middle stays
  EXPECT_EQ(JoinCommandLine("kworker\0\0\0"s), "kworker");
  EXPECT_EQ(JoinCommandLine(""), "");
  EXPECT_EQ(JoinCommandLine("no-terminator"), "no-terminator");  // a rewritten title
}

TEST(ParseStatm, ResidentIsTheSecondField) {
  EXPECT_EQ(ParseStatmResident("765 418 390 5 0 123 0\n"), 418);
  EXPECT_EQ(ParseStatmResident("0 0 0 0 0 0 0\n"), 0);
  for (const char* bad : {"765\n", ""}) EXPECT_FALSE(ParseStatmResident(bad)) << bad;
  // 8 GB resident in 4 KB pages: beyond 32 bits once multiplied, fine in 64.
  EXPECT_EQ(ParseStatmResident("3000000 2097152 0 0 0 0 0"), 2097152);
}

constexpr std::string_view kTcp =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode"
    "                                                     \n"
    "   0: 00000000:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 137 1 "
    "000000006400cde3 100 0 0 10 0                       \n"
    "   1: 0100007F:A3F1 0100007F:0050 01 00000000:00000000 02:000A1B2C 00000000  1000        0 98765432101 "
    "2 0000000000000000 20 4 30 10 -1\n"
    "   2: 0100007F:C350 0100007F:0050 06 00000000:00000000 03:00001234 00000000     0        0 0 3 "
    "0000000000000000\n";
constexpr std::string_view kTcp6 =
    "  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
    "tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000000000000:1F90 00000000000000000000000000000000:0000 0A 00000000:00000000 "
    "00:00000000 00000000     0        0 23456 1 0000000000000000 100 0 0 10 0";  // no final newline

TEST(ParseTcpInodes, TakesTheInodeColumnOfEveryLineAndSkipsHeaderShortAndGarbledOnes) {
  std::vector<std::uint64_t> inodes;
  ParseTcpInodes("", inodes);
  ParseTcpInodes("  sl  local_address rem_address   st\n", inodes);
  ParseTcpInodes("header\n   0: a b c d e f g h\n   1: a b c d e f g h 12x 5\n\n", inodes);
  EXPECT_TRUE(inodes.empty());
  ParseTcpInodes(kTcp, inodes);
  ParseTcpInodes(kTcp6, inodes);
  EXPECT_EQ(inodes, (std::vector<std::uint64_t>{137, 98765432101, 0, 23456}));
}

TEST(ParseSockstatInuse, FindsTheProtocolsLine) {
  constexpr std::string_view kSockstat =
      "sockets: used 12\nTCP: inuse 1001 orphan 0 tw 3 alloc 1004 mem 71\nUDP: inuse 2 mem 0\n";
  constexpr std::string_view kSockstat6 = "TCP6: inuse 0\nUDP6: inuse 0\nUDPLITE6: inuse 0\n";
  EXPECT_EQ(ParseSockstatInuse(kSockstat, "TCP"), 1001);
  EXPECT_EQ(ParseSockstatInuse(kSockstat, "UDP"), 2);
  EXPECT_EQ(ParseSockstatInuse(kSockstat6, "TCP6"), 0);
  EXPECT_FALSE(ParseSockstatInuse(kSockstat, "TCP6"));  // "TCP:" is not "TCP6:"
  for (std::string_view none : {kSockstat6, std::string_view("TCP: orphan 0\n"), std::string_view()})
    EXPECT_FALSE(ParseSockstatInuse(none, "TCP")) << none;
}

TEST(ParsePid, OnlyDecimalProcessDirectories) {
  EXPECT_EQ(ParsePid("2044"), 2044u);
  EXPECT_EQ(ParsePid("4294967295"), 4294967295u);
  for (const char* other : {"4294967296", "self", "12a", "", "0", "-1"}) EXPECT_FALSE(ParsePid(other)) << other;
}

TEST(ExeNameFrom, ShortCommIsTheNameACutOneIsCompletedFromExeLinkOrArgv0) {
  EXPECT_EQ(ExeNameFrom("w3wp.exe", "/usr/bin/other", "x"), "w3wp.exe");
  // "inetinfo-helper.exe" is cut to its first 15 characters.
  const std::string_view comm = "inetinfo-helper";
  EXPECT_EQ(ExeNameFrom(comm, "/srv/bin/inetinfo-helper.exe", "whatever"), "inetinfo-helper.exe");
  EXPECT_EQ(ExeNameFrom(comm, "/srv/bin/inetinfo-helper.exe (deleted)", ""), "inetinfo-helper.exe");
  // Exe link unreadable (another user's process): argv[0] gives it.
  EXPECT_EQ(ExeNameFrom(comm, "", "./inetinfo-helper.exe"), "inetinfo-helper.exe");
  // Started through a symbolic link: the link's target is another name, argv[0] is right.
  EXPECT_EQ(ExeNameFrom(comm, "/usr/lib/real-binary", "/usr/bin/inetinfo-helper.exe"), "inetinfo-helper.exe");
  // Exactly 15 characters and nothing longer to be found: comm as it is.
  EXPECT_EQ(ExeNameFrom(comm, "/usr/bin/inetinfo-helper", "inetinfo-helper"), "inetinfo-helper");
  EXPECT_EQ(ExeNameFrom(comm, "", ""), "inetinfo-helper");
}

}  // namespace
}  // namespace tarnwell::platform::linux_proc
