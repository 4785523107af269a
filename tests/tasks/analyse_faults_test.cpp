// The analyser against a metabase that fails: at each of its calls in turn, and dead from
// a call on, as when the program is killed there. Whatever happens, the server must get
// its configuration back: at the end of the run, or from the journal at the next start.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tasks/AnalyseJournal.h"
#include "tests/support/analyse_bench.h"
#include "tests/support/analyse_fixture.h"
#include "tests/support/files.h"

namespace tarnwell {
namespace {

using fakes::FakeMetabase;
using platform::IMetabaseObject;
using platform::MetabaseValue;
using testutil::kShop;
using testutil::kShopApps;
using Strings = std::vector<std::string>;

std::optional<std::string> ReadIfThere(const std::string& path) {
  if (!std::filesystem::exists(path)) return std::nullopt;
  return testutil::ReadAll(path);
}

bool HasTemp(const AnalyseJournal& journal, std::string_view pool) {
  return std::any_of(journal.Temps.begin(), journal.Temps.end(), [&](const auto& t) { return t.Name == pool; });
}

// Stands between the analyser and the fake metabase. Counts every seam call (Bind and each
// call on an object); can make the metabase die at a call, that call done or not, every
// later one failing, and keeps the journal as it was at that moment; checks that every
// change was named in the journal before it was made. Called from the analyser thread
// only; read after the run.
class GuardedMetabase final : public platform::IMetabase {
 public:
  explicit GuardedMetabase(platform::IMetabase& inner) : inner_(inner) {}

  std::unique_ptr<IMetabaseObject> Bind(std::string_view path) override;

  template <class F>
  decltype(auto) Call(F&& f) {
    const int n = ++calls;
    if (n == dieAt && !dieAfterCall) Die();
    if (died) throw platform::MetabaseError(platform::kErrFail, "The metabase is gone");
    struct AfterCall {
      GuardedMetabase& owner;
      int n;
      ~AfterCall() {
        if (n == owner.dieAt) owner.Die();
      }
    } after{*this, n};
    return f();
  }

  // The journal on disk must name what is about to change.
  template <class Pred>
  void Expect(const std::string& change, Pred names) {
    if (died) return;
    const auto text = ReadIfThere(journal);
    bool ok = false;
    try {
      ok = text && names(ParseJournal(*text));
    } catch (const JournalFormatError&) {
    }
    if (!ok) unjournalled.push_back(change);
  }

  std::string journal;
  int dieAt = 0;
  bool dieAfterCall = false;  // the call at dieAt takes effect
  int calls = 0;
  bool died = false;
  std::optional<std::string> journalAtDeath;
  std::vector<std::string> unjournalled;

 private:
  void Die() {
    if (died) return;
    died = true;
    journalAtDeath = ReadIfThere(journal);
  }

  platform::IMetabase& inner_;
};

class GuardedObject final : public IMetabaseObject {
 public:
  GuardedObject(GuardedMetabase& owner, std::unique_ptr<IMetabaseObject> inner, std::string path)
      : owner_(owner), inner_(std::move(inner)), path_(std::move(path)) {}

  std::string Name() const override { return owner_.Call([&] { return inner_->Name(); }); }
  MetabaseValue Get(std::string_view property) override { return owner_.Call([&] { return inner_->Get(property); }); }
  void Put(std::string_view property, const MetabaseValue& value) override {
    owner_.Call([&] { inner_->Put(property, value); });
    poolIdStaged_ |= LowerAscii(property) == "apppoolid";
  }
  void Clear(std::string_view property) override {
    owner_.Call([&] { inner_->Clear(property); });
    poolIdStaged_ |= LowerAscii(property) == "apppoolid";
  }
  bool HasOwnValue(std::string_view property) override {
    return owner_.Call([&] { return inner_->HasOwnValue(property); });
  }
  void SetInfo() override {
    if (poolIdStaged_) {
      owner_.Expect("SetInfo " + path_, [&](const AnalyseJournal& j) {
        return std::ranges::any_of(j.Apps, [&](const auto& a) { return LowerAscii(AppMetabasePath(a.Path)) == LowerAscii(path_); });
      });
    }
    owner_.Call([&] { inner_->SetInfo(); });
    poolIdStaged_ = false;
  }
  MetabaseValue EnumAppsInPool() override { return owner_.Call([&] { return inner_->EnumAppsInPool(); }); }
  std::unique_ptr<IMetabaseObject> Create(std::string_view className, std::string_view name) override {
    owner_.Expect("Create " + std::string(name), [&](const AnalyseJournal& j) { return HasTemp(j, name); });
    return Child(owner_.Call([&] { return inner_->Create(className, name); }), name);
  }
  void Delete(std::string_view className, std::string_view name) override {
    owner_.Expect("Delete " + std::string(name), [&](const AnalyseJournal& j) { return HasTemp(j, name); });
    owner_.Call([&] { inner_->Delete(className, name); });
  }
  std::unique_ptr<IMetabaseObject> GetObject(std::string_view className, std::string_view name) override {
    return Child(owner_.Call([&] { return inner_->GetObject(className, name); }), name);
  }
  std::unique_ptr<platform::IMetabaseEnumerator> Enumerate() override {
    return owner_.Call([&] { return inner_->Enumerate(); });
  }

