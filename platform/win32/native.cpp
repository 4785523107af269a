#include "platform/win32/native.h"

namespace tarnwell::platform::win32 {

void ResolveNativeFunction(NativeSlot& slot, const char* libraryName, const char* entryName) {
  if (slot.load(std::memory_order_acquire) != nullptr) return;
  HMODULE module = ::GetModuleHandleA(libraryName);
  if (module == nullptr) module = ::LoadLibraryA(libraryName);
  if (module == nullptr) throw EJwaLoadLibraryError(std::string("Library not found: ") + libraryName);
  FARPROC address = ::GetProcAddress(module, entryName);
  if (address == nullptr) {
    throw EJwaGetProcAddressError(std::string("Function not found: ") + libraryName + "." + entryName);
  }
  slot.store(address, std::memory_order_release);
}

namespace {

constexpr const char* kNtdll = "ntdll.dll";

NativeSlot gNtClose{nullptr};
NativeSlot gNtDuplicateObject{nullptr};
NativeSlot gNtQueryObject{nullptr};
NativeSlot gNtQuerySystemInformation{nullptr};

using NtCloseFn = NTSTATUS(NTAPI*)(HANDLE);
using NtDuplicateObjectFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, HANDLE, PHANDLE, ACCESS_MASK, ULONG, ULONG);
using NtQueryObjectFn = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using NtQuerySystemInformationFn = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

}  // namespace

NTSTATUS NtClose(HANDLE handle) {
  ResolveNativeFunction(gNtClose, kNtdll, "NtClose");
  return NativeCast<NtCloseFn>(gNtClose.load(std::memory_order_acquire))(handle);
}

NTSTATUS NtDuplicateObject(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess,
                           PHANDLE targetHandle, ACCESS_MASK desiredAccess, ULONG handleAttributes,
                           ULONG options) {
  ResolveNativeFunction(gNtDuplicateObject, kNtdll, "NtDuplicateObject");
  return NativeCast<NtDuplicateObjectFn>(gNtDuplicateObject.load(std::memory_order_acquire))(
      sourceProcess, sourceHandle, targetProcess, targetHandle, desiredAccess, handleAttributes, options);
}

NTSTATUS NtQueryObject(HANDLE handle, ULONG objectInformationClass, PVOID objectInformation, ULONG length,
                       PULONG returnLength) {
  ResolveNativeFunction(gNtQueryObject, kNtdll, "NtQueryObject");
  return NativeCast<NtQueryObjectFn>(gNtQueryObject.load(std::memory_order_acquire))(
      handle, objectInformationClass, objectInformation, length, returnLength);
}

NTSTATUS NtQuerySystemInformation(ULONG systemInformationClass, PVOID systemInformation, ULONG length,
                                  PULONG returnLength) {
  ResolveNativeFunction(gNtQuerySystemInformation, kNtdll, "NtQuerySystemInformation");
  return NativeCast<NtQuerySystemInformationFn>(gNtQuerySystemInformation.load(std::memory_order_acquire))(
      systemInformationClass, systemInformation, length, returnLength);
}

}  // namespace tarnwell::platform::win32
