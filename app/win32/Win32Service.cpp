#include "app/win32/Win32Service.h"

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <system_error>
#include <type_traits>

#include "app/ProgramSeams.h"
#include "app/service/ServiceHost.h"
#include "app/service/ServiceSettings.h"
#include "logs/LogsClock.h"
#include "platform/files/utf8_path.h"
#include "platform/win32/text.h"
#include "TarnwellEvents.h"  // generated from TarnwellEvents.mc

namespace tarnwell::win32service {

namespace {

using platform::win32::FromUtf8;

constexpr DWORD kStartWaitHintMs = 10000;
constexpr DWORD kStopWaitHintMs = 10000;  // more than a pass takes: its processor window and the metabase
constexpr auto kStopCheckpointEvery = std::chrono::milliseconds(1000);
constexpr DWORD kUninstallStopWaitMs = 30000;
// The event source's key: tarnwell.exe is its message file.
constexpr const wchar_t* kEventSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\Tarnwell";

struct ScHandleClose {
  void operator()(SC_HANDLE h) const noexcept { ::CloseServiceHandle(h); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleClose>;

std::string SystemMessage(DWORD code) {
  return std::system_category().message(static_cast<int>(code)) + " (error " + std::to_string(code) + ")";
}

void ReportToEventLog(WORD type, const std::string& text) {
  HANDLE source = ::RegisterEventSourceW(nullptr, kEventSource);
  if (source == nullptr) return;
  const std::wstring wide = FromUtf8(text);
  LPCWSTR strings[1] = {wide.c_str()};
  ::ReportEventW(source, type, 0, TARNWELL_EVENT_LINE, nullptr, 1, 0, strings, nullptr);
  ::DeregisterEventSource(source);
}

// The one service this process runs: the control manager's callbacks reach it here.
struct ServiceState {
  std::mutex mutex;  // guards status and host
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  ServiceHost* host = nullptr;  // while it monitors
  bool stopping = false;
  std::string exeDir;
};
ServiceState* g_state = nullptr;  // set by RunService for the dispatcher's lifetime

// The status to report next, kept in s. Caller holds the mutex.
SERVICE_STATUS& NextStatus(ServiceState& s, DWORD state, DWORD waitHint = 0, DWORD exitCode = NO_ERROR,
                           DWORD specific = 0) {
  s.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.status.dwCurrentState = state;
  s.status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  s.status.dwWin32ExitCode = exitCode;
  s.status.dwServiceSpecificExitCode = specific;
  s.status.dwWaitHint = waitHint;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  s.status.dwCheckPoint = pending ? s.status.dwCheckPoint + 1 : 0;
  return s.status;
}

// Caller holds the mutex.
void SetStatus(ServiceState& s, DWORD state, DWORD waitHint = 0) {
  ::SetServiceStatus(s.handle, &NextStatus(s, state, waitHint));
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID context) {
  auto& s = *static_cast<ServiceState*>(context);
  std::lock_guard lock(s.mutex);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      if (!s.stopping && s.status.dwCurrentState == SERVICE_RUNNING) {
        s.stopping = true;
        SetStatus(s, SERVICE_STOP_PENDING, kStopWaitHintMs);
        if (s.host != nullptr) s.host->RequestStop();  // the pass in progress finishes
      }
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      ::SetServiceStatus(s.handle, &s.status);
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The service's last act. Once the manager hears "stopped", the dispatcher may return and
// the state (its mutex with it) go at once: so nothing of it is touched after the report,
// not even the unlock of its mutex.
void StopWith(ServiceState& s, const ServiceHost::Outcome& outcome) {
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  {
    std::lock_guard lock(s.mutex);
    handle = s.handle;
    status = outcome.exit == ServiceHost::Exit::Ok
                 ? NextStatus(s, SERVICE_STOPPED)
                 : NextStatus(s, SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(outcome.exit));
  }
  ::SetServiceStatus(handle, &status);
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceState& s = *g_state;
  s.handle = ::RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, &s);
  if (s.handle == nullptr) return;
  {
    std::lock_guard lock(s.mutex);
    SetStatus(s, SERVICE_START_PENDING, kStartWaitHintMs);
  }

  ServiceHost::Outcome outcome;
  {
    auto processes = OpenProcessSystem();
    ServiceHost host(
        s.exeDir,
        [](const std::string& storeFile) { return storeFile.empty() ? OpenLocalMetabase() : OpenMetabaseFile(storeFile); },
        *processes, SystemClock(), SystemHttpServer());
    outcome = host.Start(s.exeDir + kServiceSettingsFile);
    if (outcome.exit == ServiceHost::Exit::Ok) {
      {
        std::lock_guard lock(s.mutex);
        s.host = &host;
        // A stop that came while starting is passed on now.
        if (s.stopping) host.RequestStop();
        else SetStatus(s, SERVICE_RUNNING);
      }
      while (!host.WaitForEnd(kStopCheckpointEvery)) {
        std::lock_guard lock(s.mutex);
        if (s.stopping) SetStatus(s, SERVICE_STOP_PENDING, kStopWaitHintMs);  // still finishing its pass
      }
      outcome = host.Ended();
      std::lock_guard lock(s.mutex);
      s.host = nullptr;
      if (!s.stopping) SetStatus(s, SERVICE_STOP_PENDING, kStopWaitHintMs);
    }
  }  // the host has stopped, its logs are closed and the lock is free
  if (outcome.exit != ServiceHost::Exit::Ok) ReportToEventLog(EVENTLOG_ERROR_TYPE, outcome.message);
  StopWith(s, outcome);
}

// The settings the install puts beside the executable: nothing when good, else why not.
std::string PlaceSettings(const std::string& exeDir, const std::string& settingsFile, std::string& said) {
  const std::string target = exeDir + kServiceSettingsFile;
  const std::wstring targetWide = platform::PathFromUtf8(target).wstring();
  if (!settingsFile.empty()) {
    const SettingsOutcome read = ReadServiceSettings(settingsFile);
    if (!read.settings) return read.error;
    const std::wstring from = platform::PathFromUtf8(settingsFile).wstring();
    std::error_code ec;
    if (!std::filesystem::equivalent(from, targetWide, ec) && !::CopyFileW(from.c_str(), targetWide.c_str(), FALSE)) {
      return "Cannot copy " + settingsFile + " to " + target + ": " + SystemMessage(::GetLastError());
    }
    said = "Settings: " + target + " (copied from " + settingsFile + ").";
    return {};
  }
  if (::GetFileAttributesW(targetWide.c_str()) == INVALID_FILE_ATTRIBUTES) {
    std::ofstream out(platform::PathFromUtf8(target), std::ios::binary);
    out << DefaultServiceSettingsText();
    out.close();
    if (!out) return "Cannot write the settings file " + target;
    said = "Settings: " + target + " (written with the defaults: every pool, every 3 minutes).";
    return {};
  }
  const SettingsOutcome read = ReadServiceSettings(target);
  if (!read.settings) return read.error;
  said = "Settings: " + target + " (as found).";
  return {};
}

struct KeyClose {
  void operator()(HKEY key) const noexcept { ::RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyClose>;

// Names tarnwell.exe as the message file of the event source, so that the Event Viewer
// shows the service's lines whole. False when it could not.
bool RegisterEventMessages(const std::wstring& exePath) {
  HKEY opened = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  Key key(opened);
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  const auto fileBytes = static_cast<DWORD>((exePath.size() + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(exePath.c_str()), fileBytes) == ERROR_SUCCESS &&
         ::RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                          sizeof types) == ERROR_SUCCESS;
}

std::string NeedsAdministrator(const char* what, DWORD error) {
  if (error == ERROR_ACCESS_DENIED) {
    return std::string(what) + " the Tarnwell service needs an administrator: access denied (ERROR_ACCESS_DENIED).";
  }
  return std::string("Cannot open the service control manager: ") + SystemMessage(error);
}

}  // namespace

Answer RunService(const std::string& exeDir) {
  ServiceState state;
  state.exeDir = exeDir;
  g_state = &state;
  wchar_t name[] = L"Tarnwell";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  const BOOL dispatched = ::StartServiceCtrlDispatcherW(table);
  const DWORD error = ::GetLastError();
  g_state = nullptr;
  if (dispatched) return {0, {}};
  if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    return {1, "tarnwell.exe --service is started by the service control manager. Install the service with "
               "tarnwell.exe --install-service and start it with: sc start Tarnwell"};
  }
  return {1, "The service could not reach the service control manager: " + SystemMessage(error)};
}

Answer InstallService(const std::string& exePath, const std::string& exeDir, const std::string& settingsFile) {
  ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!scm) return {1, NeedsAdministrator("Installing", ::GetLastError()) + " Nothing was installed."};

  std::string settingsSaid;
  if (const std::string bad = PlaceSettings(exeDir, settingsFile, settingsSaid); !bad.empty()) {
    return {1, bad + ". Nothing was installed."};
  }

  const std::wstring command = L"\"" + FromUtf8(exePath) + L"\" --service";
  ScHandle service(::CreateServiceW(scm.get(), kServiceName, L"Tarnwell pool monitoring", SERVICE_CHANGE_CONFIG,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                    nullptr, nullptr, nullptr, nullptr /* LocalSystem */, nullptr));
  if (!service) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_EXISTS || error == ERROR_DUPLICATE_SERVICE_NAME) {
      return {1, "The Tarnwell service is already installed; tarnwell.exe --uninstall-service removes it. " + settingsSaid};
    }
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
      return {1, "The Tarnwell service is being removed: close the Services console and try again."};
    }
    if (error == ERROR_ACCESS_DENIED) return {1, NeedsAdministrator("Installing", error) + " Nothing was installed."};
    return {1, "Cannot install the Tarnwell service: " + SystemMessage(error)};
  }
  std::wstring description =
      L"Monitors the IIS application pools' worker processes into the logs beside tarnwell.exe, with the "
      L"settings of tarnwell-service.ini.";
  SERVICE_DESCRIPTIONW text{description.data()};
  ::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &text);  // the service works without it
  const std::string events = RegisterEventMessages(FromUtf8(exePath))
                                 ? std::string()
                                 : " (The event log source Tarnwell could not be registered: its events show unformatted.)";
  return {0, "Installed the Tarnwell service: it starts with Windows, as LocalSystem, with the command line " +
                 platform::win32::ToUtf8(command) + ". " + settingsSaid + events + " Start it now with: sc start Tarnwell"};
}

Answer UninstallService() {
  ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) return {1, NeedsAdministrator("Removing", ::GetLastError())};
  ScHandle service(::OpenServiceW(scm.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return {1, "The Tarnwell service is not installed."};
    if (error == ERROR_ACCESS_DENIED) return {1, NeedsAdministrator("Removing", error)};
    return {1, "Cannot open the Tarnwell service: " + SystemMessage(error)};
  }
  SERVICE_STATUS status{};
  std::string stopped;
  if (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    // The service finishes its pass first: wait for it, within reason.
    const DWORD start = ::GetTickCount();
    while (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
           ::GetTickCount() - start < kUninstallStopWaitMs) {
      ::Sleep(250);
    }
    stopped = status.dwCurrentState == SERVICE_STOPPED ? "Stopped and removed" : "Removed (it was still stopping)";
  }
  if (!::DeleteService(service.get())) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE) return {1, "The Tarnwell service is already being removed."};
    return {1, "Cannot remove the Tarnwell service: " + SystemMessage(error)};
  }
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);  // the events logged stay readable only while it is there
  return {0, (stopped.empty() ? std::string("Removed") : stopped) +
                 " the Tarnwell service. Its settings file and logs stay beside tarnwell.exe."};
}

}  // namespace tarnwell::win32service
