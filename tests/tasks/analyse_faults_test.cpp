// The analyser against a metabase that fails: at each of its calls in turn, and dead from
// a call on, as when the program is killed there. Whatever happens, the server must get
// its configuration back: at the end of the run, or from the journal at the next start.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "iis/iis.h"
#include "tasks/AnalyseJournal.h"
#include "tasks/AnalysePool.h"
#include "tests/fakes/fake_metabase.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/fakes/fake_window_port.h"
#include "tests/logs/log_test_support.h"
#include "tests/tasks/analyse_server.h"

namespace tarnwell {
namespace {

using fakes::FakeMetabase;
using fakes::FakeProcessSystem;
using fakes::FakeWindowPort;
using platform::IMetabaseObject;
using platform::MetabaseError;
using platform::MetabaseValue;
using testing::At;
using testing::FakeClock;
using testing::ReadAll;
using testing::TempDir;

using testing::kApps;
using testing::kShop;
using testing::StartsWith;

bool AnyStartsWith(const std::vector<std::string>& lines, std::string_view prefix) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return StartsWith(l, prefix); });
}

std::optional<std::string> ReadIfThere(const std::string& path) {
  if (!std::filesystem::exists(path)) return std::nullopt;
  return ReadAll(path);
}

// Stands between the analyser and the fake metabase. Counts every seam call (Bind and each
// call on an object); can make the metabase die at a call, that call done or not, every
// later one failing, and keeps the journal as it was at that moment; checks that every
// change was named in the journal before it was made. Calls come from the analyser thread.
class GuardedMetabase final : public platform::IMetabase {
 public:
  GuardedMetabase(platform::IMetabase& inner, std::string journal) : inner_(inner), journal_(std::move(journal)) {}

  void DieAt(int call, bool callTakesEffect) {
    std::lock_guard lock(mutex_);
    dieAt_ = call;
    takesEffect_ = callTakesEffect;
  }
  int Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  bool Died() const {
    std::lock_guard lock(mutex_);
    return dead_;
  }
  std::optional<std::string> JournalAtDeath() const {
    std::lock_guard lock(mutex_);
    return journalAtDeath_;
  }
  std::vector<std::string> Unjournalled() const {
    std::lock_guard lock(mutex_);
    return unjournalled_;
  }

  std::unique_ptr<IMetabaseObject> Bind(std::string_view path) override;

  template <class F>
  decltype(auto) Call(F&& f) {
    const int n = Enter();
    struct AfterCall {
      GuardedMetabase& owner;
      int n;
      ~AfterCall() { owner.Leave(n); }
    } after{*this, n};
    return f();
  }

  // The journal on disk must name what is about to change.
  void ExpectTempJournalled(const std::string& change, std::string_view pool) {
    Expect(change, [&](const AnalyseJournal& j) {
      return std::any_of(j.Temps.begin(), j.Temps.end(), [&](const auto& t) { return t.Name == pool; });
    });
  }
  void ExpectAppJournalled(const std::string& change, const std::string& objectPath) {
    Expect(change, [&](const AnalyseJournal& j) {
      return std::any_of(j.Apps.begin(), j.Apps.end(),
                         [&](const auto& a) { return LowerAscii(AppMetabasePath(a.Path)) == LowerAscii(objectPath); });
    });
  }

 private:
  int Enter() {
    std::lock_guard lock(mutex_);
    const int n = ++calls_;
    if (n == dieAt_ && !takesEffect_) DieLocked();
    if (dead_) throw MetabaseError(platform::kErrFail, "The metabase is gone");
    return n;
  }
  void Leave(int n) {
    std::lock_guard lock(mutex_);
    if (n == dieAt_ && takesEffect_) DieLocked();
  }
  void DieLocked() {
    if (dead_) return;
    dead_ = true;
    journalAtDeath_ = ReadIfThere(journal_);
  }
  template <class Pred>
  void Expect(const std::string& change, Pred names) {
    std::lock_guard lock(mutex_);
    if (dead_) return;
    const auto text = ReadIfThere(journal_);
    bool ok = false;
    try {
      ok = text && names(ParseJournal(*text));
    } catch (const JournalFormatError&) {
    }
    if (!ok) unjournalled_.push_back(change);
  }

  platform::IMetabase& inner_;
  std::string journal_;
  mutable std::mutex mutex_;
  int calls_ = 0;
  int dieAt_ = 0;
  bool takesEffect_ = false;
  bool dead_ = false;
  std::optional<std::string> journalAtDeath_;
  std::vector<std::string> unjournalled_;
};

