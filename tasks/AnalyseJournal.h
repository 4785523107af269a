#pragma once
// The analysis journal: a small file in the log directory naming every change an analysis
// has made or is about to make to the metabase (each application's own pool, each
// temporary pool), saved before each change and removed once everything is back, so that
// a run that ends abnormally leaves what the next start needs to put the server back.
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/os_file.h"

namespace tarnwell {

namespace platform {
class IMetabase;
}  // namespace platform

inline constexpr const char* kJournalFileName = "trnw-analyse.journal";
inline constexpr const char* kJournalHeader = "Tarnwell analysis journal\t2";
// The version before: its applications carry no "own"/"inherited" field and are put back
// as holding their own pool.
inline constexpr const char* kJournalHeaderV1 = "Tarnwell analysis journal\t1";

struct AnalyseJournal {
  struct App {
    std::string Path;  // "/LM/W3SVC/1/ROOT/shop/", as the pool's enumeration gives it
    std::string Pool;  // the pool it belongs in
    bool Own = true;   // its key held Pool itself; false: it inherited Pool, and inherits again
    bool operator==(const App&) const = default;
  };
  struct Temp {
    std::string Name;  // "QuillmarshAnalyse46362.9479166667"
    std::string App;   // the application it was made for
    bool operator==(const Temp&) const = default;
  };

  std::string Pool;  // the analysed pool
  std::vector<App> Apps;
  std::vector<Temp> Temps;

  std::size_t Changes() const { return Apps.size() + Temps.size(); }
  bool operator==(const AnalyseJournal&) const = default;
};

class JournalFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text of the file: the header, a comment, "pool", "app" (path, pool, "own" or "inherited")
// and "temp" lines with TAB-separated fields (TAB, CR, LF and backslash escaped as \t \r \n
// \\), and a closing "end" line.
std::string FormatJournal(const AnalyseJournal& journal);
// Also reads the version before (kJournalHeaderV1), whose "app" lines have two fields.
// Accepts LF or CR LF line ends and '#' comment lines. Raises JournalFormatError naming the
// line for anything else, including a missing "end" (a cut file) and a temporary pool
// whose name the analyser would not have made.
AnalyseJournal ParseJournal(std::string_view text);

// logDir ends with a separator, as the window's LogDir does (empty: the current directory).
std::string JournalPath(const std::string& logDir);

// Replaces the file whole: a new file beside it, flushed to disk, renamed over it, so a
// crash at any moment leaves the old journal or the new one. Raises std::system_error.
void SaveJournal(const std::string& path, const AnalyseJournal& journal);
// A missing file is no error. Raises std::system_error.
void RemoveJournal(const std::string& path);
bool JournalExists(const std::string& path);

// Sole hold on a log directory's journal for one analysis or one recovery, so that two
// instances of the program never work on one journal. Does not wait; the OS releases it
// when the process dies. Owned by the thread that runs the analysis or the recovery.
class JournalLock {
 public:
  // Raises std::system_error when the lock file cannot be opened.
  explicit JournalLock(const std::string& logDir);
  ~JournalLock();
  JournalLock(const JournalLock&) = delete;
  JournalLock& operator=(const JournalLock&) = delete;

  // False when another holder has it.
  bool Held() const { return held_; }
  const std::string& JournalFile() const { return journal_; }

 private:
  std::string journal_;
  bool held_ = false;
#ifdef _WIN32
  void* handle_ = nullptr;  // HANDLE opened with no sharing
#else
  platform::FileDescriptor fd_;  // flock'ed; closing releases it
#endif
};

enum class RecoveryOutcome {
  NoJournal,   // nothing was left to put back
  Complete,    // everything is back; the journal is gone
  Incomplete,  // some changes are left; the journal keeps them
  Failed,      // the journal could not be read (a corrupt one is set aside as .bad) or locked
  Busy,        // another instance holds the journal
};

using RecoveryReport = std::function<void(const std::string& message)>;

// Puts back what a journal left in logDir names: every application back into its pool
// (unless it is already there, gone, or was moved by someone else since), then every
// temporary pool named that exists and serves no application deleted. Each step goes
// to report. Safe to run again on a journal whose changes are partly undone. Removes the
// journal only when nothing is left. Caller's thread must have the metabase seam set up.
RecoveryOutcome RecoverAnalysis(const std::string& logDir, platform::IMetabase& metabase,
                                const RecoveryReport& report);
// The same, for a caller that already holds the lock (the analyser, before it starts).
RecoveryOutcome RecoverHeldJournal(const JournalLock& lock, platform::IMetabase& metabase,
                                   const RecoveryReport& report);

}  // namespace tarnwell
