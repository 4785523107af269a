#pragma once
// tarnwell.exe as a Windows service: the service control manager's side (dispatcher,
// control handler, status), the event log, and the install and uninstall commands. The
// monitoring itself is the portable ServiceHost (app/service).
#include <string>

namespace tarnwell::win32service {

inline constexpr const wchar_t* kServiceName = L"Tarnwell";
inline constexpr const wchar_t* kEventSource = L"Tarnwell";

// What a command says, and the program's exit code. An empty text: nothing to show (the
// service ran under the service control manager).
struct Answer {
  int exitCode = 0;
  std::string text;
};

// --service: hands the thread to the service control manager until the service stops.
Answer RunService(const std::string& exeDir);
// --install-service: registers the service (automatic start, LocalSystem) with the command
// line "<exePath>" --service, after putting the settings beside the executable: settingsFile
// copied there when given, else the file found there, else one of the defaults.
Answer InstallService(const std::string& exePath, const std::string& exeDir, const std::string& settingsFile);
// --uninstall-service: stops the service when it runs, then removes it.
Answer UninstallService();

}  // namespace tarnwell::win32service