class GuardedObject final : public IMetabaseObject {
 public:
  GuardedObject(GuardedMetabase& owner, std::unique_ptr<IMetabaseObject> inner, std::string path)
      : owner_(owner), inner_(std::move(inner)), path_(std::move(path)) {}

  std::string Name() const override { return owner_.Call([&] { return inner_->Name(); }); }
  MetabaseValue Get(std::string_view property) override { return owner_.Call([&] { return inner_->Get(property); }); }
  void Put(std::string_view property, const MetabaseValue& value) override {
    owner_.Call([&] { inner_->Put(property, value); });
    if (LowerAscii(property) == "apppoolid") poolIdStaged_ = true;
  }
  void Clear(std::string_view property) override {
    owner_.Call([&] { inner_->Clear(property); });
    if (LowerAscii(property) == "apppoolid") poolIdStaged_ = true;
  }
  bool HasOwnValue(std::string_view property) override {
    return owner_.Call([&] { return inner_->HasOwnValue(property); });
  }
  void SetInfo() override {
    if (poolIdStaged_) owner_.ExpectAppJournalled("SetInfo " + path_, path_);
    owner_.Call([&] { inner_->SetInfo(); });
    poolIdStaged_ = false;
  }
  MetabaseValue EnumAppsInPool() override { return owner_.Call([&] { return inner_->EnumAppsInPool(); }); }
  std::unique_ptr<IMetabaseObject> Create(std::string_view className, std::string_view name) override {
    owner_.ExpectTempJournalled("Create " + std::string(name), name);
    auto created = owner_.Call([&] { return inner_->Create(className, name); });
    return std::make_unique<GuardedObject>(owner_, std::move(created), path_ + "/" + std::string(name));
  }
  void Delete(std::string_view className, std::string_view name) override {
    owner_.ExpectTempJournalled("Delete " + std::string(name), name);
    owner_.Call([&] { inner_->Delete(className, name); });
  }
  std::unique_ptr<IMetabaseObject> GetObject(std::string_view className, std::string_view name) override {
    auto child = owner_.Call([&] { return inner_->GetObject(className, name); });
    return std::make_unique<GuardedObject>(owner_, std::move(child), path_ + "/" + std::string(name));
  }
  std::unique_ptr<platform::IMetabaseEnumerator> Enumerate() override {
    return owner_.Call([&] { return inner_->Enumerate(); });
  }

 private:
  GuardedMetabase& owner_;
  std::unique_ptr<IMetabaseObject> inner_;
  std::string path_;  // as bound
  bool poolIdStaged_ = false;
};

std::unique_ptr<IMetabaseObject> GuardedMetabase::Bind(std::string_view path) {
  auto object = Call([&] { return inner_.Bind(path); });
  return std::make_unique<GuardedObject>(*this, std::move(object), std::string(path));
}

// The server of the analyser tests: pool Shop with three applications in two sites, b
// busy, Shop's worker running, and a web service that starts a worker for every temporary
// pool that gets an application. Each analysis stops after two measuring cycles.
class Server {
 public:
  Server() {
    testing::AddShopServer(metabase, processes);
    processes.SetOnSleep([this](std::uint32_t ms) { OnSleep(ms); });
  }

  std::vector<std::string> Analyse() {
    TAnalysePool thread(window, clock);
    thread.PoolName = kShop;
    thread.CpuThreshold = 70;
    {
      std::lock_guard lock(mutex_);
      analyser_ = &thread;
    }
    thread.Start();
    thread.Join();
    {
      std::lock_guard lock(mutex_);
      analyser_ = nullptr;
    }
    return window.AnalyseLines();
  }

  RecoveryOutcome Recover(std::vector<std::string>* messages = nullptr) {
    return RecoverAnalysis(dir.Dir(), metabase, [&](const std::string& m) {
      if (messages) messages->push_back(m);
    });
  }

  // Every pool, and the pool of every application: what the administrator would compare.
  std::string Configuration() const {
    std::string out;
    for (const auto& pool : metabase.PoolNames()) out += "pool " + pool + "\n";
    for (const auto& app : kApps) {
      out += app + " in " + metabase.EffectiveAppPool(app) +
             (metabase.HasOwnProperty(app, "AppPoolId") ? "\n" : ", inherited\n");
    }
    out += "/LM/W3SVC/2/ROOT/other/ in " + metabase.EffectiveAppPool("/LM/W3SVC/2/ROOT/other/") + "\n";
    return out;
  }

