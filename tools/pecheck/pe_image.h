#pragma once
// What a Windows executable (PE32 or PE32+) says about where it can run: its machine, its
// subsystem and versions, and what it imports. Read from the file's bytes on any system.
#include <compare>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarnwell::pecheck {

// Raised on bytes that are not a well-formed image, and on a file that cannot be read.
class PeFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::uint16_t kMachineI386 = 0x014C;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;
inline constexpr std::uint16_t kSubsystemGui = 2;
inline constexpr std::uint16_t kSubsystemConsole = 3;

struct Version {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  auto operator<=>(const Version&) const = default;
};

struct ImportedFunction {
  std::string name;                     // empty when imported by ordinal
  std::optional<std::uint16_t> ordinal;  // set only when imported by ordinal
};

struct ImportedDll {
  std::string name;     // as the file spells it, e.g. "KERNEL32.dll"
  bool delayed = false;  // bound at its first call rather than when the program loads
  std::vector<ImportedFunction> functions;
};

// A resource is named by a number or by a string.
struct ResourceId {
  std::optional<std::uint16_t> id;
  std::string name;  // UTF-8, when named by a string
  bool operator==(const ResourceId&) const = default;
};

// Resource types, by number.
inline constexpr std::uint16_t kResourceIcon = 3;
inline constexpr std::uint16_t kResourceGroupIcon = 14;
inline constexpr std::uint16_t kResourceVersion = 16;
inline constexpr std::uint16_t kResourceManifest = 24;

struct Resource {
  ResourceId type;
  ResourceId name;
  std::uint16_t language = 0;
  std::vector<std::uint8_t> data;
};

struct PeImage {
  std::uint16_t machine = 0;
  bool pe32Plus = false;
  bool dll = false;  // IMAGE_FILE_DLL: loaded into a program rather than started
  std::uint16_t subsystem = 0;
  Version subsystemVersion;
  Version osVersion;
  std::vector<ImportedDll> imports;  // the import table's order, then the delayed ones
  std::vector<Resource> resources;   // the resource directory's order: type, name, language
};

// Little-endian UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8FromUtf16(std::span<const std::uint8_t> text);

// Never reads outside `file`; raises PeFormatError where a header, table or name does
// not lie whole inside it.
PeImage ReadPeImage(std::span<const std::uint8_t> file);
PeImage ReadPeFile(const std::filesystem::path& path);

}  // namespace tarnwell::pecheck
