#include "tasks/AnalysePool.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <exception>

#include "iis/adshlp.h"
#include "iis/iis.h"
#include "iis/iis_workers.h"
#include "logs/Logs.h"
#include "metrics/uCpuUsage.h"
#include "metrics/uCpuUsageSnapshot.h"
#include "platform/metabase.h"
#include "tasks/WindowPort.h"
#include "textfile/textfile_export.h"

namespace tarnwell {

namespace {

constexpr double kMsPerDay = 86400000.0;
constexpr int kCreateTries = 5;

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string ObjectPathOf(std::string_view appPath) { return ReplaceAll(LowerAscii(appPath), "/lm/", "IIS://localhost/"); }

char LocaleDecimalSeparator() {
  const std::lconv* conv = std::localeconv();
  return (conv != nullptr && conv->decimal_point != nullptr && conv->decimal_point[0] != '\0') ? conv->decimal_point[0]
                                                                                                : '.';
}

std::vector<std::string> AsArray(const platform::MetabaseValue& value, std::string_view what) {
  if (!platform::IsArray(value)) {
    throw platform::MetabaseError(platform::kErrFail, std::string(what) + " did not give a list");
  }
  return std::get<platform::MetabaseList>(value).Strings();
}

}  // namespace

std::string AppMetabasePath(std::string_view appPath) {
  std::string path = ObjectPathOf(appPath);
  if (!path.empty()) path.pop_back();
  return path;
}

std::string SiteMetabasePath(std::string_view appPath) {
  const std::string path = ObjectPathOf(appPath);
  const std::size_t root = path.find("/root");
  return root == std::string::npos ? std::string() : path.substr(0, root);
}

std::string FormatDateTimeNumber(double dateTime, char decimalSeparator) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, dateTime, std::chars_format::general, 15);
  std::string text = ec == std::errc() ? std::string(buf, end) : std::string("0");
  for (char& c : text) {
    if (c == '.') c = decimalSeparator;
  }
  return text;
}