  std::string Journal() const { return JournalPath(dir.Dir()); }

  TempDir dir;
  FakeMetabase metabase;
  GuardedMetabase guarded{metabase, JournalPath(dir.Dir())};
  FakeProcessSystem processes;
  TIISObject registry{guarded, processes};
  FakeWindowPort window{registry, dir.Dir()};
  FakeClock clock{At(2026, 12, 6, 22, 45, 0)};

 private:
  void OnSleep(std::uint32_t ms) {
    service_.StartWorkers();
    std::lock_guard lock(mutex_);
    if (ms == kMeasurePauseMs && ++pauses_ >= 6 && analyser_ != nullptr) analyser_->StopRequested = true;
  }

  std::mutex mutex_;
  TAnalysePool* analyser_ = nullptr;
  testing::TempPoolService service_{metabase, processes,
                                    [](const std::string& app) { return app == kApps[1] ? 85.0 : 5.0; }};
  int pauses_ = 0;
};

struct Kind {
  FakeMetabase::Op op;
  const char* prefix;  // of its lines in FakeMetabase::Calls()
};
const Kind kKinds[] = {
    {FakeMetabase::Op::Bind, "Bind "},         {FakeMetabase::Op::Get, "Get "},
    {FakeMetabase::Op::Put, "Put "},           {FakeMetabase::Op::SetInfo, "SetInfo "},
    {FakeMetabase::Op::Clear, "Clear "},       {FakeMetabase::Op::HasOwnValue, "HasOwnValue "},
    {FakeMetabase::Op::EnumAppsInPool, "EnumAppsInPool "}, {FakeMetabase::Op::Create, "Create "},
    {FakeMetabase::Op::Delete, "Delete "},     {FakeMetabase::Op::Name, "Name "},
    {FakeMetabase::Op::GetObject, "GetObject "}, {FakeMetabase::Op::Enumerate, "Enumerate "},
};

TEST(AnalyseFaults, EveryCallFailingInTurnEndsWithTheServerBackOrItsJournalKept) {
  int kept = 0;
  int runs = 0;
  for (const Kind& kind : kKinds) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(kind.prefix) + "call " + std::to_string(n) + " fails");
      auto server = std::make_unique<Server>();
      const std::string before = server->Configuration();
      server->metabase.FailCall(kind.op, n);
      const auto lines = server->Analyse();
      ++runs;
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.back(), "End analyse of pool: Shop");
      EXPECT_EQ(server->guarded.Unjournalled(), std::vector<std::string>{});
      const bool failed = server->metabase.CountCalls(kind.prefix) >= n;
      if (!JournalExists(server->Journal())) {
        EXPECT_EQ(server->Configuration(), before);
      } else {
        ++kept;
        EXPECT_TRUE(failed);
        // The pane says what stayed, and that the journal keeps it.
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
          return (StartsWith(l, "Pool : [") || StartsWith(l, "Temp. pool: [")) && l.ends_with("] not removed!");
        }));
        EXPECT_TRUE(AnyStartsWith(lines, "Analysis journal kept: [" + server->Journal() + "], changes left: ["));
        EXPECT_EQ(server->Recover(), RecoveryOutcome::Complete);
        EXPECT_EQ(server->Configuration(), before);
        EXPECT_FALSE(JournalExists(server->Journal()));
      }
      if (!failed) break;  // this run had no failure: every call of the kind was tried
    }
  }
  EXPECT_GT(runs, 40);
  EXPECT_GT(kept, 0);
}

TEST(AnalyseFaults, AProgramKilledAtAnyCallIsPutBackFromItsJournal) {
  int total = 0;
  {
    Server probe;
    probe.Analyse();
    total = probe.guarded.Calls();
    ASSERT_FALSE(JournalExists(probe.Journal()));
  }
  ASSERT_GT(total, 30);
  int recovered = 0;
  for (int n = 1; n <= total; ++n) {
    for (const bool done : {false, true}) {
      SCOPED_TRACE("killed at call " + std::to_string(n) + (done ? ", after it" : ", before it"));
      auto server = std::make_unique<Server>();
      const std::string before = server->Configuration();
      server->guarded.DieAt(n, done);
      server->Analyse();
      ASSERT_TRUE(server->guarded.Died());
      EXPECT_EQ(server->guarded.Unjournalled(), std::vector<std::string>{});
      // What the killed program left on disk is the journal as it was at that call.
      const auto left = server->guarded.JournalAtDeath();
      if (left) {
        std::ofstream(server->Journal(), std::ios::binary | std::ios::trunc) << *left;
      } else {
        std::filesystem::remove(server->Journal());
      }
      std::vector<std::string> messages;
      const RecoveryOutcome outcome = server->Recover(&messages);
      if (left) {
        ++recovered;
        EXPECT_EQ(outcome, RecoveryOutcome::Complete);
        EXPECT_EQ(messages.back(), "Recovery: complete");
      } else {
        EXPECT_EQ(outcome, RecoveryOutcome::NoJournal);
      }
      EXPECT_EQ(server->Configuration(), before);
      EXPECT_FALSE(JournalExists(server->Journal()));
    }
  }
  EXPECT_GT(recovered, total);
}

