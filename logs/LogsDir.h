#pragma once
// The log folder: "log" beside the executable, for the window and the service alike.
#include <string>

namespace tarnwell {

// The folder's path (UTF-8, ending with a separator) under exeDir, or under the current
// folder when exeDir is empty; the folder is made when missing. When it cannot be made the
// path still comes back and error holds why.
std::string MakeLogDir(const std::string& exeDir, std::string& error);

}  // namespace tarnwell
