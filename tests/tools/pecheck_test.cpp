// The Windows programs' checker: reading PE32 and PE32+ images, and the Windows Server
// 2003 rules over what they import and declare.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "tools/pecheck/pe_image.h"
#include "tools/pecheck/server2003.h"

namespace tarnwell::pecheck {
namespace {

// --- A small image, made byte by byte --------------------------------------------------

struct Import {
  std::string dll;
  std::vector<std::string> functions;  // "#7" imports ordinal 7
  bool delayed = false;
};

class Bytes {
 public:
  void Put(std::size_t at, std::uint64_t value, unsigned width) {
    if (bytes_.size() < at + width) bytes_.resize(at + width);
    for (unsigned i = 0; i < width; ++i) bytes_[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  std::size_t Append(const std::string& text) {  // with its NUL
    const std::size_t at = bytes_.size();
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    bytes_.push_back(0);
    return at;
  }
  std::size_t Reserve(std::size_t n) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + n);
    return at;
  }
  std::vector<std::uint8_t> bytes_;
};

// Headers in the first 0x200 bytes, then one section at 0x1000 that holds the import
// tables, the delayed ones in their relative (new) form.
std::vector<std::uint8_t> BuildImage(bool pe32Plus, std::uint16_t subsystem, Version subsystemVersion,
                                     const std::vector<Import>& imports) {
  constexpr std::uint32_t kRva = 0x1000, kFileOffset = 0x200;
  const unsigned width = pe32Plus ? 8 : 4;
  Bytes section;
  std::size_t normal = 0, delayed = 0;
  for (const Import& i : imports) (i.delayed ? delayed : normal)++;
  const std::size_t descriptors = section.Reserve(20 * (normal + 1));
  const std::size_t delayDescriptors = section.Reserve(32 * (delayed + 1));
  std::size_t nextNormal = descriptors, nextDelayed = delayDescriptors;
  for (const Import& i : imports) {
    const std::size_t name = section.Append(i.dll);
    section.Reserve((width - section.bytes_.size() % width) % width);
    const std::size_t thunks = section.Reserve(width * (i.functions.size() + 1));
    for (std::size_t f = 0; f < i.functions.size(); ++f) {
      std::uint64_t entry;
      if (i.functions[f].starts_with("#")) {
        entry = std::stoull(i.functions[f].substr(1)) | (pe32Plus ? 1ull << 63 : 1ull << 31);
      } else {
        const std::size_t hint = section.Reserve(2);
        section.Append(i.functions[f]);
        entry = kRva + hint;
      }
      section.Put(thunks + width * f, entry, width);
    }
    if (i.delayed) {
      section.Put(nextDelayed, 1, 4);  // relative addresses
      section.Put(nextDelayed + 4, kRva + name, 4);
      section.Put(nextDelayed + 16, kRva + thunks, 4);
      nextDelayed += 32;
    } else {
      section.Put(nextNormal, kRva + thunks, 4);
      section.Put(nextNormal + 12, kRva + name, 4);
      section.Put(nextNormal + 16, kRva + thunks, 4);
      nextNormal += 20;
    }
  }

  const std::size_t coff = 0x84, opt = coff + 20, directories = opt + (pe32Plus ? 112 : 96);
  const std::uint16_t optionalSize = pe32Plus ? 240 : 224;
  const std::size_t header = opt + optionalSize;  // the section's
  Bytes file;
  for (const auto& [at, value, fieldWidth] : std::initializer_list<std::tuple<std::size_t, std::uint64_t, unsigned>>{
           {0, 0x5A4D, 2}, {0x3C, 0x80, 4}, {0x80, 0x4550, 4},  // MZ, where the PE header is, PE\0\0
           {coff, pe32Plus ? kMachineAmd64 : kMachineI386, 2}, {coff + 2, 1, 2}, {coff + 16, optionalSize, 2},
           {opt, pe32Plus ? 0x20Bu : 0x10Bu, 2}, {opt + (pe32Plus ? 24 : 28), pe32Plus ? 0x140000000u : 0x400000u, width},
           {opt + 40, 5, 2}, {opt + 42, 2, 2},  // system version 5.02
           {opt + 48, subsystemVersion.major, 2}, {opt + 50, subsystemVersion.minor, 2},
           {opt + 60, kFileOffset, 4}, {opt + 68, subsystem, 2}, {directories - 4, 16, 4},
           {directories + 8 * 1, kRva + descriptors, 4}, {directories + 8 * 13, kRva + delayDescriptors, 4},
           {header + 8, section.bytes_.size(), 4}, {header + 12, kRva, 4}, {header + 16, section.bytes_.size(), 4},
           {header + 20, kFileOffset, 4}}) {
    file.Put(at, value, fieldWidth);
  }
  file.bytes_.resize(kFileOffset);
  file.bytes_.insert(file.bytes_.end(), section.bytes_.begin(), section.bytes_.end());
  return file.bytes_;
}

const std::vector<Import> kImports = {
    {"KERNEL32.dll", {"GetTickCount", "#17", "Sleep"}},
    {"msvcrt.dll", {"malloc"}},
    {"USER32.dll", {"MessageBoxW"}, true},
};

TEST(PeImage, ReadsHeadersAndImportsOfBothWordSizes) {
  for (const bool pe32Plus : {false, true}) {
    SCOPED_TRACE(pe32Plus ? "PE32+" : "PE32");
    const PeImage image = ReadPeImage(BuildImage(pe32Plus, kSubsystemGui, {6, 1}, kImports));
    EXPECT_EQ(image.machine, pe32Plus ? kMachineAmd64 : kMachineI386);
    EXPECT_EQ(image.pe32Plus, pe32Plus);
    EXPECT_EQ(image.subsystem, kSubsystemGui);
    EXPECT_EQ(image.subsystemVersion, (Version{6, 1}));
    EXPECT_EQ(image.osVersion, kServer2003);
    std::string imports;  // "dll[ delayed]: name #ordinal ...; "
    for (const ImportedDll& dll : image.imports) {
      imports += dll.name + (dll.delayed ? " delayed:" : ":");
      for (const auto& f : dll.functions) {
        imports.append(" ").append(f.name);
        if (f.ordinal) imports.append("#").append(std::to_string(*f.ordinal));
      }
      imports += "; ";
    }
    EXPECT_EQ(imports, "KERNEL32.dll: GetTickCount #17 Sleep; msvcrt.dll: malloc; USER32.dll delayed: MessageBoxW; ");
  }
}

TEST(PeImage, RefusesWhatDoesNotLieWholeInTheFile) {
  const std::vector<std::uint8_t> whole = BuildImage(true, kSubsystemConsole, kServer2003, kImports);
  ASSERT_NO_THROW(ReadPeImage(whole));
  // The last byte is a name's end: every shorter file cuts a header, a table or a name.
  for (std::size_t n = 0; n < whole.size(); ++n) {
    EXPECT_THROW(ReadPeImage(std::span(whole).first(n)), PeFormatError) << n << " bytes";
  }
  std::vector<std::uint8_t> bad = whole;
  bad[0x3C] = 0xF0;  // the PE header beyond the end
  EXPECT_THROW(ReadPeImage(bad), PeFormatError);
  bad = whole;
  bad[0x200 + 12 + 2] = 0x10;  // the first DLL's name far outside the section
  EXPECT_THROW(ReadPeImage(bad), PeFormatError);
}

// --- The rules -----------------------------------------------------------------------

PeImage ServerReady() {
  PeImage image;
  image.machine = kMachineAmd64;
  image.pe32Plus = true;
  image.subsystem = kSubsystemConsole;
  image.subsystemVersion = kServer2003;
  image.osVersion = kServer2003;
  image.imports = {
      {"KERNEL32.DLL", false, {{"GetTickCount", {}}, {"GetSystemTimeAsFileTime", {}}, {"Sleep", {}}}},
      {"msvcrt.dll", false, {{"malloc", {}}, {"_fstat64", {}}, {"_wfindfirst64", {}}}},
  };
  return image;
}

TEST(Server2003, NamesWhatKeepsAProgramFromLoading) {
  const Expected console{kMachineAmd64, kSubsystemConsole};
  struct Case {
    const char* what;
    std::function<void(PeImage&)> change;
    Expected expected;
    std::string problem;  // empty: none
  };
  const auto uses = [](std::string dll, std::string function, bool delayed = false) {
    return [=](PeImage& i) { i.imports.push_back({dll, delayed, {{function, {}}}}); };
  };
  std::vector<Case> cases = {
      {"as built", [](PeImage&) {}, console, ""},
      {"tick", uses("KERNEL32.dll", "GetTickCount64"), console,
       "imports GetTickCount64 from KERNEL32.dll, which Windows Server 2003 lacks"},
      {"secure CRT", uses("MSVCRT.dll", "strcpy_s"), console, "imports strcpy_s"},
      {"a name that ends so elsewhere", uses("user32.dll", "Fake_s"), console, ""},
      {"CRT", uses("ucrtbase.dll", "malloc"), console, "imports ucrtbase.dll, which Windows Server 2003 does not ship"},
      {"delayed", uses("dwmapi.dll", "DwmFlush", true), console, "imports dwmapi.dll"},
      {"thread DLL", uses("libwinpthread-1.dll", "pthread_create"), console, "imports libwinpthread-1.dll"},
      {"ordinal", [](PeImage& i) { i.imports.push_back({"COMCTL32.dll", false, {{"", 17}}}); }, console,
       "imports ordinal 17 of COMCTL32.dll, which cannot be checked"},
      {"subsystem 6", [](PeImage& i) { i.subsystemVersion = {6, 0}; }, console, "subsystem version 6.00, not 5.02"},
      {"system 4", [](PeImage& i) { i.osVersion = {4, 0}; }, console, "system version 4.00, not 5.02"},
      {"console", [](PeImage&) {}, {kMachineAmd64, kSubsystemGui}, "console program, not GUI"},
      {"machine", [](PeImage&) {}, {kMachineI386, {}}, "built for x86_64, not i686"},
      {"header width", [](PeImage& i) { i.machine = kMachineI386; }, {}, "a PE32+ header on an i686 image"},
  };
  for (const char* function : {"AcquireSRWLockExclusive", "SleepConditionVariableCS", "InitOnceExecuteOnce",
                               "QueryFullProcessImageNameW", "GetSystemTimePreciseAsFileTime"}) {
    cases.push_back({function, uses("kernel32.dll", function), console, std::string("imports ") + function});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PeImage image = ServerReady();
    c.change(image);
    const std::vector<std::string> problems = Server2003Problems(image, c.expected);
    if (c.problem.empty()) {
      EXPECT_TRUE(problems.empty()) << problems.front();
    } else {
      ASSERT_EQ(problems.size(), 1u);
      EXPECT_TRUE(problems[0].starts_with(c.problem)) << problems[0];
    }
  }
}

}  // namespace
}  // namespace tarnwell::pecheck
