// Built instead of the table of declared functions where mingw-w64's headers were not
// there: the tool then passes no imported function (see Server2003Problems).
#include "tools/pecheck/known_functions.h"

namespace tarnwell::pecheck {

const KnownFunctions& HeaderFunctions() {
  static const KnownFunctions none;
  return none;
}

}  // namespace tarnwell::pecheck
