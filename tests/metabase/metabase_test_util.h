#pragma once
// Helpers of the MetaBase.xml store tests: the demo file, the code of a MetabaseError, a
// registry over the store, and a line diff that shows exactly which lines a change touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "iis/iis.h"
#include "metabase/metabase_store.h"
#include "tests/fakes/null_seams.h"
#include "tests/support/files.h"
#include "tests/support/metabase_xml.h"
#include "tests/support/temp_dir.h"

namespace tarnwell::testutil {

// The code of the MetabaseError that f raises, 0 when it raises none; its message in `message`.
template <typename F>
std::uint32_t ErrorOf(F&& f, std::string* message = nullptr) {
  try {
    f();
  } catch (const platform::MetabaseError& e) {
    if (message) *message = e.what();
    return e.code();
  }
  return 0;
}

inline std::string DemoMetabasePath() { return TARNWELL_DEMO_DIR "/MetaBase.xml"; }

// LoadPools over the real store on a MetaBase.xml in a temporary folder.
class OverStore : public ::testing::Test {
 protected:
  void Write(const std::string& text) { ReplaceFile(file_, text); }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < registry_->PoolCount; ++i) names.push_back(registry_->Pools[static_cast<std::size_t>(i)].Name);
    return names;
  }
  const TPoolRec* Pool(const std::string& name) const {
    const auto i = registry_->IndexOfPool(name);
    return i < 0 ? nullptr : &registry_->Pools[static_cast<std::size_t>(i)];
  }
  // The lines of the pool's applications; none when it is not listed or has no list.
  std::vector<std::string> Apps(const std::string& name) const {
    const TPoolRec* pool = Pool(name);
    return pool && pool->Apps ? *pool->Apps : std::vector<std::string>{};
  }
  // The message of the MetabaseError (E_FAIL) that binding the pools raises; empty when it binds.
  std::string BindError() {
    std::string message;
    const std::uint32_t code = ErrorOf([&] { store_->Bind("IIS://localhost/W3SVC/AppPools"); }, &message);
    EXPECT_TRUE(code == 0 || code == platform::kErrFail) << std::hex << code;
    return message;
  }

  TempDir dir_;
  std::string file_ = dir_.File("MetaBase.xml");
  fakes::NullProcessSystem processes_;
  std::unique_ptr<platform::IMetabase> store_ = standin::OpenMetabaseStore(file_);
  std::unique_ptr<TIISObject> registry_ = std::make_unique<TIISObject>(*store_, processes_);
};

struct LineDiff {
  std::vector<std::string> removed;  // lines of the old text that are gone
  std::vector<std::string> added;    // lines of the new text that are new
};

// Lines split at "\n" (a "\r" stays on its line); the common leading and trailing lines cut.
inline LineDiff DiffLines(const std::string& before, const std::string& after) {
  const auto split = [](const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  };
  const auto a = split(before);
  const auto b = split(after);
  const auto head = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  const auto tail = std::mismatch(a.rbegin(), std::make_reverse_iterator(head.first), b.rbegin(),
                                  std::make_reverse_iterator(head.second));
  return {{head.first, tail.first.base()}, {head.second, tail.second.base()}};
}

}  // namespace tarnwell::testutil
