#include "tools/pecheck/server2003.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace tarnwell::pecheck {

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// The system's own DLLs that the program may link to; every one ships with 2003.
constexpr std::array<std::string_view, 18> kShippedDlls = {
    "kernel32.dll", "user32.dll",   "gdi32.dll",  "comctl32.dll", "comdlg32.dll", "advapi32.dll",
    "shell32.dll",  "ole32.dll",    "oleaut32.dll", "activeds.dll", "adsldp.dll", "psapi.dll",
    "ntdll.dll",    "ws2_32.dll",   "msvcrt.dll", "shlwapi.dll",  "version.dll",  "uxtheme.dll"};

enum class Match { kExact, kPrefix, kSuffix, kContains };

struct Missing {
  Match match;
  std::string_view text;
};

bool Matches(const Missing& m, std::string_view name) {
  switch (m.match) {
    case Match::kExact: return name == m.text;
    case Match::kPrefix: return name.starts_with(m.text);
    case Match::kSuffix: return name.ends_with(m.text);
    case Match::kContains: return name.find(m.text) != std::string_view::npos;
  }
  return false;
}

// Functions of the system DLLs that came with Windows Vista or later, whichever DLL names
// them: the headers declare some of them at 2003's level all the same (GetThreadErrorMode,
// AddDllDirectory), and a name here is told apart from one merely unknown. Those the
// posix-thread runtime or the C++ library may pull in come first.
constexpr Missing kMissing[] = {
    {Match::kExact, "GetTickCount64"},
    {Match::kContains, "ConditionVariable"},  // Initialize/Sleep*/Wake*/WakeAll*
    {Match::kContains, "SRWLock"},            // Initialize, Acquire*, Release*, TryAcquire*
    {Match::kPrefix, "InitOnce"},
    {Match::kContains, "Threadpool"},
    {Match::kPrefix, "QueryFullProcessImageName"},
    {Match::kPrefix, "GetFinalPathNameByHandle"},
    {Match::kExact, "GetSystemTimePreciseAsFileTime"},
    {Match::kExact, "CancelIoEx"},
    {Match::kExact, "CancelSynchronousIo"},
    {Match::kPrefix, "CreateSymbolicLink"},
    {Match::kExact, "GetFileInformationByHandleEx"},
    {Match::kExact, "SetFileInformationByHandle"},
    {Match::kExact, "InitializeCriticalSectionEx"},
    {Match::kPrefix, "CreateEventEx"},
    {Match::kPrefix, "CreateMutexEx"},
    {Match::kPrefix, "CreateSemaphoreEx"},
    {Match::kPrefix, "CreateWaitableTimerEx"},
    {Match::kExact, "GetQueuedCompletionStatusEx"},
    {Match::kExact, "SetFileCompletionNotificationModes"},
    {Match::kExact, "FlushProcessWriteBuffers"},
    {Match::kExact, "GetErrorMode"},
    {Match::kExact, "GetThreadErrorMode"},
    {Match::kExact, "SetThreadErrorMode"},
    {Match::kExact, "QueryUnbiasedInterruptTime"},
    {Match::kExact, "QueryThreadCycleTime"},
    {Match::kExact, "QueryProcessCycleTime"},
    {Match::kExact, "GetActiveProcessorCount"},
    {Match::kExact, "GetNamedPipeClientProcessId"},
    {Match::kExact, "GetProductInfo"},
    {Match::kExact, "AddDllDirectory"},
    {Match::kExact, "RemoveDllDirectory"},
    {Match::kExact, "SetDefaultDllDirectories"},
    {Match::kExact, "GetLocaleInfoEx"},
    {Match::kExact, "GetUserDefaultLocaleName"},
    {Match::kExact, "LCIDToLocaleName"},
    {Match::kExact, "LocaleNameToLCID"},
    {Match::kExact, "CompareStringEx"},
    {Match::kExact, "LCMapStringEx"},
    {Match::kExact, "GetDynamicTimeZoneInformation"},
    {Match::kPrefix, "RegDeleteTree"},                      // advapi32
    {Match::kExact, "EventRegister"},                       // advapi32
    {Match::kExact, "EventWrite"},                          //
    {Match::kExact, "CoGetApartmentType"},                  // ole32
    {Match::kExact, "SetProcessDPIAware"},                  // user32
    {Match::kExact, "IsProcessDPIAware"},                   //
    {Match::kPrefix, "ChangeWindowMessageFilter"},          //
    {Match::kExact, "AddClipboardFormatListener"},          //
    {Match::kExact, "ShutdownBlockReasonCreate"},           //
    {Match::kPrefix, "GetDpiFor"},                          //
    {Match::kContains, "DpiAwarenessContext"},              //
    {Match::kExact, "SetWindowSubclass"},                   // comctl32 6, which takes a
    {Match::kExact, "GetWindowSubclass"},                   // manifest the programs lack
    {Match::kExact, "RemoveWindowSubclass"},                //
    {Match::kExact, "DefSubclassProc"},                     //
    {Match::kPrefix, "TaskDialog"},                         // comctl32
    {Match::kPrefix, "LoadIconMetric"},                     //
    {Match::kPrefix, "LoadIconWithScaleDown"},              //
    {Match::kExact, "SHGetKnownFolderPath"},                // shell32
    {Match::kExact, "SHCreateItemFromParsingName"},         //
    {Match::kContains, "BufferedPaint"},                    // uxtheme
    {Match::kExact, "SetWindowThemeAttribute"},             //
    {Match::kExact, "DrawThemeTextEx"},                     //
};

