#pragma once
// The pool filter's regular-expression engine: Perl-style syntax, case-insensitive,
// a match anywhere in the name accepts it. One per registry; used by whichever worker
// rebuilds the registry (one at a time), so it is not thread-safe.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "iis/iis.h"

// PCRE2's own types, completed in the .cpp only.
struct pcre2_real_code_8;
struct pcre2_real_match_data_8;
struct pcre2_real_match_context_8;

namespace tarnwell {

class PoolFilter {
 public:
  // Backtracking steps (and nesting depth) one match may take before it gives up; far
  // above what a sane expression needs against a name of at most 255 characters.
  static constexpr std::uint32_t kMatchLimit = 1'000'000;
  static constexpr std::uint32_t kDepthLimit = 1'000'000;
  // Memory one match may take for its backtracking frames, in KiB. Each frame holds every
  // capture of the expression, so a long one with thousands of groups would otherwise take
  // gigabytes.
  static constexpr std::uint32_t kHeapLimitKiB = 32 * 1024;
  // Bytes of frames one match may copy: an expression with many captures gets fewer steps,
  // so that a search stays well under a second whatever the expression.
  static constexpr std::uint64_t kFrameCopyBudget = 256ull * 1024 * 1024;
  static constexpr std::uint32_t kMinMatchLimit = 10'000;

  PoolFilter();
  ~PoolFilter();
  PoolFilter(const PoolFilter&) = delete;
  PoolFilter& operator=(const PoolFilter&) = delete;

  // Compiles the expression unless it is the one already compiled. Raises RegexError
  // naming the fault and its offset; the engine then holds no expression.
  void SetExpression(std::string_view expression);
  // The expression compiled last; empty when none is.
  const std::string& Expression() const { return expression_; }
  bool HasExpression() const { return code_ != nullptr; }
  // True when the expression matches somewhere in the subject (UTF-8; invalid bytes
  // never match a character but do not fail). Raises RegexError when the match limit is
  // reached or no expression is compiled.
  bool Search(std::string_view subject);

 private:
  struct CodeFree {
    void operator()(pcre2_real_code_8* p) const noexcept;
  };
  struct MatchDataFree {
    void operator()(pcre2_real_match_data_8* p) const noexcept;
  };
  struct MatchContextFree {
    void operator()(pcre2_real_match_context_8* p) const noexcept;
  };

  std::string expression_;
  std::unique_ptr<pcre2_real_code_8, CodeFree> code_;
  std::unique_ptr<pcre2_real_match_data_8, MatchDataFree> matchData_;
  std::unique_ptr<pcre2_real_match_context_8, MatchContextFree> matchContext_;
};

}  // namespace tarnwell
