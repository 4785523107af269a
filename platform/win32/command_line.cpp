#include "platform/win32/command_line.h"

#include "platform/win32/win_api.h"
#include <winternl.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "platform/win32/text.h"
#include "platform/win32/win_handles.h"

namespace tarnwell::platform::win32 {

std::optional<std::uint64_t> DecodePointer(std::span<const std::byte> bytes, const PebLayout& layout) {
  if (bytes.size() < layout.pointerSize) return std::nullopt;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < layout.pointerSize; ++i) {
    value |= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(bytes[i])) << (8 * i);
  }
  return value;
}

std::optional<CountedText> DecodeCountedText(std::span<const std::byte> bytes, const PebLayout& layout) {
  if (bytes.size() < CountedTextSize(layout)) return std::nullopt;
  auto u16 = [&](std::size_t at) {
    return static_cast<std::uint16_t>(std::to_integer<std::uint16_t>(bytes[at]) |
                                      (std::to_integer<std::uint16_t>(bytes[at + 1]) << 8));
  };
  CountedText text;
  text.length = u16(0);
  text.maximumLength = u16(2);
  text.address = *DecodePointer(bytes.subspan(layout.pointerSize), layout);
  return text;
}

std::string CommandLineText(std::span<const std::byte> utf16) {
  std::wstring wide;
  wide.reserve(utf16.size() / 2);
  for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) {
    const auto unit = static_cast<wchar_t>(std::to_integer<std::uint16_t>(utf16[i]) |
                                           (std::to_integer<std::uint16_t>(utf16[i + 1]) << 8));
    if (unit == L'\0') break;
    wide.push_back(unit);
  }
  return ToUtf8(wide);
}

namespace {

// Exactly size bytes at address in the process, or nothing.
std::optional<std::vector<std::byte>> ReadRemote(HANDLE process, std::uint64_t address, std::size_t size) {
  // An address that a pointer of this build cannot hold is unreadable.
  if (address == 0 || static_cast<std::uintptr_t>(address) != address) return std::nullopt;
  std::vector<std::byte> bytes(size);
  SIZE_T read = 0;
  if (!::ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(address)),
                           bytes.data(), size, &read) ||
      read != size) {
    return std::nullopt;
  }
  return bytes;
}

// The environment block's address and the layout to read it with.
std::optional<std::pair<std::uint64_t, PebLayout>> LocatePeb(HANDLE process) {
#ifdef _WIN64
  // A 32-bit process under WOW64 has a 32-bit block of its own; read that one.
  ULONG_PTR peb32 = 0;
  if (::NtQueryInformationProcess(process, ProcessWow64Information, &peb32, sizeof peb32, nullptr) == 0 &&
      peb32 != 0) {
    return std::pair{static_cast<std::uint64_t>(peb32), kPeb32};
  }
  constexpr PebLayout native = kPeb64;
#else
  constexpr PebLayout native = kPeb32;
#endif
  PROCESS_BASIC_INFORMATION info{};
  if (::NtQueryInformationProcess(process, ProcessBasicInformation, &info, sizeof info, nullptr) != 0) {
    return std::nullopt;
  }
  return std::pair{static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(info.PebBaseAddress)), native};
}

}  // namespace

std::string ReadProcessCommandLine(std::uint32_t pid) {
  UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!process) return {};
  const auto peb = LocatePeb(process.get());
  if (!peb) return {};
  const auto& [pebAddress, layout] = *peb;

  const auto parametersBytes = ReadRemote(process.get(), pebAddress + layout.parametersOffset, layout.pointerSize);
  if (!parametersBytes) return {};
  const auto parameters = DecodePointer(*parametersBytes, layout);
  if (!parameters) return {};

  const auto descriptorBytes =
      ReadRemote(process.get(), *parameters + layout.commandLineOffset, CountedTextSize(layout));
  if (!descriptorBytes) return {};
  const auto descriptor = DecodeCountedText(*descriptorBytes, layout);
  if (!descriptor || descriptor->maximumLength == 0) return {};

  const auto text = ReadRemote(process.get(), descriptor->address, descriptor->maximumLength);
  if (!text) return {};
  return CommandLineText(*text);
}

}  // namespace tarnwell::platform::win32
