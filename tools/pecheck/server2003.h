#pragma once
// Whether a program loads and runs on Windows Server 2003 (32-bit or 64-bit, SP2): the
// DLLs that system ships, the functions it is known to have, the headers its loader accepts.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pecheck/known_functions.h"
#include "tools/pecheck/pe_image.h"

namespace tarnwell::pecheck {

// What the program is meant to be; an unset field is not checked.
struct Expected {
  std::optional<std::uint16_t> machine;    // kMachineI386 or kMachineAmd64
  std::optional<std::uint16_t> subsystem;  // kSubsystemConsole or kSubsystemGui
  std::optional<bool> dll;                 // a DLL (true) or a program (false)
};

// The subsystem and system versions every program carries: 5.02, Windows Server 2003.
inline constexpr Version kServer2003{5, 2};

bool Server2003ShipsDll(std::string_view dll);
// On the lists of what 2003 lacks, whether or not the headers declare it.
bool Server2003LacksFunction(std::string_view dll, std::string_view function);
// Known to be there: `dll` ships, the function is not lacked, and `known` declares it (its
// C runtime part for msvcrt.dll) or it is one of the few exports the headers leave out.
bool Server2003HasFunction(std::string_view dll, std::string_view function,
                           const KnownFunctions& known = HeaderFunctions());

// One sentence for each thing that keeps the image from loading or running on Windows
// Server 2003, or that differs from what is expected of it; empty when there is none. An
// imported function passes only when it is known to be there: without the headers, none is.
std::vector<std::string> Server2003Problems(const PeImage& image, const Expected& expected,
                                            const KnownFunctions& known = HeaderFunctions());

}  // namespace tarnwell::pecheck
