// The Windows programs' checker: reading PE32 and PE32+ images, and the Windows Server
// 2003 rules over what they import and declare.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "tools/pecheck/pe_image.h"
#include "tools/pecheck/resources.h"
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

// A resource tree at `root` of `section` (at kRva): types, names, languages, each
// resource's data entry and data after them. Resources of one type (and name) are adjacent.
template <typename SectionBytes>
void PutResources(SectionBytes& section, std::uint32_t rva, const std::vector<Resource>& resources) {
  using Names = std::vector<std::pair<ResourceId, std::vector<const Resource*>>>;
  std::vector<std::pair<ResourceId, Names>> types;
  for (const Resource& r : resources) {
    if (types.empty() || !(types.back().first == r.type)) types.push_back({r.type, {}});
    Names& names = types.back().second;
    if (names.empty() || !(names.back().first == r.name)) names.push_back({r.name, {}});
    names.back().second.push_back(&r);
  }
  const std::size_t root = section.bytes_.size();
  const auto directory = [&](std::size_t count) {
    const std::size_t at = section.Reserve(16 + 8 * count);
    section.Put(at + 14, count, 2);  // all numbered: the reader takes named ones alike
    return at;
  };
  const auto name = [&](std::size_t entry, const ResourceId& id) {
    if (id.id) return section.Put(entry, *id.id, 4);
    const std::size_t at = section.Reserve(2 + 2 * id.name.size());
    section.Put(at, id.name.size(), 2);
    for (std::size_t i = 0; i < id.name.size(); ++i) section.Put(at + 2 + 2 * i, static_cast<unsigned char>(id.name[i]), 2);
    section.Put(entry, 0x80000000u | (at - root), 4);
  };
  const std::size_t typeDir = directory(types.size());
  for (std::size_t t = 0; t < types.size(); ++t) {
    name(typeDir + 16 + 8 * t, types[t].first);
    const std::size_t nameDir = directory(types[t].second.size());
    section.Put(typeDir + 20 + 8 * t, 0x80000000u | (nameDir - root), 4);
    for (std::size_t n = 0; n < types[t].second.size(); ++n) {
      const auto& [id, languages] = types[t].second[n];
      name(nameDir + 16 + 8 * n, id);
      const std::size_t languageDir = directory(languages.size());
      section.Put(nameDir + 20 + 8 * n, 0x80000000u | (languageDir - root), 4);
      for (std::size_t l = 0; l < languages.size(); ++l) {
        section.Put(languageDir + 16 + 8 * l, languages[l]->language, 4);
        const std::size_t entry = section.Reserve(16);
        section.Put(languageDir + 20 + 8 * l, entry - root, 4);
        const std::size_t data = section.Reserve(languages[l]->data.size());
        std::ranges::copy(languages[l]->data, section.bytes_.begin() + static_cast<std::ptrdiff_t>(data));
        section.Put(entry, rva + data, 4);
        section.Put(entry + 4, languages[l]->data.size(), 4);
      }
    }
  }
}

