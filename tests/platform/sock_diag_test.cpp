// The sock_diag dump: its parser over hand-built replies, its receive loop against a
// socketpair standing in for the kernel, and the real kernel against the net/tcp tables.
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/sockios.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/proc_census.h"
#include "platform/linux/proc_files.h"
#include "platform/linux/proc_parsers.h"
#include "platform/linux/sock_diag.h"
#include "tests/platform/proc_test_support.h"

namespace tarnwell::platform::linux_proc {
namespace {

using Inodes = std::vector<std::uint64_t>;

template <class T>
std::string Bytes(const T& value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// One message as the kernel lays it out: header, payload, padding to four bytes.
std::string Message(std::uint16_t type, std::uint32_t seq, const std::string& payload) {
  nlmsghdr h{};
  h.nlmsg_len = static_cast<std::uint32_t>(sizeof h + payload.size());
  h.nlmsg_type = type;
  h.nlmsg_flags = NLM_F_MULTI;
  h.nlmsg_seq = seq;
  h.nlmsg_pid = 4242;
  std::string out = Bytes(h) + payload;
  out.resize(NLMSG_ALIGN(out.size()), '\0');
  return out;
}

// A socket's reply, with a trailing attribute as real replies carry (a 1-byte INET_DIAG_SHUTDOWN).
std::string Socket(std::uint32_t seq, std::uint32_t inode) {
  inet_diag_msg m{};
  m.idiag_family = AF_INET;
  m.idiag_state = 10;  // listening
  m.idiag_inode = inode;
  std::string attr = Bytes(nlattr{5, INET_DIAG_SHUTDOWN}) + std::string(1, '\0');
  attr.resize(8, '\0');
  return Message(SOCK_DIAG_BY_FAMILY, seq, Bytes(m) + attr);
}
std::string Done(std::uint32_t seq, int code = 0) { return Message(NLMSG_DONE, seq, Bytes(code)); }
std::string Error(std::uint32_t seq, int code) {
  nlmsgerr e{};
  e.error = code;
  return Message(NLMSG_ERROR, seq, Bytes(e));
}

void ExpectFailed(const DiagParse& r, int error) {
  EXPECT_EQ(r.status, DiagStatus::kFailed);
  EXPECT_EQ(r.error, error);
}

TEST(ParseInetDiagReplies, CollectsTheSocketsOfOneDatagramUpToDone) {
  Inodes inodes{7};  // a dump adds to what earlier datagrams gave
  auto r = ParseInetDiagReplies(Socket(5, 100) + Socket(5, 0) + Message(NLMSG_NOOP, 5, "") + Socket(5, 200), 5, inodes);
  EXPECT_EQ(r.status, DiagStatus::kMore);
  EXPECT_EQ(inodes, (Inodes{7, 100, 200}));  // 0: a timewait entry, no descriptor's

  // Whatever follows DONE is not read; an old kernel's DONE has no code.
  inodes.clear();
  r = ParseInetDiagReplies(Socket(5, 300) + Done(5) + Socket(5, 400), 5, inodes);
  EXPECT_EQ(r.status, DiagStatus::kDone);
  EXPECT_EQ(inodes, (Inodes{300}));
  EXPECT_EQ(ParseInetDiagReplies(Message(NLMSG_DONE, 5, ""), 5, inodes).status, DiagStatus::kDone);
  EXPECT_EQ(ParseInetDiagReplies("", 5, inodes).status, DiagStatus::kMore);
}

TEST(ParseInetDiagReplies, ErrorsEndTheDump) {
  Inodes inodes;
  ExpectFailed(ParseInetDiagReplies(Socket(5, 1) + Error(5, -ENOENT) + Done(5), 5, inodes), ENOENT);
  ExpectFailed(ParseInetDiagReplies(Error(5, 0), 5, inodes), EPROTO);  // no dump ran
  ExpectFailed(ParseInetDiagReplies(Error(5, INT_MIN), 5, inodes), EPROTO);
  ExpectFailed(ParseInetDiagReplies(Message(NLMSG_ERROR, 5, ""), 5, inodes), EPROTO);
  ExpectFailed(ParseInetDiagReplies(Done(5, -EINTR), 5, inodes), EINTR);
  ExpectFailed(ParseInetDiagReplies(Message(NLMSG_OVERRUN, 5, ""), 5, inodes), ENOBUFS);
}

TEST(ParseInetDiagReplies, MalformedBytesFailInsteadOfBeingRead) {
  Inodes inodes;
  const std::string whole = Socket(5, 1);
  // Cut inside the payload, inside the header; a length past the bytes.
  ExpectFailed(ParseInetDiagReplies(Socket(5, 9) + whole.substr(0, whole.size() - 12), 5, inodes), EPROTO);
  ExpectFailed(ParseInetDiagReplies(Socket(5, 9) + whole.substr(0, 10), 5, inodes), EPROTO);
  std::string longer = whole;
  const std::uint32_t tooLong = static_cast<std::uint32_t>(whole.size() + 4);
  std::memcpy(longer.data(), &tooLong, sizeof tooLong);
  ExpectFailed(ParseInetDiagReplies(longer, 5, inodes), EPROTO);
  // A length below the header's own would never move on.
  for (std::uint32_t len : {0u, 15u}) {
    std::string bad = Done(5);
    std::memcpy(bad.data(), &len, sizeof len);
    ExpectFailed(ParseInetDiagReplies(bad, 5, inodes), EPROTO);
  }
  // A socket reply too short for inet_diag_msg.
  ExpectFailed(ParseInetDiagReplies(Message(SOCK_DIAG_BY_FAMILY, 5, std::string(20, '\1')), 5, inodes), EPROTO);
  EXPECT_EQ(inodes, (Inodes{9, 9}));  // what came before the fault; the caller drops it
}

// A socketpair in the kernel's place: reads the request, answers with the given datagrams.
class FakeKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    diag_ = SockDiag(UniqueFd(ends[0]));
    kernel_.reset(ends[1]);
  }
  // Receives one request; its sequence number, or 0 after failing the test.
  std::uint32_t ReadRequest(int family) {
    struct {
      nlmsghdr h;
      inet_diag_req_v2 r;
    } req{};
    const ssize_t n = ::recv(kernel_.get(), &req, sizeof req, MSG_TRUNC);  // the whole size, however long
    EXPECT_EQ(n, static_cast<ssize_t>(sizeof req));
    EXPECT_EQ(req.h.nlmsg_len, sizeof req);
    EXPECT_EQ(req.h.nlmsg_type, SOCK_DIAG_BY_FAMILY);
    EXPECT_EQ(req.h.nlmsg_flags, NLM_F_REQUEST | NLM_F_DUMP);
    EXPECT_EQ(req.r.sdiag_family, family);
    EXPECT_EQ(req.r.sdiag_protocol, IPPROTO_TCP);
    EXPECT_EQ(req.r.idiag_states & 0x1ffe, 0x1ffeu);  // established .. new-syn-recv
    EXPECT_EQ(req.r.idiag_states & (1u << 13), 0u);   // bound-inactive: not in net/tcp
    return n == static_cast<ssize_t>(sizeof req) ? req.h.nlmsg_seq : 0;
  }
  void Send(const std::string& datagram) {
    ASSERT_EQ(::send(kernel_.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(datagram.size()));
  }

  SockDiag diag_{UniqueFd()};
  UniqueFd kernel_;
};

std::atomic<int> signalsNoted{0};
void NoteSignal(int) { ++signalsNoted; }

// Whether the thread is blocked in a receive; where the kernel does not say which call a
// thread is in, whether it sleeps (the dumper sleeps nowhere else).
bool BlockedInReceive(pid_t tid) {
  const std::string task = "/proc/self/task/" + std::to_string(tid);
  const std::string call = testutil::ReadAll(task + "/syscall");
  if (!call.empty()) return !call.starts_with("running") && std::stol(call) == SYS_recvmsg;
  const std::string stat = testutil::ReadAll(task + "/stat");
  return stat.find(") S ") != std::string::npos;
}

TEST_F(FakeKernel, DumpReadsDatagramsUntilDoneThroughAnInterruption) {
  // A handler without SA_RESTART: a blocked receive returns EINTR.
  struct sigaction action{}, old{};
  action.sa_handler = NoteSignal;
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);
  Inodes inodes{1};
  std::atomic<bool> ok{false};
  std::atomic<pid_t> tid{0};
  std::thread dumper([&] {
    tid = ::gettid();
    ok = diag_.DumpTcp(AF_INET6, inodes);
  });
  const std::uint32_t seq = ReadRequest(AF_INET6);
  Send(Socket(seq, 10) + Socket(seq, 11));
  // Once the datagram is taken, the dumper's next receive waits for more: interrupt it
  // there, and send the rest only after the handler has run, so the wait ends in EINTR.
  int unread = 1;
  while (::ioctl(kernel_.get(), SIOCOUTQ, &unread) == 0 && unread > 0) std::this_thread::yield();
  while (tid == 0 || !BlockedInReceive(tid)) std::this_thread::yield();
  const int noted = signalsNoted;
  ::pthread_kill(dumper.native_handle(), SIGUSR1);
  while (signalsNoted == noted) std::this_thread::yield();
  Send(Socket(seq - 1, 99) + Socket(seq, 12));
  Send(Done(seq));
  dumper.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  EXPECT_TRUE(ok);
  EXPECT_EQ(inodes, (Inodes{1, 10, 11, 12}));