// msvcrt.dll's additions of Windows Vista and later, which mingw-w64's C headers declare
// whatever the level. The secure (_s), locale (_l), positional (_p) and debug (_dbg)
// variants are all among them; no older name ends so.
constexpr Missing kMissingFromMsvcrt[] = {
    {Match::kSuffix, "_s"},
    {Match::kSuffix, "_l"},
    {Match::kSuffix, "_p"},
    {Match::kSuffix, "_dbg"},
    {Match::kPrefix, "_Crt"},
    {Match::kPrefix, "__ExceptionPtr"},
    {Match::kExact, "mbrlen"},
    {Match::kExact, "mbrtowc"},
    {Match::kExact, "mbsrtowcs"},
    {Match::kExact, "wcrtomb"},
    {Match::kExact, "wcsrtombs"},
    {Match::kExact, "btowc"},
    {Match::kExact, "wctob"},
    {Match::kExact, "strnlen"},
    {Match::kExact, "wcsnlen"},
    {Match::kExact, "_wassert"},
    {Match::kExact, "_get_errno"},
    {Match::kExact, "_set_errno"},
    {Match::kExact, "_fseeki64"},
    {Match::kExact, "_ftelli64"},
    {Match::kExact, "_initterm_e"},
    {Match::kExact, "_invalid_parameter"},
    {Match::kExact, "__CxxFrameHandler3"},
    {Match::kExact, "_create_locale"},
    {Match::kExact, "_free_locale"},
    {Match::kExact, "_get_current_locale"},
    {Match::kExact, "_get_output_format"},
    {Match::kExact, "_set_output_format"},
    {Match::kExact, "_freea"},
    {Match::kExact, "_time32"},
    {Match::kExact, "_localtime32"},
    {Match::kExact, "_gmtime32"},
    {Match::kExact, "_mktime32"},
    {Match::kExact, "_ctime32"},
    {Match::kExact, "_difftime32"},
    {Match::kExact, "_difftime64"},
};

struct Export {
  std::string_view dll;
  std::string_view function;
};

// Exports of 2003 that the headers do not declare. msvcrt.dll is judged by the C runtime's
// headers, which name what our code calls; mingw's startup code and the prebuilt runtime
// libraries also import the entry points and data below, which 2003's msvcrt.dll (7.0)
// has and no header declares.
constexpr Export kAlsoKnown[] = {
    {"ntdll.dll", "NtDuplicateObject"},  // bound at run time (platform/win32/native.cpp)
    {"msvcrt.dll", "__getmainargs"},     // the console startup's argc, argv, environment
    {"msvcrt.dll", "__wgetmainargs"},    // the same, wide
    {"msvcrt.dll", "__set_app_type"},    // console or GUI, told at startup
    {"msvcrt.dll", "__p__commode"},      // the startup's file commit mode
    {"msvcrt.dll", "_amsg_exit"},        // the startup's exit on a runtime error
    {"msvcrt.dll", "_initterm"},         // runs a table of initialisers
    {"msvcrt.dll", "_lock"},             // the runtime's own locks, taken around the
    {"msvcrt.dll", "_unlock"},           // at-exit table
    {"msvcrt.dll", "__initenv"},         // data: the environment main gets
    {"msvcrt.dll", "__winitenv"},        // data: the same, wide
    {"msvcrt.dll", "_acmdln"},           // data: the command line
    {"msvcrt.dll", "_wcmdln"},           // data: the same, wide
    {"msvcrt.dll", "_commode"},          // data: the default commit mode
    {"msvcrt.dll", "_fmode"},            // data: the default text or binary mode
    {"msvcrt.dll", "_iob"},              // data: stdin, stdout, stderr
    {"msvcrt.dll", "__mb_cur_max"},      // data: MB_CUR_MAX
    // The i686 import library binds the headers' 32-bit-time names to the old exports:
    {"msvcrt.dll", "localtime"},    // _localtime32
    {"msvcrt.dll", "_wfindfirst"},  // _wfindfirst32
    {"msvcrt.dll", "_wfindnext"},   // _wfindnext32
};

