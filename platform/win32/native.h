#pragma once
// Native entry points of ntdll.dll bound by name at first use, and the errors that
// binding raises. The wrappers live in this namespace so that they do not clash with
// the declarations of <winternl.h>.
#include "platform/win32/win_api.h"

#include <atomic>
#include <stdexcept>
#include <string>

namespace tarnwell::platform::win32 {

using NTSTATUS = LONG;

inline constexpr NTSTATUS kStatusSuccess = 0;
inline constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
inline constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002);
inline constexpr NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);
inline constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017);

// Information classes the census asks for.
inline constexpr ULONG kSystemHandleInformation = 16;
inline constexpr ULONG kSystemExtendedHandleInformation = 64;
inline constexpr ULONG kObjectNameInformation = 1;
inline constexpr ULONG kObjectTypeInformation = 2;

class EJwaError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class EJwaLoadLibraryError : public EJwaError {
 public:
  using EJwaError::EJwaError;
};
class EJwaGetProcAddressError : public EJwaError {
 public:
  using EJwaError::EJwaError;
};

// One bound entry point: empty at start, filled at the first call, never cleared.
// Two threads may fill it at once; both store the same address.
using NativeSlot = std::atomic<FARPROC>;

// Fills the slot from the library (loaded if not yet in the process, never unloaded).
// Raises EJwaLoadLibraryError or EJwaGetProcAddressError.
void ResolveNativeFunction(NativeSlot& slot, const char* libraryName, const char* entryName);

// ntdll.dll, with the system's own parameter lists; the status passes through unchanged.
// Each raises the binding errors above if its entry point cannot be bound.
NTSTATUS NtClose(HANDLE handle);
NTSTATUS NtDuplicateObject(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess,
                           PHANDLE targetHandle, ACCESS_MASK desiredAccess, ULONG handleAttributes,
                           ULONG options);
NTSTATUS NtQueryObject(HANDLE handle, ULONG objectInformationClass, PVOID objectInformation,
                       ULONG length, PULONG returnLength);
NTSTATUS NtQuerySystemInformation(ULONG systemInformationClass, PVOID systemInformation,
                                  ULONG length, PULONG returnLength);

// A function pointer of the given type from a bound address.
template <typename Fn>
Fn NativeCast(FARPROC address) noexcept {
  // Through void(*)(), which GCC accepts as a match for any function type.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
}

}  // namespace tarnwell::platform::win32
