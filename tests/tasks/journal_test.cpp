#include "tasks/AnalyseJournal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tasks/AnalysePool.h"
#include "tests/fakes/fake_metabase.h"
#include "tests/support/analyse_fixture.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace tarnwell {
namespace {

using platform::PathFromUtf8;
using testutil::ReadAll;
using testutil::TempDir;
using testutil::WriteFile;

const std::string kA = "/LM/W3SVC/1/ROOT/a/";
const std::string kC = "/LM/W3SVC/2/ROOT/c/";
const std::string kTa = "QuillmarshAnalyse46362.9479166667";
const std::string kTc = "QuillmarshAnalyse46362.9479166782";

// c inherits Shop from its site.
AnalyseJournal TwoApps() { return {"Shop", {{kA, "Shop"}, {kC, "Shop", false}}, {{kTa, kA}, {kTc, kC}}}; }

// ---- the file's text ------------------------------------------------------------------

TEST(JournalText, ReadsAsAnAdministratorWouldAndComesBackWhole) {
  const std::string text = FormatJournal(TwoApps());
  EXPECT_EQ(text,
            "Tarnwell analysis journal\t2\r\n"
            "# Changes of an analysis not yet put back; Tarnwell puts them back when it starts.\r\n"
            "pool\tShop\r\n"
            "app\t/LM/W3SVC/1/ROOT/a/\tShop\town\r\n"
            "app\t/LM/W3SVC/2/ROOT/c/\tShop\tinherited\r\n"
            "temp\tQuillmarshAnalyse46362.9479166667\t/LM/W3SVC/1/ROOT/a/\r\n"
            "temp\tQuillmarshAnalyse46362.9479166782\t/LM/W3SVC/2/ROOT/c/\r\n"
            "end\r\n");
  EXPECT_EQ(ParseJournal(text), TwoApps());

  // Separators and backslashes inside names survive; LF-only ends (an edited file) too.
  const AnalyseJournal odd{"A\tpool\\with\r\nbreaks", {{"/LM/W3SVC/1/ROOT/x\ty/", "A\tpool\\with\r\nbreaks"}}, {}};
  EXPECT_EQ(ParseJournal(FormatJournal(odd)), odd);
  // The version before noted nothing: its applications held their own pool.
  EXPECT_EQ(ParseJournal("Tarnwell analysis journal\t1\npool\tShop\napp\t" + kA + "\tShop\nend\n").Apps,
            (std::vector<AnalyseJournal::App>{{kA, "Shop", true}}));
  const AnalyseJournal empty{"Shop", {}, {}};
  EXPECT_EQ(ParseJournal(FormatJournal(empty)), empty);
}

TEST(JournalText, DamageIsRefusedWithTheLine) {
  const std::string head = "Tarnwell analysis journal\t2\r\npool\tShop\r\n";
  const std::string head1 = "Tarnwell analysis journal\t1\r\npool\tShop\r\n";
  const std::pair<std::string, std::string> cases[] = {  // the text, what the error names
      {"", "empty file"},
      {"Tarnwell analysis journal\t3\r\npool\tShop\r\nend\r\n", "line 1: not an analysis journal"},
      {"\xEF\xBB\xBFTarnwell analysis journal\t1\r\n", "line 1:"},
      {head, "cut short"},
      {head + "app\t" + kA + "\tShop\town\r\n", "cut short"},
      {head + "app\t" + kA + "\tShop\tinher", "cut short"},
      {"Tarnwell analysis journal\t1\r\napp\t" + kA + "\tShop\r\nend\r\n", "line 2: \"app\" before \"pool\""},
      {"Tarnwell analysis journal\t1\r\nend\r\n", "no \"pool\""},
      {head + "pool\tOther\r\nend\r\n", "line 3: a second \"pool\""},
      {head + "app\t" + kA + "\tShop\r\nend\r\n", "line 3: \"app\" takes three fields"},
      {head + "app\t" + kA + "\tShop\tshared\r\nend\r\n", "line 3: \"app\" ends in \"own\" or \"inherited\""},
      {head1 + "app\t" + kA + "\tShop\town\r\nend\r\n", "line 3: \"app\" takes two fields"},
      {head + "app\t" + kA + "\t\town\r\nend\r\n", "line 3: an empty field"},
      {head + "app\tShop\tShop\town\r\nend\r\n", "line 3: not an application path"},
      {head + "temp\tShop\t" + kA + "\r\nend\r\n", "line 3: not a temporary pool: Shop"},
      {head + "temp\t" + kTa + "\t" + kA + "\\q\r\nend\r\n", "line 3: unknown escape"},
      {head + "temp\t" + kTa + "\t" + kA + "\\\r\nend\r\n", "line 3: a lone backslash"},
      {head + "move\tx\r\nend\r\n", "line 3: unknown line"},
      {head + "end\r\napp\t" + kA + "\tShop\town\r\n", "line 4: text after \"end\""},
  };
  for (const auto& [text, why] : cases) {
    try {
      ParseJournal(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const JournalFormatError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what() << " / wanted " << why;
    }
  }
}

// ---- the file --------------------------------------------------------------------------

TEST(JournalFile, SaveReplacesWholeAFailedSaveKeepsTheOldOneAndOneHolderAtATime) {
  TempDir dir{testutil::kNonAsciiName};
  const std::string path = JournalPath(dir.Dir());
  EXPECT_EQ(path, dir.Dir() + "trnw-analyse.journal");
  EXPECT_FALSE(JournalExists(path));
  SaveJournal(path, TwoApps());
  AnalyseJournal one = TwoApps();
  one.Apps.pop_back();
  SaveJournal(path, one);
  EXPECT_EQ(ParseJournal(ReadAll(path)), one);
  EXPECT_FALSE(std::filesystem::exists(PathFromUtf8(path + ".tmp")));
  std::filesystem::create_directory(PathFromUtf8(path + ".tmp"));  // the new file cannot be made
  const AnalyseJournal less{"Shop", {}, {}};
  EXPECT_THROW(SaveJournal(path, less), std::system_error);
  EXPECT_EQ(ParseJournal(ReadAll(path)), one);
  EXPECT_THROW(SaveJournal(dir.Dir() + "missing/" + kJournalFileName, less), std::system_error);
  RemoveJournal(path);
  EXPECT_FALSE(JournalExists(path));
  EXPECT_NO_THROW(RemoveJournal(path));  // already gone
  // One holder at a time.
  {
    JournalLock first(dir.Dir());
    EXPECT_TRUE(first.Held());
    EXPECT_EQ(first.JournalFile(), path);
    JournalLock second(dir.Dir());
    EXPECT_FALSE(second.Held());
  }
  JournalLock again(dir.Dir());
  EXPECT_TRUE(again.Held());
  EXPECT_THROW(JournalLock(dir.Dir() + "missing/"), std::system_error);
}

// ---- recovery --------------------------------------------------------------------------

// The sample server as a run of the analyser that died midway leaves it: a and c (which
// inherited Shop from its site) each moved into a temporary pool of its own, b never touched.
class RecoveryTest : public ::testing::Test, public testutil::ShopServer {
 protected:
  RecoveryTest() {
    for (const auto& [app, temp] : {std::pair(kA, kTa), std::pair(kC, kTc)}) {
      metabase.AddPool(temp);
      metabase.SetProperty(app.substr(0, app.size() - 1), "AppPoolId", temp);
    }
    SaveJournal(path, TwoApps());
  }

  RecoveryOutcome Recover() {
    messages.clear();
    return RecoverAnalysis(dir.Dir(), metabase, [this](const std::string& m) { messages.push_back(m); });
  }

  TempDir dir{testutil::kNonAsciiName};  // a log folder named outside ASCII
  const std::string path = JournalPath(dir.Dir());
  std::vector<std::string> messages;
};

TEST_F(RecoveryTest, PutsEveryApplicationBackRemovesThePoolsAndTheJournal) {
  EXPECT_EQ(Recover(), RecoveryOutcome::Complete);
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "Recovery: analysis of pool [Shop] did not end; putting its applications back",
                          "Recovery: application [" + kA + "] back in pool [Shop]",
                          "Recovery: application [" + kC + "] inherits its pool again",
                          "Recovery: temp. pool [" + kTa + "] removed",
                          "Recovery: temp. pool [" + kTc + "] removed",
                          "Recovery: complete",
                      }));
  EXPECT_TRUE(Restored());
  EXPECT_FALSE(JournalExists(path));
  // Nothing left: the next start says nothing and touches nothing.
  metabase.ClearCalls();
  EXPECT_EQ(Recover(), RecoveryOutcome::NoJournal);
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(metabase.Calls().empty());
}