// Headers in the first 0x200 bytes, then one section at 0x1000 that holds the import
// tables, the delayed ones in their relative (new) form, and the resource tree.
std::vector<std::uint8_t> BuildImage(bool pe32Plus, std::uint16_t subsystem, Version subsystemVersion,
                                     const std::vector<Import>& imports, const std::vector<Resource>& resources = {}) {
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
  const std::size_t resourceRoot = section.bytes_.size();
  if (!resources.empty()) PutResources(section, kRva, resources);

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
           {directories + 8 * 2, resources.empty() ? 0 : kRva + resourceRoot, 4},
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
    EXPECT_FALSE(image.dll);
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

// --- Resources -------------------------------------------------------------------------

std::vector<std::uint8_t> Utf16(std::string_view text) {  // ASCII, with its NUL
  std::vector<std::uint8_t> out;
  for (const char c : text) out.insert(out.end(), {static_cast<std::uint8_t>(c), 0});
  out.insert(out.end(), {0, 0});
  return out;
}

// One VS_VERSIONINFO block: header, key, value and children, each on a 32-bit boundary.
std::vector<std::uint8_t> VersionBlock(std::string_view key, const std::vector<std::uint8_t>& value, bool text,
                                       const std::vector<std::vector<std::uint8_t>>& children = {}) {
  Bytes b;
  b.Put(2, text ? value.size() / 2 : value.size(), 2);
  b.Put(4, text ? 1 : 0, 2);
  const auto pad = [&] { b.Reserve((4 - b.bytes_.size() % 4) % 4); };
  for (const std::uint8_t byte : Utf16(key)) b.bytes_.push_back(byte);
  pad();
  b.bytes_.insert(b.bytes_.end(), value.begin(), value.end());
  for (const auto& child : children) {
    pad();
    b.bytes_.insert(b.bytes_.end(), child.begin(), child.end());
  }
  b.Put(0, b.bytes_.size(), 2);
  return b.bytes_;
}

std::vector<std::uint8_t> VersionResource(std::uint64_t fixed, const std::string& productName, const std::string& version) {
  Bytes info;  // VS_FIXEDFILEINFO: signature, structure version, file and product versions
  for (const auto& [at, value] : std::initializer_list<std::pair<std::size_t, std::uint64_t>>{
           {0, 0xFEEF04BD}, {4, 0x10000}, {8, fixed >> 32}, {12, fixed & 0xFFFFFFFF}, {16, fixed >> 32},
           {20, fixed & 0xFFFFFFFF}, {48, 0}}) {
    info.Put(at, value, 4);
  }
  const auto string = [](std::string_view key, std::string_view value) { return VersionBlock(key, Utf16(value), true); };
  return VersionBlock(
      "VS_VERSION_INFO", info.bytes_, false,
      {VersionBlock("StringFileInfo", {}, true,
                    {VersionBlock("040904B0", {}, true,
                                  {string("FileDescription", "Tarnwell"), string("FileVersion", version),
                                   string("ProductName", productName), string("ProductVersion", version)})}),
       VersionBlock("VarFileInfo", {}, true, {VersionBlock("Translation", {0x09, 0x04, 0xB0, 0x04}, false)})});
}

std::vector<std::uint8_t> IconGroup(const std::vector<IconEntry>& entries) {
  Bytes b;
  b.Put(2, 1, 2);
  b.Put(4, entries.size(), 2);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = 6 + 14 * i;
    b.Put(at, entries[i].width % 256, 1);
    b.Put(at + 1, entries[i].height % 256, 1);
    b.Put(at + 4, 1, 2);
    b.Put(at + 6, entries[i].bits, 2);
    b.Put(at + 8, 40, 4);
    b.Put(at + 12, entries[i].iconId, 2);
  }
  return b.bytes_;
}

std::vector<std::uint8_t> Text(std::string_view text) { return {text.begin(), text.end()}; }

// The manifest the window carries, in the shape of app/win32/tarnwell.manifest.
constexpr std::string_view kManifest = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <asmv3:trustInfo xmlns:asmv3="urn:schemas-microsoft-com:asm.v3"><asmv3:security><asmv3:requestedPrivileges>
    <asmv3:requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>
  </asmv3:requestedPrivileges></asmv3:security></asmv3:trustInfo>
  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"><application>
    <supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"/><supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>
    <supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/><supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>
    <supportedOS Id="{8E0F7A12-BFB3-4FE8-B9A5-48FD50A15A9A}"/>
  </application></compatibility>
  <dependency><dependentAssembly>
    <assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0"
                      processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*"/>
  </dependentAssembly></dependency>
</assembly>)";

std::vector<Resource> WindowResources() {
  std::vector<Resource> r;
  std::vector<IconEntry> entries;
  std::uint16_t id = 1;
  for (const int size : {48, 32, 16}) {
    for (const int bits : {32, 8}) entries.push_back({size, size, bits, id++});
  }
  for (const IconEntry& e : entries) r.push_back({{kResourceIcon, {}}, {e.iconId, {}}, 0x409, {1, 2, 3}});
  r.push_back({{kResourceGroupIcon, {}}, {1, {}}, 0x409, IconGroup(entries)});
  r.push_back({{kResourceVersion, {}}, {1, {}}, 0x409, VersionResource(0x0001000100000000, "Tarnwell", "1.1.0")});
  r.push_back({{kResourceManifest, {}}, {1, {}}, 0x409, Text(kManifest)});
  return r;
}

