#include "tasks/AnalyseJournal.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include "iis/iis.h"
#include "platform/files/os_file.h"
#include "platform/files/utf8_path.h"
#include "platform/metabase.h"
#include "tasks/AnalysePool.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace tarnwell {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLockSuffix = ".lock";
constexpr const char* kNewSuffix = ".tmp";
constexpr int kMaxBadCopies = 100;
constexpr const char* kCutShort = "no \"end\" line: the file is cut short";

std::system_error ErrnoError(int err, const std::string& what) {
  return std::system_error(err, std::generic_category(), what);
}

// ---- text ----------------------------------------------------------------------------

std::string Escape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (const char c : field) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Unescape(std::string_view field, std::size_t lineNo) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out += field[i];
      continue;
    }
    if (++i == field.size()) throw JournalFormatError("line " + std::to_string(lineNo) + ": a lone backslash");
    switch (field[i]) {
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case '\\': out += '\\'; break;
      default: throw JournalFormatError("line " + std::to_string(lineNo) + ": unknown escape \\" + field[i]);
    }
  }
  return out;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && LowerAscii(text.substr(0, prefix.size())) == LowerAscii(prefix);
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return LowerAscii(a) == LowerAscii(b); }

// ---- files -----------------------------------------------------------------------------

// The journal's text; nullopt when there is no file. Raises std::system_error.
std::optional<std::string> ReadJournalText(const std::string& path) {
  std::error_code ec;
  const bool exists = fs::exists(platform::PathFromUtf8(path), ec);
  if (ec) throw std::system_error(ec, path);
  if (!exists) return std::nullopt;
  std::ifstream in(platform::PathFromUtf8(path), std::ios::binary);
  if (!in) throw ErrnoError(errno != 0 ? errno : EIO, path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ErrnoError(EIO, path);
  return text;
}

// Renames an unreadable journal to the first free "<journal>.bad", ".bad2", ...; the
// name it got, or empty when it could not be moved.
std::string SetAside(const std::string& path) {
  for (int n = 1; n <= kMaxBadCopies; ++n) {
    const std::string bad = path + ".bad" + (n == 1 ? std::string() : std::to_string(n));
    std::error_code ec;
    if (fs::exists(platform::PathFromUtf8(bad), ec) || ec) continue;
    fs::rename(platform::PathFromUtf8(path), platform::PathFromUtf8(bad), ec);
    if (ec) return {};
    platform::SyncDirectoryOf(path);
    return bad;
  }
  return {};
}

// ---- recovery steps ------------------------------------------------------------------

std::string TextOf(const platform::MetabaseValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  const auto& list = std::get<platform::MetabaseList>(value);
  return list.empty() ? std::string() : std::string(list.front());
}

bool IsTempPoolOf(const AnalyseJournal& journal, std::string_view pool) {
  if (StartsWithNoCase(pool, kTempPoolPrefix)) return true;
  for (const auto& temp : journal.Temps) {
    if (EqualsNoCase(temp.Name, pool)) return true;
  }
  return false;
}

// True when the application needs nothing more.
bool RecoverApp(platform::IMetabase& metabase, const AnalyseJournal& journal, const AnalyseJournal::App& app,
                const RecoveryReport& report) {
  std::string current;
  bool own = true;
  try {
    std::unique_ptr<platform::IMetabaseObject> object;
    try {
      object = metabase.Bind(AppMetabasePath(app.Path));
    } catch (const platform::MetabaseError& e) {
      if (e.code() != platform::kErrPathNotFound) throw;
      report("Recovery: application [" + app.Path + "] no longer exists");
      return true;
    }
    current = TextOf(object->Get("AppPoolId"));
    if (!app.Own) own = object->HasOwnValue("AppPoolId");
  } catch (const std::exception& e) {
    report("Recovery: error of read the pool of application [" + app.Path + "]. " + e.what());
    return false;
  }
  if (!own) {
    // Never moved, or put back already: it follows its parent key as it did.
    report("Recovery: application [" + app.Path + "] already inherits its pool");
    return true;
  }
  if (EqualsNoCase(current, app.Pool)) {
    report("Recovery: application [" + app.Path + "] already in pool [" + app.Pool + "]");
    return true;
  }
  if (!IsTempPoolOf(journal, current)) {
    // Someone put it there since; that choice is theirs.
    report("Recovery: application [" + app.Path + "] is in pool [" + current +
           "], which the analysis did not make; left there");
    return true;
  }
  if (!(app.Own ? MoveAppToPool(metabase, app.Path, app.Pool) : InheritAppPool(metabase, app.Path))) {
    report("Recovery: error of transfer application: [" + app.Path + "] in pool [" + app.Pool + "]");
    return false;
  }
  report(app.Own ? "Recovery: application [" + app.Path + "] back in pool [" + app.Pool + "]"
                 : "Recovery: application [" + app.Path + "] inherits its pool again");
  return true;
}

// True when the temporary pool is gone.
bool RecoverTemp(platform::IMetabase& metabase, const AnalyseJournal::Temp& temp, const RecoveryReport& report) {
  const std::string poolPath = std::string(kAppPoolsPath) + "/" + temp.Name;
  try {
    std::unique_ptr<platform::IMetabaseObject> pool;
    try {
      pool = metabase.Bind(poolPath);
    } catch (const platform::MetabaseError& e) {
      if (e.code() != platform::kErrPathNotFound) throw;
      report("Recovery: temp. pool [" + temp.Name + "] already gone");
      return true;
    }
    const platform::MetabaseValue apps = pool->EnumAppsInPool();
    if (!platform::IsArray(apps)) throw platform::MetabaseError(platform::kErrFail, "EnumAppsInPool did not give a list");
    const std::size_t count = std::get<platform::MetabaseList>(apps).size();
    if (count != 0) {
      report("Recovery: temp. pool [" + temp.Name + "] not removed, it still holds [" + std::to_string(count) +
             "] applications");
      return false;
    }
  } catch (const std::exception& e) {
    report("Recovery: error of read temp. pool [" + temp.Name + "]. " + e.what());
    return false;
  }
  try {
    metabase.Bind(kAppPoolsPath)->Delete("IIsApplicationPool", temp.Name);
  } catch (const platform::MetabaseError& e) {
    if (e.code() == platform::kErrPathNotFound) {
      report("Recovery: temp. pool [" + temp.Name + "] already gone");
      return true;
    }
    report("Recovery: temp. pool [" + temp.Name + "] not removed. " + e.what());
    return false;
  } catch (const std::exception& e) {
    report("Recovery: temp. pool [" + temp.Name + "] not removed. " + e.what());
    return false;
  }
  report("Recovery: temp. pool [" + temp.Name + "] removed");
  return true;
}

}  // namespace

