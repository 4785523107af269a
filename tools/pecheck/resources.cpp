#include "tools/pecheck/resources.h"

#include <pugixml.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace tarnwell::pecheck {

namespace {

std::uint16_t U16(std::span<const std::uint8_t> data, std::size_t at) {
  if (at + 2 > data.size()) throw PeFormatError("resource data ends inside a field");
  return static_cast<std::uint16_t>(data[at] | data[at + 1] << 8);
}

std::uint32_t U32(std::span<const std::uint8_t> data, std::size_t at) {
  return U16(data, at) | static_cast<std::uint32_t>(U16(data, at + 2)) << 16;
}

std::size_t Align4(std::size_t at) { return (at + 3) & ~std::size_t{3}; }

// UTF-16 from `at` up to its NUL (or `end`); `next` gets the place after the NUL.
std::string TextAt(std::span<const std::uint8_t> data, std::size_t at, std::size_t end, std::size_t* next) {
  std::size_t stop = at;
  while (stop + 2 <= end && U16(data, stop) != 0) stop += 2;
  if (next != nullptr) *next = stop + 2;
  return Utf8FromUtf16(data.subspan(at, stop - at));
}

// One node of VS_VERSIONINFO: wLength, wValueLength, wType, its key, its value, then its
// children, each on a 32-bit boundary. A text value's length counts 16-bit units.
struct VersionNode {
  std::string key;
  std::size_t value = 0, valueEnd = 0;
  std::size_t children = 0, end = 0;
};

VersionNode NodeAt(std::span<const std::uint8_t> data, std::size_t at, std::size_t limit) {
  VersionNode node;
  const std::size_t length = U16(data, at);
  if (length < 6 || at + length > limit) throw PeFormatError("a version information block overruns its parent");
  node.end = at + length;
  const std::size_t valueLength = U16(data, at + 2) * (U16(data, at + 4) == 1 ? 2u : 1u);
  std::size_t afterKey = 0;
  node.key = TextAt(data, at + 6, node.end, &afterKey);
  node.value = std::min(Align4(afterKey), node.end);
  node.valueEnd = std::min(node.value + valueLength, node.end);
  node.children = std::min(Align4(node.valueEnd), node.end);
  return node;
}

template <typename F>
void ForEachChild(std::span<const std::uint8_t> data, const VersionNode& parent, F f) {
  for (std::size_t at = parent.children; at + 6 <= parent.end;) {
    const VersionNode child = NodeAt(data, at, parent.end);
    f(child);
    at = Align4(child.end);
  }
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// An element's name without its namespace prefix ("asmv3:application" -> "application").
std::string_view LocalName(const pugi::xml_node& node) {
  const std::string_view name = node.name();
  const auto colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::vector<pugi::xml_node> Elements(const pugi::xml_node& root, std::string_view local) {
  std::vector<pugi::xml_node> found;
  for (const pugi::xpath_node& match : root.select_nodes("//*")) {
    if (LocalName(match.node()) == local) found.push_back(match.node());
  }
  return found;
}

std::string FormatVersion(std::uint64_t v) {
  return std::to_string(v >> 48) + "." + std::to_string(v >> 32 & 0xFFFF) + "." + std::to_string(v >> 16 & 0xFFFF) +
         "." + std::to_string(v & 0xFFFF);
}

const Resource* Find(const PeImage& image, std::uint16_t type, std::optional<std::uint16_t> name = {}) {
  for (const Resource& r : image.resources) {
    if (r.type.id == type && (!name || r.name.id == name)) return &r;
  }
  return nullptr;
}

// The systems the manifest must list, by their compatibility GUIDs.
constexpr std::array<std::pair<const char*, const char*>, 5> kSupportedOs = {{
    {"Windows Vista", "{e2011457-1546-43c5-a5fe-008deee3d3f0}"},
    {"Windows 7", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"},
    {"Windows 8", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"},
    {"Windows 8.1", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"},
    {"Windows 10 and 11", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"},
}};

void ManifestProblems(const Resource& manifest, std::vector<std::string>& problems) {
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed = doc.load_buffer(manifest.data.data(), manifest.data.size());
  if (!parsed) {
    problems.push_back(std::string("the manifest is not well-formed XML: ") + parsed.description());
    return;
  }
  const auto levels = Elements(doc, "requestedExecutionLevel");
  if (levels.size() != 1 || std::string_view(levels[0].attribute("level").value()) != "requireAdministrator") {
    problems.push_back("the manifest does not ask for elevation (requestedExecutionLevel requireAdministrator)");
  } else if (Lower(levels[0].attribute("uiAccess").value()) != "false") {
    problems.push_back("the manifest does not say uiAccess=\"false\"");
  }
  std::vector<std::string> listed;
  for (const pugi::xml_node& os : Elements(doc, "supportedOS")) listed.push_back(Lower(os.attribute("Id").value()));
  for (const auto& [system, guid] : kSupportedOs) {
    if (std::ranges::find(listed, guid) == listed.end()) {
      problems.push_back(std::string("the manifest does not list ") + system + " as a supported system");
    }
  }
  bool controls6 = false;
  for (const pugi::xml_node& dependency : Elements(doc, "dependentAssembly")) {
    for (const pugi::xml_node& id : dependency.children()) {
      if (LocalName(id) != "assemblyIdentity") continue;
      controls6 = controls6 || (std::string_view(id.attribute("name").value()) == "Microsoft.Windows.Common-Controls" &&
                                std::string_view(id.attribute("version").value()) == "6.0.0.0" &&
                                Lower(id.attribute("publicKeyToken").value()) == "6595b64144ccf1df" &&
                                std::string_view(id.attribute("processorArchitecture").value()) == "*");
    }
  }
  if (!controls6) problems.push_back("the manifest does not bind Common Controls 6.0.0.0");
  // The window is laid out in pixels: the system must scale it.
  for (const char* setting : {"dpiAware", "dpiAwareness"}) {
    for (const pugi::xml_node& dpi : Elements(doc, setting)) {
      const std::string value = Lower(dpi.text().as_string());
      if (value != "false" && value != "unaware") {
        problems.push_back(std::string("the manifest claims DPI awareness (") + setting + " " + value + ")");
      }
    }
  }
}

}  // namespace

std::vector<IconEntry> ReadIconGroup(std::span<const std::uint8_t> data) {
  // GRPICONDIR: reserved, type 1, count; then 14-byte entries. A width of 0 means 256.
  if (U16(data, 2) != 1) throw PeFormatError("an icon group of type " + std::to_string(U16(data, 2)));
  std::vector<IconEntry> entries;
  for (std::size_t i = 0, count = U16(data, 4); i < count; ++i) {
    const std::size_t at = 6 + 14 * i;
    U16(data, at + 12);  // the whole entry lies in the data
    entries.push_back(IconEntry{data[at] == 0 ? 256 : data[at], data[at + 1] == 0 ? 256 : data[at + 1],
                                U16(data, at + 6), U16(data, at + 12)});
  }
  return entries;
}

VersionInfo ReadVersionInfo(std::span<const std::uint8_t> data) {
  const VersionNode root = NodeAt(data, 0, data.size());
  if (root.key != "VS_VERSION_INFO") throw PeFormatError("version information keyed \"" + root.key + "\"");
  VersionInfo info;
  if (root.valueEnd - root.value < 52 || U32(data, root.value) != 0xFEEF04BD) {
    throw PeFormatError("version information without its fixed part");
  }
  const auto pair = [&](std::size_t at) {
    return static_cast<std::uint64_t>(U32(data, root.value + at)) << 32 | U32(data, root.value + at + 4);
  };
  info.fileVersion = pair(8);
  info.productVersion = pair(16);
  ForEachChild(data, root, [&](const VersionNode& block) {
    if (block.key != "StringFileInfo") return;
    ForEachChild(data, block, [&](const VersionNode& table) {
      ForEachChild(data, table, [&](const VersionNode& text) {
        info.strings.emplace(text.key, TextAt(data, text.value, text.end, nullptr));
      });
    });
  });
  return info;
}

std::optional<std::uint64_t> ParseVersion(const std::string& text) {
  std::uint64_t version = 0;
  int parts = 0;
  std::size_t at = 0;
  while (parts < 4) {
    std::size_t digits = 0;
    std::uint32_t part = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && part <= 0xFFFF) {
      part = part * 10 + static_cast<std::uint32_t>(text[at++] - '0');
      ++digits;
    }
    if (digits == 0 || part > 0xFFFF) return std::nullopt;
    version |= static_cast<std::uint64_t>(part) << (16 * (3 - parts++));
    if (at == text.size()) return version;
    if (text[at++] != '.') return std::nullopt;
  }
  return std::nullopt;
}

std::vector<std::string> ResourceProblems(const PeImage& image, const ExpectedResources& expected) {
  std::vector<std::string> problems;
  if (expected.productName || expected.productVersion) {
    const Resource* version = Find(image, kResourceVersion);
    if (version == nullptr) {
      problems.push_back("carries no version information");
    } else {
      try {
        const VersionInfo info = ReadVersionInfo(version->data);
        const auto text = [&](const std::string& key) {
          const auto it = info.strings.find(key);
          return it == info.strings.end() ? std::string("(none)") : it->second;
        };
        if (expected.productName && text("ProductName") != *expected.productName) {
          problems.push_back("ProductName is \"" + text("ProductName") + "\", not \"" + *expected.productName + "\"");
        }
        if (expected.productVersion) {
          for (const char* key : {"ProductVersion", "FileVersion"}) {
            if (text(key) != *expected.productVersion) {
              problems.push_back(std::string(key) + " is \"" + text(key) + "\", not \"" + *expected.productVersion + "\"");
            }
          }
          const std::optional<std::uint64_t> fixed = ParseVersion(*expected.productVersion);
          for (const auto& [what, value] : {std::pair{"fixed product version", info.productVersion},
                                            std::pair{"fixed file version", info.fileVersion}}) {
            if (value != fixed) {
              problems.push_back(std::string("the ") + what + " is " + FormatVersion(value) + ", not " +
                                 *expected.productVersion);
            }
          }
        }
      } catch (const PeFormatError& e) {
        problems.push_back(std::string("the version information is unreadable: ") + e.what());
      }
    }
  }
  if (expected.icon) {
    // Explorer shows the first group.
    const Resource* group = Find(image, kResourceGroupIcon);
    if (group == nullptr) {
      problems.push_back("carries no icon");
    } else {
      try {
        const std::vector<IconEntry> entries = ReadIconGroup(group->data);
        for (const IconEntry& e : entries) {
          if (Find(image, kResourceIcon, e.iconId) == nullptr) {
            problems.push_back("the icon group names image " + std::to_string(e.iconId) + ", which the file lacks");
          }
        }
        for (const int size : {16, 32, 48}) {
          for (const int bits : {8, 32}) {
            if (std::ranges::none_of(entries, [&](const IconEntry& e) {
                  return e.width == size && e.height == size && e.bits == bits;
                })) {
              problems.push_back("the icon has no " + std::to_string(size) + " x " + std::to_string(size) +
                                 " image in " + std::to_string(bits) + "-bit colour");
            }
          }
        }
      } catch (const PeFormatError& e) {
        problems.push_back(std::string("the icon group is unreadable: ") + e.what());
      }
    }
  }
  if (expected.administratorManifest) {
    const Resource* manifest = Find(image, kResourceManifest, 1);
    if (manifest == nullptr) {
      problems.push_back("carries no manifest (RT_MANIFEST 1)");
    } else {
      ManifestProblems(*manifest, problems);
    }
  }
  return problems;
}

}  // namespace tarnwell::pecheck
