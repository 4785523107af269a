#include "standin/w3wp/worker_load.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>

#include "standin/w3wp/worker_os.h"

namespace tarnwell::standin {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> Words(std::string_view s) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < s.size()) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
    const auto start = pos;
    while (pos < s.size() && s[pos] != ' ' && s[pos] != '\t') ++pos;
    if (pos > start) words.push_back(s.substr(start, pos - start));
  }
  return words;
}

template <typename T>
bool Number(std::string_view text, T& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Keeps share (0..1] of one processor busy in 100 ms periods, counting the thread's own
// processor time so that time lost to other processes is made up within the period.
void Burn(double share, const std::atomic<bool>& stop) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kPeriod = std::chrono::milliseconds(100);
  const auto busyNs = static_cast<std::int64_t>(share * 100'000'000.0);
  volatile std::uint64_t sink = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    const auto periodStart = Clock::now();
    const std::int64_t cpuStart = worker_os::ThreadCpuNs();
    while (!stop.load(std::memory_order_relaxed) && worker_os::ThreadCpuNs() - cpuStart < busyNs &&
           Clock::now() - periodStart < kPeriod) {
      for (int i = 0; i < 1000; ++i) sink = sink + static_cast<std::uint64_t>(i);
    }
    if (share < 1.0) std::this_thread::sleep_until(periodStart + kPeriod);
  }
}

}  // namespace

ControlLine ParseControlLine(std::string_view line) {
  ControlLine result;
  line = Trim(line);
  if (line.empty() || line.front() == '#') return result;
  const auto words = Words(line);
  if (words.size() != 5 || words[0] != "load") {
    result.error = "expected: load CPU MB FILES TCP";
    return result;
  }
  WorkerLoad load;
  if (!Number(words[1], load.cpuPercent) || !std::isfinite(load.cpuPercent) || load.cpuPercent < 0 ||
      load.cpuPercent > kMaxCpuPercent) {
    result.error = "processor percent out of range: " + std::string(words[1]);
    return result;
  }
  if (!Number(words[2], load.memoryMB) || load.memoryMB < 0 || load.memoryMB > kMaxMemoryMB) {
    result.error = "memory MB out of range: " + std::string(words[2]);
    return result;
  }
  if (!Number(words[3], load.files) || load.files < 0 || load.files > kMaxHandles) {
    result.error = "file count out of range: " + std::string(words[3]);
    return result;
  }
  if (!Number(words[4], load.tcp) || load.tcp < 0 || load.tcp > kMaxHandles) {
    result.error = "TCP endpoint count out of range: " + std::string(words[4]);
    return result;
  }
  result.load = load;
  return result;
}

std::string FormatLoad(const WorkerLoad& load) {
  char text[96];
  std::snprintf(text, sizeof text, "%g %lld %d %d", load.cpuPercent, static_cast<long long>(load.memoryMB),
                load.files, load.tcp);
  return text;
}

LoadHolder::LoadHolder(std::string fileDirectory) : fileDirectory_(std::move(fileDirectory)) {}

LoadHolder::~LoadHolder() { StopBurners(); }

void LoadHolder::StopBurners() {
  stopBurners_ = true;
  for (auto& t : burners_) t.join();
  burners_.clear();
  stopBurners_ = false;
}

void LoadHolder::SetCpu(double percent) {
  StopBurners();
  if (percent <= 0) return;
  const int threads = static_cast<int>(std::ceil(percent / 100.0));
  const double share = percent / 100.0 / threads;
  for (int i = 0; i < threads; ++i) burners_.emplace_back(Burn, share, std::cref(stopBurners_));
}

WorkerLoad LoadHolder::Apply(const WorkerLoad& wanted, std::string& error) {
  error.clear();
  auto addError = [&](const std::string& text) {
    if (!error.empty()) error += "; ";
    error += text;
  };

  if (wanted.cpuPercent != held_.cpuPercent) {
    SetCpu(wanted.cpuPercent);
    held_.cpuPercent = wanted.cpuPercent;
  }

  if (wanted.memoryMB != held_.memoryMB) {
    memory_.reset();
    held_.memoryMB = 0;
    // Touching more than half the machine's memory would bring the OOM killer, and the
    // service would start the worker again and again.
    const std::int64_t physicalMB = worker_os::PhysicalMemoryMB();
    if (wanted.memoryMB > physicalMB / 2) {
      addError("will not hold " + std::to_string(wanted.memoryMB) + " MB: more than half of this machine's " +
               std::to_string(physicalMB) + " MB");
    } else if (wanted.memoryMB > 0) {
      std::string why;
      memory_ = worker_os::HoldMemory(static_cast<std::size_t>(wanted.memoryMB) << 20, why);
      if (memory_) {
        held_.memoryMB = wanted.memoryMB;
      } else {
        addError("cannot hold " + std::to_string(wanted.memoryMB) + " MB: " + why);
      }
    }
  }

  while (static_cast<int>(files_.size()) > wanted.files) files_.pop_back();
  while (static_cast<int>(files_.size()) < wanted.files) {
    std::string why;
    auto file = worker_os::HoldFile(fileDirectory_, why);
    if (!file) {
      addError("cannot open a file in " + fileDirectory_ + ": " + why);
      break;
    }
    files_.push_back(std::move(file));
  }
  held_.files = static_cast<int>(files_.size());

  while (static_cast<int>(sockets_.size()) > wanted.tcp) sockets_.pop_back();
  while (static_cast<int>(sockets_.size()) < wanted.tcp) {
    std::string why;
    auto listener = worker_os::HoldListener(why);
    if (!listener) {
      addError("cannot listen on 127.0.0.1: " + why);
      break;
    }
    sockets_.push_back(std::move(listener));
  }
  held_.tcp = static_cast<int>(sockets_.size());
  return held_;
}

}  // namespace tarnwell::standin