TEST_F(RecoveryTest, AJournalWhoseChangesAreBackAlreadyIsFinishedWithoutHarm) {
  // Everything was put back before the crash, only the journal was left.
  ASSERT_EQ(Recover(), RecoveryOutcome::Complete);
  SaveJournal(path, TwoApps());
  metabase.ClearCalls();
  EXPECT_EQ(Recover(), RecoveryOutcome::Complete);
  EXPECT_EQ(messages[1], "Recovery: application [" + kA + "] already in pool [Shop]");
  EXPECT_EQ(messages[2], "Recovery: application [" + kC + "] already inherits its pool");
  EXPECT_EQ(messages[3], "Recovery: temp. pool [" + kTa + "] already gone");
  EXPECT_EQ(metabase.CountCalls("SetInfo"), 0);
  EXPECT_EQ(metabase.CountCalls("Delete"), 0);
  EXPECT_TRUE(Restored());
  EXPECT_FALSE(JournalExists(path));
}

TEST_F(RecoveryTest, WhatOthersChangedSinceIsLeftAlone) {
  // The administrator put c into Blog by hand, and a's application was removed.
  metabase.SetProperty("/LM/W3SVC/2/ROOT/c", "AppPoolId", std::string("Blog"));
  metabase.AddApp("/LM/W3SVC/1/ROOT/gone", kTa);
  AnalyseJournal j = TwoApps();
  j.Apps[0].Path = "/LM/W3SVC/1/ROOT/nosuch/";
  SaveJournal(path, j);
  EXPECT_EQ(Recover(), RecoveryOutcome::Incomplete);
  EXPECT_EQ(messages[1], "Recovery: application [/LM/W3SVC/1/ROOT/nosuch/] no longer exists");
  EXPECT_EQ(messages[2], "Recovery: application [" + kC +
                             "] is in pool [Blog], which the analysis did not make; left there");
  // A temporary pool that serves an application is never deleted.
  EXPECT_EQ(messages[3], "Recovery: temp. pool [" + kTa + "] not removed, it still holds [2] applications");
  EXPECT_EQ(messages[4], "Recovery: temp. pool [" + kTc + "] removed");
  EXPECT_EQ(messages.back(), "Recovery: incomplete, [1] changes left; the journal is kept");
  EXPECT_EQ(metabase.EffectiveAppPool(kC), "Blog");
  EXPECT_TRUE(metabase.HasKey("/LM/W3SVC/AppPools/" + kTa));
  EXPECT_EQ(ParseJournal(ReadAll(path)), (AnalyseJournal{"Shop", {}, {{kTa, kA}}}));
}