 private:
  std::unique_ptr<IMetabaseObject> Child(std::unique_ptr<IMetabaseObject> child, std::string_view name) {
    return std::make_unique<GuardedObject>(owner_, std::move(child), path_ + "/" + std::string(name));
  }

  GuardedMetabase& owner_;
  std::unique_ptr<IMetabaseObject> inner_;
  std::string path_;  // as bound
  bool poolIdStaged_ = false;
};

std::unique_ptr<IMetabaseObject> GuardedMetabase::Bind(std::string_view path) {
  auto object = Call([&] { return inner_.Bind(path); });
  return std::make_unique<GuardedObject>(*this, std::move(object), std::string(path));
}

// The sample server behind the guard; each analysis of Shop stops at its sixth measuring pause.
struct Server : testutil::ShopServer {
  Server() {
    guarded.journal = bench.Journal();
    bench.stopAt = 6;
    onSleep = [this](std::uint32_t ms) { bench.Slept(ms); };
  }
  std::vector<std::string> Analyse() { return bench.Run(kShop, 70); }
  RecoveryOutcome Recover(std::vector<std::string>* messages = nullptr) {
    return RecoverAnalysis(bench.dir.Dir(), metabase, [&](const std::string& m) {
      if (messages) messages->push_back(m);
    });
  }

