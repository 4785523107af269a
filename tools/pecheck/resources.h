#pragma once
// What a Windows program shows of itself: its icon, its version information (Explorer's
// Properties) and its manifest (the elevation it asks for, the systems it knows, the common
// controls it binds), read from its resources.
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/pecheck/pe_image.h"

namespace tarnwell::pecheck {

// One image of an icon group (RT_GROUP_ICON): its size, colour depth and RT_ICON id.
struct IconEntry {
  int width = 0;
  int height = 0;
  int bits = 0;
  std::uint16_t iconId = 0;
};
std::vector<IconEntry> ReadIconGroup(std::span<const std::uint8_t> data);

// VS_VERSIONINFO: the fixed part's versions and the StringFileInfo's strings (of every
// table; the first one read wins).
struct VersionInfo {
  std::uint64_t fileVersion = 0;     // four 16-bit parts, the major one highest
  std::uint64_t productVersion = 0;
  std::map<std::string, std::string> strings;  // "ProductName" -> "Tarnwell"
};
VersionInfo ReadVersionInfo(std::span<const std::uint8_t> data);

// "1.1.0" as four 16-bit parts, the missing ones 0; nothing for text that is not 1 to 4
// numbers.
std::optional<std::uint64_t> ParseVersion(const std::string& text);

// What the program's resources must hold; an unset field is not checked.
struct ExpectedResources {
  std::optional<std::string> productName;
  std::optional<std::string> productVersion;  // also the file version, fixed and as text
  bool icon = false;                          // a group with 16, 32 and 48 pixel images
  // The window's manifest: requireAdministrator without UI access, Vista to 10 listed,
  // Common Controls 6, and no claim of DPI awareness.
  bool administratorManifest = false;
};

// One sentence for each difference from what is expected; empty when there is none.
std::vector<std::string> ResourceProblems(const PeImage& image, const ExpectedResources& expected);

}  // namespace tarnwell::pecheck
