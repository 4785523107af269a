#pragma once
// The functions that Windows Server 2003 is known to have, as mingw-w64's headers declare
// them at its API level; read when the tool is built (declared_functions.py).
#include <span>
#include <string_view>

namespace tarnwell::pecheck {

struct KnownFunctions {
  bool read = false;  // false: the tool was built without the headers and knows nothing
  std::span<const std::string_view> system;   // sorted; the DLLs other than msvcrt.dll
  std::span<const std::string_view> runtime;  // sorted; msvcrt.dll's, from the C headers
};

const KnownFunctions& HeaderFunctions();

}  // namespace tarnwell::pecheck