std::string FormatJournal(const AnalyseJournal& journal) {
  std::string text = std::string(kJournalHeader) + "\r\n";
  text += "# Changes of an analysis not yet put back; Tarnwell puts them back when it starts.\r\n";
  text += "pool\t" + Escape(journal.Pool) + "\r\n";
  for (const auto& app : journal.Apps) {
    text += "app\t" + Escape(app.Path) + "\t" + Escape(app.Pool) + (app.Own ? "\town\r\n" : "\tinherited\r\n");
  }
  for (const auto& temp : journal.Temps) text += "temp\t" + Escape(temp.Name) + "\t" + Escape(temp.App) + "\r\n";
  text += "end\r\n";
  return text;
}

AnalyseJournal ParseJournal(std::string_view text) {
  AnalyseJournal journal;
  bool header = false;
  bool v1 = false;
  bool pool = false;
  bool end = false;
  std::size_t lineNo = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t lf = text.find('\n', start);
    std::string_view line = text.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
    start = lf == std::string_view::npos ? text.size() : lf + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto fail = [&](const std::string& why) {
      return JournalFormatError("line " + std::to_string(lineNo) + ": " + why);
    };
    if (!header) {
      v1 = line == kJournalHeaderV1;
      if (line != kJournalHeader && !v1) throw fail("not an analysis journal of a known version");
      header = true;
      continue;
    }
    if (!line.empty() && line.front() == '#') continue;
    if (end) throw fail("text after \"end\"");
    // A last line with no line end, other than "end", is where the file was cut.
    if (lf == std::string_view::npos && line != "end") throw JournalFormatError(kCutShort);
    const auto fields = SplitTabs(line);
    const std::string_view keyword = fields.front();
    std::vector<std::string> values;
    for (std::size_t i = 1; i < fields.size(); ++i) {
      values.push_back(Unescape(fields[i], lineNo));
      if (values.back().empty()) throw fail("an empty field");
    }
    if (keyword == "pool") {
      if (pool) throw fail("a second \"pool\"");
      if (values.size() != 1) throw fail("\"pool\" takes one field");
      journal.Pool = values[0];
      pool = true;
    } else if (keyword == "end") {
      if (!values.empty()) throw fail("\"end\" takes no field");
      end = true;
    } else if (keyword == "app" || keyword == "temp") {
      if (!pool) throw fail("\"" + std::string(keyword) + "\" before \"pool\"");
      if (keyword == "app" && !v1) {
        if (values.size() != 3) throw fail("\"app\" takes three fields");
        if (values[2] != "own" && values[2] != "inherited") throw fail("\"app\" ends in \"own\" or \"inherited\"");
      } else if (values.size() != 2) {
        throw fail("\"" + std::string(keyword) + "\" takes two fields");
      }
      if (keyword == "app") {
        if (!StartsWithNoCase(values[0], "/LM/W3SVC/")) throw fail("not an application path: " + values[0]);
        journal.Apps.push_back({values[0], values[1], v1 || values[2] == "own"});
      } else {
        // Only a name the analyser makes: a damaged journal must not name a real pool.
        if (!values[0].starts_with(kTempPoolPrefix)) throw fail("not a temporary pool: " + values[0]);
        journal.Temps.push_back({values[0], values[1]});
      }
    } else {
      throw fail("unknown line \"" + std::string(line) + "\"");
    }
  }
  if (!header) throw JournalFormatError("empty file");
  if (!pool) throw JournalFormatError("no \"pool\" line");
  if (!end) throw JournalFormatError(kCutShort);
  return journal;
}

