#ifdef _WIN32
#include "standin/w3svc/service_process.h"

#include "platform/win32/win_api.h"
#include <shellapi.h>

#include "platform/win32/com.h"
#include "platform/win32/text.h"
#include "platform/win32/win_handles.h"

namespace tarnwell::standin {

using platform::win32::FromUtf8;
using platform::win32::ToUtf8;
using platform::win32::UniqueHandle;

namespace {

// What a worker is ended with; the service asks no worker twice.
constexpr UINT kStoppedExitCode = 1;

std::string LastErrorText() { return platform::win32::HresultText(HRESULT_FROM_WIN32(::GetLastError())); }

class Win32Worker final : public WorkerProcess {
 public:
  Win32Worker(UniqueHandle process, DWORD pid, UniqueHandle input)
      : process_(std::move(process)), pid_(pid), input_(std::move(input)) {}

  std::uint32_t Pid() const override { return pid_; }

  bool Send(std::string_view line) override {
    // The worker reads its input all the time, and a line is far smaller than the pipe.
    DWORD written = 0;
    return ::WriteFile(input_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
           written == line.size();
  }

  // The worker holds nothing that outlives it (its files go when their handles close), so
  // ending it at once loses nothing.
  void RequestStop() override { Kill(); }
  void Kill() override {
    if (process_) ::TerminateProcess(process_.get(), kStoppedExitCode);
  }

  std::optional<std::string> Ended() override {
    if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0) Closed();
    return process_ ? std::nullopt : std::optional<std::string>(how_);
  }

  void WaitEnded() override {
    if (!process_) return;
    ::WaitForSingleObject(process_.get(), INFINITE);
    Closed();
  }

 private:
  void Closed() {
    DWORD code = 0;
    how_ = ::GetExitCodeProcess(process_.get(), &code) ? "exit code " + std::to_string(code) : "gone";
    process_.reset();
    input_.reset();
  }

  UniqueHandle process_;  // null once it has ended
  DWORD pid_;
  UniqueHandle input_;
  std::string how_;
};

// Set by the console handler (another thread); the main loop's pause waits on the event.
std::atomic<bool>* g_stop = nullptr;
UniqueHandle g_wake;  // manual reset, set on a stop request
UniqueHandle g_done;  // manual reset, set once the workers are ended

BOOL WINAPI OnConsoleEvent(DWORD type) {
  if (g_stop == nullptr) return FALSE;
  g_stop->store(true);
  ::SetEvent(g_wake.get());
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // The system ends the process once this returns (or after five seconds): the service
    // ends its workers first.
    ::WaitForSingleObject(g_done.get(), 4000);
  }
  return TRUE;
}

}  // namespace

struct WorkerLauncher::Impl {
  UniqueHandle job;  // ends every worker when this last handle to it closes
  std::string unguarded;
};

WorkerLauncher::WorkerLauncher() : impl_(std::make_unique<Impl>()) {
  // A worker gets the handles Start hands it, and no copy of the service's own: it must not
  // hold open the pipes of whatever started the service, which may wait for their end.
  for (const DWORD own : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
    ::SetHandleInformation(::GetStdHandle(own), HANDLE_FLAG_INHERIT, 0);
  // Windows 2000 and later have job objects with this limit.
  impl_->job.reset(::CreateJobObjectW(nullptr, nullptr));
  if (!impl_->job) {
    impl_->unguarded = "no job object: " + LastErrorText();
    return;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(impl_->job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    impl_->unguarded = "the job object will not end its processes: " + LastErrorText();
    impl_->job.reset();
  }
}

WorkerLauncher::~WorkerLauncher() = default;

const std::string& WorkerLauncher::Unguarded() const { return impl_->unguarded; }

std::unique_ptr<WorkerProcess> WorkerLauncher::Start(const std::vector<std::string>& args, std::string& why) {
  const std::wstring exe = FromUtf8(args.at(0));
  std::wstring commandLine = L"\"" + exe + L"\"";
  for (std::size_t i = 1; i < args.size(); ++i) commandLine += L" " + FromUtf8(args[i]);

  // The worker inherits the read end of its input, the null device as its output and the
  // service's error output; nothing else of the service is inheritable.
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE readRaw = nullptr, writeRaw = nullptr;
  if (!::CreatePipe(&readRaw, &writeRaw, &inheritable, 0)) {
    why = "pipe: " + LastErrorText();
    return nullptr;
  }
  UniqueHandle readEnd(readRaw), writeEnd(writeRaw);
  ::SetHandleInformation(writeEnd.get(), HANDLE_FLAG_INHERIT, 0);
  UniqueHandle nul(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                 OPEN_EXISTING, 0, nullptr));
  UniqueHandle errorOut;
  const HANDLE ownError = ::GetStdHandle(STD_ERROR_HANDLE);
  HANDLE duplicate = nullptr;
  if (ownError != nullptr && ownError != INVALID_HANDLE_VALUE &&
      ::DuplicateHandle(::GetCurrentProcess(), ownError, ::GetCurrentProcess(), &duplicate, 0, TRUE,
                        DUPLICATE_SAME_ACCESS)) {
    errorOut.reset(duplicate);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = readEnd.get();
  startup.hStdOutput = nul.get();
  startup.hStdError = errorOut ? errorOut.get() : nul.get();
  PROCESS_INFORMATION info{};
  // Suspended until it is in the job, so that not even its first instruction runs unguarded;
  // without a console, as IIS's workers run, so that a Ctrl+C reaches the service alone.
  if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | DETACHED_PROCESS,
                        nullptr, nullptr, &startup, &info)) {
    why = LastErrorText();
    return nullptr;
  }
  UniqueHandle process(info.hProcess);
  const UniqueHandle thread(info.hThread);
  if (impl_->job && !::AssignProcessToJobObject(impl_->job.get(), process.get())) {
    // A service that itself runs in a job cannot put its workers in another before Windows 8.
    impl_->unguarded = "a worker cannot join the service's job object: " + LastErrorText();
  }
  ::ResumeThread(thread.get());
  return std::make_unique<Win32Worker>(std::move(process), info.dwProcessId, std::move(writeEnd));
}

std::string WorkerExecutableProblem(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(FromUtf8(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrorText();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "a directory";
  return {};
}

std::uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

void PauseMs(unsigned ms) {
  if (g_wake) {
    ::WaitForSingleObject(g_wake.get(), ms);
  } else {
    ::Sleep(ms);
  }
}

std::filesystem::path ExecutableDirectory() {
  std::wstring path(32768, L'\0');  // the longest path the system has
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return std::filesystem::path(path).parent_path();
}

std::string DefaultMetabasePath() {
  std::wstring windows(MAX_PATH, L'\0');
  const UINT n = ::GetSystemWindowsDirectoryW(windows.data(), static_cast<UINT>(windows.size()));
  windows.resize(n < windows.size() ? n : 0);
  if (windows.empty()) windows = L"C:\\WINDOWS";
  return ToUtf8(windows + L"\\system32\\inetsrv\\MetaBase.xml");
}

std::string EnvironmentText(const char* name) {
  const std::wstring wideName = FromUtf8(name);
  std::wstring value(::GetEnvironmentVariableW(wideName.c_str(), nullptr, 0), L'\0');
  if (value.empty()) return {};
  value.resize(::GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size())));
  return ToUtf8(value);
}

void WatchStopRequests(std::atomic<bool>& stop) {
  g_wake.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  g_done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  g_stop = &stop;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void StopDone() {
  if (g_done) ::SetEvent(g_done.get());
}

}  // namespace tarnwell::standin
#endif
