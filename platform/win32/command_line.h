#pragma once
// Reading another process's command line out of its process environment block.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tarnwell::platform::win32 {

// Where the command line lies for one word size of the process read.
struct PebLayout {
  std::uint32_t pointerSize;       // bytes
  std::uint32_t parametersOffset;  // PEB -> process parameters pointer
  std::uint32_t commandLineOffset;  // process parameters -> counted UTF-16 descriptor
};
inline constexpr PebLayout kPeb32{4, 0x10, 0x40};
inline constexpr PebLayout kPeb64{8, 0x20, 0x70};

// The counted UTF-16 string descriptor: byte lengths and the text's address in the
// other process.
struct CountedText {
  std::uint16_t length = 0;
  std::uint16_t maximumLength = 0;
  std::uint64_t address = 0;
};

// Bytes the descriptor takes in that layout (8 or 16: the pointer is aligned).
inline constexpr std::size_t CountedTextSize(const PebLayout& layout) { return 2u * layout.pointerSize; }

// A little-endian pointer of the layout's size; nullopt when the bytes are too few.
std::optional<std::uint64_t> DecodePointer(std::span<const std::byte> bytes, const PebLayout& layout);
// The descriptor from its bytes; nullopt when the bytes are too few.
std::optional<CountedText> DecodeCountedText(std::span<const std::byte> bytes, const PebLayout& layout);
// UTF-16LE text up to its first NUL (all of it when there is none), as UTF-8. An odd
// last byte is not part of any character and is left out.
std::string CommandLineText(std::span<const std::byte> utf16);

// The command line of the process as UTF-8; empty when the process cannot be opened
// with query-information and read-memory rights, or its memory cannot be read.
// Any thread.
std::string ReadProcessCommandLine(std::uint32_t pid);

}  // namespace tarnwell::platform::win32
