// The pool filter with an arbitrary expression and pool names, with monitoring off and on.
// An expression may fail to compile or hit the match limit (RegexError); nothing else may
// happen, and no input may run long (the match and depth limits bound every search).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "iis/iis.h"
#include "tests/fakes/null_seams.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  tarnwell::fakes::NullMetabase metabase;
  tarnwell::fakes::NullProcessSystem processes;
  tarnwell::TIISObject registry(metabase, processes);

  const bool monitoring = input.ConsumeBool();
  registry.Filter = input.ConsumeRandomLengthString();
  registry.SelectedPools = input.ConsumeRandomLengthString();
  const std::string first = input.ConsumeRandomLengthString();
  const std::string second = input.ConsumeRemainingBytesAsString();
  registry.SetMonitoring(monitoring);

  // The second name reuses the compiled expression, as LoadPools does for every pool.
  for (const std::string* name : {&first, &second, &first}) {
    try {
      const bool accepted = registry.AcceptPool(*name);
      if (monitoring && name->empty() && accepted) std::abort();
    } catch (const tarnwell::RegexError&) {
      // A bad or runaway expression is reported, not fatal.
    }
  }
  return 0;
}
