#include "platform/thread_scope.h"

namespace tarnwell::platform {

// Linux needs no per-thread set-up for its seams.
ThreadScope::ThreadScope(Apartment) {}
ThreadScope::~ThreadScope() = default;

}  // namespace tarnwell::platform
