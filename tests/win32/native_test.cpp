// Binding of native entry points and the system-information reader. The handle-table
// layouts, and the real tables, are tested with the census.
#include <gtest/gtest.h>

#include "platform/win32/win_api.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/handle_census.h"
#include "platform/win32/native.h"

namespace tarnwell::platform::win32 {
namespace {

// The message of the binding error of the class; a failure when none of it is raised.
template <typename Error>
std::string BindingError(NativeSlot& slot, const char* library, const char* entry) {
  try {
    ResolveNativeFunction(slot, library, entry);
  } catch (const Error& e) {
    EXPECT_NE(dynamic_cast<const EJwaError*>(&e), nullptr);
    return e.what();
  }
  ADD_FAILURE() << "no error raised";
  return {};
}

TEST(NativeBinding, MissingEntryPointOrLibraryRaisesNamingItAndABoundSlotIsNotLookedUpAgain) {
  NativeSlot slot{nullptr};
  EXPECT_EQ(BindingError<EJwaGetProcAddressError>(slot, "ntdll.dll", "NtTarnwellDoesNotExist"),
            "Function not found: ntdll.dll.NtTarnwellDoesNotExist");
  EXPECT_EQ(BindingError<EJwaLoadLibraryError>(slot, "tarnwell-no-such-library.dll", "Anything"),
            "Library not found: tarnwell-no-such-library.dll");
  EXPECT_EQ(slot.load(), nullptr);

  ResolveNativeFunction(slot, "ntdll.dll", "NtClose");
  const FARPROC bound = slot.load();
  ASSERT_NE(bound, nullptr);
  EXPECT_EQ(bound, ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtClose"));
  // A filled slot returns at once, whatever the names say now.
  EXPECT_NO_THROW(ResolveNativeFunction(slot, "no-such.dll", "NtNope"));
  EXPECT_EQ(slot.load(), bound);
}

TEST(NativeWrappers, PassStatusThrough) {
  EXPECT_EQ(NtClose(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7ffc))),
            static_cast<NTSTATUS>(0xC0000008));  // STATUS_INVALID_HANDLE
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(NtClose(event), kStatusSuccess);
}

// --- ReadSystemInformation over a scripted query ---------------------------------------

struct ScriptedQuery {
  static inline ULONG fitsFrom = 0;  // bytes the answer needs
  static inline NTSTATUS failure = kStatusSuccess;
  static inline std::vector<ULONG> lengths;
  static NTSTATUS Query(ULONG infoClass, PVOID buffer, ULONG length, PULONG returnLength) {
    lengths.push_back(length);
    if (infoClass != kSystemHandleInformation || returnLength != nullptr) return static_cast<NTSTATUS>(0xC0000003);
    if (failure != kStatusSuccess) return failure;
    if (length < fitsFrom) return kStatusInfoLengthMismatch;
    std::memset(buffer, 0xAB, fitsFrom);
    return kStatusSuccess;
  }
  static void Reset(ULONG fits, NTSTATUS fail = kStatusSuccess) {
    fitsFrom = fits;
    failure = fail;
    lengths.clear();
  }
};

TEST(ReadSystemInformation, DoublesFromSixteenKilobytesUntilTheAnswerFits) {
  ScriptedQuery::Reset(100000);
  const VirtualBlock block = ReadSystemInformation(kSystemHandleInformation, &ScriptedQuery::Query);
  ASSERT_TRUE(block);
  EXPECT_EQ(ScriptedQuery::lengths, (std::vector<ULONG>{16384, 32768, 65536, 131072}));
  EXPECT_EQ(block.size(), 131072u);
  EXPECT_EQ(static_cast<const unsigned char*>(block.data())[99999], 0xAB);
}

TEST(ReadSystemInformation, OtherFailureOrAnAnswerThatOutgrowsTheLengthArgumentGivesNothing) {
  ScriptedQuery::Reset(10, static_cast<NTSTATUS>(0xC0000022));  // access denied
  EXPECT_FALSE(ReadSystemInformation(kSystemHandleInformation, &ScriptedQuery::Query));
  EXPECT_EQ(ScriptedQuery::lengths.size(), 1u);

  // Answers "too small" for ever; the reader must stop before the 32-bit length wraps.
  // The system may refuse the large blocks first, which ends the loop as well.
  ScriptedQuery::Reset(ULONG_MAX);
  EXPECT_FALSE(ReadSystemInformation(kSystemHandleInformation, &ScriptedQuery::Query));
  for (const ULONG length : ScriptedQuery::lengths) EXPECT_GE(length, 16384u);
}

}  // namespace
}  // namespace tarnwell::platform::win32
