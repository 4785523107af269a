#pragma once
// A program's arguments after its own name, as UTF-8. On Windows the narrow argv is in the
// ANSI code page, which may not hold a path's or a pool's letters: they are read from the
// UTF-16 command line instead.
#include <string>
#include <vector>

namespace tarnwell::platform {

std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace tarnwell::platform
