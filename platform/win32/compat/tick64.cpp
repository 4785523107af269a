// GetTickCount64 for Windows Server 2003, which lacks it. The posix-thread runtime
// (libwinpthread.a) calls it through its import pointer; this file defines that pointer,
// so the linker takes it instead of kernel32's import and the program loads on 2003. The
// object must be linked into every program (tarnwell_win32_program does that): in an
// archive it would be searched too late.
#include "platform/win32/win_api.h"

#include <atomic>

#include "platform/win32/compat/tick_extender.h"
#include "platform/win32/native.h"

namespace {

using TickCount64Fn = ULONGLONG(WINAPI*)();

constinit tarnwell::platform::win32::TickExtender gExtender;
constinit std::atomic<TickCount64Fn> gTickCount64{nullptr};

ULONGLONG WINAPI ExtendedTickCount() {
  return gExtender.Now([] { return static_cast<std::uint32_t>(::GetTickCount()); });
}

TickCount64Fn Resolve() {
  TickCount64Fn fn = &ExtendedTickCount;
  if (HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll")) {
    if (FARPROC entry = ::GetProcAddress(kernel, "GetTickCount64")) {
      fn = tarnwell::platform::win32::NativeCast<TickCount64Fn>(entry);
    }
  }
  return fn;
}

// Bound at the first call, without a lock or a guarded static: the thread library calls
// this from inside its own waits. Two first calls at once both resolve the same entry.
ULONGLONG WINAPI TickCount64() {
  TickCount64Fn fn = gTickCount64.load(std::memory_order_acquire);
  if (fn == nullptr) {
    fn = Resolve();
    gTickCount64.store(fn, std::memory_order_release);
  }
  return fn();
}

}  // namespace

// The import pointer's own name: stdcall-decorated on i686, plain on x86_64.
#if defined(__i386__)
#define TARNWELL_IMP_GETTICKCOUNT64 "__imp__GetTickCount64@0"
#else
#define TARNWELL_IMP_GETTICKCOUNT64 "__imp_GetTickCount64"
#endif
extern "C" {
extern TickCount64Fn const tarnwellImpGetTickCount64 __asm__(TARNWELL_IMP_GETTICKCOUNT64);
TickCount64Fn const tarnwellImpGetTickCount64 = &TickCount64;
}