  // The next dump has a number of its own.
  std::thread second([&] { ok = diag_.DumpTcp(AF_INET, inodes); });
  const std::uint32_t next = ReadRequest(AF_INET);
  EXPECT_NE(next, seq);
  // The old dump's messages, its error too, are skipped.
  Send(Socket(seq, 98) + Error(seq, -EBUSY) + Done(seq) + Socket(next, 13) + Done(next));
  second.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(inodes, (Inodes{1, 10, 11, 12, 13}));
}

TEST_F(FakeKernel, AnErrorMidDumpKeepsNothingAndClosesTheSocket) {
  Inodes inodes{1};
  std::thread dumper([&] { EXPECT_FALSE(diag_.DumpTcp(AF_INET, inodes)); });
  const std::uint32_t seq = ReadRequest(AF_INET);
  Send(Socket(seq, 10));
  Send(Error(seq, -EACCES));
  dumper.join();
  EXPECT_EQ(inodes, (Inodes{1}));
  EXPECT_EQ(diag_.lastError(), EACCES);
  EXPECT_FALSE(diag_.valid());
  EXPECT_FALSE(diag_.DumpTcp(AF_INET, inodes));  // fails at once, does not wait
}

TEST_F(FakeKernel, ADatagramLargerThanTheBufferIsATruncatedDump) {
  Inodes inodes;
  std::thread dumper([&] { EXPECT_FALSE(diag_.DumpTcp(AF_INET, inodes)); });
  const std::uint32_t seq = ReadRequest(AF_INET);
  std::string big;
  for (std::uint32_t i = 1; big.size() < 96 * 1024; ++i) big += Socket(seq, i);
  Send(big);
  // Had the dump read on, this would give it an end (it may have closed already).
  const std::string done = Done(seq);
  (void)::send(kernel_.get(), done.data(), done.size(), MSG_NOSIGNAL);
  dumper.join();
  EXPECT_TRUE(inodes.empty());
  EXPECT_EQ(diag_.lastError(), EMSGSIZE);
}

// Loopback TCP sockets of this process in each state that matters to the census.
struct LiveSockets {
  std::vector<UniqueFd> listed;    // what net/tcp lists: listeners, both ends of connections
  std::vector<UniqueFd> unlisted;  // bound only, never listening; UDP
  bool v6 = false;

