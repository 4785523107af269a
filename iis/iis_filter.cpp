#define PCRE2_CODE_UNIT_WIDTH 8
#include "iis/iis_filter.h"

#include <pcre2.h>

#include <algorithm>
#include <new>
#include <string>

namespace tarnwell {

namespace {

std::string ErrorText(int code) {
  PCRE2_UCHAR buf[256];
  const int n = pcre2_get_error_message(code, buf, sizeof buf);
  if (n < 0) return "error " + std::to_string(code);
  return std::string(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
}

// PCRE2 refuses a null pointer even with length 0, which an empty string_view may carry.
PCRE2_SPTR Bytes(std::string_view text) {
  return reinterpret_cast<PCRE2_SPTR>(text.data() != nullptr ? text.data() : "");
}

// An expression as a message quotes it: a filter may run to thousands of characters.
std::string Shortened(const std::string& expression) {
  constexpr std::size_t kMax = 100;
  if (expression.size() <= kMax) return expression;
  std::size_t keep = kMax;
  while (keep > 0 && (static_cast<unsigned char>(expression[keep]) & 0xC0) == 0x80) --keep;
  return expression.substr(0, keep) + "...";
}

}  // namespace

void PoolFilter::CodeFree::operator()(pcre2_code* p) const noexcept { pcre2_code_free(p); }
void PoolFilter::MatchDataFree::operator()(pcre2_match_data* p) const noexcept {
  pcre2_match_data_free(p);
}
void PoolFilter::MatchContextFree::operator()(pcre2_match_context* p) const noexcept {
  pcre2_match_context_free(p);
}

PoolFilter::PoolFilter() : matchContext_(pcre2_match_context_create(nullptr)) {
  if (!matchContext_) throw std::bad_alloc();
  // Without these an expression such as (a+)+$ backtracks for hours on a long name.
  pcre2_set_match_limit(matchContext_.get(), kMatchLimit);
  pcre2_set_depth_limit(matchContext_.get(), kDepthLimit);
  pcre2_set_heap_limit(matchContext_.get(), kHeapLimitKiB);
}

PoolFilter::~PoolFilter() = default;

void PoolFilter::SetExpression(std::string_view expression) {
  if (code_ && expression == expression_) return;
  // Forget the old expression first, so that a failed compile leaves none behind.
  matchData_.reset();
  code_.reset();
  expression_.clear();

  // Names are UTF-8: match by character, fold letters beyond ASCII too, and let a name
  // with stray bytes simply not match there. \C could split a character, so it is out.
  const std::uint32_t options =
      PCRE2_CASELESS | PCRE2_UTF | PCRE2_MATCH_INVALID_UTF | PCRE2_NEVER_BACKSLASH_C;
  int error = 0;
  PCRE2_SIZE offset = 0;
  std::unique_ptr<pcre2_code, CodeFree> code(
      pcre2_compile(Bytes(expression), expression.size(), options,
                    &error, &offset, nullptr));
  if (!code) {
    throw RegexError("Invalid regular expression at offset " + std::to_string(offset) + ": " +
                     ErrorText(error));
  }
  std::unique_ptr<pcre2_match_data, MatchDataFree> data(
      pcre2_match_data_create_from_pattern(code.get(), nullptr));
  if (!data) throw std::bad_alloc();

  // Each backtracking step copies a frame; its size grows with the number of captures.
  std::size_t frameSize = 0;
  std::uint32_t limit = kMatchLimit;
  if (pcre2_pattern_info(code.get(), PCRE2_INFO_FRAMESIZE, &frameSize) == 0 && frameSize > 0) {
    limit = static_cast<std::uint32_t>(
        std::clamp<std::uint64_t>(kFrameCopyBudget / frameSize, kMinMatchLimit, kMatchLimit));
  }
  pcre2_set_match_limit(matchContext_.get(), limit);

  expression_.assign(expression);
  matchData_ = std::move(data);
  code_ = std::move(code);
}

bool PoolFilter::Search(std::string_view subject) {
  if (!code_) throw RegexError("No regular expression to match");
  const int rc = pcre2_match(code_.get(), Bytes(subject),
                             subject.size(), 0, 0, matchData_.get(), matchContext_.get());
  if (rc >= 0) return true;
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  throw RegexError("Regular expression [" + Shortened(expression_) + "] cannot be matched: " +
                   ErrorText(rc));
}

}  // namespace tarnwell