std::string JournalPath(const std::string& logDir) { return logDir + kJournalFileName; }

void SaveJournal(const std::string& path, const AnalyseJournal& journal) {
  const std::string text = FormatJournal(journal);
  const std::string newPath = path + kNewSuffix;
  platform::FileDescriptor fd = platform::CreateEmpty(newPath);
  if (!fd.IsOpen()) throw ErrnoError(errno, newPath);
  platform::NewFileGuard guard(platform::PathFromUtf8(newPath));
  if (const int err = platform::WriteAll(fd.Get(), text); err != 0) throw ErrnoError(err, newPath);
  if (const int err = platform::SyncToDisk(fd.Get()); err != 0) throw ErrnoError(err, newPath);
  if (const int err = fd.Close(); err != 0) throw ErrnoError(err, newPath);
  std::error_code ec;
  fs::rename(platform::PathFromUtf8(newPath), platform::PathFromUtf8(path), ec);
  if (ec) throw std::system_error(ec, path);
  guard.Keep();
  platform::SyncDirectoryOf(path);
}

void RemoveJournal(const std::string& path) {
  std::error_code ec;
  fs::remove(platform::PathFromUtf8(path), ec);
  if (ec) throw std::system_error(ec, path);
  platform::SyncDirectoryOf(path);
}

bool JournalExists(const std::string& path) {
  std::error_code ec;
  const bool exists = fs::exists(platform::PathFromUtf8(path), ec);
  return exists || static_cast<bool>(ec);  // unsure counts as there: recovery will say why
}

#ifdef _WIN32
JournalLock::JournalLock(const std::string& logDir) : journal_(JournalPath(logDir)) {
  const fs::path lockPath = platform::PathFromUtf8(journal_ + kLockSuffix);
  HANDLE h = ::CreateFileW(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_SHARING_VIOLATION) return;
    throw std::system_error(static_cast<int>(err), std::system_category(), journal_ + kLockSuffix);
  }
  handle_ = h;
  held_ = true;
}