  GuardedMetabase guarded{metabase};
  testutil::AnalyseBench bench{guarded, processes};
};

using Op = FakeMetabase::Op;
// Each kind of call, and the start of its lines in FakeMetabase::Calls().
const std::pair<Op, const char*> kKinds[] = {
    {Op::Bind, "Bind "},     {Op::Get, "Get "},   {Op::Put, "Put "},   {Op::SetInfo, "SetInfo "},
    {Op::Clear, "Clear "},   {Op::HasOwnValue, "HasOwnValue "},        {Op::EnumAppsInPool, "EnumAppsInPool "},
    {Op::Create, "Create "}, {Op::Delete, "Delete "}, {Op::Name, "Name "}, {Op::GetObject, "GetObject "},
    {Op::Enumerate, "Enumerate "}};

TEST(AnalyseFaults, EveryCallFailingInTurnEndsWithTheServerBackOrItsJournalKept) {
  int kept = 0;
  int runs = 0;
  for (const auto& [op, prefix] : kKinds) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(prefix) + "call " + std::to_string(n) + " fails");
      auto server = std::make_unique<Server>();
      server->metabase.FailCall(op, n);
      const auto lines = server->Analyse();
      ++runs;
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.back(), "End analyse of pool: Shop");
      EXPECT_EQ(server->guarded.unjournalled, std::vector<std::string>{});
      const bool failed = server->metabase.CountCalls(prefix) >= n;
      if (!JournalExists(server->bench.Journal())) {
        EXPECT_TRUE(server->Restored());
      } else {
        ++kept;
        EXPECT_TRUE(failed);
        // The pane says what stayed, and that the journal keeps it.
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
          return (l.starts_with("Pool : [") || l.starts_with("Temp. pool: [")) && l.ends_with("] not removed!");
        }));
        const std::string keptLine = "Analysis journal kept: [" + server->bench.Journal() + "], changes left: [";
        EXPECT_EQ(testutil::CountStarting(lines, keptLine), 1);
        EXPECT_EQ(server->Recover(), RecoveryOutcome::Complete);
        EXPECT_TRUE(server->Restored());
        EXPECT_FALSE(JournalExists(server->bench.Journal()));
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
    total = probe.guarded.calls;
    ASSERT_FALSE(JournalExists(probe.bench.Journal()));
  }
  ASSERT_GT(total, 30);
  int recovered = 0;
  for (int n = 1; n <= total; ++n) {
    for (const bool done : {false, true}) {
      SCOPED_TRACE("killed at call " + std::to_string(n) + (done ? ", after it" : ", before it"));
      auto server = std::make_unique<Server>();
      server->guarded.dieAt = n;
      server->guarded.dieAfterCall = done;
      server->Analyse();
      ASSERT_TRUE(server->guarded.died);
      EXPECT_EQ(server->guarded.unjournalled, std::vector<std::string>{});
      // What the killed program left on disk is the journal as it was at that call.
      const auto left = server->guarded.journalAtDeath;
      std::filesystem::remove(server->bench.Journal());
      if (left) testutil::WriteFile(server->bench.Journal(), *left);
      std::vector<std::string> messages;
      EXPECT_EQ(server->Recover(&messages), left ? RecoveryOutcome::Complete : RecoveryOutcome::NoJournal);
      if (left) {
        ++recovered;
        EXPECT_EQ(messages.back(), "Recovery: complete");
      }
      EXPECT_TRUE(server->Restored());
      EXPECT_FALSE(JournalExists(server->bench.Journal()));
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
  SaveJournal(server.bench.Journal(), AnalyseJournal{kShop, {{kShopApps[0], kShop}}, {{kLeftover, kShopApps[0]}}});
}

TEST(AnalyseJournalStart, WhatAnEarlierRunLeftIsPutBackFirst) {
  Server server;
  LeaveKilledRun(server);
  const auto lines = server.Analyse();
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(Strings(lines.begin(), lines.begin() + 6),
            (Strings{"Begin analyse of pool: Shop",
                     "Recovery: analysis of pool [Shop] did not end; putting its applications back",
                     "Recovery: application [" + kShopApps[0] + "] back in pool [Shop]",
                     "Recovery: temp. pool [" + kLeftover + "] removed", "Recovery: complete",
                     "Created temp. application pool: [QuillmarshAnalyse46362.9479166667] for app. [" +
                         kShopApps[0] + "]"}));
  EXPECT_EQ(server.metabase.CountCalls("Create"), 3);  // all three applications analysed
  EXPECT_TRUE(server.Restored());
  EXPECT_FALSE(JournalExists(server.bench.Journal()));
}

TEST(AnalyseJournalStart, AnEarlierRunThatCannotBePutBackKeepsTheAnalysisFromStarting) {
  Server server;
  LeaveKilledRun(server);
  server.metabase.FailCall(FakeMetabase::Op::SetInfoAppPoolId, 0);
  const auto lines = server.Analyse();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Strings(lines.end() - 3, lines.end()),
            (Strings{"Recovery: incomplete, [2] changes left; the journal is kept",
                     "Analyse of pool [Shop] not started: the changes of an earlier analysis are not all back.",
                     "End analyse of pool: Shop"}));
  EXPECT_EQ(server.metabase.CountCalls("Create"), 0);
  EXPECT_TRUE(JournalExists(server.bench.Journal()));
}

TEST(AnalyseJournalStart, AJournalHeldElsewhereKeepsTheAnalysisFromStarting) {
  Server server;
  JournalLock otherInstance(server.bench.dir.Dir());
  ASSERT_TRUE(otherInstance.Held());
  EXPECT_EQ(server.Analyse(),
            (Strings{"Begin analyse of pool: Shop",
                     "Error: another analysis is running with the journal [" + server.bench.Journal() + "]",
                     "End analyse of pool: Shop"}));
  EXPECT_TRUE(server.metabase.Calls().empty());
}

TEST(AnalyseJournalStart, AJournalThatCannotBeWrittenStopsTheAnalysisBeforeAnyChange) {
  Server server;
  std::filesystem::create_directory(server.bench.Journal() + ".tmp");
  const auto lines = server.Analyse();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[1].starts_with("Error of write the analysis journal [" + server.bench.Journal() + "]. "));
  EXPECT_EQ(lines[2], "End analyse of pool: Shop");
  EXPECT_EQ(server.metabase.CountCalls("Create"), 0);
  EXPECT_TRUE(server.Restored());
}

}  // namespace
}  // namespace tarnwell
