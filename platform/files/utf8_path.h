#pragma once
// The program keeps paths as UTF-8 text. On Windows a std::filesystem::path made from a
// narrow string, its string(), and every narrow C or A function read and write the ANSI
// code page, so a folder named outside plain ASCII is misnamed or lost there: a path goes
// to the system only through PathFromUtf8 (or as UTF-16) and comes back through
// Utf8FromPath. Elsewhere both hand the bytes over as they are.
#include <filesystem>
#include <string>
#include <string_view>

namespace tarnwell::platform {

// Never throws on bad text: on Windows an invalid UTF-8 sequence becomes U+FFFD.
std::filesystem::path PathFromUtf8(std::string_view utf8);
// On Windows an unpaired surrogate becomes U+FFFD.
std::string Utf8FromPath(const std::filesystem::path& path);

#ifdef _WIN32
// The same two conversions for any text, with the same replacements.
std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);
#endif

}  // namespace tarnwell::platform