TEST_F(RecoveryTest, AFailedStepKeepsWhatIsLeftForTheNextStart) {
  metabase.FailCall(fakes::FakeMetabase::Op::SetInfoAppPoolId, 2);  // c's move back
  EXPECT_EQ(Recover(), RecoveryOutcome::Incomplete);
  EXPECT_EQ(messages[2], "Recovery: error of transfer application: [" + kC + "] in pool [Shop]");
  EXPECT_EQ(messages[4], "Recovery: temp. pool [" + kTc + "] not removed, it still holds [1] applications");
  EXPECT_EQ(messages.back(), "Recovery: incomplete, [2] changes left; the journal is kept");
  EXPECT_EQ(ParseJournal(ReadAll(path)), (AnalyseJournal{"Shop", {{kC, "Shop", false}}, {{kTc, kC}}}));

  // The next start finishes it.
  EXPECT_EQ(Recover(), RecoveryOutcome::Complete);
  EXPECT_TRUE(Restored());
  EXPECT_FALSE(JournalExists(path));
}

TEST_F(RecoveryTest, AnUnreadableJournalIsSetAsideAndNothingIsTouched) {
  const std::string cut = "Tarnwell analysis journal\t1\r\npool\tShop\r\napp\t" + kA + "\tShop\r\n";
  WriteFile(path, cut);
  metabase.ClearCalls();
  EXPECT_EQ(Recover(), RecoveryOutcome::Failed);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Recovery: the analysis journal [" + path +
                             "] is damaged (no \"end\" line: the file is cut short); kept as [" + path +
                             ".bad]. Check the pools of the applications by hand.");
  EXPECT_TRUE(metabase.Calls().empty());
  EXPECT_FALSE(JournalExists(path));
  EXPECT_EQ(ReadAll(path + ".bad"), cut);
  // A second damaged one does not overwrite the first.
  WriteFile(path, "garbage");
  EXPECT_EQ(Recover(), RecoveryOutcome::Failed);
  EXPECT_EQ(ReadAll(path + ".bad2"), "garbage");
  EXPECT_EQ(Recover(), RecoveryOutcome::NoJournal);
}

TEST_F(RecoveryTest, AJournalHeldByARunningAnalysisIsLeftToIt) {
  JournalLock running(dir.Dir());
  ASSERT_TRUE(running.Held());
  metabase.ClearCalls();
  EXPECT_EQ(Recover(), RecoveryOutcome::Busy);
  EXPECT_EQ(messages, (std::vector<std::string>{"Recovery: the analysis journal [" + path +
                                                "] is held by another running analysis; left to it"}));
  EXPECT_TRUE(metabase.Calls().empty());
  EXPECT_EQ(ParseJournal(ReadAll(path)), TwoApps());
}

TEST_F(RecoveryTest, ANewJournalThatNeverGotInPlaceIsDropped) {
  WriteFile(path + ".tmp", "Tarnwell analysis jou");
  EXPECT_EQ(Recover(), RecoveryOutcome::Complete);
  EXPECT_FALSE(std::filesystem::exists(PathFromUtf8(path + ".tmp")));
  EXPECT_TRUE(Restored());
}

}  // namespace
}  // namespace tarnwell
