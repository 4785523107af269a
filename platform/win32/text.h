#pragma once
// Conversions between the program's 8-bit text (UTF-8) and the system's UTF-16.
#include <string>
#include <string_view>

namespace tarnwell::platform::win32 {

// Unpaired surrogates become U+FFFD rather than failing the whole text.
std::string ToUtf8(std::wstring_view text);
// Invalid UTF-8 sequences become U+FFFD.
std::wstring FromUtf8(std::string_view text);
// Text in the system's ANSI code page (what the A variants of the API give) to UTF-8.
std::string AnsiToUtf8(std::string_view text);

}  // namespace tarnwell::platform::win32
