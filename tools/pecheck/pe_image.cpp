#include "tools/pecheck/pe_image.h"

#include <fstream>
#include <iterator>

namespace tarnwell::pecheck {

namespace {

// Bounds on what a hostile file can make the reader do.
constexpr std::size_t kMaxNameLength = 4096;
constexpr std::size_t kMaxFunctions = 1 << 16;  // over all DLLs
constexpr std::size_t kMaxDlls = 4096;
constexpr std::size_t kMaxResources = 1 << 14;

// Data-directory entries.
constexpr unsigned kResourceDirectory = 2;constexpr unsigned kImportDirectory = 1;
constexpr unsigned kDelayImportDirectory = 13;

std::string Hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return "0x" + text;
}

struct Section {
  std::uint32_t rva = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t rawOffset = 0;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> file) : file_(file) {}

  // A little-endian unsigned value of type T at a file offset.
  template <typename T>
  T At(std::uint64_t offset) const {
    if (offset > file_.size() || file_.size() - offset < sizeof(T)) {
      throw PeFormatError("the file ends inside a field at offset " + Hex(offset));
    }
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(file_[offset + i]) << (8 * i));
    return value;
  }

  // A NUL-terminated name at a file offset.
  std::string NameAt(std::uint64_t offset) const {
    std::string name;
    for (std::uint64_t at = offset;; ++at) {
      if (at >= file_.size()) throw PeFormatError("a name at offset " + Hex(offset) + " runs past the end of the file");
      const auto c = static_cast<char>(file_[at]);
      if (c == '\0') return name;
      if (name.size() == kMaxNameLength) throw PeFormatError("a name at offset " + Hex(offset) + " is too long");
      name.push_back(c);
    }
  }

  std::size_t size() const { return file_.size(); }

 private:
  std::span<const std::uint8_t> file_;
};

class ImageReader {
 public:
  explicit ImageReader(std::span<const std::uint8_t> file) : in_(file) {}

  PeImage Read() {
    if (in_.size() < 0x40 || in_.At<std::uint16_t>(0) != 0x5A4D) throw PeFormatError("no MZ header");
    const std::uint64_t pe = in_.At<std::uint32_t>(0x3C);
    if (in_.At<std::uint32_t>(pe) != 0x00004550) throw PeFormatError("no PE signature at " + Hex(pe));
    const std::uint64_t coff = pe + 4;
    PeImage image;
    image.machine = in_.At<std::uint16_t>(coff);
    const std::uint16_t sectionCount = in_.At<std::uint16_t>(coff + 2);
    const std::uint16_t optionalSize = in_.At<std::uint16_t>(coff + 16);
    image.dll = (in_.At<std::uint16_t>(coff + 18) & 0x2000) != 0;
    const std::uint64_t opt = coff + 20;

    const std::uint16_t magic = in_.At<std::uint16_t>(opt);
    if (magic != 0x10B && magic != 0x20B) throw PeFormatError("unknown optional-header magic " + Hex(magic));
    image.pe32Plus = magic == 0x20B;
    // Where PE32 and PE32+ differ: the image base's width, hence the directories' place.
    const std::uint64_t directoriesAt = image.pe32Plus ? 112 : 96;
    if (optionalSize < directoriesAt) throw PeFormatError("optional header too short");
    image.osVersion = {in_.At<std::uint16_t>(opt + 40), in_.At<std::uint16_t>(opt + 42)};
    image.subsystemVersion = {in_.At<std::uint16_t>(opt + 48), in_.At<std::uint16_t>(opt + 50)};
    image.subsystem = in_.At<std::uint16_t>(opt + 68);
    imageBase_ = image.pe32Plus ? in_.At<std::uint64_t>(opt + 24) : in_.At<std::uint32_t>(opt + 28);
    sizeOfHeaders_ = in_.At<std::uint32_t>(opt + 60);
    const std::uint32_t declared = in_.At<std::uint32_t>(opt + directoriesAt - 4);
    const std::uint64_t fits = (optionalSize - directoriesAt) / 8;
    directoryCount_ = declared < fits ? declared : static_cast<std::uint32_t>(fits);
    directories_ = opt + directoriesAt;

    const std::uint64_t sections = opt + optionalSize;
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
      const std::uint64_t s = sections + 40ull * i;
      sections_.push_back(Section{in_.At<std::uint32_t>(s + 12), in_.At<std::uint32_t>(s + 8),
                                  in_.At<std::uint32_t>(s + 16), in_.At<std::uint32_t>(s + 20)});
    }

