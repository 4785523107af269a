#include "platform/thread_scope.h"

#include <objbase.h>

namespace tarnwell::platform {

// COM for the calling thread. A thread already initialised in the other apartment keeps
// it (the call fails with RPC_E_CHANGED_MODE), and this scope then leaves COM alone.
ThreadScope::ThreadScope(Apartment apartment) {
  const DWORD model = apartment == Apartment::MultiThreaded ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED;
  initialised_ = SUCCEEDED(::CoInitializeEx(nullptr, model));
}

ThreadScope::~ThreadScope() {
  if (initialised_) ::CoUninitialize();
}

}  // namespace tarnwell::platform