TEST(PeImage, ReadsTheResourceTree) {
  std::vector<Resource> resources = WindowResources();
  resources.push_back({{{}, "PICTURES"}, {{}, "LOGO"}, 0x407, {}});
  resources.push_back({{{}, "PICTURES"}, {{}, "LOGO"}, 7, {9, 8, 7}});
  for (const bool pe32Plus : {false, true}) {
    const PeImage image = ReadPeImage(BuildImage(pe32Plus, kSubsystemGui, kServer2003, kImports, resources));
    ASSERT_EQ(image.resources.size(), resources.size());
    for (std::size_t i = 0; i < resources.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(image.resources[i].type, resources[i].type);
      EXPECT_EQ(image.resources[i].name, resources[i].name);
      EXPECT_EQ(image.resources[i].language, resources[i].language);
      EXPECT_EQ(image.resources[i].data, resources[i].data);
    }
  }
  const std::vector<std::uint8_t> whole = BuildImage(true, kSubsystemGui, kServer2003, kImports, resources);
  // The last bytes are the last resource's data: a shorter file cuts it.
  EXPECT_THROW(ReadPeImage(std::span(whole).first(whole.size() - 1)), PeFormatError);
  // A language entry that points at a directory: the tree is no longer three levels deep.
  std::vector<std::uint8_t> deeper = whole;
  const std::size_t root = BuildImage(true, kSubsystemGui, kServer2003, kImports).size();  // where the imports end
  const auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(deeper[at] | deeper[at + 1] << 8 | deeper[at + 2] << 16 | deeper[at + 3] << 24);
  };
  const std::size_t names = root + (u32(root + 20) & 0x7FFFFFFF);       // the first type's names
  const std::size_t languages = root + (u32(names + 20) & 0x7FFFFFFF);  // its first name's languages
  deeper[languages + 23] |= 0x80;
  EXPECT_THROW(ReadPeImage(deeper), PeFormatError);
}