    thunkWidth_ = image.pe32Plus ? 8 : 4;
    ReadImports(image);
    ReadDelayedImports(image);
    ReadResources(image);
    return image;
  }

 private:
  Reader in_;
  std::uint64_t imageBase_ = 0;
  std::uint32_t sizeOfHeaders_ = 0;
  std::uint32_t directoryCount_ = 0;
  std::uint64_t directories_ = 0;
  std::vector<Section> sections_;
  unsigned thunkWidth_ = 4;
  std::size_t functionCount_ = 0;
  std::uint64_t root_ = 0;  // the resource tree's address
  std::size_t resourceEntries_ = 0;

  std::uint32_t DirectoryRva(unsigned index) const {
    return index < directoryCount_ ? in_.At<std::uint32_t>(directories_ + 8ull * index) : 0;
  }

  // The file offset of an address relative to the image base: in the headers, or in the
  // file-backed part of a section.
  std::uint64_t Offset(std::uint64_t rva) const {
    if (rva < sizeOfHeaders_) return rva;
    for (const Section& s : sections_) {
      if (rva >= s.rva && rva - s.rva < s.rawSize) return static_cast<std::uint64_t>(s.rawOffset) + (rva - s.rva);
    }
    throw PeFormatError("address " + Hex(rva) + " lies in no section of the file");
  }

  std::uint32_t Rva32(std::uint64_t rva, std::uint64_t delta) const { return in_.At<std::uint32_t>(Offset(rva + delta)); }

  ImportedDll& AddDll(PeImage& image, std::uint32_t nameRva, bool delayed) {
    if (image.imports.size() == kMaxDlls) throw PeFormatError("too many imported DLLs");
    image.imports.push_back(ImportedDll{in_.NameAt(Offset(nameRva)), delayed, {}});
    return image.imports.back();
  }

  // The name table at `rva`: one entry per function, a zero entry at the end. An entry
  // with its top bit set is an ordinal; otherwise it points at a hint and the name.
  void ReadFunctions(std::uint64_t rva, ImportedDll& dll) {
    const std::uint64_t ordinalFlag = thunkWidth_ == 8 ? 1ull << 63 : 1ull << 31;
    for (std::uint64_t at = rva;; at += thunkWidth_) {
      const std::uint64_t offset = Offset(at);
      const std::uint64_t entry = thunkWidth_ == 8 ? in_.At<std::uint64_t>(offset) : in_.At<std::uint32_t>(offset);
      if (entry == 0) return;
      if (++functionCount_ > kMaxFunctions) throw PeFormatError("too many imported functions");
      if (entry & ordinalFlag) {
        dll.functions.push_back(ImportedFunction{{}, static_cast<std::uint16_t>(entry & 0xFFFF)});
      } else {
        dll.functions.push_back(ImportedFunction{in_.NameAt(Offset((entry & 0x7FFFFFFF) + 2)), std::nullopt});
      }
    }
  }

  // IMAGE_IMPORT_DESCRIPTOR, 20 bytes each, ended by one with neither name nor table.
  void ReadImports(PeImage& image) {
    const std::uint32_t table = DirectoryRva(kImportDirectory);
    if (table == 0) return;
    for (std::uint64_t d = table;; d += 20) {
      const std::uint32_t names = Rva32(d, 0);
      const std::uint32_t dllName = Rva32(d, 12);
      const std::uint32_t addresses = Rva32(d, 16);
      if (dllName == 0 && addresses == 0) return;
      ImportedDll& dll = AddDll(image, dllName, false);
      // The name table; a linker that leaves it out has the names in the address table.
      ReadFunctions(names != 0 ? names : addresses, dll);
    }
  }

  // The delay-load descriptor, 32 bytes each, ended by one without a name. Its addresses
  // are relative when bit 0 of its attributes is set, else absolute (the old form).
  void ReadDelayedImports(PeImage& image) {
    const std::uint32_t table = DirectoryRva(kDelayImportDirectory);
    if (table == 0) return;
    for (std::uint64_t d = table;; d += 32) {
      const bool relative = (Rva32(d, 0) & 1) != 0;
      const std::uint32_t dllName = Rva32(d, 4);
      const std::uint32_t names = Rva32(d, 16);
      if (dllName == 0) return;
      ImportedDll& dll = AddDll(image, Relative(dllName, relative), true);
      ReadFunctions(Relative(names, relative), dll);
    }
  }

  // The resource tree: a directory of types, each a directory of names, each a directory
  // of languages whose entries are the data. Offsets inside the tree are from its start;
  // the data's address is relative to the image base.
  void ReadResources(PeImage& image) {
    root_ = DirectoryRva(kResourceDirectory);
    if (root_ == 0) return;
    for (const auto& [type, names] : Entries(root_, true)) {
      for (const auto& [name, languages] : Entries(root_ + names, true)) {
        for (const auto& [language, leaf] : Entries(root_ + languages, false)) {
          if (image.resources.size() == kMaxResources) throw PeFormatError("too many resources");
          const std::uint64_t entry = Offset(root_ + leaf);
          const std::uint32_t rva = in_.At<std::uint32_t>(entry), size = in_.At<std::uint32_t>(entry + 4);
          image.resources.push_back(Resource{type, name, static_cast<std::uint16_t>(*language.id), Bytes(rva, size)});
        }
      }
    }
  }

  // A directory's entries: each one's id or name, and where its subdirectory (or, at the
  // last level, its data entry) lies in the tree. The high bit of an offset says which.
  std::vector<std::pair<ResourceId, std::uint32_t>> Entries(std::uint64_t rva, bool subdirectories) {
    const std::uint64_t at = Offset(rva);
    const std::uint32_t count = in_.At<std::uint16_t>(at + 12) + in_.At<std::uint16_t>(at + 14);
    std::vector<std::pair<ResourceId, std::uint32_t>> entries;
    // Directories may share subdirectories: bound the entries read, not only the leaves.
    if ((resourceEntries_ += count) > 4 * kMaxResources) throw PeFormatError("too many resource entries");
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t name = Rva32(rva, 16 + 8ull * i), target = Rva32(rva, 20 + 8ull * i);
      if (((target & 0x80000000u) != 0) != subdirectories) {
        throw PeFormatError("resource directory at " + Hex(rva) + " is not three levels deep");
      }
      ResourceId id;
      if ((name & 0x80000000u) != 0) {
        if (!subdirectories) throw PeFormatError("a resource language named by a string");
        const std::uint64_t rvaName = root_ + (name & 0x7FFFFFFFu);
        id.name = Utf8FromUtf16(Bytes(rvaName + 2, 2u * in_.At<std::uint16_t>(Offset(rvaName))));
      } else {
        id.id = static_cast<std::uint16_t>(name);
      }
      entries.emplace_back(std::move(id), target & 0x7FFFFFFFu);
    }
    return entries;
  }

  // `size` bytes at `rva`, all in the file-backed part of one section.
  std::vector<std::uint8_t> Bytes(std::uint64_t rva, std::uint32_t size) const {
    if (size == 0) return {};
    const std::uint64_t first = Offset(rva);
    if (Offset(rva + size - 1) != first + size - 1) throw PeFormatError("data at " + Hex(rva) + " spans sections");
    std::vector<std::uint8_t> bytes(size);
    for (std::uint32_t i = 0; i < size; ++i) bytes[i] = in_.At<std::uint8_t>(first + i);
    return bytes;
  }

  std::uint32_t Relative(std::uint32_t address, bool relative) const {
    if (relative) return address;
    if (address < imageBase_) throw PeFormatError("address " + Hex(address) + " lies below the image base");
    return static_cast<std::uint32_t>(address - imageBase_);
  }
};

}  // namespace

std::string Utf8FromUtf16(std::span<const std::uint8_t> text) {
  std::string out;
  const auto unit = [&](std::size_t i) { return static_cast<char32_t>(text[2 * i] | text[2 * i + 1] << 8); };
  const std::size_t units = text.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(++i) - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

PeImage ReadPeImage(std::span<const std::uint8_t> file) { return ImageReader(file).Read(); }

PeImage ReadPeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PeFormatError("cannot open " + path.string());
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw PeFormatError("cannot read " + path.string());
  return ReadPeImage(bytes);
}

}  // namespace tarnwell::pecheck
