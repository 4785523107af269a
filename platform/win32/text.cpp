#include "platform/win32/text.h"

#include "platform/files/utf8_path.h"
#include "platform/win32/win_api.h"

#include <climits>

namespace tarnwell::platform::win32 {

std::string ToUtf8(std::wstring_view text) { return Utf8FromWide(text); }

std::wstring FromUtf8(std::string_view text) { return WideFromUtf8(text); }

std::string AnsiToUtf8(std::string_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int bytes = static_cast<int>(text.size());
  const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, wide.data(), n);
  return ToUtf8(wide);
}

}  // namespace tarnwell::platform::win32