bool Declared(std::span<const std::string_view> sorted, std::string_view function) {
  return std::ranges::binary_search(sorted, function);
}

std::string MachineName(std::uint16_t machine) {
  switch (machine) {
    case kMachineI386: return "i686";
    case kMachineAmd64: return "x86_64";
    default: return "machine " + std::to_string(machine);
  }
}

std::string SubsystemName(std::uint16_t subsystem) {
  switch (subsystem) {
    case kSubsystemGui: return "GUI";
    case kSubsystemConsole: return "console";
    default: return "subsystem " + std::to_string(subsystem);
  }
}

std::string VersionText(Version v) {
  return std::to_string(v.major) + "." + (v.minor < 10 ? "0" : "") + std::to_string(v.minor);
}

}  // namespace

bool Server2003ShipsDll(std::string_view dll) {
  return std::ranges::find(kShippedDlls, Lower(dll)) != kShippedDlls.end();
}

bool Server2003LacksFunction(std::string_view dll, std::string_view function) {
  const auto matches = [function](const Missing& m) { return Matches(m, function); };
  return std::ranges::any_of(kMissing, matches) ||
         (Lower(dll) == "msvcrt.dll" && std::ranges::any_of(kMissingFromMsvcrt, matches));
}

bool Server2003HasFunction(std::string_view dll, std::string_view function, const KnownFunctions& known) {
  const std::string lower = Lower(dll);
  if (!Server2003ShipsDll(lower) || Server2003LacksFunction(lower, function)) return false;
  const bool runtime = lower == "msvcrt.dll";
  return Declared(runtime ? known.runtime : known.system, function) ||
         std::ranges::any_of(kAlsoKnown, [&](const Export& e) { return e.dll == lower && e.function == function; });
}

std::vector<std::string> Server2003Problems(const PeImage& image, const Expected& expected,
                                            const KnownFunctions& known) {
  std::vector<std::string> problems;
  const bool wide = image.machine == kMachineAmd64;
  if (image.machine != kMachineI386 && !wide) {
    problems.push_back(MachineName(image.machine) + ", which Windows Server 2003 does not run");
  } else if (image.pe32Plus != wide) {
    problems.push_back(std::string(image.pe32Plus ? "a PE32+" : "a PE32") + " header on an " +
                       MachineName(image.machine) + " image");
  }
  if (expected.machine && image.machine != *expected.machine) {
    problems.push_back("built for " + MachineName(image.machine) + ", not " + MachineName(*expected.machine));
  }
  if (expected.subsystem && image.subsystem != *expected.subsystem) {
    problems.push_back(SubsystemName(image.subsystem) + " program, not " + SubsystemName(*expected.subsystem));
  }
  if (expected.dll && image.dll != *expected.dll) {
    problems.push_back(image.dll ? "a DLL, not a program" : "a program, not a DLL");
  }
  // The loader refuses a newer subsystem version; both are set to 2003's, which also says
  // that the flags reached the link.
  if (image.subsystemVersion != kServer2003) {
    problems.push_back("subsystem version " + VersionText(image.subsystemVersion) + ", not " +
                       VersionText(kServer2003));
  }
  if (image.osVersion != kServer2003) {
    problems.push_back("system version " + VersionText(image.osVersion) + ", not " + VersionText(kServer2003));
  }
  bool unread = false;
  for (const ImportedDll& dll : image.imports) {
    if (!Server2003ShipsDll(dll.name)) {
      problems.push_back("imports " + dll.name + ", which Windows Server 2003 does not ship");
      continue;
    }
    for (const ImportedFunction& f : dll.functions) {
      if (f.ordinal) {
        // An ordinal names no function that could be looked up in the lists above.
        problems.push_back("imports ordinal " + std::to_string(*f.ordinal) + " of " + dll.name +
                           ", which cannot be checked");
      } else if (Server2003LacksFunction(dll.name, f.name)) {
        problems.push_back("imports " + f.name + " from " + dll.name + ", which Windows Server 2003 lacks");
      } else if (!known.read) {
        unread = true;
      } else if (!Server2003HasFunction(dll.name, f.name, known)) {
        problems.push_back("imports " + f.name + " from " + dll.name +
                           ", which is not known to Windows Server 2003: mingw-w64's headers do not "
                           "declare it at its level");
      }
    }
  }
  if (unread) {
    problems.push_back(
        "imports functions that cannot be checked: tarnwell-pecheck was built without mingw-w64's headers, "
        "so it knows none of Windows Server 2003's");
  }
  return problems;
}

}  // namespace tarnwell::pecheck