TEST(Resources, NamesWhatTheWindowsProgramLacks) {
  const ExpectedResources window{"Tarnwell", "1.1.0", true, true};
  const auto replace = [](std::uint16_t type, std::vector<std::uint8_t> data) {
    return [=](std::vector<Resource>& r) {
      for (Resource& each : r) {
        if (each.type.id == type) each.data = data;
      }
    };
  };
  const auto manifest = [&](std::string_view from, std::string_view to) {
    std::string text(kManifest);
    text.replace(text.find(from), from.size(), to);
    return replace(kResourceManifest, Text(text));
  };
  const auto drop = [](std::uint16_t type) {
    return [=](std::vector<Resource>& r) { std::erase_if(r, [&](const Resource& each) { return each.type.id == type; }); };
  };
  struct Case {
    const char* what;
    std::function<void(std::vector<Resource>&)> change;
    std::string problem;  // empty: none
    ExpectedResources expected;
  };
  const std::vector<Case> cases = {
      {"as built", [](std::vector<Resource>&) {}, "", window},
      {"no manifest", drop(kResourceManifest), "carries no manifest", window},
      {"manifest of another id", [](std::vector<Resource>& r) { r.back().name = {2, {}}; }, "carries no manifest", window},
      {"as invoker", manifest("requireAdministrator", "asInvoker"), "the manifest does not ask for elevation", window},
      {"with UI access", manifest("uiAccess=\"false\"", "uiAccess=\"true\""), "the manifest does not say uiAccess", window},
      {"without 10", manifest("8E0F7A12", "8E0F7A13"), "the manifest does not list Windows 10 and 11", window},
      {"common controls 5", manifest("6.0.0.0", "5.82.0.0"), "the manifest does not bind Common Controls", window},
      {"DPI aware", manifest("</assembly>", "<application xmlns=\"urn:schemas-microsoft-com:asm.v3\"><windowsSettings>"
                                            "<dpiAware>true</dpiAware></windowsSettings></application></assembly>"),
       "the manifest claims DPI awareness", window},
      {"not XML", manifest("</assembly>", ""), "the manifest is not well-formed XML", window},
      {"no icon", drop(kResourceGroupIcon), "carries no icon", window},
      {"no 48 in 8-bit", replace(kResourceGroupIcon, IconGroup({{48, 48, 32, 1}, {32, 32, 32, 3}, {32, 32, 8, 4}, {16, 16, 32, 5}, {16, 16, 8, 6}})),
       "the icon has no 48 x 48 image in 8-bit colour", window},
      {"an image missing", [](std::vector<Resource>& r) { r.erase(r.begin()); }, "the icon group names image 1, which the file lacks", window},
      {"no version information", drop(kResourceVersion), "carries no version information", window},
      {"another product", replace(kResourceVersion, VersionResource(0x0001000100000000, "Other", "1.1.0")),
       "ProductName is \"Other\", not \"Tarnwell\"", window},
      {"another version", replace(kResourceVersion, VersionResource(0x0001000100000000, "Tarnwell", "1.0.9")),
       "ProductVersion is \"1.0.9\", not \"1.1.0\"", window},
      {"another fixed version", replace(kResourceVersion, VersionResource(0x0001000000000000, "Tarnwell", "1.1.0")),
       "the fixed product version is 1.0.0.0, not 1.1.0", window},
      {"cut version information", [](std::vector<Resource>& r) { for (Resource& each : r) if (each.type.id == kResourceVersion) each.data.resize(100); },
       "the version information is unreadable", window},
      {"a stand-in: version information only", drop(kResourceManifest), "", {"Tarnwell", "1.1.0", false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Resource> resources = WindowResources();
    c.change(resources);
    PeImage image;
    image.resources = resources;
    const std::vector<std::string> problems = ResourceProblems(image, c.expected);
    if (c.problem.empty()) {
      EXPECT_TRUE(problems.empty()) << problems.front();
    } else {
      ASSERT_FALSE(problems.empty());
      EXPECT_TRUE(problems[0].starts_with(c.problem)) << problems[0];
    }
  }
  EXPECT_EQ(ParseVersion("1.1.0"), 0x0001000100000000u);
  EXPECT_EQ(ParseVersion("2.3.4.5"), 0x0002000300040005u);
  for (const char* bad : {"", "1.", "1..2", "1.2.3.4.5", "65536", "1.x", "v1"}) EXPECT_EQ(ParseVersion(bad), std::nullopt) << bad;
}

// --- The rules -----------------------------------------------------------------------

// A few declared functions in place of the headers' thousands, so that the rules are tested
// wherever the tool is built; sorted, as the tool's table is.
constexpr std::string_view kSystemNames[] = {"Fake_s", "GetSystemTimeAsFileTime", "GetTickCount",
                                             "MessageBoxW", "SetWindowSubclass", "Sleep"};
constexpr std::string_view kRuntimeNames[] = {"_fstat64", "_wfindfirst64", "malloc", "strcpy_s"};
static_assert(std::ranges::is_sorted(kSystemNames) && std::ranges::is_sorted(kRuntimeNames));
const KnownFunctions kKnown{true, kSystemNames, kRuntimeNames};
const KnownFunctions kNothingRead{};

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
  const Expected console{kMachineAmd64, kSubsystemConsole, {}};
  struct Case {
    const char* what;
    std::function<void(PeImage&)> change;
    Expected expected;
    std::string problem;  // empty: none
    const KnownFunctions* known = &kKnown;
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
      {"declared by no header", uses("kernel32.dll", "FooBarW"), console,
       "imports FooBarW from kernel32.dll, which is not known to Windows Server 2003"},
      {"declared, but comctl32 6's", uses("COMCTL32.dll", "SetWindowSubclass"), console,
       "imports SetWindowSubclass from COMCTL32.dll, which Windows Server 2003 lacks"},
      {"a system function from the C runtime", uses("msvcrt.dll", "GetTickCount"), console,
       "imports GetTickCount from msvcrt.dll, which is not known"},
      {"a C runtime function from the system", uses("KERNEL32.dll", "malloc"), console,
       "imports malloc from KERNEL32.dll, which is not known"},
      {"bound at run time, no header's", uses("ntdll.dll", "NtDuplicateObject"), console, ""},
      {"the runtime's startup", uses("MSVCRT.DLL", "__getmainargs"), console, ""},
      {"the runtime's startup elsewhere", uses("kernel32.dll", "__getmainargs"), console,
       "imports __getmainargs from kernel32.dll, which is not known"},
      {"built without the headers", [](PeImage&) {}, console,
       "imports functions that cannot be checked: tarnwell-pecheck was built without mingw-w64's headers",
       &kNothingRead},
      {"built without the headers, lacked", uses("kernel32.dll", "GetTickCount64"), console,
       "imports GetTickCount64 from kernel32.dll, which Windows Server 2003 lacks", &kNothingRead},
      {"CRT", uses("ucrtbase.dll", "malloc"), console, "imports ucrtbase.dll, which Windows Server 2003 does not ship"},
      {"delayed", uses("dwmapi.dll", "DwmFlush", true), console, "imports dwmapi.dll"},
      {"thread DLL", uses("libwinpthread-1.dll", "pthread_create"), console, "imports libwinpthread-1.dll"},
      {"ordinal", [](PeImage& i) { i.imports.push_back({"COMCTL32.dll", false, {{"", 17}}}); }, console,
       "imports ordinal 17 of COMCTL32.dll, which cannot be checked"},
      {"subsystem 6", [](PeImage& i) { i.subsystemVersion = {6, 0}; }, console, "subsystem version 6.00, not 5.02"},
      {"system 4", [](PeImage& i) { i.osVersion = {4, 0}; }, console, "system version 4.00, not 5.02"},
      {"console", [](PeImage&) {}, {kMachineAmd64, kSubsystemGui, {}}, "console program, not GUI"},
      {"machine", [](PeImage&) {}, {kMachineI386, {}, {}}, "built for x86_64, not i686"},
      {"header width", [](PeImage& i) { i.machine = kMachineI386; }, {}, "a PE32+ header on an i686 image"},
      {"a DLL where one is meant", [](PeImage& i) { i.dll = true; }, {kMachineAmd64, kSubsystemConsole, true}, ""},
      {"a DLL for a program", [](PeImage& i) { i.dll = true; }, {kMachineAmd64, kSubsystemConsole, false},
       "a DLL, not a program"},
      {"a program for a DLL", [](PeImage&) {}, {kMachineAmd64, kSubsystemConsole, true}, "a program, not a DLL"},
  };
  for (const char* function : {"AcquireSRWLockExclusive", "SleepConditionVariableCS", "InitOnceExecuteOnce",
                               "QueryFullProcessImageNameW", "GetSystemTimePreciseAsFileTime"}) {
    cases.push_back({function, uses("kernel32.dll", function), console, std::string("imports ") + function});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PeImage image = ServerReady();
    c.change(image);
    const std::vector<std::string> problems = Server2003Problems(image, c.expected, *c.known);
    if (c.problem.empty()) {
      EXPECT_TRUE(problems.empty()) << problems.front();
    } else if (c.known->read) {
      ASSERT_EQ(problems.size(), 1u);
      EXPECT_TRUE(problems[0].starts_with(c.problem)) << problems[0];
    } else {  // the lacked one named, then the rest told unchecked
      ASSERT_FALSE(problems.empty());
      EXPECT_TRUE(problems[0].starts_with(c.problem)) << problems[0];
      EXPECT_TRUE(problems.back().starts_with("imports functions that cannot be checked")) << problems.back();
    }
  }
}

// The table read from mingw-w64's headers when the tool was built: Vista's additions are
// not in it, whether hidden by the level or never declared; what the programs call is.
TEST(Server2003, KnowsWhatTheHeadersDeclareAtItsLevel) {
  const KnownFunctions& headers = HeaderFunctions();
  if (!headers.read) {
    GTEST_SKIP() << "tarnwell-pecheck was built without mingw-w64's headers (no x86_64-w64-mingw32-gcc, i686-w64-mingw32-gcc "
                    "or Python 3 when configured; scripts/test-win32.sh installs the compilers), so it knows "
                    "no function of Windows Server 2003";
  }
  EXPECT_TRUE(std::ranges::is_sorted(headers.system));  // looked up by binary search
  EXPECT_TRUE(std::ranges::is_sorted(headers.runtime));
  struct Case {
    const char* dll;
    const char* function;
    bool known;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"kernel32.dll", "FooBarW", false},
           {"kernel32.dll", "K32GetProcessMemoryInfo", false},
           {"ws2_32.dll", "WSAPoll", false},
           {"ws2_32.dll", "inet_pton", false},
           {"kernel32.dll", "CreateFile2", false},
           {"kernel32.dll", "SetThreadDescription", false},
           {"user32.dll", "GetDpiForWindow", false},
           {"user32.dll", "GetSystemMetricsForDpi", false},
           {"comctl32.dll", "SetWindowSubclass", false},  // declared at 2003's level
           {"comctl32.dll", "DefSubclassProc", false},
           {"kernel32.dll", "GetThreadErrorMode", false},  // declared at 2003's level
           {"msvcrt.dll", "strcpy_s", false},
           {"msvcrt.dll", "CreateFileW", false},
           {"kernel32.dll", "CreateFileW", true},
           {"kernel32.dll", "CreateFileA", true},
           {"psapi.dll", "GetProcessMemoryInfo", true},
           {"kernel32.dll", "CreateToolhelp32Snapshot", true},
           {"kernel32.dll", "Process32FirstW", true},
           {"activeds.dll", "ADsGetObject", true},
           {"comctl32.dll", "InitCommonControlsEx", true},
           {"ntdll.dll", "NtQueryInformationProcess", true},
           {"ntdll.dll", "NtQuerySystemInformation", true},
           {"ntdll.dll", "NtQueryObject", true},
           {"ntdll.dll", "NtDuplicateObject", true},
           {"ntdll.dll", "NtClose", true},
           {"ws2_32.dll", "WSAStartup", true},
           {"oleaut32.dll", "SysAllocString", true},
           {"shell32.dll", "CommandLineToArgvW", true},
           {"msvcrt.dll", "malloc", true},
           {"msvcrt.dll", "_wfindfirst64", true},
           {"msvcrt.dll", "__getmainargs", true},
       }) {
    EXPECT_EQ(Server2003HasFunction(c.dll, c.function), c.known) << c.function << " from " << c.dll;
  }
}

}  // namespace
}  // namespace tarnwell::pecheck