// ---- the journal at the start of an analysis ------------------------------------------

const std::string kLeftover = "QuillmarshAnalyse46361.5";

// As a killed run leaves it: a in a temporary pool, and the journal naming both.
void LeaveKilledRun(Server& server) {
  server.metabase.AddPool(kLeftover);
  server.metabase.SetProperty("/LM/W3SVC/1/ROOT/a", "AppPoolId", kLeftover);
  AnalyseJournal journal;
  journal.Pool = kShop;
  journal.Apps = {{kApps[0], kShop}};
  journal.Temps = {{kLeftover, kApps[0]}};
  SaveJournal(server.Journal(), journal);
}

TEST(AnalyseJournalStart, WhatAnEarlierRunLeftIsPutBackFirst) {
  Server server;
  const std::string before = server.Configuration();
  LeaveKilledRun(server);
  const auto lines = server.Analyse();
  ASSERT_GE(lines.size(), 8u);
  const std::vector<std::string> head(lines.begin(), lines.begin() + 6);
  EXPECT_EQ(head, (std::vector<std::string>{
                      "Begin analyse of pool: Shop",
                      "Recovery: analysis of pool [Shop] did not end; putting its applications back",
                      "Recovery: application [" + kApps[0] + "] back in pool [Shop]",
                      "Recovery: temp. pool [" + kLeftover + "] removed",
                      "Recovery: complete",
                      "Created temp. application pool: [QuillmarshAnalyse46362.9479166667] for app. [" + kApps[0] +
                          "]",
                  }));
  EXPECT_EQ(server.metabase.CountCalls("Create"), 3);  // all three applications analysed
  EXPECT_EQ(server.Configuration(), before);
  EXPECT_FALSE(JournalExists(server.Journal()));
}

TEST(AnalyseJournalStart, AnEarlierRunThatCannotBePutBackKeepsTheAnalysisFromStarting) {
  Server server;
  LeaveKilledRun(server);
  server.metabase.FailCall(FakeMetabase::Op::SetInfoAppPoolId, 0);
  const auto lines = server.Analyse();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "Recovery: incomplete, [2] changes left; the journal is kept");
  EXPECT_EQ(lines[lines.size() - 2],
            "Analyse of pool [Shop] not started: the changes of an earlier analysis are not all back.");
  EXPECT_EQ(lines.back(), "End analyse of pool: Shop");
  EXPECT_EQ(server.metabase.CountCalls("Create"), 0);
  EXPECT_TRUE(JournalExists(server.Journal()));
}

TEST(AnalyseJournalStart, AJournalHeldElsewhereKeepsTheAnalysisFromStarting) {
  Server server;
  JournalLock otherInstance(server.dir.Dir());
  ASSERT_TRUE(otherInstance.Held());
  const auto lines = server.Analyse();
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Begin analyse of pool: Shop",
                       "Error: another analysis is running with the journal [" + server.Journal() + "]",
                       "End analyse of pool: Shop",
                   }));
  EXPECT_TRUE(server.metabase.Calls().empty());
}

TEST(AnalyseJournalStart, AJournalThatCannotBeWrittenStopsTheAnalysisBeforeAnyChange) {
  Server server;
  const std::string before = server.Configuration();
  std::filesystem::create_directory(server.Journal() + ".tmp");
  const auto lines = server.Analyse();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(StartsWith(lines[1], "Error of write the analysis journal [" + server.Journal() + "]. "));
  EXPECT_EQ(lines[2], "End analyse of pool: Shop");
  EXPECT_EQ(server.metabase.CountCalls("Create"), 0);
  EXPECT_EQ(server.Configuration(), before);
}

}  // namespace
}  // namespace tarnwell