bool MoveAppToPool(platform::IMetabase& metabase, std::string_view appPath, std::string_view poolName) {
  try {
    auto app = GetMetabaseObject(metabase, AppMetabasePath(appPath));
    app->Put("AppPoolId", std::string(poolName));
    app->SetInfo();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool InheritAppPool(platform::IMetabase& metabase, std::string_view appPath) {
  try {
    auto app = GetMetabaseObject(metabase, AppMetabasePath(appPath));
    app->Clear("AppPoolId");
    app->SetInfo();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::vector<std::uint32_t> FindPoolWorkers(platform::IProcessSystem& processes, const std::vector<std::string>& poolNames) {
  std::vector<std::uint32_t> pids(poolNames.size(), 0);
  std::vector<std::string> wanted;
  wanted.reserve(poolNames.size());
  for (const std::string& name : poolNames) wanted.push_back(LowerAscii(name));
  std::size_t left = static_cast<std::size_t>(std::count_if(poolNames.begin(), poolNames.end(),
                                                            [](const std::string& n) { return !n.empty(); }));
  if (left == 0) return pids;
  ForEachWorkerProcess(processes, ExeNameMatch::Exact, [&](const platform::ProcessEntry& entry) {
    // Equality, not containment: "shop" must not take the worker of "shop2", nor the
    // analysed pool's name the worker of a temporary pool.
    const std::string pool = ExtractPoolName(GetProcessCommandLine(processes, entry.pid));
    if (pool.empty()) return true;
    const std::string lower = LowerAscii(pool);
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      if (pids[i] == 0 && !wanted[i].empty() && wanted[i] == lower) {
        pids[i] = entry.pid;  // the first worker in the snapshot serves the pool
        --left;
      }
    }
    return left > 0;
  });
  return pids;
}

void MeasureTempPools(platform::IProcessSystem& processes, std::vector<TTempPoolRec>& recs) {
  std::vector<std::string> names;
  names.reserve(recs.size());
  for (const TTempPoolRec& rec : recs) names.push_back(rec.TempPool);
  // One walk finds every temporary pool's worker and one window measures them all, so
  // a cycle costs the same however many applications the pool has.
  const std::vector<std::uint32_t> pids = FindPoolWorkers(processes, names);
  std::vector<std::uint32_t> found;
  for (const std::uint32_t pid : pids)
    if (pid != 0) found.push_back(pid);
  const std::vector<float> usages = GetProcessesCpuUsage(processes, found);
  std::size_t next = 0;
  for (std::size_t i = 0; i < recs.size(); ++i) {
    if (recs[i].TempPool.empty()) continue;
    recs[i].Cpu = pids[i] == 0 ? 0 : CpuFromUsage(usages[next++]);
  }
}

TPoolProcess FindPoolProcess(platform::IProcessSystem& processes, std::string_view poolName) {
  TPoolProcess result;
  result.Pid = FindPoolWorkers(processes, {std::string(poolName)}).front();
  if (result.Pid != 0) result.Cpu = CpuFromUsage(GetProcessCpuUsage(processes, result.Pid));
  return result;
}

TAnalysePool::TAnalysePool(IWindowPort& window, const ILocalClock& clock) : TTaskThread(window), clock_(clock) {}

void TAnalysePool::ReportAnalyse(const std::string& text) {
  if (log_ != nullptr) {
    try {
      log_->Write(text);
    } catch (const std::exception&) {
      // The pane still shows it; a full disk must not keep applications from going back.
    }
  }
  IWindowPort& window = Window();
  Synchronize([&] {
    window.SetAnalyseMsg(text);
    window.UpdateLogAnalyse();
  });
}

std::string TAnalysePool::NextTempPoolName() {
  // Two names taken within one millisecond would be equal; each name is at least a
  // millisecond later than the one before.
  double now = clock_.Now().ToDateTime();
  if (now <= lastName_) now = lastName_ + 1.0 / kMsPerDay;
  lastName_ = now;
  return kTempPoolPrefix + FormatDateTimeNumber(now, LocaleDecimalSeparator());
}

void TAnalysePool::Execute() {
  if (StopRequested.load()) return;
  platform::ThreadScope com(ThreadApartment());
  TLog log(Window().LogDir(), "-ans-", clock_);
  log_ = &log;

  ReportAnalyse("Begin analyse of pool: " + PoolName);
  // Held to the end of the run, so no other instance takes the journal meanwhile.
  std::optional<JournalLock> journalLock;
  if (!TakeJournal(journalLock)) {
    ReportAnalyse("End analyse of pool: " + PoolName);
    log_ = nullptr;
    return;
  }
  std::vector<TTempPoolRec> recs = ListApps();
  if (recs.size() >= 2) {
    try {
      log.Write("Get list applications from : " + PoolName + ", count: " + std::to_string(recs.size()));
    } catch (const std::exception&) {
    }
    journal_ = AnalyseJournal{};
    journal_.Pool = PoolName;
    if (TransferAll(recs)) {
      const TPoolProcess own = FindPoolProcess(Window().Registry().Processes(), PoolName);
      if (own.Pid != 0) Window().Registry().Processes().Terminate(own.Pid, kTerminateExitCode);
      MeasureUntilStopped(recs);
    }
    ReturnAll(recs);
    CloseJournal();
  }
  ReportAnalyse("End analyse of pool: " + PoolName);
  log_ = nullptr;
}

std::vector<TTempPoolRec> TAnalysePool::ListApps() {
  platform::IMetabase& metabase = Window().Registry().Metabase();
  std::vector<TTempPoolRec> recs;
  try {
    const auto apps = AsArray(
        GetMetabaseObject(metabase, std::string(kAppPoolsPath) + "/" + PoolName)->EnumAppsInPool(), "EnumAppsInPool");
    if (apps.size() < 2) return {};  // not analysed: nothing more to read
    recs.reserve(apps.size());
    for (const auto& app : apps) {
      // An application that inherits its pool (from its site, say) must inherit it again
      // afterwards, not hold a copy of it: it would no longer follow the site.
      const bool own = GetMetabaseObject(metabase, AppMetabasePath(app))->HasOwnValue("AppPoolId");
      recs.push_back(TTempPoolRec{std::string(), app, 0, own});
    }
  } catch (const std::exception& e) {
    ReportAnalyse("Error of get list applications from : " + PoolName + ". " + e.what());
    return {};
  }
  return recs;
}

bool TAnalysePool::TransferAll(std::vector<TTempPoolRec>& recs) {
  platform::IMetabase& metabase = Window().Registry().Metabase();
  for (TTempPoolRec& rec : recs) {
    const std::string& app = rec.AppPath;
    // The journal names the pool and the move before either is made.
    journal_.Apps.push_back({app, PoolName, rec.OwnPool});
    std::string name;
    for (int attempt = 1;; ++attempt) {
      name = NextTempPoolName();
      journal_.Temps.push_back({name, app});
      journalSynced_ = false;
      if (!SyncJournal()) {
        journal_.Temps.pop_back();
        journal_.Apps.pop_back();
        return false;
      }
      try {
        GetMetabaseObject(metabase, kAppPoolsPath)->Create("IIsApplicationPool", name)->SetInfo();
        break;
      } catch (const platform::MetabaseError& e) {
        journal_.Temps.pop_back();  // not made
        // A name left by an earlier run: take the next one.
        if (e.code() == platform::kErrAlreadyExists && attempt < kCreateTries) continue;
        journal_.Apps.pop_back();
        journalSynced_ = false;
        ReportAnalyse("Error of create temp. application pool: [" + name + "] for app. [" + app + "]. " +
                      e.what());
        return false;
      } catch (const std::exception& e) {
        journal_.Temps.pop_back();
        journal_.Apps.pop_back();
        journalSynced_ = false;
        ReportAnalyse("Error of create temp. application pool: [" + name + "] for app. [" + app + "]. " +
                      e.what());
        return false;
      }
    }
    rec.TempPool = name;
    ReportAnalyse("Created temp. application pool: [" + name + "] for app. [" + app + "]");
    if (!MoveAppToPool(metabase, app, name)) {
      ReportAnalyse("Error of transfer application: [" + app + "] in pool [" + name + "]");
      return false;
    }
    ReportAnalyse("Transfer application: [" + app + "] in pool [" + name + "]");
  }
  return true;
}

void TAnalysePool::MeasureUntilStopped(std::vector<TTempPoolRec>& recs) {
  TIISObject& registry = Window().Registry();
  platform::IProcessSystem& processes = registry.Processes();
  while (!Stopping()) {
    MeasureTempPools(processes, recs);
    if (Stopping()) return;

    for (const TTempPoolRec& rec : recs) {
      if (rec.TempPool.empty() || rec.Cpu < CpuThreshold) continue;
      const std::string sitePath = SiteMetabasePath(rec.AppPath);
      std::string site;
      try {
        const auto comment = GetMetabaseObject(registry.Metabase(), sitePath)->Get("ServerComment");
        site = platform::IsArray(comment) ? std::string() : std::get<std::string>(comment);
      } catch (const std::exception& e) {
        ReportAnalyse("Error of read site description: [" + sitePath + "] for app. [" + rec.AppPath + "]. " +
                      e.what());
        return;
      }
      ReportAnalyse("OVERLOAD CPU: [" + std::to_string(rec.Cpu) + "] in pool [" + rec.TempPool + "]. Site: " + site +
                    ".AppPath: [" + rec.AppPath + "]. Analyse CPU: " + std::to_string(CpuThreshold));
      if (TextfileExport* textfile = Window().Textfile()) textfile->CountOverload(PoolName, rec.AppPath);
    }
    processes.SleepMs(kMeasurePauseMs);
  }
}

void TAnalysePool::ReturnAll(const std::vector<TTempPoolRec>& recs) {
  platform::IMetabase& metabase = Window().Registry().Metabase();
  for (const TTempPoolRec& rec : recs) {
    if (rec.TempPool.empty()) continue;
    // Putting things back needs no journal entry first: the journal already names more
    // than is left out. A failed save is reported and does not stop the return.
    SyncJournal();
    const bool back =
        rec.OwnPool ? MoveAppToPool(metabase, rec.AppPath, PoolName) : InheritAppPool(metabase, rec.AppPath);
    if (!back) {
      ReportAnalyse("Error of transfer application: [" + rec.AppPath + "] in pool [" + PoolName + "] !");
      ReportAnalyse("Pool : [" + rec.TempPool + "] not removed!");
      continue;
    }
    ReportAnalyse("Transfer application: [" + rec.AppPath + "] in pool [" + PoolName + "]");
    DropJournalApp(rec.AppPath);
    SyncJournal();
    try {
      GetMetabaseObject(metabase, kAppPoolsPath)->Delete("IIsApplicationPool", rec.TempPool);
      ReportAnalyse("Temp. pool: [" + rec.TempPool + "] has been removed.");
      DropJournalTemp(rec.TempPool);
    } catch (const std::exception&) {
      ReportAnalyse("Temp. pool: [" + rec.TempPool + "] not removed!");
    }
  }
}

bool TAnalysePool::TakeJournal(std::optional<JournalLock>& lock) {
  const std::string logDir = Window().LogDir();
  journalPath_ = JournalPath(logDir);
  try {
    lock.emplace(logDir);
  } catch (const std::exception& e) {
    ReportAnalyse("Error of open the analysis journal [" + journalPath_ + "]. " + e.what());
    return false;
  }
  if (!lock->Held()) {
    ReportAnalyse("Error: another analysis is running with the journal [" + journalPath_ + "]");
    return false;
  }
  if (!JournalExists(journalPath_)) return true;
  // Left by a run that ended abnormally, or whose return phase could not finish.
  const RecoveryOutcome outcome = RecoverHeldJournal(*lock, Window().Registry().Metabase(),
                                                     [this](const std::string& msg) { ReportAnalyse(msg); });
  if (outcome == RecoveryOutcome::NoJournal || outcome == RecoveryOutcome::Complete) return true;
  ReportAnalyse("Analyse of pool [" + PoolName + "] not started: the changes of an earlier analysis are not all back.");
  return false;
}

bool TAnalysePool::SyncJournal() {
  if (journalSynced_) return true;
  try {
    SaveJournal(journalPath_, journal_);
  } catch (const std::exception& e) {
    if (!journalFailing_) ReportAnalyse("Error of write the analysis journal [" + journalPath_ + "]. " + e.what());
    journalFailing_ = true;
    return false;
  }
  journalWritten_ = true;
  journalSynced_ = true;
  journalFailing_ = false;
  return true;
}

void TAnalysePool::DropJournalApp(const std::string& appPath) {
  const auto it = std::find_if(journal_.Apps.begin(), journal_.Apps.end(),
                               [&](const AnalyseJournal::App& app) { return app.Path == appPath; });
  if (it == journal_.Apps.end()) return;
  journal_.Apps.erase(it);
  journalSynced_ = false;
}

void TAnalysePool::DropJournalTemp(const std::string& tempPool) {
  const auto it = std::find_if(journal_.Temps.begin(), journal_.Temps.end(),
                               [&](const AnalyseJournal::Temp& temp) { return temp.Name == tempPool; });
  if (it == journal_.Temps.end()) return;
  journal_.Temps.erase(it);
  journalSynced_ = false;
}

void TAnalysePool::CloseJournal() {
  if (journal_.Changes() == 0) {
    if (!journalWritten_) return;
    try {
      RemoveJournal(journalPath_);
    } catch (const std::exception& e) {
      // Harmless: recovery will find everything in place.
      ReportAnalyse("Error of remove the analysis journal [" + journalPath_ + "]. " + e.what());
    }
    return;
  }
  SyncJournal();
  ReportAnalyse("Analysis journal kept: [" + journalPath_ + "], changes left: [" +
                std::to_string(journal_.Changes()) +
                "]; they are put back at the next start of the program or of an analysis.");
}

}  // namespace tarnwell