  // A listener, a client connected to it and the accepted end; false when the family is missing.
  bool AddConnection(int family) {
    UniqueFd listener = TcpListener(family);
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    auto* sa = reinterpret_cast<sockaddr*>(&addr);
    if (!listener || ::getsockname(listener.get(), sa, &len) != 0) return false;
    UniqueFd client(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!client || ::connect(client.get(), sa, len) != 0) return false;
    UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!accepted) return false;
    if (family == AF_INET && v6) {
      // An IPv6 socket reaching an IPv4 listener through a mapped address is in tcp6.
      UniqueFd mapped(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in6 to{};
      to.sin6_family = AF_INET6;
      to.sin6_port = reinterpret_cast<sockaddr_in*>(&addr)->sin_port;
      to.sin6_addr.s6_addr[10] = to.sin6_addr.s6_addr[11] = 0xff;
      std::memcpy(&to.sin6_addr.s6_addr[12], &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr, 4);
      if (mapped && ::connect(mapped.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        listed.push_back(std::move(mapped));
        listed.emplace_back(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      }
    }
    listed.push_back(std::move(listener));
    listed.push_back(std::move(client));
    listed.push_back(std::move(accepted));
    UniqueFd bound(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    addr = Loopback(family);
    if (!bound || ::bind(bound.get(), sa, sizeof addr) != 0) return false;
    unlisted.push_back(std::move(bound));
    unlisted.emplace_back(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return true;
  }
};

TEST(SockDiagLive, TheDumpAndTheCensusListWhatTheTablesList) {
  LiveSockets sockets;
  sockets.v6 = sockets.AddConnection(AF_INET6);
  ASSERT_TRUE(sockets.AddConnection(AF_INET));
  sockets.listed.emplace_back(::dup(sockets.listed.front().get()));  // each descriptor counts
  Inodes tables;
  std::string text;
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"})
    if (ReadWholeFile(AT_FDCWD, table, text)) ParseTcpInodes(text, tables);
  const std::set<std::uint64_t> tabled(tables.begin(), tables.end());
  int expected = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    struct stat st{};
    if (::stat(entry.path().c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && tabled.contains(st.st_ino)) ++expected;
  }
  EXPECT_GE(expected, static_cast<int>(sockets.listed.size()));
  UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(CensusFromProc(proc.get(), Self()).openTcp, expected);

  SockDiag diag = SockDiag::Open();
  if (!diag.valid()) GTEST_SKIP() << "no sock_diag netlink here; the census reads the tables";
  Inodes dumped;
  ASSERT_TRUE(diag.DumpTcp(AF_INET, dumped)) << std::strerror(diag.lastError());
  ASSERT_TRUE(!sockets.v6 || diag.DumpTcp(AF_INET6, dumped)) << std::strerror(diag.lastError());
  const std::set<std::uint64_t> dumpedSet(dumped.begin(), dumped.end());
  // Other processes' sockets come and go meanwhile: compare this process's own.
  for (const auto* fds : {&sockets.listed, &sockets.unlisted}) {
    for (const auto& fd : *fds) {
      struct stat st{};
      ASSERT_EQ(::fstat(fd.get(), &st), 0);
      EXPECT_EQ(tabled.contains(st.st_ino), fds == &sockets.listed) << st.st_ino;
      EXPECT_EQ(dumpedSet.contains(st.st_ino), fds == &sockets.listed) << st.st_ino;
    }
  }
}

}  // namespace
}  // namespace tarnwell::platform::linux_proc