JournalLock::~JournalLock() {
  if (handle_ != nullptr) ::CloseHandle(static_cast<HANDLE>(handle_));
}
#else
JournalLock::JournalLock(const std::string& logDir) : journal_(JournalPath(logDir)) {
  const std::string lockPath = journal_ + kLockSuffix;
  platform::FileDescriptor fd;
  do {
    fd = platform::FileDescriptor(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  } while (!fd.IsOpen() && errno == EINTR);
  if (!fd.IsOpen()) throw ErrnoError(errno, lockPath);
  int rc;
  do {
    rc = ::flock(fd.Get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    fd_ = std::move(fd);
    held_ = true;
  } else if (errno != EWOULDBLOCK) {
    throw ErrnoError(errno, lockPath);
  }
}

JournalLock::~JournalLock() = default;
#endif

RecoveryOutcome RecoverAnalysis(const std::string& logDir, platform::IMetabase& metabase,
                                const RecoveryReport& report) {
  const std::string path = JournalPath(logDir);
  if (!JournalExists(path)) return RecoveryOutcome::NoJournal;
  std::optional<JournalLock> lock;
  try {
    lock.emplace(logDir);
  } catch (const std::exception& e) {
    report("Recovery: the analysis journal [" + path + "] cannot be locked. " + e.what());
    return RecoveryOutcome::Failed;
  }
  if (!lock->Held()) {
    report("Recovery: the analysis journal [" + path + "] is held by another running analysis; left to it");
    return RecoveryOutcome::Busy;
  }
  return RecoverHeldJournal(*lock, metabase, report);
}

RecoveryOutcome RecoverHeldJournal(const JournalLock& lock, platform::IMetabase& metabase,
                                   const RecoveryReport& report) {
  const std::string& path = lock.JournalFile();
  {
    // A new journal that never got renamed into place: the old one still stands.
    std::error_code ec;
    fs::remove(platform::PathFromUtf8(path + kNewSuffix), ec);
  }
  std::optional<std::string> text;
  try {
    text = ReadJournalText(path);
  } catch (const std::exception& e) {
    report("Recovery: the analysis journal [" + path + "] cannot be read. " + e.what());
    return RecoveryOutcome::Failed;
  }
  if (!text) return RecoveryOutcome::NoJournal;
  AnalyseJournal journal;
  try {
    journal = ParseJournal(*text);
  } catch (const JournalFormatError& e) {
    const std::string bad = SetAside(path);
    report("Recovery: the analysis journal [" + path + "] is damaged (" + e.what() + ")" +
           (bad.empty() ? std::string("; it could not be set aside") : "; kept as [" + bad + "]") +
           ". Check the pools of the applications by hand.");
    return RecoveryOutcome::Failed;
  }

  report("Recovery: analysis of pool [" + journal.Pool + "] did not end; putting its applications back");
  AnalyseJournal left;
  left.Pool = journal.Pool;
  // Applications first: a temporary pool goes only once it serves nothing.
  for (const auto& app : journal.Apps) {
    if (!RecoverApp(metabase, journal, app, report)) left.Apps.push_back(app);
  }
  for (const auto& temp : journal.Temps) {
    if (!RecoverTemp(metabase, temp, report)) left.Temps.push_back(temp);
  }

  if (left.Changes() == 0) {
    try {
      RemoveJournal(path);
    } catch (const std::exception& e) {
      // Harmless: the next recovery finds everything in place.
      report("Recovery: the analysis journal [" + path + "] not removed. " + e.what());
    }
    report("Recovery: complete");
    return RecoveryOutcome::Complete;
  }
  try {
    SaveJournal(path, left);
  } catch (const std::exception&) {
    // The journal as it was still names everything left, and more.
  }
  report("Recovery: incomplete, [" + std::to_string(left.Changes()) + "] changes left; the journal is kept");
  return RecoveryOutcome::Incomplete;
}

}  // namespace tarnwell
