#include "logs/LogsDir.h"

#include <filesystem>
#include <system_error>

#include "platform/files/utf8_path.h"

namespace tarnwell {

std::string MakeLogDir(const std::string& exeDir, std::string& error) {
  error.clear();
  std::error_code ec;
  std::filesystem::path base = exeDir.empty() ? std::filesystem::current_path(ec)
                                              : std::filesystem::absolute(platform::PathFromUtf8(exeDir), ec);
  base = base.lexically_normal();
  if (!base.has_filename() && base.has_relative_path()) base = base.parent_path();
  std::filesystem::path logPath = base / "log";
  const std::string logDir = platform::Utf8FromPath(std::filesystem::path(logPath).make_preferred()) +
                             static_cast<char>(std::filesystem::path::preferred_separator);

  ec.clear();
  if (std::filesystem::is_directory(logPath, ec)) return logDir;
  ec.clear();
  std::filesystem::create_directories(logPath, ec);
  if (!ec) return logDir;
  // Second try: the directory alone, its parent being the executable's own directory.
  ec.clear();
  std::filesystem::create_directory(logPath, ec);
  if (ec) error = ec.message();
  return logDir;
}

}  // namespace tarnwell
