// tarnwell-pecheck: reads Windows programs on the build machine and says whether Windows
// Server 2003 loads them. Exit status 0 when every file passes, 1 when one has a problem,
// 2 on a usage error or a file that is not a readable program.
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pecheck/pe_image.h"
#include "tools/pecheck/resources.h"
#include "tools/pecheck/server2003.h"

#ifndef TARNWELL_VERSION
#define TARNWELL_VERSION "unknown"
#endif

namespace {

using namespace tarnwell::pecheck;

constexpr std::string_view kUsage =
    "Usage: tarnwell-pecheck [--machine x86_64|i686] [--subsystem console|gui] [--dll|--program] [--list] FILE...\n"
    "Checks that each Windows program FILE loads on Windows Server 2003: subsystem and system\n"
    "version 5.02, DLLs the system ships, and only functions it is known to have: those that\n"
    "mingw-w64's headers declare at its level, read when this tool was built. --machine and\n"
    "--subsystem say what the program must be, --dll that it is a DLL (an in-process server),\n"
    "--program that it is not; --list also prints every import.\n"
    "\n"
    "Usage: tarnwell-pecheck [--product NAME] [--product-version VERSION] [--icon] [--manifest] FILE...\n"
    "Checks instead what each FILE shows of itself: version information with that product name\n"
    "and version (also the file version), an icon with 16, 32 and 48 pixel images in 8-bit and\n"
    "32-bit colour, and a manifest that asks for elevation, lists Windows Vista to 11, binds\n"
    "Common Controls 6 and claims no DPI awareness.\n";

int UsageError(std::string_view what) {
  std::cerr << "tarnwell-pecheck: " << what << "\n" << kUsage;
  return 2;
}

std::size_t FunctionCount(const PeImage& image) {
  std::size_t n = 0;
  for (const ImportedDll& dll : image.imports) n += dll.functions.size();
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  Expected expected;
  ExpectedResources resources;
  bool list = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--version") {
      std::cout << "tarnwell-pecheck " << TARNWELL_VERSION << "\n";
      return 0;
    } else if (arg == "--dll" || arg == "--program") {
      expected.dll = arg == "--dll";
    } else if (arg == "--list") {
      list = true;
    } else if (arg == "--icon") {
      resources.icon = true;
    } else if (arg == "--manifest") {
      resources.administratorManifest = true;
    } else if (arg == "--product" && hasValue) {
      resources.productName = argv[++i];
    } else if (arg == "--product-version" && hasValue) {
      resources.productVersion = argv[++i];
      if (!ParseVersion(*resources.productVersion)) return UsageError("not a version: " + *resources.productVersion);
    } else if (arg == "--machine" && hasValue) {
      const std::string_view value = argv[++i];
      if (value == "x86_64") expected.machine = kMachineAmd64;
      else if (value == "i686") expected.machine = kMachineI386;
      else return UsageError("unknown machine " + std::string(value));
    } else if (arg == "--subsystem" && hasValue) {
      const std::string_view value = argv[++i];
      if (value == "console") expected.subsystem = kSubsystemConsole;
      else if (value == "gui") expected.subsystem = kSubsystemGui;
      else return UsageError("unknown subsystem " + std::string(value));
    } else if (arg.starts_with("-")) {
      return UsageError("unknown option " + std::string(arg));
    } else {
      files.emplace_back(arg);
    }
  }
  if (files.empty()) return UsageError("no file named");
  const bool checkResources = resources.icon || resources.administratorManifest || resources.productName ||
                              resources.productVersion;

  int status = 0;
  for (const std::string& file : files) {
    PeImage image;
    try {
      image = ReadPeFile(file);
    } catch (const PeFormatError& e) {
      std::cerr << file << ": " << e.what() << "\n";
      status = 2;
      continue;
    }
    if (list) {
      for (const ImportedDll& dll : image.imports) {
        for (const ImportedFunction& f : dll.functions) {
          std::cout << file << ": " << dll.name << (dll.delayed ? " (delayed) " : " ");
          if (f.ordinal) {
            std::cout << "#" << *f.ordinal << "\n";
          } else {
            std::cout << f.name << "\n";
          }
        }
      }
    }
    if (checkResources) {
      const std::vector<std::string> problems = ResourceProblems(image, resources);
      for (const std::string& problem : problems) std::cout << file << ": " << problem << "\n";
      std::cout << file << ": " << image.resources.size() << " resources: "
                << (problems.empty() ? "as expected" : "not as expected") << "\n";
      if (!problems.empty() && status == 0) status = 1;
      continue;
    }
    const std::vector<std::string> problems = Server2003Problems(image, expected);
    for (const std::string& problem : problems) std::cout << file << ": " << problem << "\n";
    std::cout << file << ": " << (image.pe32Plus ? "PE32+" : "PE32") << ", " << image.imports.size()
              << " DLLs, " << FunctionCount(image) << " functions: "
              << (problems.empty() ? "loads on Windows Server 2003" : "does not load on Windows Server 2003")
              << "\n";
    if (!problems.empty() && status == 0) status = 1;
  }
  return status;
}
